"""Empty arrays at misaligned addresses. NumPy calls every empty array
aligned, so such an array reaches the module as it is; it must give what
the same empty shape gives from ordinary memory. (In the sanitized build of
`make sanitize`, this is where Armadillo used to form element references
at the misaligned address.)"""

import numpy as np
import pytest

import _quorvi


def misaligned(shape):
    buffer = bytearray(int(np.prod(shape)) * 8 + 1)
    array = np.frombuffer(buffer, dtype=np.float64, offset=1, count=int(np.prod(shape))).reshape(shape)
    assert array.ctypes.data % 8 != 0
    return array


@pytest.mark.parametrize(("X_shape", "y_length"), [((0, 3), 0), ((5, 0), 5), ((0, 0), 0)])
@pytest.mark.parametrize("which", ["X", "y", "both"])
def test_empty_misaligned_input_fits_like_ordinary_memory(X_shape, y_length, which):
    X, y = np.ones(X_shape), np.ones(y_length)
    expected = _quorvi.irls(X, y, 1e-8, 25)
    X_given = misaligned(X_shape) if which in ("X", "both") else X
    y_given = misaligned((y_length,)) if which in ("y", "both") else y
    result = _quorvi.irls(X_given, y_given, 1e-8, 25)
    assert result["coefficients"].tobytes() == expected["coefficients"].tobytes()
    assert (result["iterations"], result["converged"]) == (expected["iterations"], expected["converged"])
