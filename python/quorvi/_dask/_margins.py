"""The sums of the average marginal effects over a Dask X: each row
chunk's sums made where the chunk lives, added in the caller's process."""

from __future__ import annotations

import functools
import math
from collections.abc import Callable
from typing import Any

import dask.array as da
import numpy as np
import numpy.typing as npt
from dask.base import compute
from dask.delayed import delayed
from sklearn.utils.validation import _check_sample_weight

from .._chunk_checks import checked_values
from .._links import link_named
from .._margins import chunk_sums, frame_sums
from .._robust import checked_offset
from ._input import rows_chunked_as


def _dask_chunk_sums(
    X: Any, weights: Any, offset: Any, coef: npt.NDArray[np.float64], intercept: float, link: str
) -> npt.NDArray[np.float64]:
    X = checked_values(X)
    if weights is not None:
        # A column of the (n, 1) Dask array that pairs the weights with X's chunks.
        weights = _check_sample_weight(
            np.asarray(weights).reshape(-1), X, dtype=np.float64, ensure_non_negative=True
        )
    if offset is not None:
        # Paired with X's chunk in the same way; its length is checked here,
        # where an unmeasured chunk's is first known.
        offset = checked_offset(offset, X.shape[0])
    return chunk_sums(X, weights, coef, intercept, offset, link_named(link)).reshape(1, -1)


def dask_margin_sums(
    X: Any, sample_weight: Any, offset: Any, coef: npt.NDArray[np.float64], intercept: float, link: str
) -> npt.NDArray[np.float64]:
    """The sums of every row chunk, each made where the chunk lives, added
    here: only len(coef) + 3 numbers per chunk travel."""
    if not isinstance(X, da.Array):
        X = X.to_dask_array(lengths=sample_weight is not None or offset is not None)
    if X.ndim != 2:
        raise ValueError(f"Expected a 2-dimensional Dask array for X, got shape {X.shape} instead.")
    if X.shape[1] != len(coef):
        raise ValueError(f"X has {X.shape[1]} features, but the model was fitted on {len(coef)} features.")
    if X.numblocks[1] > 1:
        X = X.rechunk({1: -1})
    width = len(coef) + 3
    chunks = ((1,) * X.numblocks[0], (width,))
    offsets = None if offset is None else rows_chunked_as(offset, "offset", X)[:, None]
    if sample_weight is None:
        parts = da.map_blocks(
            _dask_chunk_sums, X, None, offsets, coef, intercept, link, chunks=chunks, dtype=np.float64
        )
    else:
        if any(math.isnan(size) for size in X.chunks[0]):
            raise ValueError(
                "X has row chunks of unknown size, so sample_weight cannot be matched to them: "
                "measure them (X.compute_chunk_sizes())."
            )
        if hasattr(sample_weight, "to_dask_array"):
            weights = sample_weight.to_dask_array(lengths=True)
        elif isinstance(sample_weight, da.Array):
            weights = sample_weight
        else:
            weights = da.asarray(np.asarray(sample_weight))
        if weights.ndim != 1 or weights.shape[0] != X.shape[0]:
            raise ValueError(
                f"sample_weight should be a 1d array of {X.shape[0]} weights, got shape {weights.shape}"
            )
        weights = weights.rechunk((X.chunks[0],))
        parts = da.map_blocks(
            _dask_chunk_sums,
            X,
            weights[:, None],
            offsets,
            coef,
            intercept,
            link,
            chunks=chunks,
            dtype=np.float64,
        )
    sums: npt.NDArray[np.float64] = np.asarray(parts.sum(axis=0).compute(), dtype=np.float64)
    return sums


def dask_frame_sums(results: Any, X: Any, sample_weight: Any, offset: Any) -> Any:
    """The margins' sums of a Dask DataFrame with categorical columns: each
    partition's made where it lives (as for an in-memory frame), added here
    in partition order, so the result does not depend on the scheduler."""
    sums, *others = _by_partition(X, functools.partial(frame_sums, results), sample_weight, offset)
    for other in others:
        sums.merge(other)
    return sums


def formula_margin_sums(
    data: Any, columns: list[str], sums_of: Callable[[Any, Any, Any], Any], sample_weight: Any, offset: Any
) -> list[Any]:
    """sums_of(partition, weights, offsets) of every partition of data's
    columns (those of the formula: a formula model's marginal effects, whose
    terms are evaluated where each partition lives), in partition order."""
    return _by_partition(data[columns], sums_of, sample_weight, offset)


def _by_partition(
    X: Any, function: Callable[[Any, Any, Any], Any], sample_weight: Any, offset: Any
) -> list[Any]:
    """function(partition, weights, offsets) of every partition of the Dask
    DataFrame X, computed, in partition order. With weights or offsets, the
    partitions' lengths are measured first (one small computation) so that
    the vectors meet their rows."""
    partitions = X.to_delayed()
    vectors = {"sample_weight": sample_weight, "offset": offset}
    chunked: dict[str, list[Any]] = {name: [None] * len(partitions) for name in vectors}
    if sample_weight is not None or offset is not None:
        lengths = tuple(int(length) for length in X.map_partitions(len).compute())
        rows = da.zeros(sum(lengths), chunks=(lengths,))
        for name, vector in vectors.items():
            if vector is not None:
                chunked[name] = list(rows_chunked_as(vector, name, rows).to_delayed())
    parts = [
        delayed(function, pure=True)(part, weights, offsets)
        for part, weights, offsets in zip(
            partitions, chunked["sample_weight"], chunked["offset"], strict=True
        )
    ]
    return list(compute(*parts))
