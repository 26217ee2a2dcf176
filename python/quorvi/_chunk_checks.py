"""What a chunked back end's first pass checks in each chunk and learns
from it, the same way whichever back end ran the chunk (a Dask chunk, a
Spark partition): the in-memory fit's checks of X, y and the weights made
chunk by chunk (a problem names the chunk), and the two classes with the
weight sums the fit needs, added over the chunks. Imports no back end."""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt
from sklearn.utils import check_array
from sklearn.utils.multiclass import check_classification_targets, type_of_target
from sklearn.utils.validation import _check_sample_weight

from . import _design
from ._validation import ONE_WEIGHTED_CLASS, one_class_message

# check_array names the estimator in some messages (missing values).
ESTIMATOR_NAME = "LogisticRegression"


def chunk_name(index: int, start: int | None, rows: int) -> str:
    """How a message names a chunk of rows: by its index and, once known,
    its rows."""
    where = f"row chunk {index} (X.blocks[{index}]"
    if start is not None:
        where += f", rows {start} to {start + rows - 1}"
    return where + ")"


def class_totals(
    labels: Sequence[npt.NDArray[Any]],
    weighted_labels: Sequence[npt.NDArray[Any]],
    label_weights: Sequence[npt.NDArray[np.float64]],
) -> tuple[npt.NDArray[Any], float, float]:
    """The two sorted labels over the chunks (each chunk's sorted labels,
    those of its rows of positive weight, and each label's weight sum), the
    sum of all weights and that of the second label's rows. Fewer than two
    labels, or fewer than two among the rows of positive weight, are the
    in-memory fit's ValueErrors; more than two the caller has refused, naming
    where they are."""
    seen = np.unique(np.concatenate(labels))
    if len(seen) < 2:
        raise ValueError(one_class_message(seen.tolist()))
    positive = np.unique(np.concatenate(weighted_labels))
    if len(positive) == 0:
        raise ValueError("Sample weights must contain at least one non-zero number.")
    if len(positive) < 2:
        raise ValueError(ONE_WEIGHTED_CLASS)
    n_obs = sum(float(weights.sum()) for weights in label_weights)
    positives = sum(
        float(weights[chunk == seen[1]].sum()) for chunk, weights in zip(labels, label_weights, strict=True)
    )
    return seen, n_obs, positives


@dataclass
class CheckedChunk:
    rows: int
    labels: npt.NDArray[Any]
    weighted_labels: npt.NDArray[Any]  # the labels of the rows of positive weight
    label_weights: npt.NDArray[np.float64]  # the sum of the weights of each of labels


def check_labels(y: Any, weights: Any, index: int, start: int | None) -> CheckedChunk:
    """The in-memory fit's checks of y and the weights, on one chunk: finite,
    discrete labels and valid weights. It reads no X, so that every chunk's
    labels can be gathered before the first update without holding X."""
    y = np.asarray(y)
    try:
        y = check_array(
            y, ensure_2d=False, dtype=None, ensure_min_samples=0, estimator=ESTIMATOR_NAME, input_name="y"
        )
        labels, codes = np.unique(y, return_inverse=True)
        check_classification_targets(labels)
        if weights is None:
            counts = np.bincount(codes.reshape(-1), minlength=len(labels)).astype(np.float64)
            return CheckedChunk(len(y), labels, labels, counts)
        weights = _checked_weights(weights, y)
        sums = np.bincount(codes.reshape(-1), weights=weights, minlength=len(labels)).astype(np.float64)
        return CheckedChunk(len(y), labels, np.unique(y[weights > 0]), sums)
    except ValueError as error:
        raise ValueError(f"{chunk_name(index, start, len(y))}: {error}") from None


def _checked_weights(weights: Any, y: npt.NDArray[Any]) -> npt.NDArray[np.float64]:
    """The in-memory fit's checks of the weights, on one chunk. A chunk of
    weights 0 alone is valid (rows left out, as in memory): the whole fit's
    need of a positive weight is checked by classes, over all chunks."""
    values = np.asarray(weights)
    if values.shape == (len(y),) and len(y) and np.all(values == 0):
        return np.zeros(len(y))
    checked: npt.NDArray[np.float64] = _check_sample_weight(
        weights, y, dtype=np.float64, ensure_non_negative=True
    )
    return checked


def checked_design(X: Any, rows: int, index: int, start: int | None) -> Any:
    """The in-memory fit's checks of X, on one chunk: numbers, all finite, as
    many rows as y's chunk. A scipy.sparse chunk comes back as CSR."""
    try:
        X = checked_values(X)
        if X.shape[0] != rows:
            raise ValueError(
                f"Found input variables with inconsistent numbers of samples: [{X.shape[0]}, {rows}]"
            )
    except ValueError as error:
        raise ValueError(f"{chunk_name(index, start, X.shape[0])}: {error}") from None
    return X


def checked_values(X: Any) -> Any:
    """A chunk of X as float64 numbers for the kernel or the scores: a NumPy
    array of finite values, or, for a scipy.sparse chunk, CSR whose stored
    values are finite (as an in-memory sparse X is checked)."""
    if not _design.is_sparse(X):
        checked: npt.NDArray[np.float64] = check_array(
            X, dtype=np.float64, order=None, ensure_min_samples=0, estimator=ESTIMATOR_NAME, input_name="X"
        )
        return checked
    X = check_array(
        X,
        accept_sparse="csr",
        dtype=np.float64,
        ensure_min_samples=0,
        ensure_all_finite=False,
        estimator=ESTIMATOR_NAME,
        input_name="X",
    )
    _design.check_stored_values(X)
    return X


def classes(
    starts: Sequence[int | None], checked: Sequence[CheckedChunk]
) -> tuple[npt.NDArray[Any], float, float, list[int]]:
    """The two sorted labels over all chunks, the sum of all weights, that
    of the second label's rows, and each chunk's row count (which Dask may
    not know); the chunk that brings a third label, or the lack of a
    second, is a ValueError."""
    seen: npt.NDArray[Any] = checked[0].labels[:0]
    for index, chunk in enumerate(checked):
        seen = np.union1d(seen, chunk.labels)
        if len(seen) > 2:
            target_type = type_of_target(seen)
            raise ValueError(
                f"Only binary classification is supported. The type of the target is {target_type}: "
                f"{chunk_name(index, starts[index], chunk.rows)} brings labels beyond two, "
                f"{seen.tolist()}."
            )
    seen, n_obs, positives = class_totals(
        [chunk.labels for chunk in checked],
        [chunk.weighted_labels for chunk in checked],
        [chunk.label_weights for chunk in checked],
    )
    return seen, n_obs, positives, [chunk.rows for chunk in checked]
