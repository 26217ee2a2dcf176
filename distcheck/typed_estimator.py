"""What a type checker must accept and refuse in the use of the estimator
quorvi.LogisticRegression, from its inline annotations (the package ships
py.typed).

`make stub-check` and `make wheel-check` run mypy --strict on this file with
--warn-unused-ignores, as on typed_usage.py: every call marked
`type: ignore[...]` must really be an error, and every unmarked line must
pass. The file is type-checked only, never run.
"""

from typing import assert_type

import numpy as np
import numpy.typing as npt

import quorvi
from quorvi import LogisticRegression, PerfectSeparationWarning

X = np.ones((4, 2))
y = np.array([0, 1, 1, 0])

# Accepted: keyword parameters; fit returns the estimator itself, so calls chain.
model = LogisticRegression(fit_intercept=False, tol=1e-6, max_iter=50, n_threads=2, verbose=1)
model = LogisticRegression().fit(X, y, sample_weight=np.ones(4))
labels: npt.NDArray[np.generic] = LogisticRegression().fit(X.tolist(), ["a", "b", "b", "a"]).predict(X)
probabilities: npt.NDArray[np.float64] = model.predict_proba(X)
scores: npt.NDArray[np.float64] = model.decision_function(X)
coefficients: npt.NDArray[np.float64] = model.coef_
covariance: npt.NDArray[np.float64] = model.covariance_
iterations: int = int(model.n_iter_[0])
converged: bool = model.converged_
seconds: float = model.time_
table = model.coef_table()
# What the methods return, as mypy sees it (not Any).
assert_type(model.predict_proba(X), npt.NDArray[np.float64])
assert_type(model.predict_log_proba(X), npt.NDArray[np.float64])
assert_type(model.decision_function(X), npt.NDArray[np.float64])
assert_type(model.score(X, y), float)
version: str = quorvi.__version__
category: type[UserWarning] = PerfectSeparationWarning

# Refused: parameters are keyword-only; the attributes have the types of
# their values. (fit(X) alone is accepted: with a formula, y comes from it.)
LogisticRegression(True)  # type: ignore[call-arg]
LogisticRegression(tol="1e-6")  # type: ignore[arg-type]
LogisticRegression(max_iter=2.5)  # type: ignore[arg-type]
LogisticRegression(penalty="l2")  # type: ignore[call-arg]
model.coef_table(0.05)  # type: ignore[call-arg]
seconds = model.coef_  # type: ignore[assignment]
converged = model.time_  # type: ignore[assignment]
