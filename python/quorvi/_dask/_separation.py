"""The absorbed levels of one outcome on a Dask DataFrame, dropped as in
memory (_absorb.drop_separated): over the columns in the fit's order, a
column's levels whose kept rows of positive weight are all 0 or all 1
dropped with their rows, repeated until a whole sweep drops nothing. Each
column's decision reads its level sums over the rows the earlier decisions
kept, so that the levels dropped, their order (the limits' steps) and the
levels left without rows are those of the in-memory fit. One graph computes
every column's sums at once; it is computed again only after a column has
dropped something (usually one or two graphs in all)."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt
from dask.base import compute
from dask.delayed import Delayed, delayed

from .. import _absorb
from ._reduction import FAN_IN

# Per column: Σ s, Σ s y and the rows of positive weight, per level.
LevelSums = tuple[npt.NDArray[np.float64], npt.NDArray[np.float64], npt.NDArray[np.float64]]


@dataclass
class Separation:
    """What the rounds found, per column in the fit's order: the levels
    kept, the limits of those dropped (_absorb.limits_of), and the level
    sums over the rows kept in the end; and the rows of positive weight
    dropped."""

    kept: list[npt.NDArray[np.bool_]]
    limits: list[npt.NDArray[np.int32]]
    sums: list[LevelSums]
    separated_rows: int

    @property
    def any(self) -> bool:
        return not all(levels.all() for levels in self.kept)


def separation(
    codes: list[list[Delayed]], y: list[Any], weights: list[Any], positive: Any, n_levels: list[int]
) -> Separation:
    """The rounds over the columns whose per-chunk codes are codes[j]."""
    kept = [np.ones(count, dtype=bool) for count in n_levels]
    limits = [np.zeros(count, dtype=np.int32) for count in n_levels]

    def level_sums() -> list[LevelSums]:
        masks = delayed([levels.copy() for levels in kept], pure=True)
        parts = [
            delayed(_chunk_level_sums, pure=True)(
                [column[index] for column in codes], y_chunk, w, positive, masks, n_levels
            )
            for index, (y_chunk, w) in enumerate(zip(y, weights, strict=True))
        ]
        (flat,) = compute(_tree(parts))
        return [tuple(flat[3 * j : 3 * j + 3]) for j in range(len(n_levels))]

    first = sums = level_sums()
    fresh = True
    step = 0
    changed = True
    while changed:
        changed = False
        for j in range(len(n_levels)):
            if not fresh:
                sums, fresh = level_sums(), True
            total, positives, _ = sums[j]
            separated = (total > 0) & ((positives == 0) | (positives == total))
            if separated.any():
                kept[j] &= ~separated
                step += 1
                limits[j][separated] = _absorb.limits_of(total, positives, step)[separated]
                changed, fresh = True, False
    counted_before, counted_after = float(first[0][2].sum()), float(sums[0][2].sum())
    return Separation(kept, limits, sums, round(counted_before - counted_after))


def kept_weights(codes: list[Delayed], weights: Any, kept: Any) -> npt.NDArray[np.float64]:
    """A chunk's weights with the rows of dropped levels at 0 (a copy)."""
    w = np.ones(len(codes[0])) if weights is None else np.array(weights, dtype=np.float64, copy=True)
    w[~_rows_kept(codes, kept)] = 0.0
    return w


def _rows_kept(codes: list[Any], kept: list[npt.NDArray[np.bool_]]) -> npt.NDArray[np.bool_]:
    rows = np.ones(len(codes[0]), dtype=bool)
    for column, levels in zip(codes, kept, strict=True):
        rows &= levels[column]
    return rows


def _chunk_level_sums(
    codes: list[npt.NDArray[np.int32]],
    y: Any,
    weights: Any,
    positive: Any,
    kept: list[npt.NDArray[np.bool_]],
    n_levels: list[int],
) -> tuple[npt.NDArray[np.float64], ...]:
    """A chunk's level sums of every column over its rows kept."""
    w = np.ones(len(codes[0])) if weights is None else np.asarray(weights, dtype=np.float64)
    w = np.where(_rows_kept(codes, kept), w, 0.0)
    y01 = (np.asarray(y) == positive).astype(np.float64)
    sums: list[npt.NDArray[np.float64]] = []
    for column, count in zip(codes, n_levels, strict=True):
        sums += [
            np.bincount(column, weights=w, minlength=count).astype(np.float64, copy=False),
            np.bincount(column, weights=w * y01, minlength=count).astype(np.float64, copy=False),
            np.bincount(column, weights=(w > 0).astype(np.float64), minlength=count).astype(
                np.float64, copy=False
            ),
        ]
    return tuple(sums)


def _add_level_sums(*parts: Any) -> Any:
    """Level sums added left to right: the same order on every run."""
    total = [np.array(array, copy=True) for array in parts[0]]
    for part in parts[1:]:
        for mine, theirs in zip(total, part, strict=True):
            mine += theirs
    return tuple(total)


def _tree(parts: list[Delayed]) -> Delayed:
    while len(parts) > 1:
        parts = [
            delayed(_add_level_sums, pure=True)(*parts[first : first + FAN_IN])
            for first in range(0, len(parts), FAN_IN)
        ]
    return parts[0]
