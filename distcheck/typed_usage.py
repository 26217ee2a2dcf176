"""What a type checker must accept and refuse, given the _quorvi stub.

`make stub-check` runs mypy on this file with --warn-unused-ignores: every
call marked `type: ignore[...]` must really be an error (otherwise mypy
reports the ignore as unused and the check fails), and every unmarked call
must pass. The file is type-checked only, never run.
"""

from typing import assert_type

import numpy as np
import numpy.typing as npt

import _quorvi

X = np.ones((4, 2))
y = np.array([0.0, 1.0, 1.0, 0.0])

# Accepted: four positional arguments; any array-like, any real tol.
result = _quorvi.irls(X, y, 1e-8, 25)
_quorvi.irls([[1.0, 0.0], [1.0, 1.0]], [0, 1], 0, 10)
_quorvi.irls(X.T.copy(order="F").T, y[::-1], np.float64(1e-6), np.int32(5))
# The result's keys have the types of their values.
assert_type(result["coefficients"], npt.NDArray[np.float64])
assert_type(result["iterations"], int)
assert_type(result["time"], float)
assert_type(result["converged"], bool)
_quorvi.check_arma()

# Refused: the module takes no keyword arguments, not even its own
# generated parameter names, and exactly four arguments.
_quorvi.irls(X=X, y=y, tol=1e-8, max_iter=25)  # type: ignore[call-arg]
_quorvi.irls(arg0=X, arg1=y, arg2=1e-8, arg3=25)  # type: ignore[call-arg]
_quorvi.irls(X, y, 1e-8)  # type: ignore[call-arg]
_quorvi.irls(X, y, 1e-8, 25, 0)  # type: ignore[call-arg]
_quorvi.irls(X, y, "1e-8", 25)  # type: ignore[arg-type]
_quorvi.check_arma(1)  # type: ignore[call-arg]
_quorvi.no_such_function()  # type: ignore[attr-defined]
result["coefficient"]  # type: ignore[typeddict-item]
iterations: str = result["iterations"]  # type: ignore[assignment]
