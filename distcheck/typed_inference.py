"""What a type checker must accept and refuse in the inference of
quorvi.LogisticRegression, with pandas' types installed (pandas-stubs):
`make stub-check` runs mypy --strict on it, as on typed_estimator.py. The
file is type-checked only, never run."""

from typing import assert_type

import numpy as np
import pandas as pd

from quorvi import LogisticRegression, WaldTestResult

X = pd.DataFrame({"a": [0.0, 1.0, 2.0, 3.0], "b": [1.0, 0.0, 1.0, 0.0]})
y = np.array([0, 1, 1, 0])

model = LogisticRegression(cov_type="HC1", C=10.0).fit(X, y, offset=np.zeros(4))
assert_type(model.coef_table(), pd.DataFrame)
assert_type(model.marginal_effects(X), pd.DataFrame)
assert_type(model.wald_test(["a", "b"]), WaldTestResult)
statistic: float = model.wald_test("a").statistic
assert_type(model.wald_test("a = 2 * b, intercept = 0"), WaldTestResult)
assert_type(model.wald_test(np.array([[0.0, 1.0, -1.0]]), [0.0]), WaldTestResult)
text: str = str(model.summary())
assert_type(model.prediction_table(X, alpha=0.1), pd.DataFrame)
assert_type(model.coef_table(alpha=0.01), pd.DataFrame)

# Refused: the table is a DataFrame, not an array of numbers.
rows: int = model.coef_table()  # type: ignore[assignment]
model.wald_test(3)  # type: ignore[arg-type]
