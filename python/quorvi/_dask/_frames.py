"""Dask DataFrames with categorical columns: their layout, learned from the
frame's dtypes before any task runs and cut to the levels with rows in the
pass that measures the partitions, their partitions as the chunks of the
fit (each read by the same block conversion as an in-memory frame), and
predictions on them (those of absorbed columns: _absorbed_prediction)."""

from __future__ import annotations

from collections.abc import Collection
from typing import Any

import dask.array as da
import numpy as np
import numpy.typing as npt
from dask.base import compute
from dask.delayed import Delayed, delayed

from .. import _design, _prediction
from .._links import link_named
from ._input import RowChunks, row_chunks, rows_chunked_as


def frame_layout(X: Any, fit_intercept: bool) -> _design.FrameLayout | None:
    """The layout of a Dask DataFrame with a categorical column (None for any
    other collection, and for an all-numeric frame, which takes the array
    path). A categorical column of unknown categories, or a string column,
    is refused here, before any task runs: every partition must code its
    levels alike. The layout has every declared level: frame_row_chunks
    keeps those with rows."""
    meta = getattr(X, "_meta", None)
    if meta is None or not _design.is_frame_with_categories(meta):
        return None
    for name in meta.columns:
        series = X[name]
        if str(series.dtype) == "category" and not series.cat.known:
            raise ValueError(
                f"column {name!r} of the Dask DataFrame is categorical with unknown categories: call "
                f"X.categorize(columns=[{name!r}]).persist() (or X.categorize().persist()) first, so that "
                "every partition codes its levels alike (persisted before columns are selected from it)."
            )
        if str(series.dtype) != "category" and not _design.is_numeric_dtype(series.dtype):
            raise ValueError(
                f"column {name!r} of the Dask DataFrame has dtype {series.dtype}: a Dask fit takes numeric "
                f"and categorical columns; call X.categorize(columns=[{name!r}]).persist() to read it as "
                "categories."
            )
    return _design.learn_layout(meta, fit_intercept, count_levels=False)


def frame_row_chunks(
    X: Any,
    y: Any,
    sample_weight: Any,
    layout: _design.FrameLayout,
    fit_intercept: bool,
    offset: Any = None,
    clusters: Any = None,
) -> tuple[_design.FrameLayout, RowChunks]:
    """The layout cut to the levels with rows, and the frame's partitions
    with y, the weights, the offsets and the cluster labels in matching
    chunks: one pass over the partitions measures their lengths and finds
    which levels they use."""
    summary = delayed(_partition_summary, pure=True)
    summaries = compute(*(summary(part, layout) for part in X.to_delayed()))
    lengths = tuple(length for length, _ in summaries)
    used = {
        column.name: np.logical_or.reduce([levels[column.name] for _, levels in summaries])
        for column in layout.categorical
    }
    layout = _design.keep_used_levels(layout, used, fit_intercept)
    # Only the shape and chunks of this array are used: no task reads it.
    shape = da.empty((sum(lengths), len(layout.columns)), chunks=(lengths, (len(layout.columns),)))
    chunks = row_chunks(shape, y, sample_weight, offset, clusters)
    chunks.X = list(X.to_delayed())
    chunks.n_features = len(layout.columns)
    chunks.sources = [X, *chunks.sources[1:]]
    return layout, chunks


def _partition_summary(
    part: Any, layout: _design.FrameLayout
) -> tuple[int, dict[str, npt.NDArray[np.bool_]]]:
    """A partition's length, and which of the layout's levels it has rows of."""
    return len(part), _design.used_levels(part, layout)


def frame_scores(
    X: Any, layout: _design.FrameLayout, coef: npt.NDArray[np.float64], intercept: float, offset: Any = None
) -> da.Array:
    """The linear predictor of a Dask DataFrame's rows, partition by
    partition, as a Dask array; with offset (a vector of the rows' offsets,
    NumPy or Dask), the offsets added."""
    score = delayed(_design.frame_scores, pure=True)
    return partition_scores(X, [score(part, layout, coef, intercept) for part in X.to_delayed()], offset)


def partition_scores(X: Any, scores: list[Delayed], offset: Any = None) -> da.Array:
    """The linear predictors of the Dask DataFrame X's partitions (one
    delayed vector each) as a Dask array of a chunk per partition; with
    offset, the offsets added. The partitions' lengths are measured then
    (one small computation), so that the offsets meet their rows."""
    lengths = (
        [np.nan] * X.npartitions
        if offset is None
        else [int(length) for length in X.map_partitions(len).compute()]
    )
    parts = [
        da.from_delayed(part, shape=(length,), dtype=np.float64)
        for part, length in zip(scores, lengths, strict=True)
    ]
    result = da.concatenate(parts)
    if offset is None:
        return result
    return result + rows_chunked_as(offset, "offset", result)


