"""The fit on Dask arrays: the same IRLS as in memory, with each update's
normal equations summed chunk by chunk where the chunks live.

Every iteration is one task per row chunk, which calls the native kernel on
that chunk (the interpreter lock released) and returns its partial sums
(q x q, tiny), then a tree of additions over the chunks in their order, then
the q x q solve and the convergence test here, in the caller's process. Only
the coefficients go out to the workers and only the sums come back; X is
read where it is (in a worker's memory, or streamed from a Zarr store or a
memory-mapped file each iteration) and never gathered.

The reduction adds the chunks' sums in a fixed order whichever worker made
them, so the same data and chunking give the same bits on any cluster,
after a worker was lost, and with Dask's local scheduler. The tasks run with
the active dask.distributed client, or with Dask's default scheduler.

Imported only when a Dask collection is passed: the core package does not
need Dask."""

from __future__ import annotations

import math
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Any

import dask.array as da
import numpy as np
import numpy.typing as npt
from dask.base import compute
from dask.delayed import Delayed, delayed
from sklearn.utils import check_array
from sklearn.utils.multiclass import check_classification_targets, type_of_target
from sklearn.utils.validation import _check_sample_weight

from . import _native, _prediction
from ._validation import native_layout

# Partial sums added per reduction task: a tree of depth log16(chunks). Each
# level is a hop between workers and costs milliseconds on every update;
# the sums are q x q, so even 16 of them are small beside a chunk of X.
FAN_IN = 16

# check_array names the estimator in some messages (missing values).
ESTIMATOR_NAME = "LogisticRegression"

Progress = Callable[[int, float, float, float], None]


def as_dask_array(value: Any) -> da.Array:
    """A Dask array from a Dask array, or from a Dask DataFrame or Series
    (their row chunks measured, so that rows can be counted and matched)."""
    if isinstance(value, da.Array):
        return value
    if hasattr(value, "to_dask_array"):
        array: da.Array = value.to_dask_array(lengths=True)
        return array
    raise ValueError(f"expected a Dask array, DataFrame or Series, got {type(value).__name__}")


def feature_names(X: Any) -> npt.NDArray[np.object_] | None:
    """The column names of a Dask DataFrame, when they are all strings (as
    scikit-learn takes them from a pandas DataFrame)."""
    columns = getattr(X, "columns", None)
    if columns is None or not all(isinstance(name, str) for name in columns):
        return None
    return np.asarray(columns, dtype=object)


@dataclass
class RowChunks:
    """X, y and the weights as matching row chunks, with where each chunk
    starts (None where Dask does not know the chunk sizes)."""

    X: list[Delayed]
    y: list[Delayed]
    weights: list[Delayed | None]
    starts: list[int | None]
    n_features: int
    # The Dask arrays the chunks come from: a persisted one keeps its data on
    # the workers only while it is referenced, and the chunks' tasks name
    # that data by key.
    sources: list[da.Array]


def _rows_chunked_as(vector: Any, name: str, X: da.Array) -> da.Array:
    """y or sample_weight as a 1-D Dask array in X's row chunks."""
    row_chunks = X.chunks[0]
    if not isinstance(vector, da.Array) and not hasattr(vector, "to_dask_array"):
        values = np.asarray(vector)
        if values.ndim != 1:
            raise ValueError(f"{name} should be a 1d array, got an array of shape {values.shape} instead.")
        if any(math.isnan(size) for size in row_chunks):
            raise ValueError(
                f"X has row chunks of unknown size, so a NumPy {name} cannot be matched to them: "
                "pass a Dask array, or measure X's chunks (X.compute_chunk_sizes(), or "
                "to_dask_array(lengths=True) on a DataFrame)."
            )
        if len(values) != X.shape[0]:
            raise ValueError(
                f"Found input variables with inconsistent numbers of samples: [{X.shape[0]}, {len(values)}]"
            )
        # Held by the scheduler's workers for the fit (persisted once), not
        # embedded in every update's graph and sent again each time.
        return da.from_array(values, chunks=(row_chunks,)).persist()
    vector = as_dask_array(vector)
    if vector.ndim != 1:
        raise ValueError(f"{name} should be a 1d array, got an array of shape {vector.shape} instead.")
    if any(math.isnan(size) for size in row_chunks + vector.chunks[0]):
        # Unknown sizes cannot be rechunked: chunk i is paired with chunk i,
        # and each task checks that their lengths agree.
        if vector.numblocks[0] != X.numblocks[0]:
            raise ValueError(
                f"X and {name} have row chunks of unknown size and {X.numblocks[0]} and "
                f"{vector.numblocks[0]} chunks: measure them (.compute_chunk_sizes(), or "
                "to_dask_array(lengths=True) on a DataFrame) or chunk them alike."
            )
        return vector
    if vector.shape[0] != X.shape[0]:
        raise ValueError(
            f"Found input variables with inconsistent numbers of samples: [{X.shape[0]}, {vector.shape[0]}]"
        )
    return vector.rechunk((row_chunks,))


