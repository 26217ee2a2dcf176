"""Warnings that point at the user's line, whatever the path through the
package: the first frame outside it (and outside scikit-learn's wrapper of
fit) is the one a warning names, so no entry counts its own stack levels."""

from __future__ import annotations

import os
import sys
import warnings

_PACKAGE = os.path.dirname(os.path.abspath(__file__)) + os.sep
# scikit-learn's _fit_context wraps the estimator's fit: a frame between
# the user's call and ours that the user did not write.
_SKLEARN_BASE = os.path.join("sklearn", "base.py")


def warn(message: str, category: type[Warning]) -> None:
    """warnings.warn(message, category) at the first frame that is not the
    package's own (Python 3.12's skip_file_prefixes, on 3.11 too)."""
    frame = sys._getframe(0)
    level = 1
    while frame is not None and _internal(frame.f_code.co_filename, frame.f_code.co_name):
        frame = frame.f_back  # type: ignore[assignment]
        level += 1
    warnings.warn(message, category, stacklevel=level)


def _internal(filename: str, function: str) -> bool:
    return filename.startswith(_PACKAGE) or (filename.endswith(_SKLEARN_BASE) and function == "wrapper")