def frame_probabilities(scores: da.Array, link: str) -> da.Array:
    return da.map_blocks(
        lambda block: _prediction.probabilities(block.copy(), link_named(link)),
        scores,
        new_axis=1,
        chunks=(scores.chunks[0], (2,)),
    )


def frame_log_probabilities(scores: da.Array, link: str) -> da.Array:
    return da.map_blocks(
        lambda block: _prediction.log_probabilities(block.copy(), link_named(link)),
        scores,
        new_axis=1,
        chunks=(scores.chunks[0], (2,)),
    )


def frame_labels(
    scores: da.Array, classes: npt.NDArray[Any], link: str, *, absorbed: bool = False
) -> da.Array:
    """The more probable class of each row. For a model with absorbed
    columns (absorbed), a row without a probability (an absorbed level
    whose effect was not estimated) has no label, as in memory: a
    ValueError naming its partition when that partition is computed."""
    if not absorbed:
        return da.map_blocks(
            lambda block: _prediction.labels(block, classes, link_named(link)), scores, dtype=classes.dtype
        )
    return da.map_blocks(_checked_labels, scores, classes, link, dtype=classes.dtype)


def _checked_labels(
    block: npt.NDArray[np.float64], classes: npt.NDArray[Any], link: str, block_id: tuple[int] = (0,)
) -> npt.NDArray[Any]:
    # Each block of the scores is one partition of X (partition_scores).
    try:
        _prediction.check_labelled(block, True)
    except ValueError as error:
        raise ValueError(f"partition {block_id[0]} of X: {error}") from None
    return _prediction.labels(block, classes, link_named(link))


def formula_meta(
    data: Any, names: set[str], *, learn: bool = False, missing: str = "drop", levels_of: Collection[str] = ()
) -> Any:
    """The empty pandas frame of a Dask DataFrame's dtypes, on which a
    formula's model spec is learned (names: the variables it uses): every
    partition must code its levels alike, so a categorical column the
    formula names must have known categories (as the Dask fit of a frame
    requires), and a string column is refused. The dtypes give the levels,
    so learning the model spec (learn) needs no pass, but for the numeric
    columns of levels_of (those the formula reads only as C(x)): one pass
    finds their distinct values, which the meta holds as categories.
    Missing values are met by the partitions (missing is not read here)."""
    from .._design import is_numeric_dtype

    meta = getattr(data, "_meta", None)
    if meta is None or not hasattr(meta, "columns"):
        raise TypeError(f"a formula needs a DataFrame for its data, got {type(data).__name__}")
    for name in meta.columns:
        if name not in names:
            continue
        series = data[name]
        if str(series.dtype) == "category":
            if not series.cat.known:
                raise ValueError(
                    f"column {name!r} of the Dask DataFrame is categorical with unknown categories: call "
                    f"data.categorize(columns=[{name!r}]) first, so that every partition codes its levels alike."
                )
        elif not is_numeric_dtype(series.dtype):
            raise ValueError(
                f"column {name!r} of the Dask DataFrame has dtype {series.dtype}: a formula on a Dask "
                f"DataFrame takes numeric and categorical columns; call data.categorize(columns=[{name!r}])."
            )
    numeric = sorted(
        name for name in levels_of if name in meta.columns and str(meta[name].dtype) != "category"
    )
    if learn and numeric:
        import pandas as pd
        from dask.base import compute

        values = compute(*[data[name].dropna().unique() for name in numeric])
        meta = meta.assign(
            **{
                name: pd.Series([], dtype=pd.CategoricalDtype(pd.Index(np.sort(np.asarray(found)))))
                for name, found in zip(numeric, values, strict=True)
            }
        )
    return meta


def formula_frames(data: Any, function: Any, meta: Any) -> Any:
    """function applied to every partition of the Dask DataFrame data (its
    result's empty frame or series is meta)."""
    return data.map_partitions(function, meta=meta)


def formula_labels(data: Any, labels_of: Any, meta: Any) -> Any:
    """score()'s labels of every partition of data, lazily (labels_of
    refuses a partition's incomplete rows): compared with predict()'s Dask
    array, so that score() reads the partitions where they are."""
    return data.map_partitions(labels_of, meta=meta)


def is_frame(X: Any) -> bool:
    """Whether the Dask collection X is a DataFrame (not an array)."""
    return hasattr(X, "to_delayed") and hasattr(X, "columns")


def columns(X: Any) -> list[str]:
    return list(X.columns)


def column(X: Any, name: str) -> Any:
    """The Dask DataFrame X's column name, as a Dask Series chunked as X's rows."""
    return X[name]


def columns_of(X: Any, names: list[str]) -> Any:
    """One column as a Series, several as a DataFrame."""
    return X[names[0]] if len(names) == 1 else X[names]


def without_columns(X: Any, names: list[str]) -> Any:
    return X.drop(columns=names)
