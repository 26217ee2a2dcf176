"""Dask collections as matching row chunks of X, y and the weights."""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any

import dask.array as da
import numpy as np
import numpy.typing as npt
from dask.delayed import Delayed

from .._chunk_checks import ESTIMATOR_NAME


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
    # Per chunk: the offsets (or None), and the cluster label columns (one
    # or two; empty without clusters).
    offsets: list[Delayed | None]
    clusters: list[list[Delayed]]
    # The Dask arrays the chunks come from: a persisted one keeps its data on
    # the workers only while it is referenced, and the chunks' tasks name
    # that data by key.
    sources: list[da.Array]


def rows_chunked_as(vector: Any, name: str, X: da.Array) -> da.Array:
    """y or sample_weight as a 1-D Dask array in X's row chunks."""
    row_chunks = X.chunks[0]
    if not isinstance(vector, da.Array) and not hasattr(vector, "to_dask_array"):
        values = np.asarray(vector)
        if name == "offset" and values.ndim == 0 and not any(math.isnan(size) for size in row_chunks):
            # One offset for every row.
            return da.full(X.shape[0], float(values), chunks=(row_chunks,))
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


def label_columns(clusters: Any) -> list[Any]:
    """The one or two label columns of clusters (a Dask or NumPy array, a
    Dask DataFrame or Series, or a pandas object)."""
    if hasattr(clusters, "to_dask_array") and getattr(clusters, "ndim", 1) == 2:
        clusters = clusters.to_dask_array(lengths=True)
    if isinstance(clusters, da.Array):
        if clusters.ndim == 1:
            return [clusters]
        return [clusters[:, j] for j in range(clusters.shape[1])]
    if hasattr(clusters, "to_dask_array"):
        return [clusters]
    values = np.asarray(clusters)
    if values.ndim == 1:
        return [values]
    return [values[:, j] for j in range(values.shape[1])]


def row_chunks(X: Any, y: Any, sample_weight: Any, offset: Any = None, clusters: Any = None) -> RowChunks:
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
    y = rows_chunked_as(y, "y", X)
    weights = None if sample_weight is None else rows_chunked_as(sample_weight, "sample_weight", X)
    offsets = None if offset is None else rows_chunked_as(offset, "offset", X)
    columns = [] if clusters is None else label_columns(clusters)
    if len(columns) not in (0, 1, 2):
        raise ValueError(
            f"clusters must have one or two columns (one-way or two-way); it has {len(columns)}."
        )
    labels = [rows_chunked_as(column, "clusters", X) for column in columns]
    label_chunks = [list(column.to_delayed().ravel()) for column in labels]
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
        offsets=[None] * X.numblocks[0] if offsets is None else list(offsets.to_delayed().ravel()),
        clusters=[[column[i] for column in label_chunks] for i in range(X.numblocks[0])],
        sources=[
            X,
            y,
            *([] if weights is None else [weights]),
            *([] if offsets is None else [offsets]),
            *labels,
        ],
    )
