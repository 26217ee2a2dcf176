"""Seconds of an in-memory fit per link at one shape (default 1,000,000 x 20),
the fastest of --repeats, and each link's ratio to the logit fit (whole
fit, and per update):

    .venv/bin/python bench/link_benchmark.py [--rows N] [--cols P] [--repeats R]

Each link fits data drawn from its own model (coefficients of scale 0.3), so
that every fit takes its usual number of updates."""

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
    arguments = parser.parse_args()
    rng = np.random.default_rng(0)
    X = rng.standard_normal((arguments.rows, arguments.cols))
    eta = X @ rng.normal(scale=0.3, size=arguments.cols) - 0.2
    uniform = rng.random(arguments.rows)
    logit = None
    for link, mean in MEANS.items():
        y = (uniform < mean(eta)).astype(np.float64)
        best, loop = np.inf, np.inf
        for _ in range(arguments.repeats):
            start = time.perf_counter()
            model = LogisticRegression(link=link).fit(X, y)
            best = min(best, time.perf_counter() - start)
            loop = min(loop, model.time_)
        per_update = loop / model.n_iter_[0]
        logit = (best, per_update) if logit is None else logit
        print(
            f"{link:8s} fit {best:7.3f} s ({best / logit[0]:4.2f} x logit)  updates {model.n_iter_[0]:2d}  "
            f"per update {per_update * 1e3:7.1f} ms ({per_update / logit[1]:4.2f} x logit)"
        )


if __name__ == "__main__":
    main()
