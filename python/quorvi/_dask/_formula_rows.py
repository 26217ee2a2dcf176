"""A formula's incomplete rows on a Dask DataFrame (missing="drop"): found
and left out partition by partition, where the partitions live, with the
weights, offsets and cluster labels of the same rows; and predictions that
keep the data's length, NaN for such rows."""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

import dask.array as da
import numpy as np
import numpy.typing as npt
from dask.base import compute
from dask.delayed import delayed

from ._input import label_columns, rows_chunked_as

# A partition's complete rows: a boolean mask of its length (the formula's
# own rule, python/quorvi/_formula.py, which imports no back end).
CompleteOf = Callable[[Any], npt.NDArray[np.bool_]]


def formula_complete_rows(
    data: Any, columns: list[str], complete_of: CompleteOf, companions: dict[str, Any]
) -> tuple[Any, dict[str, Any], int, int]:
    """(data, companions, n_dropped, n_rows): data's partitions cut to the
    rows complete_of keeps (the columns named only: those of the formula
    and of the arguments naming columns), the companions (weights,
    offsets, cluster labels: arrays or Series of data's length, or None) cut
    to the same rows, the number of rows left out and of all rows.

    One pass counts each partition's rows and those it keeps, so that the
    cut chunks have known lengths and the fit pairs them with the
    partitions by position; with companions, a second one checks that none
    is missing on a kept row (a companion given by name is a column
    complete_of reads; an array given as values must be complete, as in a
    Dask fit without a formula). With no row left out, data and the
    companions are returned as they are: the fit's graph is that of a frame
    without missing values. The cut frame is made by map_partitions (each
    partition finds its own rows again), not from delayed parts: Dask
    2026.8 orders the graph of two collections made from the same
    from_delayed frame (the design and the labels) as a cycle."""
    parts = data[columns].to_delayed()
    mask_of = delayed(complete_of, pure=True)
    masks = [mask_of(part) for part in parts]
    counted = compute(*(delayed(_lengths, pure=True)(mask) for mask in masks))
    lengths = [length for length, _ in counted]
    kept = [count for _, count in counted]
    n_rows, n_dropped = sum(lengths), sum(lengths) - sum(kept)
    # Names of columns stay as they are (clusters naming the absorbed
    # column: the absorbed fit reads its own levels).
    present = {name: value for name, value in companions.items() if value is not None and not _names(value)}
    template = da.empty(n_rows, chunks=(tuple(lengths),))
    chunked = {name: _columns_chunked(name, value, template) for name, value in present.items()}
    if chunked:
        missing = delayed(_missing_kept, pure=True)
        blocks = {
            name: [list(column.to_delayed().ravel()) for column in value] for name, value in chunked.items()
        }
        counts = compute(
            *(
                missing(mask, [column[i] for column in value])
                for value in blocks.values()
                for i, mask in enumerate(masks)
            )
        )
        for position, name in enumerate(blocks):
            count = sum(counts[position * len(masks) : (position + 1) * len(masks)])
            if count:
                raise ValueError(
                    f"{name} has {count} missing value(s) on rows of the Dask DataFrame that the formula "
                    f"keeps: give {name} as the name of a column of the data (its missing values then "
                    "drop their rows, missing='drop'), or fill them first."
                )
    if n_dropped == 0:
        return data, companions, 0, n_rows
    cut = data[columns].map_partitions(_complete_part, complete_of, meta=data._meta[columns])
    take = delayed(_rows_of, pure=True)
    companions = dict(companions)
    for name, value in chunked.items():
        cut_columns = [
            da.concatenate(
                [
                    da.from_delayed(take(block, mask), shape=(count,), dtype=column.dtype)
                    for block, mask, count in zip(column.to_delayed().ravel(), masks, kept, strict=True)
                ]
            )
            for column in value
        ]
        companions[name] = cut_columns[0] if len(cut_columns) == 1 else da.stack(cut_columns, axis=1)
    return cut, companions, n_dropped, n_rows


def _complete_part(part: Any, complete_of: CompleteOf) -> Any:
    return part.iloc[complete_of(part)]


def _missing_kept(mask: npt.NDArray[np.bool_], blocks: list[Any]) -> int:
    """How many rows that mask keeps have a missing value (NaN, None,
    pandas' NA) in one of the blocks."""
    import pandas as pd

    missing = np.zeros(len(mask), dtype=bool)
    for block in blocks:
        missing |= np.asarray(pd.isna(np.asarray(block)), dtype=bool)
    return int(np.count_nonzero(missing & mask))


def _columns_chunked(name: str, value: Any, template: da.Array) -> list[da.Array]:
    """A companion as its one or two columns (two for two-way clusters),
    each a Dask array chunked as data's partitions."""
    columns = label_columns(value) if name == "clusters" else [value]
    return [rows_chunked_as(column, name, template) for column in columns]


def _names(value: Any) -> bool:
    if isinstance(value, str):
        return True
    return isinstance(value, list | tuple) and all(isinstance(item, str) for item in value)


def _lengths(mask: npt.NDArray[np.bool_]) -> tuple[int, int]:
    return len(mask), int(np.count_nonzero(mask))


def _rows_of(values: Any, mask: npt.NDArray[np.bool_]) -> Any:
    """The rows of a partition (a pandas frame) or a block (an array) that mask keeps."""
    if hasattr(values, "iloc"):
        return values.iloc[mask]
    return np.asarray(values)[mask]


def formula_scores(
    data: Any, scores_of: Callable[[Any], npt.NDArray[np.float64]], offset: Any = None
) -> da.Array:
    """scores_of (a partition's linear predictor, NaN for its incomplete
    rows) of every partition of data, a chunk each, with the offsets added
    when given. The partitions' lengths are measured then (one small
    computation), so that the offsets meet their rows."""
    lengths = (
        [np.nan] * data.npartitions
        if offset is None
        else [int(length) for length in data.map_partitions(len).compute()]
    )
    score = delayed(scores_of, pure=True)
    scores = da.concatenate(
        [
            da.from_delayed(score(part), shape=(length,), dtype=np.float64)
            for part, length in zip(data.to_delayed(), lengths, strict=True)
        ]
    )
    if offset is None:
        return scores
    return scores + rows_chunked_as(offset, "offset", scores)
