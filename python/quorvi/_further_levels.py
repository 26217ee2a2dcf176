"""The absorbed columns after the first on a chunked back end (Dask today):
dense indicator columns of their levels, made inside each chunk's task
beside its features (never for all rows at once), so that the engine's chunked
absorbed plan eliminates the first column's levels and solves for these with
the features. Every column of the system is then dense, and the robust sums
the plan forms (each column less its level's means) serve every covariance
type. Each column is coded over the rows kept, its first level with rows
the reference (no indicator), as in memory; an indicator of a level that no
row links to the others' groups is dropped by the solve as dependent, which
gives the rank of the dummy design."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

from . import _absorb

# The most levels of the absorbed columns after the first together: their
# indicators enter every chunk's system (q × q) and its cross block with the
# first column's levels (L × q), so the system stays small.
FURTHER_LEVELS = 1000


def check_further_levels(names: list[str], n_levels: list[int]) -> None:
    """The cap on the further columns' levels (names and n_levels in the
    fit's order, the eliminated column first), checked once the levels are
    known and before any pass over the features."""
    further = sum(n_levels[1:])
    if further > FURTHER_LEVELS:
        raise ValueError(
            f"absorb= on a Dask DataFrame takes at most {FURTHER_LEVELS:,} levels together in the absorbed "
            f"columns after the one of most levels ({names[0]!r}, {n_levels[0]:,} levels): "
            + ", ".join(
                f"{name!r} has {count:,}" for name, count in zip(names[1:], n_levels[1:], strict=True)
            )
            + f", {further:,} in all (their indicators enter every chunk's system). Fit in memory, where they "
            "are solved for by iterations, or absorb fewer columns."
        )


def check_dummy_columns(cov_type: str, width: int) -> None:
    """The cap on the categorical features' dummy columns, which a robust
    fit beside absorbed levels makes dense in each chunk's task: checked
    once their levels with rows are known, before the fit's passes."""
    if width > FURTHER_LEVELS:
        raise ValueError(
            f"cov_type={cov_type!r} beside absorbed columns on a Dask DataFrame gives the categorical features "
            f"to each chunk's sums as dense dummy columns, at most {FURTHER_LEVELS:,}; they have {width:,}. "
            "Use cov_type='nonrobust', absorb the categorical column of most levels, or fit in memory."
        )


@dataclass(frozen=True)
class FurtherLevels:
    """Per further column (in the fit's order), each level's indicator
    among the system's first columns (-1: none, the reference or a level
    without rows kept), and the levels with rows kept."""

    positions: list[npt.NDArray[np.int32]]
    present: list[npt.NDArray[np.intp]]

    @property
    def width(self) -> int:
        return sum(max(len(levels) - 1, 0) for levels in self.present)


def further_levels(level_weights: list[npt.NDArray[np.float64]]) -> FurtherLevels:
    """The indicators of the further columns from their level weights over
    the rows kept."""
    positions, present = [], []
    start = 0
    for weights in level_weights:
        levels = np.flatnonzero(weights > 0)
        position = np.full(len(weights), -1, dtype=np.int32)
        position[levels[1:]] = np.arange(start, start + len(levels) - 1, dtype=np.int32)
        start += max(len(levels) - 1, 0)
        positions.append(position)
        present.append(levels)
    return FurtherLevels(positions, present)


def indicator_columns(codes: list[Any], levels: FurtherLevels) -> npt.NDArray[np.float64]:
    """A chunk's indicator columns (rows × width, column-major as the
    engine's dense blocks read them)."""
    n_rows = len(codes[0]) if codes else 0
    columns = np.zeros((n_rows, levels.width), order="F")
    rows = np.arange(n_rows)
    for column, position in zip(codes, levels.positions, strict=True):
        at = position[np.asarray(column)]
        has = at >= 0
        columns[rows[has], at[has]] = 1.0
    return columns


def further_columns(
    names: list[str],
    levels: list[npt.NDArray[Any]],
    further: FurtherLevels,
    coefficients: npt.NDArray[np.float64],
    dropped: list[int],
    separated: list[int],
    limits: list[npt.NDArray[np.int32]],
) -> list[_absorb.AbsorbedColumn]:
    """The further columns as the fit learned them, from the system's
    first coefficients (their indicators'): the reference's effect 0, a
    level without rows kept NaN, and a level dropped as dependent 0 (a
    normalisation of its group, as in memory)."""
    columns = []
    for j, (position, present) in enumerate(zip(further.positions, further.present, strict=True)):
        effects = np.full(len(levels[j]), np.nan)
        at = position[present]
        effects[present] = np.where(at >= 0, coefficients[np.maximum(at, 0)], 0.0)
        effects[present[np.isin(at, dropped)]] = 0.0
        column = _absorb.AbsorbedColumn(
            names[j], levels[j], effects, int(present[0]) if len(present) else 0, separated[j], len(present)
        )
        if limits[j].any():
            column = _absorb.AbsorbedColumn(
                column.name,
                column.levels,
                column.effects,
                column.reference,
                column.separated_levels,
                column.kept_levels,
                limits[j],
            )
        columns.append(column)
    return columns
