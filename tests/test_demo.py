"""The demo's model, fitted by _quorvi, against statsmodels' IRLS fit of the
same design: an independent implementation of the same estimator."""

import numpy as np
import pytest
from fit_anes96 import MAX_ITERATIONS, TOLERANCE, load_design

import _quorvi

sm = pytest.importorskip("statsmodels.api")


def test_demo_coefficients_match_statsmodels():
    names, X, y = load_design()
    result = _quorvi.irls(X, y, TOLERANCE, MAX_ITERATIONS)
    assert result["converged"]
    reference = sm.GLM(y, X, family=sm.families.Binomial()).fit(tol=1e-12, maxiter=100)
    # Both converge to the same maximum-likelihood point; 1e-8 in the
    # coefficient change leaves differences far below 1e-6.
    np.testing.assert_allclose(result["coefficients"], reference.params, rtol=1e-6, atol=1e-8)
    assert len(names) == X.shape[1]
