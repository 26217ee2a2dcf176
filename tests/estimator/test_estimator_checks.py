"""scikit-learn's own estimator checks: the whole contract of a scikit-learn
classifier (cloning, parameters, fitted attributes, input validation, sample
weights, pickling, feature names), run against quorvi.LogisticRegression."""

import pytest
from sklearn.utils.estimator_checks import parametrize_with_checks

from quorvi import LogisticRegression

EXPECTED_FAILURES = {
    # The check fits 15 samples with 30 features: any labelling of them is
    # separable, so without a penalty the likelihood has no maximum and the
    # coefficients grow along a different path for the weighted fit and for
    # the fit on repeated rows; wherever each stops, their probabilities
    # differ (1e-86 against 1). Weights as repetitions are checked on data
    # with a maximum in test_estimator.py (statsmodels' freq_weights).
    "check_sample_weight_equivalence_on_dense_data": "no finite maximum likelihood on the check's data (more "
    "features than samples): weighted and repeated fits diverge differently",
    "check_sample_weight_equivalence_on_sparse_data": "the same data as a sparse matrix",
}


# Many checks fit well-separated blobs: without a penalty the likelihood of
# separated classes has no finite maximum, so the fit warns that it did not
# converge or that rows sit at probability 0 or 1. Those warnings are the
# estimator doing its job on that data, not a failed check.
@pytest.mark.filterwarnings("ignore::sklearn.exceptions.ConvergenceWarning")
@pytest.mark.filterwarnings("ignore::quorvi.PerfectSeparationWarning")
@parametrize_with_checks([LogisticRegression()], expected_failed_checks=lambda estimator: EXPECTED_FAILURES)
def test_scikit_learn_estimator_checks(estimator, check):
    check(estimator)
