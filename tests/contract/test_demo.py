"""The demo's model, fitted by _quorvi, against statsmodels' IRLS fit of the
same design: an independent implementation of the same estimator."""

import pytest
from fit_anes96 import MAX_ITERATIONS, TOLERANCE, load_design

import _quorvi
from irls_reference import assert_equal_but_for_rounding, least_squares_rounding_bound, update_rounding_bound

sm = pytest.importorskip("statsmodels.api")


def test_demo_coefficients_match_statsmodels():
    names, X, y = load_design()
    result = _quorvi.irls(X, y, TOLERANCE, MAX_ITERATIONS)
    assert result["converged"]
    reference = sm.GLM(y, X, family=sm.families.Binomial()).fit(tol=1e-12, maxiter=100).params
    # Both converge to the same maximum-likelihood point, where an update no
    # longer moves the coefficients but by rounding (IRLS converges
    # quadratically: on this data the last updates move them by 2e-7, then
    # about 1e-13). What is left is each side's rounding at that point: _quorvi
    # solves the normal equations (componentwise bound), statsmodels the
    # least-squares problem (normwise bound). The coefficients span three
    # orders of magnitude, so one relative tolerance would not do.
    bound = update_rounding_bound(X, y, reference, reference) + least_squares_rounding_bound(X, y, reference)
    assert_equal_but_for_rounding(result["coefficients"], reference, bound)
    assert len(names) == X.shape[1]
