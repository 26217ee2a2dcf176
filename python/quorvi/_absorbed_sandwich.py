"""The robust sums of an absorbed fit whose design the engine's pass does
not partial them for: several absorbed columns, or categorical features
beside absorbed ones. HC0, HC1 and one- and two-way cluster sums, those of
the dummy-variable model's sandwich for the features' block.

In the dummy model of features X and absorbed dummies Z, the features' rows
of the inverse information are S⁻¹[I, −XᵀWZ(ZᵀWZ)⁻¹], S the Schur complement
the engine's loop solves with (its covariance is S⁻¹). A row's score sᵢrᵢ(xᵢ,
zᵢ) so enters the features' sandwich as sᵢrᵢx̃ᵢ, with x̃ = X − ZΓ the features
partialled out of the absorbed levels by W-weighted least squares (Γ =
(ZᵀWZ)⁻¹ZᵀWX): the meat is formed from x̃ as from x without absorbed levels,
and the engine's covariance is the bread.

Γ is found exactly, not by alternating projections: the first column (the
one of most levels, L₁) by its weighted means, and the further columns' Lf
levels together through their Lf × Lf system with the first eliminated,
Zfᵀ W M₁ Zf = ZfᵀWZf − CᵀD₁⁻¹C (C = Z₁ᵀWZf, D₁ the first column's level
weights), solved by its pseudo-inverse: it is singular (each further
column's levels add up to the first column's, and groups of levels no row
links add more), and any solution gives the same ZfΓ. That costs Lf³, so
the further columns may have at most FURTHER_LIMIT levels together (a firm
and a year, a worker and a firm of few levels).

Nothing of n × p is formed: the rows are read a block at a time, twice. The
first pass sums the levels' weights and ZᵀWX; Γ (L × p) follows; the second
pass forms each block's x̃ = X − ZΓ and its scores and adds them into the
meat (p × p) or into each clustering's sums per cluster (G × p). The
working weights are the one vector of n kept between the passes, for C,
which is formed over ranges of the first column's levels so that no
L₁ × Lf array is held whole."""

from __future__ import annotations

from collections.abc import Callable, Iterator
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt
from scipy import linalg
from scipy.special import expit

from ._fit_certificate import _working_weights
from ._links import Link

# The most levels of the further absorbed columns together for which their
# system (dense, Lf × Lf) is formed.
FURTHER_LIMIT = 4000

# Entries of a block of rows of the features (about 2 MiB), and its fewest
# rows. Every level sum of a block also costs a vector of the levels per
# feature (made, zeroed and added), so a block has at least half as many
# rows as the most levels summed over: that keeps the vectors' cost within
# twice the block's own, and a block of 4 L p bytes within what the levels
# hold anyway (Γ and the sums, 8 L p each).
_BLOCK_ENTRIES = 1 << 18
_MIN_BLOCK_ROWS = 16384
# C = Z₁ᵀWZf is formed for a range of the first column's levels at a time:
# at most this many entries (4 MiB), from about this many rows (each a few
# index vectors' entries).
_CROSS_ENTRIES = 1 << 19
_CROSS_ROWS = 1 << 18


@dataclass
class FitRows:
    """The rows of an absorbed fit as the sandwich reads them, a block at a
    time: features(start, stop), the block's features (rows × p); the
    linear predictor η = features · coefficients + Σ effects[codes] +
    offset; frequencies (the weights, or None for 1) and counted (None for
    every row), the rows that count (weight 0, or levels dropped for
    separation, do not)."""

    features: Callable[[int, int], npt.NDArray[np.float64]]
    n_rows: int
    width: int
    y01: npt.NDArray[np.float64]
    coefficients: npt.NDArray[np.float64]
    effects: list[tuple[npt.NDArray[Any], npt.NDArray[np.float64]]]
    offset: npt.NDArray[np.float64] | None
    frequencies: npt.NDArray[Any] | None
    counted: npt.NDArray[np.bool_] | None
    link: Link

    def blocks(self, n_levels: int) -> Iterator[tuple[int, int]]:
        """The blocks' (first row, last row + 1), of sums over n_levels levels."""
        size = max(_MIN_BLOCK_ROWS, _BLOCK_ENTRIES // max(self.width, 1), n_levels // 2)
        for start in range(0, self.n_rows, size):
            yield start, min(start + size, self.n_rows)

    def read(
        self, start: int, stop: int
    ) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64], npt.NDArray[np.float64]]:
        """The block's features, linear predictors (0 where a row does not
        count) and frequencies (0 there)."""
        features = self.features(start, stop)
        scores = features @ self.coefficients
        for codes, effects in self.effects:
            scores += effects[codes[start:stop]]
        if self.offset is not None:
            scores += self.offset[start:stop]
        if self.frequencies is None:
            frequencies = np.ones(stop - start)
        else:
            frequencies = np.array(self.frequencies[start:stop], dtype=np.float64)
        if self.counted is not None:
            frequencies[~self.counted[start:stop]] = 0.0
        scores[frequencies <= 0] = 0.0
        return features, scores, frequencies


