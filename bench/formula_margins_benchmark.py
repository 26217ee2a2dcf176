"""Seconds of marginal_effects(data) of a formula model against those of
its fit (quorvi.logit, materialisation included), the fastest of --repeats:

    .venv/bin/python bench/formula_margins_benchmark.py [--rows N] [--repeats R]

The formula is that of the documentation's example on the fair data,
``y ~ age + I(age ** 2) + np.log(yrs) + C(rel)``, with an interaction
``age:C(kids)`` beside it, on simulated rows of the same shape. Every term
has a derivative rule, so the margins evaluate the formula's terms once, as
the fit does, and then pass over the rows a few times per numeric variable
and per level of a factor. The two take turns within each repeat, so that a
change in the machine's load moves both alike."""

import argparse
import time

import numpy as np
import pandas as pd

import quorvi

FORMULA = "y ~ age + I(age ** 2) + np.log(yrs) + C(rel) + age:C(kids)"


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--repeats", type=int, default=3)
    arguments = parser.parse_args()
    n = arguments.rows
    rng = np.random.default_rng(0)
    age = rng.uniform(17.5, 42.0, n)
    yrs = rng.uniform(0.5, 23.0, n)
    rel = rng.integers(1, 5, n).astype(np.float64)
    kids = rng.integers(0, 2, n).astype(bool)
    eta = 1.0 - 0.04 * age + 0.0004 * age**2 + 0.4 * np.log(yrs) - 0.3 * (rel - 1) + 0.01 * age * kids
    y = (rng.random(n) < 1 / (1 + np.exp(-eta))).astype(np.float64)
    data = pd.DataFrame({"y": y, "age": age, "yrs": yrs, "rel": rel, "kids": kids})
    best = {"fit": np.inf, "marginal_effects": np.inf}
    for _ in range(arguments.repeats):
        start = time.perf_counter()
        model = quorvi.logit(FORMULA, data)
        best["fit"] = min(best["fit"], time.perf_counter() - start)
        start = time.perf_counter()
        table = model.marginal_effects(data)
        best["marginal_effects"] = min(best["marginal_effects"], time.perf_counter() - start)
    print(f"{n} rows, {FORMULA}")
    print(table.to_string())
    for name, seconds in best.items():
        print(f"{name:>17}: {seconds:.3f} s")
    print(f"{'ratio':>17}: {best['marginal_effects'] / best['fit']:.2f}")


if __name__ == "__main__":
    main()
