"""Every failure a caller can reach: its exception type, its exact message,
and what the fit writes to the process's standard error on the way."""

import numpy as np
import pytest

import _quorvi
from irls_reference import EPS, assert_equal_but_for_rounding, reference_irls, working_weights
from problems import SINGULAR_WARNING


@pytest.mark.parametrize(
    ("X", "y"),
    [
        (np.ones(5), np.ones(5)),  # one-dimensional X
        (np.float64(1.0), np.ones(1)),  # scalar X
        (np.ones((5, 2, 1)), np.ones(5)),  # three-dimensional X
        (np.ones((5, 2)), np.ones((5, 1))),  # column-vector y
        (np.ones((5, 2)), np.float64(1.0)),  # scalar y
    ],
    ids=["1-D X", "scalar X", "3-D X", "2-D y", "scalar y"],
)
def test_wrong_dimensions_raise_runtime_error(X, y):
    # Checked before anything else, so not even max_iter 0 gets past it.
    for max_iter in (25, 0):
        with pytest.raises(RuntimeError, match=r"^Invalid input dimensions$"):
            _quorvi.irls(X, y, 1e-8, max_iter)


@pytest.mark.parametrize(("y_length", "n"), [(3, 5), (6, 5), (0, 4)])
def test_length_mismatch_raises_runtime_error_before_any_solve(capfd, y_length, n):
    X = np.ones((n, 2))
    message = f"subtraction: incompatible matrix dimensions: {y_length}x1 and {n}x1"
    with pytest.raises(RuntimeError) as raised:
        _quorvi.irls(X, np.zeros(y_length), 1e-8, 25)
    assert str(raised.value) == message
    assert capfd.readouterr() == ("", "")


def test_length_mismatch_is_not_checked_when_no_update_runs():
    result = _quorvi.irls(np.ones((5, 2)), np.zeros(3), 1e-8, 0)
    np.testing.assert_array_equal(result["coefficients"], [0.0, 0.0])


@pytest.mark.parametrize(
    "poison",
    [
        lambda X, y: X.__setitem__((3, 1), np.nan),
        lambda X, y: X.__setitem__((0, 0), np.inf),
        lambda X, y: X.__setitem__((7, 2), -np.inf),
        lambda X, y: y.__setitem__(4, np.nan),
        lambda X, y: y.__setitem__(4, np.inf),
    ],
    ids=["NaN in X", "inf in X", "-inf in X", "NaN in y", "inf in y"],
)
def test_non_finite_data_fails_on_the_first_update(capfd, problem, poison):
    # The fast LAPACK solver can return NaN without reporting failure; the
    # fit must instead go the library's way for an unsolvable system: one
    # singular-system warning, then "solution not found". With max_iter 1 the
    # first update is the only one: a NaN in y reaches only b = X'Wz there,
    # and A = X'WX only on a second update.
    X, y = (a.copy() for a in problem)
    poison(X, y)
    with pytest.raises(RuntimeError, match=r"^solve\(\): solution not found$"):
        _quorvi.irls(X, y, 1e-8, 1)
    assert capfd.readouterr() == ("", SINGULAR_WARNING)
    assert _quorvi.irls(X, y, 1e-8, 0)["iterations"] == 0


def test_overflowing_normal_equations_fail_cleanly(capfd):
    # Finite data whose weighted normal matrix overflows to infinity.
    X = np.full((4, 2), 1e200)
    X[:, 1] = [1.0, -1.0, 2.0, 0.5]
    with pytest.raises(RuntimeError, match=r"^solve\(\): solution not found$"):
        _quorvi.irls(X, np.array([0.0, 1.0, 1.0, 0.0]), 1e-8, 25)
    assert capfd.readouterr().err == SINGULAR_WARNING


def test_singular_design_warns_every_iteration_and_still_fits(capfd, problem):
    # An all-zero column makes every weighted normal matrix exactly singular:
    # each solve warns and falls back to the minimum-norm least-squares
    # solution, whose coefficient for that column is zero.
    X, y = problem
    with_zeros = np.column_stack([X, np.zeros(len(X))])
    result = _quorvi.irls(with_zeros, y, 1e-8, 25)
    out, err = capfd.readouterr()
    assert out == ""
    assert err == SINGULAR_WARNING * result["iterations"]
    assert result["converged"]
    expected = _quorvi.irls(X, y, 1e-8, 25)
    # The SVD-based solution differs from the direct one by rounding only:
    # both form A and b alike and solve them, the direct way within the
    # reference's componentwise bound, the SVD way (normwise backward stable)
    # within that plus gamma kappa(A) ||beta||.
    reference = reference_irls(X, y, 1e-8, 25)
    n, p = X.shape
    _, _, w = working_weights(X, y, expected["coefficients"])
    normwise = (
        (n + 3 * p) * EPS * np.linalg.cond(X.T @ (X * w[:, None])) * np.linalg.norm(reference.coefficients)
    )
    bound = 2 * (reference.rounding_bound + normwise)
    assert_equal_but_for_rounding(result["coefficients"][:-1], expected["coefficients"], bound)
    # Zero in exact arithmetic: an absolute bound scaled to the problem.
    assert abs(result["coefficients"][-1]) <= bound.max()
