"""Seconds of an in-memory fit per link at one shape (default 1,000,000 x 20),
the fastest of --repeats, and each link's ratio to the logit fit (whole
fit, and per update):

    .venv/bin/python bench/link_benchmark.py [--rows N] [--cols P] [--repeats R] [--links L ...]

Each link fits data drawn from its own model (coefficients of scale 0.3), so
that every fit takes its usual number of updates. The links take turns
within each repeat, so that a change in the machine's load between repeats
moves them all alike and their ratios stay comparable on a busy machine."""

import argparse
import time

import numpy as np
from scipy.special import expit, ndtr

from quorvi import LogisticRegression

MEANS = {"logit": expit, "probit": ndtr, "cloglog": lambda eta: -np.expm1(-np.exp(eta))}


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--cols", type=int, default=20)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--links", nargs="+", choices=list(MEANS), default=list(MEANS))
    arguments = parser.parse_args()
    # The logit fit is the yardstick of every ratio.
    links = ["logit"] + [link for link in arguments.links if link != "logit"]
    rng = np.random.default_rng(0)
    X = rng.standard_normal((arguments.rows, arguments.cols))
    eta = X @ rng.normal(scale=0.3, size=arguments.cols) - 0.2
    uniform = rng.random(arguments.rows)
    responses = {link: (uniform < MEANS[link](eta)).astype(np.float64) for link in links}
    best = dict.fromkeys(links, np.inf)
    loop = dict.fromkeys(links, np.inf)
    updates = {}
    for _ in range(arguments.repeats):
        for link in links:
            start = time.perf_counter()
            model = LogisticRegression(link=link).fit(X, responses[link])
            best[link] = min(best[link], time.perf_counter() - start)
            loop[link] = min(loop[link], model.time_)
            updates[link] = model.n_iter_[0]
    logit_update = loop["logit"] / updates["logit"]
    for link in links:
        per_update = loop[link] / updates[link]
        print(
            f"{link:8s} fit {best[link]:7.3f} s ({best[link] / best['logit']:4.2f} x logit)  "
            f"updates {updates[link]:2d}  loop {loop[link]:6.3f} s  "
            f"per update {per_update * 1e3:7.1f} ms ({per_update / logit_update:4.2f} x logit)"
        )


if __name__ == "__main__":
    main()
