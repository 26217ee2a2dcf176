import sys
from pathlib import Path

import numpy as np
import pytest

# The tests import the demo's loader and the NumPy reference from here.
sys.path.insert(0, str(Path(__file__).resolve().parent))
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "demo"))

SINGULAR_WARNING = "\nwarning: solve(): system is singular; attempting approx solution\n"


def logistic_problem(n, p, seed, scale=1.0):
    """A seeded design with an intercept column and a 0/1 response drawn from
    a logistic model, so that the maximum-likelihood fit exists."""
    rng = np.random.default_rng(seed)
    X = np.column_stack([np.ones(n), rng.standard_normal((n, p - 1)) * scale])
    truth = rng.standard_normal(p) / np.sqrt(p)
    y = (rng.random(n) < 1.0 / (1.0 + np.exp(-X @ truth))).astype(np.float64)
    return X, y


@pytest.fixture
def problem():
    return logistic_problem(200, 4, seed=1)
