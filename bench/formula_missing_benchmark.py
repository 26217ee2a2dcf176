"""Seconds of quorvi.logit on a formula whose data has incomplete rows,
against the same fit of the complete rows alone (materialisation included
in both), the fastest of --repeats:

    .venv/bin/python bench/formula_missing_benchmark.py [--rows N] [--repeats R]

The data: five standard normal columns and a categorical of 100 levels;
5 % of the rows have one of the six missing. Dropping them should cost at
most one pass over the formula's columns, so the ratio should stay within
1.1. The two fits take turns within each repeat, so that a change in the
machine's load moves both alike."""

import argparse
import time

import numpy as np
import pandas as pd

import quorvi

FORMULA = "y ~ a + b + c + d + e + C(g)"


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--repeats", type=int, default=3)
    arguments = parser.parse_args()
    n = arguments.rows
    rng = np.random.default_rng(0)
    X = rng.standard_normal((n, 5))
    eta = X @ np.array([0.3, -0.2, 0.1, 0.5, -0.4]) + 0.1
    y = (rng.random(n) < 1 / (1 + np.exp(-eta))).astype(np.float64)
    # A column each, as a frame read from a file holds them (the columns
    # of one 2-D block would be strided views, read slower by every pass).
    data = pd.DataFrame({**{name: X[:, j].copy() for j, name in enumerate("abcde")}, "y": y}).assign(
        g=pd.Categorical(rng.integers(0, 100, n).astype(str))
    )
    incomplete = rng.random(n) < 0.05
    which = rng.integers(0, 6, n)
    for position, column in enumerate("abcdeg"):
        data.loc[incomplete & (which == position), column] = np.nan
    complete = data[~incomplete].reset_index(drop=True)
    best = {"complete rows": np.inf, "with incomplete rows": np.inf}
    for _ in range(arguments.repeats):
        for name, frame in [("complete rows", complete), ("with incomplete rows", data)]:
            start = time.perf_counter()
            model = quorvi.logit(FORMULA, frame)
            best[name] = min(best[name], time.perf_counter() - start)
    print(f"{n} rows, {int(incomplete.sum())} incomplete ({model.n_dropped_rows_} dropped)")
    for name, seconds in best.items():
        print(f"{name:>22}: {seconds:.3f} s")
    print(f"{'ratio':>22}: {best['with incomplete rows'] / best['complete rows']:.3f}")


if __name__ == "__main__":
    main()
