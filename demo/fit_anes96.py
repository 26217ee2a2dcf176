"""Fit the 1996 election-study vote model with _quorvi and print the result,
then fit it again with the estimator quorvi.LogisticRegression and print its
coefficient table (standard errors, z, p-values, 95 % intervals).

Run it with `make demo`. The model: the probability of a vote for Dole, by
logistic regression on an intercept, log(population + 0.1) and the other
survey columns of data/anes96.csv.
"""

import sys
from pathlib import Path

import numpy as np
import pandas as pd

import _quorvi
from quorvi import LogisticRegression

DATA = Path(__file__).resolve().parent.parent / "data" / "anes96.csv"
PREDICTORS = ["TVnews", "selfLR", "ClinLR", "DoleLR", "PID", "age", "educ", "income"]
TOLERANCE = 1e-8
MAX_ITERATIONS = 25


def load_design():
    """Returns (column names, X, y) of the vote model."""
    table = np.genfromtxt(DATA, delimiter=",", names=True)
    names = ["const", "log_popul", *PREDICTORS]
    columns = [np.ones(len(table)), np.log(table["popul"] + 0.1)]
    columns += [table[name] for name in PREDICTORS]
    return names, np.column_stack(columns), table["vote"]


def main():
    names, X, y = load_design()
    result = _quorvi.irls(X, y, TOLERANCE, MAX_ITERATIONS)
    print(f"Vote for Dole (1) or Clinton (0), {X.shape[0]} respondents, {X.shape[1]} coefficients")
    print()
    print(f"{'column':<12}{'coefficient':>14}")
    for name, value in zip(names, result["coefficients"], strict=True):
        print(f"{name:<12}{value:>14.6f}")
    print()
    print(f"iterations: {result['iterations']}")
    print(f"time:       {result['time'] * 1e3:.3f} ms")
    print(f"converged:  {result['converged']}")
    print()
    # check_arma writes through the C++ stream straight to the process's
    # standard output; flush Python's buffer first so the lines stay in order.
    sys.stdout.flush()
    _quorvi.check_arma()
    print()

    # The same model through the estimator: the intercept is its own (no
    # column of ones), and the DataFrame's column names name the rows.
    features = pd.DataFrame(X[:, 1:], columns=names[1:])
    model = LogisticRegression(tol=TOLERANCE, max_iter=MAX_ITERATIONS).fit(features, y)
    print(f"quorvi.LogisticRegression: {model.n_iter_[0]} iterations, converged: {model.converged_}")
    with pd.option_context("display.width", 110, "display.float_format", "{:.6g}".format):
        print(model.coef_table())


if __name__ == "__main__":
    main()
