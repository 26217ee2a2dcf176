"""quorvi: logistic regression by Iteratively Reweighted Least Squares, as a
scikit-learn estimator with standard errors and p-values, fitted natively on
every core with the interpreter lock released.

    from quorvi import LogisticRegression
    model = LogisticRegression().fit(X, y)
    model.coef_table()   # coefficients, standard errors, z, p-values, 95 % intervals
"""

from importlib.metadata import version as _version

from . import _formula
from ._estimator import LogisticRegression
from ._formula import logit
from ._inference import CollinearityWarning, PenaltyWarning, PerfectSeparationWarning, WaldTestResult
from ._robust import CovarianceCorrectionWarning

_formula.document_logit(LogisticRegression.__doc__)

__version__: str = _version("quorvi")

__all__ = [
    "CollinearityWarning",
    "CovarianceCorrectionWarning",
    "LogisticRegression",
    "PenaltyWarning",
    "PerfectSeparationWarning",
    "WaldTestResult",
    "__version__",
    "logit",
]