def score_residuals(scores: npt.NDArray[np.float64], y01: npt.NDArray[np.float64], link: Link) -> Any:
    """rᵢ = (yᵢ − μᵢ) h′(ηᵢ)/V(μᵢ): h′/μ for a row of class 1, −h′/(1 − μ)
    for class 0, each from the logarithm of its probability; for the logit,
    whose h′ is V, 1 − μ = expit(−η) and −μ = −expit(η), neither 1 minus a
    rounded μ."""
    if link.name == "logit":
        ones = y01 == 1.0
        residuals: npt.NDArray[np.float64] = expit(np.where(ones, -scores, scores))
        np.negative(residuals, out=residuals, where=~ones)
        return residuals
    logs = np.empty((len(scores), 2))
    link.log_probabilities(scores.copy(), logs)
    slope = link.derivative(scores)
    with np.errstate(over="ignore", invalid="ignore"):
        return np.where(y01 == 1.0, slope * np.exp(-logs[:, 1]), -slope * np.exp(-logs[:, 0]))


def _add_level_sums(
    sums: npt.NDArray[np.float64], codes: npt.NDArray[Any], values: npt.NDArray[np.float64]
) -> None:
    """sums (p × levels) += the columns of values (rows × p) summed per level."""
    n_levels = sums.shape[1]
    for j in range(sums.shape[0]):
        sums[j] += np.bincount(codes, weights=values[:, j], minlength=n_levels)


@dataclass
class _Further:
    """A further absorbed column: its rows' codes (through mapping where
    given) and its number of levels."""

    codes: npt.NDArray[Any]
    n_levels: int
    mapping: npt.NDArray[np.intp] | None

    def read(self, start: int, stop: int) -> npt.NDArray[Any]:
        codes = self.codes[start:stop]
        return codes if self.mapping is None else self.mapping[codes]