def row_chunks(X: Any, y: Any, sample_weight: Any) -> RowChunks:
    X = as_dask_array(X)
    if X.ndim != 2:
        raise ValueError(f"Expected a 2-dimensional Dask array for X, got shape {X.shape} instead.")
    if X.shape[1] == 0:
        raise ValueError(
            f"Found array with 0 feature(s) (shape={X.shape}) while a minimum of 1 is required by "
            f"{ESTIMATOR_NAME}."
        )
    if X.numblocks[1] > 1:
        # The kernel needs whole rows.
        X = X.rechunk({1: -1})
    y = _rows_chunked_as(y, "y", X)
    weights = None if sample_weight is None else _rows_chunked_as(sample_weight, "sample_weight", X)
    starts: list[int | None] = []
    start: float = 0
    for size in X.chunks[0]:
        starts.append(None if math.isnan(start) else int(start))
        start += size
    return RowChunks(
        X=list(X.to_delayed().ravel()),
        y=list(y.to_delayed().ravel()),
        weights=[None] * X.numblocks[0] if weights is None else list(weights.to_delayed().ravel()),
        starts=starts,
        n_features=int(X.shape[1]),
        sources=[X, y] if weights is None else [X, y, weights],
    )


def _chunk_name(index: int, start: int | None, rows: int) -> str:
    where = f"row chunk {index} (X.blocks[{index}]"
    if start is not None:
        where += f", rows {start} to {start + rows - 1}"
    return where + ")"


@dataclass
class CheckedChunk:
    rows: int
    labels: npt.NDArray[Any]
    weighted_labels: npt.NDArray[Any]  # the labels of the rows of positive weight
    label_weights: npt.NDArray[np.float64]  # the sum of the weights of each of labels


def _check_labels(y: Any, weights: Any, index: int, start: int | None) -> CheckedChunk:
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
        weights = _check_sample_weight(weights, y, dtype=np.float64, ensure_non_negative=True)
        sums = np.bincount(codes.reshape(-1), weights=weights, minlength=len(labels))
        return CheckedChunk(len(y), labels, np.unique(y[weights > 0]), sums)
    except ValueError as error:
        raise ValueError(f"{_chunk_name(index, start, len(y))}: {error}") from None


def _checked_design(X: Any, rows: int, index: int, start: int | None) -> npt.NDArray[np.float64]:
    """The in-memory fit's checks of X, on one chunk: numbers, all finite, as
    many rows as y's chunk."""
    try:
        X = check_array(
            X, dtype=np.float64, order=None, ensure_min_samples=0, estimator=ESTIMATOR_NAME, input_name="X"
        )
        if len(X) != rows:
            raise ValueError(
                f"Found input variables with inconsistent numbers of samples: [{len(X)}, {rows}]"
            )
    except ValueError as error:
        raise ValueError(f"{_chunk_name(index, start, len(X))}: {error}") from None
    checked: npt.NDArray[np.float64] = X
    return checked


