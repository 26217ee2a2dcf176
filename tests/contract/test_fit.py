"""The fit itself: the result dictionary, agreement with an independent NumPy
implementation of the same loop, and the iteration and convergence rules."""

import time

import numpy as np
import pytest

import _quorvi
from irls_reference import assert_equal_but_for_rounding, reference_irls, update_rounding_bound
from problems import logistic_problem


def test_result_is_a_fresh_dict_of_four_keys(problem):
    result = _quorvi.irls(*problem, 1e-8, 25)
    assert list(result) == ["coefficients", "iterations", "time", "converged"]
    assert [type(v) for v in result.values()] == [np.ndarray, int, float, bool]
    coefficients = result["coefficients"]
    assert coefficients.dtype == np.float64 and coefficients.shape == (problem[0].shape[1],)
    # The array owns its values: writing to it changes no later result.
    assert coefficients.flags.owndata and coefficients.flags.writeable and coefficients.flags.c_contiguous
    before = coefficients.copy()
    coefficients[:] = 0.0
    np.testing.assert_array_equal(_quorvi.irls(*problem, 1e-8, 25)["coefficients"], before)
    assert result["time"] > 0.0


def test_time_is_the_loop_in_seconds_within_the_call():
    # The loop runs inside the call, so the seconds it reports are at most the
    # call's wall time, measured around it on a monotonic clock as the module
    # measures its loop. A correctness bound, not a timing: `time` in any
    # smaller unit (milliseconds) would exceed it many times over.
    X, y = logistic_problem(20_000, 20, seed=5)
    start = time.perf_counter()
    result = _quorvi.irls(X, y, 1e-8, 25)
    wall = time.perf_counter() - start
    assert result["converged"]
    assert 0.0 < result["time"] <= wall


PROBLEMS = {
    "200x4": logistic_problem(200, 4, seed=1),
    "1000x12": logistic_problem(1000, 12, seed=2),
    "5000x30 wide spread": logistic_problem(5000, 30, seed=3, scale=3.0),
    "50x1 intercept only": logistic_problem(50, 1, seed=4),
    "3x3 square": (np.array([[1.0, 0.2, 0.0], [1.0, -0.3, 1.0], [1.0, 0.5, 1.0]]), np.array([0.0, 1.0, 0.0])),
}


@pytest.mark.parametrize("name", list(PROBLEMS))
@pytest.mark.parametrize("max_iter", [1, 2, 25])
def test_agrees_with_the_numpy_reference(name, max_iter):
    X, y = PROBLEMS[name]
    reference = reference_irls(X, y, 1e-8, max_iter)
    result = _quorvi.irls(X, y, 1e-8, max_iter)
    # Different BLAS summation orders: agreement to rounding, amplified by the
    # conditioning of the weighted normal equations; each side is within the
    # reference's rounding bound of the exact iterates.
    bound = 2 * reference.rounding_bound
    assert_equal_but_for_rounding(result["coefficients"], reference.coefficients, bound)
    # The iteration counts can be compared only if no update's largest change
    # lies within rounding of tol, where the two could decide differently.
    assert all(abs(change - 1e-8) > 2 * bound.max() for change in reference.largest_changes)
    assert (result["iterations"], result["converged"]) == (reference.iterations, reference.converged)


def test_first_update_solves_with_the_weights_at_zero(problem):
    # From zero coefficients every observation has mu 0.5 and weight 0.25.
    X, y = problem
    expected = np.linalg.solve(X.T @ X * 0.25, X.T @ (y - 0.5))
    bound = 2 * update_rounding_bound(X, y, np.zeros(X.shape[1]), expected)
    assert_equal_but_for_rounding(_quorvi.irls(X, y, 1e-8, 1)["coefficients"], expected, bound)


@pytest.mark.parametrize("max_iter", [0, -1, -(2**31)])
@pytest.mark.parametrize("order", ["C", "F"])
def test_no_update_runs_when_max_iter_is_not_positive(max_iter, order):
    # A wide X, 2 x 1,000,000: an update would need the p x p weighted normal
    # matrix, 8 TB, which no machine has; the result of no update needs none
    # of it, so it is p zeros here as for any X, not a MemoryError.
    X = np.ones((2, 1_000_000), order=order)
    result = _quorvi.irls(X, np.ones(7), 1e-8, max_iter)  # y is not even used
    np.testing.assert_array_equal(result["coefficients"], np.zeros(X.shape[1]))
    assert (result["iterations"], result["converged"]) == (0, False)
    assert result["time"] >= 0.0


def test_convergence_counts_the_update_that_detected_it(problem):
    X, y = problem
    converged_at = _quorvi.irls(X, y, 1e-8, 100)["iterations"]
    assert converged_at > 2
    on_the_last_allowed = _quorvi.irls(X, y, 1e-8, converged_at)
    assert (on_the_last_allowed["iterations"], on_the_last_allowed["converged"]) == (converged_at, True)
    one_short = _quorvi.irls(X, y, 1e-8, converged_at - 1)
    assert (one_short["iterations"], one_short["converged"]) == (converged_at - 1, False)
    # At the limit the result is the last update, not the one before it.
    np.testing.assert_array_equal(one_short["coefficients"], reference_like(X, y, converged_at - 1))


def reference_like(X, y, updates):
    """The coefficients after exactly this many updates, by the module itself."""
    return _quorvi.irls(X, y, -1.0, updates)["coefficients"]


@pytest.mark.parametrize("tol", [-1.0, float("nan"), -float("inf")])
def test_tolerances_that_can_never_be_met_run_to_the_limit(problem, tol):
    # A NaN tol compares false with every change, so, like a negative one, it
    # never declares convergence: a NaN is never reported as success.
    result = _quorvi.irls(*problem, tol, 9)
    assert (result["iterations"], result["converged"]) == (9, False)


def test_infinite_tol_converges_after_one_update(problem):
    result = _quorvi.irls(*problem, float("inf"), 25)
    assert (result["iterations"], result["converged"]) == (1, True)


def test_zero_tol_converges_only_on_an_exact_fixed_point(problem):
    X, y = problem
    result = _quorvi.irls(X, y, 0.0, 200)
    if result["converged"]:
        before = reference_like(X, y, result["iterations"] - 1)
        np.testing.assert_array_equal(result["coefficients"], before)
    else:
        assert result["iterations"] == 200


def test_design_without_columns_converges_at_once():
    result = _quorvi.irls(np.empty((6, 0)), np.ones(6), 1e-8, 25)
    assert result["coefficients"].shape == (0,)
    assert (result["iterations"], result["converged"]) == (1, True)


def test_extreme_linear_predictors_take_the_clamped_weight():
    # A column of huge values drives |eta| far past 37 after the first update:
    # mu is exactly 0 or 1 there and the weight is the 1e-10 floor, which
    # keeps the working response finite, so the fit carries on.
    X = np.column_stack([np.ones(6), [-800.0, -700.0, -1.0, 1.0, 700.0, 800.0]])
    y = np.array([0.0, 0.0, 1.0, 0.0, 1.0, 1.0])
    reference = reference_irls(X, y, 1e-8, 4)
    result = _quorvi.irls(X, y, 1e-8, 4)
    assert np.isfinite(result["coefficients"]).all()
    # The intercept is zero up to rounding (its sign differs between BLAS
    # kernels): only an absolute bound scaled to the data can hold for it.
    assert abs(reference.coefficients[0]) <= reference.rounding_bound[0]
    assert_equal_but_for_rounding(
        result["coefficients"], reference.coefficients, 2 * reference.rounding_bound
    )
    assert (result["iterations"], result["converged"]) == (reference.iterations, reference.converged)
