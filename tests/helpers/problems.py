"""Seeded data and expected texts that tests in every folder share. A module
of its own rather than conftest.py: pytest imports each folder's conftest.py
under the one name `conftest`, so importing from it depends on which ran last."""

import numpy as np

SINGULAR_WARNING = "\nwarning: solve(): system is singular; attempting approx solution\n"


def logistic_problem(n, p, seed, scale=1.0):
    """A seeded design with an intercept column and a 0/1 response drawn from
    a logistic model, so that the maximum-likelihood fit exists."""
    rng = np.random.default_rng(seed)
    X = np.column_stack([np.ones(n), rng.standard_normal((n, p - 1)) * scale])
    truth = rng.standard_normal(p) / np.sqrt(p)
    y = (rng.random(n) < 1.0 / (1.0 + np.exp(-X @ truth))).astype(np.float64)
    return X, y
