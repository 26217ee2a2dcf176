"""Turning what a caller passes to the estimator into what the native fit
reads, without copying X when it can be read in place and without ever
writing the caller's arrays."""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt
from sklearn.utils.multiclass import check_classification_targets, type_of_target
from sklearn.utils.validation import _check_sample_weight

# The checks' messages, one text for every back end (in memory, and the
# chunk by chunk checks of quorvi._dask).
ONE_WEIGHTED_CLASS = (
    "sample_weight gives a positive weight to the samples of only one class: "
    "a classifier needs samples of two classes."
)


def one_class_message(labels: list[Any]) -> str:
    """What a y of fewer than two classes is told: its one label, or none."""
    # The label as Python shows it (from tolist()), 1.0 rather than np.float64(1.0).
    found = f"only one class ({labels[0]!r})" if labels else "no samples"
    return f"y contains {found}: a classifier needs samples of two classes."


def is_distributed(value: Any) -> bool:
    """True for an input of a registered back end other than memory (a Dask
    array, DataFrame or Series): _backends.py says which."""
    from ._backends import backend_of

    return backend_of(value) is not None


def native_layout(X: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    """X as the engine reads it: float64 (already, from validation), C- or
    F-contiguous, at any alignment (a chunk that came over the network is
    often a view at an odd byte offset). A float64 array in either order is
    returned as it is, so the fit reads the caller's memory in place; a
    strided view is copied once, into C order."""
    if X.flags.c_contiguous or X.flags.f_contiguous:
        return X
    return np.ascontiguousarray(X, dtype=np.float64)


def encode_binary_target(y: npt.NDArray[Any]) -> tuple[npt.NDArray[Any], npt.NDArray[np.float64]]:
    """(classes_, y as 0.0/1.0): the two labels sorted, and 1.0 where y is the
    second of them, the class whose probability the model fits.

    Numeric labels that are already two values take a path that needs only
    the 0/1 vector and two boolean masks: sorting y, as np.unique does (and
    scikit-learn's target checks, twice), would cost several vectors of length
    n, as much as X itself when X has few columns. Anything else, and every
    error, goes through scikit-learn's own checks and wording."""
    if y.dtype.kind in "biuf" and y.size:
        low, high = y.min(), y.max()
        if low == 0.0 and high == 1.0 and y.dtype == np.float64 and y.flags.c_contiguous and y.flags.aligned:
            # Already the 0/1 vector (the usual float y): used as it is, since
            # the fit only reads it; a copy would be 8 bytes a row.
            is_low = y == low
            if np.count_nonzero(is_low) + np.count_nonzero(y == high) == y.size:
                return np.array([low, high], dtype=y.dtype), y
        is_high = y == high
        if low != high and np.count_nonzero(is_high | (y == low)) == y.size:
            return np.array([low, high], dtype=y.dtype), is_high.astype(np.float64)
    check_classification_targets(y)
    y_type = type_of_target(y, input_name="y", raise_unknown=True)
    if y_type != "binary":
        raise ValueError(f"Only binary classification is supported. The type of the target is {y_type}.")
    classes, encoded = np.unique(y, return_inverse=True)
    if len(classes) < 2:
        raise ValueError(one_class_message(classes.tolist()))
    return classes, encoded.astype(np.float64).reshape(-1)


def frequency_weights(
    sample_weight: Any, X: npt.NDArray[np.float64], y01: npt.NDArray[np.float64]
) -> npt.NDArray[np.float64] | None:
    """sample_weight as float64, C-contiguous, finite and non-negative, or
    None when the caller passed none (the engine then weights every row 1)."""
    if sample_weight is None:
        return None
    weights: npt.NDArray[np.float64] = _check_sample_weight(
        sample_weight, X, dtype=np.float64, ensure_non_negative=True
    )
    positive = weights > 0
    if not (positive & (y01 == 1.0)).any() or not (positive & (y01 == 0.0)).any():
        raise ValueError(ONE_WEIGHTED_CLASS)
    return weights