class _CrossRanges:
    """C = Z₁ᵀWZf (levels of the first column × the further columns' levels)
    by ranges of the first column's levels, each formed from its rows: the
    range of each row is found once, for the two times C is read."""

    def __init__(
        self,
        codes: npt.NDArray[Any],
        n_levels: int,
        further: list[_Further],
        weights: npt.NDArray[np.float64],
    ) -> None:
        width = sum(column.n_levels for column in further)
        # The rows of a range, were the levels' rows spread evenly.
        size = min(_CROSS_ENTRIES // max(width, 1), n_levels * _CROSS_ROWS // max(len(codes), 1))
        self.size = min(max(size, 1), n_levels)
        self.n_ranges = -(-n_levels // self.size)
        self.ranges = None if self.n_ranges == 1 else codes // self.size
        if self.ranges is not None and self.n_ranges < 2**15:
            self.ranges = self.ranges.astype(np.int16)
        self.codes, self.n_levels, self.further, self.weights = codes, n_levels, further, weights

    def __iter__(self) -> Iterator[tuple[int, int, npt.NDArray[np.float64]]]:
        """(first level, last level + 1, C's rows of those levels)."""
        for index in range(self.n_ranges):
            low = index * self.size
            high = min(low + self.size, self.n_levels)
            rows: Any = slice(None) if self.ranges is None else np.flatnonzero(self.ranges == index)
            first = self.codes[rows].astype(np.intp)
            if low:
                first -= low
            chosen = self.weights[rows]
            parts: list[npt.NDArray[np.float64]] = []
            for column in self.further:
                keys = first * column.n_levels
                keys += column.codes[rows] if column.mapping is None else column.mapping[column.codes[rows]]
                sums: npt.NDArray[np.float64] = np.bincount(
                    keys, weights=chosen, minlength=(high - low) * column.n_levels
                ).astype(np.float64, copy=False)  # float64 already, as the weights are
                parts.append(sums.reshape(high - low, column.n_levels))
                del keys
            yield low, high, np.hstack(parts) if len(parts) > 1 else parts[0]


def _further_solution(
    codes: npt.NDArray[Any],
    further: list[_Further],
    weights: npt.NDArray[np.float64],
    inverse: npt.NDArray[np.float64],
    means: npt.NDArray[np.float64],
    further_sums: npt.NDArray[np.float64],
    cross_ranges: _CrossRanges,
) -> npt.NDArray[np.float64]:
    """Γf (Lf × p), the further columns' part of Γ: the solution of
    (ZfᵀWZf − CᵀD₁⁻¹C) Γf = ZfᵀWX − Cᵀ M₁, M₁ the first column's weighted
    means of the features (levels × p), further_sums ZfᵀWX."""
    starts = np.cumsum([0] + [column.n_levels for column in further])
    width = int(starts[-1])
    system = np.zeros((width, width))
    # ZfᵀWZf: each column's level weights on the diagonal, the rows shared
    # by two columns' levels off it.
    for a, column in enumerate(further):
        own = column.read(0, len(codes))
        span = slice(int(starts[a]), int(starts[a + 1]))
        system[span, span] += np.diag(np.bincount(own, weights=weights, minlength=column.n_levels))
        for b in range(a + 1, len(further)):
            other = further[b]
            keys = own.astype(np.intp) * other.n_levels + other.read(0, len(codes))
            pairs = np.bincount(keys, weights=weights, minlength=column.n_levels * other.n_levels)
            block = pairs.reshape(column.n_levels, other.n_levels)
            system[span, int(starts[b]) : int(starts[b + 1])] += block
            system[int(starts[b]) : int(starts[b + 1]), span] += block.T
    right = further_sums.copy()
    for low, high, cross in cross_ranges:
        system -= cross.T @ (cross * inverse[low:high, None])
        right -= cross.T @ means[low:high]
    solution: npt.NDArray[np.float64] = linalg.pinvh(0.5 * (system + system.T)) @ right
    return solution


def partialling(
    rows: FitRows,
    weights: npt.NDArray[np.float64] | None,
    primary: tuple[npt.NDArray[Any], int],
    further: list[_Further],
) -> tuple[npt.NDArray[np.float64], list[npt.NDArray[np.float64]]]:
    """Γ: the first column's part (levels × p) and each further column's,
    so that X − ZΓ is the features partialled out of the absorbed levels by
    least squares weighted by the rows' working weights times frequencies,
    formed here in a pass over the rows (and written into weights, which
    the further columns need)."""
    codes, n_levels = primary
    p = rows.width
    level_weights = np.zeros(n_levels)
    sums = np.zeros((p, n_levels))  # Z₁ᵀWX, a row per feature
    starts = np.cumsum([0] + [column.n_levels for column in further])
    further_sums = np.zeros((int(starts[-1]), p))  # ZfᵀWX
    for start, stop in rows.blocks(n_levels):
        features, scores, frequencies = rows.read(start, stop)
        block_weights, _ = _working_weights(scores, rows.link)
        block_weights *= frequencies
        if weights is not None:
            weights[start:stop] = block_weights
        block_codes = codes[start:stop]
        level_weights += np.bincount(block_codes, weights=block_weights, minlength=n_levels)
        weighted = features * block_weights[:, None]
        _add_level_sums(sums, block_codes, weighted)
        for a, column in enumerate(further):
            span = further_sums[int(starts[a]) : int(starts[a + 1])].T
            _add_level_sums(span, column.read(start, stop), weighted)
    inverse = np.divide(1.0, level_weights, out=np.zeros(n_levels), where=level_weights > 0)
    sums *= inverse
    means = np.ascontiguousarray(sums.T)  # M₁ = D₁⁻¹Z₁ᵀWX, levels × p
    del sums
    if not further:
        return means, []
    assert weights is not None  # given with further columns
    cross_ranges = _CrossRanges(codes, n_levels, further, weights)
    solution = _further_solution(codes, further, weights, inverse, means, further_sums, cross_ranges)
    # Γ₁ = D₁⁻¹(Z₁ᵀWX − CΓf) = M₁ − D₁⁻¹CΓf
    for low, high, cross in cross_ranges:
        means[low:high] -= (cross @ solution) * inverse[low:high, None]
    return means, [solution[int(starts[a]) : int(starts[a + 1])] for a in range(len(further))]


def absorbed_meats(
    rows: FitRows,
    primary: tuple[npt.NDArray[Any], int],
    further: list[tuple[npt.NDArray[Any], int, npt.NDArray[np.intp] | None]],
    clusters: list[tuple[npt.NDArray[np.int64], int]] | None,
) -> list[npt.NDArray[np.float64]]:
    """The meats of the features' sandwich, as the engine's passes give
    them (Σ sᵢrᵢ²x̃ᵢx̃ᵢᵀ; or per clustering Σ_g u_g u_gᵀ, u_g = Σ_{i∈g} sᵢrᵢx̃ᵢ)
    at the fit's linear predictors; frequencies 0 on the rows that do not
    count (weight 0, levels dropped for separation). primary and further:
    the absorbed columns as (codes, number of levels), a further one's
    codes read through its mapping where it has one."""
    columns = [_Further(codes, n_levels, mapping) for codes, n_levels, mapping in further]
    # The working weights, kept between the passes only for C.
    weights = np.empty(rows.n_rows) if columns else None
    first, rest = partialling(rows, weights, primary, columns)
    del weights
    p = rows.width
    meat = np.zeros((p, p))
    group_sums = [np.zeros((p, n_groups)) for _, n_groups in clusters or []]
    for start, stop in rows.blocks(max([n_groups for _, n_groups in clusters or []], default=0)):
        features, scores, frequencies = rows.read(start, stop)
        # sᵢrᵢ, 0 where a row does not count (its η is 0 there: r is finite).
        residuals = score_residuals(scores, rows.y01[start:stop], rows.link)
        terms = residuals * frequencies
        # ZΓ of the block's rows, then x̃ in its place (np.take of whole rows:
        # a fancy index of a 2-D array is several times slower).
        partialled = np.take(first, primary[0][start:stop], axis=0)
        for column, effects in zip(columns, rest, strict=True):
            partialled += np.take(effects, column.read(start, stop), axis=0)
        np.subtract(features, partialled, out=partialled)
        if clusters is None:
            meat += (partialled * (terms * residuals)[:, None]).T @ partialled
            continue
        # Each feature's scores contiguous, as the sums per cluster read them.
        scaled = np.empty((p, stop - start))
        np.multiply(partialled.T, terms, out=scaled)
        for (codes, _), sums in zip(clusters, group_sums, strict=True):
            block_codes = codes[start:stop]
            for j in range(p):
                sums[j] += np.bincount(block_codes, weights=scaled[j], minlength=sums.shape[1])
    if clusters is None:
        return [meat]
    return [np.asarray(sums @ sums.T, dtype=np.float64) for sums in group_sums]


def meats_of_last(
    covariance: npt.NDArray[np.float64], meats: list[npt.NDArray[np.float64]], q: int
) -> list[npt.NDArray[np.float64]]:
    """The meats of the system's last q parameters (the features) partialled
    out of its others (levels given as indicator columns), from the meats
    of all its parameters and its inverse information V (NaN rows for
    dropped parameters): T M Tᵀ with T = V_qq⁻¹ V_q·, which is
    [-H_qm H_mm⁻¹, I] of the information H, so that V_qq T M Tᵀ V_qq is the
    features' block of the whole system's sandwich V M V, and the small-sample
    factors and the two-way eigenvalue fix then act on the features' q × q
    covariance, as with the levels eliminated in memory."""
    kept = ~np.all(np.isnan(covariance), axis=0)
    features = np.zeros(len(kept), dtype=bool)
    features[len(kept) - q :] = True
    features &= kept
    inverse = covariance[np.ix_(kept, kept)]
    rows = features[kept]
    transform = np.linalg.solve(inverse[np.ix_(rows, rows)], inverse[rows])
    chosen = np.flatnonzero(features[len(kept) - q :])
    partialled = []
    for meat in meats:
        part = transform @ meat[np.ix_(kept, kept)] @ transform.T
        full = np.zeros((q, q))
        full[np.ix_(chosen, chosen)] = 0.5 * (part + part.T)
        partialled.append(full)
    return partialled