def _classes(
    starts: Sequence[int | None], checked: Sequence[CheckedChunk]
) -> tuple[npt.NDArray[Any], float, float]:
    """The two sorted labels over all chunks, the sum of all weights and that
    of the second label's rows; the chunk that brings a third label, or the
    lack of a second, is a ValueError."""
    seen: npt.NDArray[Any] = checked[0].labels[:0]
    for index, chunk in enumerate(checked):
        seen = np.union1d(seen, chunk.labels)
        if len(seen) > 2:
            target_type = type_of_target(seen)
            raise ValueError(
                f"Only binary classification is supported. The type of the target is {target_type}: "
                f"{_chunk_name(index, starts[index], chunk.rows)} brings labels beyond two, "
                f"{seen.tolist()}."
            )
    if len(seen) < 2:
        # tolist(): the label as Python shows it, 1.0 rather than np.float64(1.0).
        found = f"only one class ({seen.tolist()[0]!r})" if len(seen) else "no samples"
        raise ValueError(f"y contains {found}: a classifier needs samples of two classes.")
    positive = np.unique(np.concatenate([chunk.weighted_labels for chunk in checked]))
    if len(positive) < 2:
        raise ValueError(
            "sample_weight gives a positive weight to the samples of only one class: "
            "a classifier needs samples of two classes."
        )
    n_obs = sum(float(chunk.label_weights.sum()) for chunk in checked)
    positives = sum(float(chunk.label_weights[chunk.labels == seen[1]].sum()) for chunk in checked)
    return seen, n_obs, positives


def _chunk_sums(
    X: Any,
    y: Any,
    weights: Any,
    positive: Any,
    beta: npt.NDArray[np.float64],
    fit_intercept: bool,
    with_statistics: bool,
    check: tuple[int, int | None] | None,
) -> dict[str, Any]:
    """The native kernel on one chunk: its share of A, b and, with
    statistics, of the deviance and the boundary rows. check, on the first
    pass, is the chunk's (index, first row): its X is checked before use."""
    y = np.asarray(y)
    X = np.asarray(X, dtype=np.float64) if check is None else _checked_design(X, len(y), *check)
    X = native_layout(X)
    y01 = (y == positive).astype(np.float64)
    if weights is not None:
        weights = np.require(weights, dtype=np.float64, requirements=["C", "A"])
    sums: dict[str, Any] = _native.normal_equations(X, y01, weights, beta, fit_intercept, with_statistics)
    return sums


def _add_sums(*parts: dict[str, Any]) -> dict[str, Any]:
    """The sums of parts, added left to right: the same order on every run."""
    total = {
        key: np.array(value, copy=True) if key in ("A", "b") else value for key, value in parts[0].items()
    }
    for part in parts[1:]:
        total["A"] += part["A"]
        total["b"] += part["b"]
        total["deviance"] += part["deviance"]
        total["boundary_rows"] += part["boundary_rows"]
    return total


def _tree_sum(parts: list[Delayed]) -> Delayed:
    while len(parts) > 1:
        parts = [
            delayed(_add_sums, pure=False)(*parts[first : first + FAN_IN])
            for first in range(0, len(parts), FAN_IN)
        ]
    return parts[0]


class _NormalEquations:
    """Sums the normal equations over all chunks at given coefficients. The
    first pass also checks the chunks and finds the classes, in the same
    graph, so that a fit makes one round trip to the cluster per update. Its
    checks of the labels read y alone; each chunk of X is checked by the task
    that sums it, so X is still read one chunk at a time."""

    def __init__(self, chunks: RowChunks, classes: Delayed, fit_intercept: bool) -> None:
        self.chunks = chunks
        # A Delayed until the first pass computes it, then the two labels.
        self.classes: Any = classes
        self.fit_intercept = fit_intercept
        self.n_obs = 0.0
        self.weighted_positives = 0.0

    def __call__(self, beta: npt.NDArray[np.float64], with_statistics: bool) -> dict[str, Any]:
        chunk_sums = delayed(_chunk_sums, pure=False)
        first_pass = isinstance(self.classes, Delayed)
        positive = self.classes[0][1] if first_pass else self.classes[1]
        chunks = self.chunks
        parts = [
            chunk_sums(
                X,
                y,
                weights,
                positive,
                beta,
                self.fit_intercept,
                with_statistics,
                (index, start) if first_pass else None,
            )
            for index, (X, y, weights, start) in enumerate(
                zip(chunks.X, chunks.y, chunks.weights, chunks.starts, strict=True)
            )
        ]
        if first_pass:
            total, (self.classes, self.n_obs, self.weighted_positives) = compute(
                _tree_sum(parts), self.classes
            )
        else:
            (total,) = compute(_tree_sum(parts))
        # What comes back from a worker may be read-only or unaligned: the
        # solve gets fresh arrays of its own.
        total["A"] = np.array(total["A"], dtype=np.float64, order="C", copy=True)
        total["b"] = np.array(total["b"], dtype=np.float64, copy=True)
        return dict(total)


