"""Running out of memory is a MemoryError the caller can survive: the fit's
partial storage is released and the next call fits as if nothing happened."""

import numpy as np
import pytest

import _quorvi
from problems import logistic_problem


def test_memory_error_then_next_fit_is_correct():
    X, y = logistic_problem(500, 6, seed=11)
    before = _quorvi.irls(X, y, 1e-10, 25)
    # p = 100,000 columns: the p x p weighted normal matrix alone needs 80 GB,
    # more than the machines that run this have, so its allocation fails.
    wide = np.ones((1, 100000))
    for _ in range(3):
        with pytest.raises(MemoryError):
            _quorvi.irls(wide, np.ones(1), 1e-8, 25)
    after = _quorvi.irls(X, y, 1e-10, 25)
    assert after["coefficients"].tobytes() == before["coefficients"].tobytes()
    assert (after["iterations"], after["converged"]) == (before["iterations"], before["converged"])
    # The inputs of the failed call are untouched.
    assert (wide == 1.0).all()
