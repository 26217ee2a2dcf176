"""scikit-learn's own estimator checks: the whole contract of a scikit-learn
classifier (cloning, parameters, fitted attributes, input validation, sample
weights, pickling, feature names), run against quorvi.LogisticRegression."""

import pytest
from sklearn.utils.estimator_checks import parametrize_with_checks

from quorvi import LogisticRegression


# Many checks fit well-separated blobs: without a penalty the likelihood of
# separated classes has no finite maximum, so the fit warns that it did not
# converge or that rows sit at probability 0 or 1. Those warnings are the
# estimator doing its job on that data, not a failed check.
@pytest.mark.filterwarnings("ignore::sklearn.exceptions.ConvergenceWarning")
@pytest.mark.filterwarnings("ignore::quorvi.PerfectSeparationWarning")
@parametrize_with_checks([LogisticRegression()])
def test_scikit_learn_estimator_checks(estimator, check):
    check(estimator)