@dataclass
class DaskFit:
    result: dict[str, Any]  # the keys quorvi._native.fit returns
    classes: npt.NDArray[Any]
    n_features: int
    feature_names: npt.NDArray[np.object_] | None


def fit_dask(
    X: Any,
    y: Any,
    sample_weight: Any,
    *,
    fit_intercept: bool,
    tol: float,
    max_iter: int,
    progress: Progress | None,
) -> DaskFit:
    """The IRLS fit on Dask collections, in the steps of quorvi._native.fit."""
    names = feature_names(X)
    chunks = row_chunks(X, y, sample_weight)
    check = delayed(_check_labels, pure=False)
    checks = [
        check(y_chunk, weights, index, start)
        for index, (y_chunk, weights, start) in enumerate(
            zip(chunks.y, chunks.weights, chunks.starts, strict=True)
        )
    ]
    classes = delayed(_classes, pure=False)(chunks.starts, checks)
    normal_equations = _NormalEquations(chunks, classes, fit_intercept)

    q = chunks.n_features + int(fit_intercept)
    beta = np.zeros(q)
    iterations = 0
    changed = True
    start = time.perf_counter()
    while iterations < max_iter:
        sums = normal_equations(beta, with_statistics=progress is not None)
        beta_new, changed, max_change = _native.irls_update(sums["A"], sums["b"], beta, tol)
        beta = beta_new
        iterations += 1
        if progress is not None:
            progress(iterations, sums["deviance"], max_change, time.perf_counter() - start)
        if not changed:
            break
    seconds = time.perf_counter() - start if iterations else 0.0

    summary = normal_equations(beta, with_statistics=True)
    result = {
        "coefficients": beta,
        "iterations": iterations,
        "time": seconds,
        "converged": not changed,
        "covariance": _native.covariance(summary["A"]),
        "deviance": float(summary["deviance"]),
        "boundary_rows": int(summary["boundary_rows"]),
        "n_obs": normal_equations.n_obs,
        "weighted_positives": normal_equations.weighted_positives,
    }
    return DaskFit(result, np.asarray(normal_equations.classes), chunks.n_features, names)


def _prediction_input(X: Any, n_features: int) -> da.Array:
    # Prediction needs no row counts: a DataFrame's chunks are not measured.
    X = X.to_dask_array() if hasattr(X, "to_dask_array") else as_dask_array(X)
    if X.ndim != 2:
        raise ValueError(f"Expected a 2-dimensional Dask array for X, got shape {X.shape} instead.")
    if X.shape[1] != n_features:
        raise ValueError(
            f"X has {X.shape[1]} features, but {ESTIMATOR_NAME} is expecting {n_features} features as input."
        )
    return X.rechunk({1: -1}) if X.numblocks[1] > 1 else X


def _chunk_scores(X: Any, coef: npt.NDArray[np.float64], intercept: float) -> npt.NDArray[np.float64]:
    X = check_array(
        X, dtype=np.float64, order=None, ensure_min_samples=0, estimator=ESTIMATOR_NAME, input_name="X"
    )
    return _prediction.scores(X, coef, intercept)


def _chunk_probabilities(X: Any, coef: npt.NDArray[np.float64], intercept: float) -> npt.NDArray[np.float64]:
    return _prediction.probabilities(_chunk_scores(X, coef, intercept))


def _chunk_labels(
    X: Any, coef: npt.NDArray[np.float64], intercept: float, classes: npt.NDArray[Any]
) -> npt.NDArray[Any]:
    return _prediction.labels(_chunk_scores(X, coef, intercept), classes)


def decision_function(X: Any, coef: npt.NDArray[np.float64], intercept: float) -> da.Array:
    X = _prediction_input(X, len(coef))
    return X.map_blocks(_chunk_scores, coef, intercept, drop_axis=1, dtype=np.float64)


def predict_proba(X: Any, coef: npt.NDArray[np.float64], intercept: float) -> da.Array:
    X = _prediction_input(X, len(coef))
    return X.map_blocks(_chunk_probabilities, coef, intercept, chunks=(X.chunks[0], (2,)), dtype=np.float64)


def predict(X: Any, coef: npt.NDArray[np.float64], intercept: float, classes: npt.NDArray[Any]) -> da.Array:
    X = _prediction_input(X, len(coef))
    return X.map_blocks(_chunk_labels, coef, intercept, classes, drop_axis=1, dtype=classes.dtype)
