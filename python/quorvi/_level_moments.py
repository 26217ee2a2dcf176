"""The delta method of average marginal effects over the slopes and the
absorbed levels both (``fixed_effects="estimated"``), for one absorbed
column: the covariance the dummy-variable model gives them.

With the levels' dummies Z beside the features X, the dummy model's
information is [[XᵀWX, C], [Cᵀ, D]] with C = XᵀWZ and D = ZᵀWZ diagonal (the
levels' weights), and its inverse B in Schur form has S⁻¹ (S = XᵀWX −
CD⁻¹Cᵀ, the engine's covariance of the features) in the features' block.
Write E = D⁻¹Cᵀ for the levels' W-weighted means of the features. For an
effect of gradient (g_β, g_α) in the slopes and in every level's effect
(one dummy per level, no intercept: the same model as the intercept and
reference coding, and the delta method does not depend on the
parametrisation), u = B g is

    u_β = S⁻¹ h,  h = g_β − Eᵀ g_α,    u_α = D⁻¹ g_α − E u_β,

so a row's part of the linear predictor, xᵢᵀu_β + u_α[lᵢ], is
x̃ᵢᵀu_β + g_α[lᵢ]/D[lᵢ] with x̃ = X − ZE the features within their levels.
The variance is then

- nonrobust: gᵀBg = hᵀ S⁻¹ h + Σ_l g_α,l² / D_l;
- HC0/HC1: c Σᵢ sᵢrᵢ² (x̃ᵢᵀu_β + g_α[lᵢ]/D[lᵢ])², which is hᵀVh (V the
  features' covariance, c S⁻¹M̃S⁻¹) plus terms in Q = Σ_{i∈l} sᵢrᵢ²x̃ᵢ and
  R = Σ_{i∈l} sᵢrᵢ² per level, kept from the fit (O(L · p));
- cluster, the absorbed column nested in the clusters: a cluster's score is
  Σ_{i∈g} sᵢrᵢ(x̃ᵢᵀu_β) + Σ_{l∈g} (g_α,l/D_l) Σ_{i∈l} sᵢrᵢ, and every level's
  score Σ_{i∈l} sᵢrᵢ is 0 at the fit's maximum, so the variance is hᵀVh
  exactly as the fit's own small-sample factor makes V.

The sums are formed once, over the training rows at the fit's estimates;
an effect's gradient may come from any rows (marginal_effects(X)).
"""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt
from scipy import sparse
from scipy.special import expit

from ._absorbed_sandwich import score_residuals
from ._fit_certificate import _MIN_WEIGHT, _working_weights
from ._links import Link


@dataclass(frozen=True)
class LevelMoments:
    """The training rows' sums per level of the one absorbed column that
    the full delta method needs (see the module's docstring); reason says
    why there are none (then every other field is empty)."""

    reason: str | None = None
    level_weights: npt.NDArray[np.float64] | None = None  # D, per level
    level_means: npt.NDArray[np.float64] | None = None  # E, (L, q)
    # HC0 and HC1 only: Q (L, q), R (L) and the fit's small-sample factor c.
    score_cross: npt.NDArray[np.float64] | None = None
    score_squares: npt.NDArray[np.float64] | None = None
    factor: float = 1.0
    # Whose variance the sums give: "nonrobust", "rows" (HC0, HC1) or
    # "clusters" (one clustering that nests the levels).
    meat: str = "nonrobust"
    # The engine's S⁻¹ of the features (their covariance without robust sums).
    bread: npt.NDArray[np.float64] | None = None
    # Per level Σ sᵢ h″(ηᵢ) over the training rows, for marginal_effects()
    # without X: each level's part of the effects' gradient.
    curvature: npt.NDArray[np.float64] | None = None

    def compacted(self, seen: npt.NDArray[np.bool_]) -> LevelMoments:
        """The moments of the levels seen (as the column keeps them)."""
        if self.reason is not None:
            return self

        def cut(values: Any) -> Any:
            return None if values is None else values[seen]

        return LevelMoments(
            None,
            cut(self.level_weights),
            cut(self.level_means),
            cut(self.score_cross),
            cut(self.score_squares),
            self.factor,
            self.meat,
            self.bread,
            cut(self.curvature),
        )


def unavailable(reason: str) -> LevelMoments:
    return LevelMoments(reason=reason)


# Rows per block of the pass over the training rows (about 1 MiB of features).
_BLOCK_BYTES = 1 << 20


# Columns per product of a block's indicator with its values.
_GROUP = 4


def _indicator(codes: npt.NDArray[np.intp], n_levels: int) -> Any:
    """The rows' level indicator (L × rows, CSC, one entry per row): its
    product with a block's values sums them per level over the rows at
    once for several columns (faster than a bincount per column), each
    level's sum in row order as bincount's."""
    n = len(codes)
    return sparse.csc_array((np.ones(n), codes, np.arange(n + 1)), shape=(n_levels, n))


def level_moments(
    features: Callable[[slice], npt.NDArray[np.float64]],
    n_features: int,
    rows: RowTerms,
    n_levels: int,
    link: Link,
    meat: str,
    bread: npt.NDArray[np.float64],
) -> LevelMoments:
    """The sums over the training rows at the fit's estimates, features(rows)
    the dense feature rows of a slice and rows the rest of each row's terms.
    Read in blocks of rows, so that nothing of the rows' length is made
    beyond the block's. For meat "rows", those of HC0 and HC1 as well (the
    factor is set by the caller, which knows k)."""
    n = len(rows.y01)
    # At least a quarter as many rows per block as levels: each block's sums
    # per level are arrays of L rows, whose making and adding would otherwise
    # cost more than the block's own rows. Beside the totals (8 · L · (3 + 2p)
    # bytes with robust sums, 2 + p without) the pass holds a block's values
    # and one product of at most _GROUP columns.
    step = max(_BLOCK_BYTES // (8 * (3 + 2 * max(n_features, 1))), n_levels // 4, 1)
    blocks = [slice(first, min(first + step, n)) for first in range(0, n, step)]
    robust = meat == "rows"
    p = n_features
    # Per level, side by side: Σ sw, Σ swx, Σ s h″ and (robust) Σ sr², Σ sr²x.
    totals = np.zeros((n_levels, 2 + p + (1 + p if robust else 0)))
    for block in blocks:
        x = features(block)
        codes, frequencies, scores = rows.block(block, x)
        weights, row_curvature, residuals = _row_terms(scores, rows.y01[block], link, residuals=robust)
        values = np.empty((len(codes), totals.shape[1]))
        np.multiply(weights, frequencies, out=values[:, 0])
        np.multiply(x, values[:, :1], out=values[:, 1 : 1 + p])
        np.multiply(frequencies, row_curvature, out=values[:, 1 + p])
        if robust:
            np.multiply(frequencies, residuals**2, out=values[:, 2 + p])
            np.multiply(x, values[:, 2 + p : 3 + p], out=values[:, 3 + p :])
        indicator = _indicator(codes, n_levels)
        for first in range(0, totals.shape[1], _GROUP):
            group = slice(first, min(first + _GROUP, totals.shape[1]))
            totals[:, group] += indicator @ values[:, group]
    # Views of the totals, every column of which is kept.
    level_weights = totals[:, 0]
    means = totals[:, 1 : 1 + p]
    curvature = totals[:, 1 + p]
    squares = totals[:, 2 + p] if robust else None
    cross = totals[:, 3 + p :] if robust else None
    inverse = np.divide(1.0, level_weights, out=np.zeros(n_levels), where=level_weights > 0)
    means *= inverse[:, None]
    if cross is not None and squares is not None:
        # Σ_{i∈l} sᵢrᵢ²(xᵢ − Eₗ) = Σ_{i∈l} sᵢrᵢ²xᵢ − Eₗ Rₗ: the features within
        # their levels without a second pass.
        cross -= means * squares[:, None]
    return LevelMoments(None, level_weights, means, cross, squares, 1.0, meat, bread, curvature)


def _row_terms(
    scores: npt.NDArray[np.float64], y01: npt.NDArray[np.float64], link: Link, *, residuals: bool
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """Per row the working weight, h″(η) and (with residuals) the score
    residual r; for the logit from one evaluation of μ (w = μ(1 − μ), h″ =
    w(1 − 2μ), r = y − μ), the pass's main cost otherwise."""
    if link.name == "logit":
        mean = expit(scores)
        # Clamped below as the engine clamps it (_working_weights).
        weights = np.maximum(mean * (1.0 - mean), _MIN_WEIGHT)
        return weights, weights * (1.0 - 2.0 * mean), y01 - mean if residuals else mean
    weights, _ = _working_weights(scores, link)
    if residuals:
        return weights, weights, score_residuals(scores, y01, link)
    return weights, link.curvature(scores), weights


@dataclass(frozen=True)
class RowTerms:
    """What a training row adds to its linear predictor besides its features
    (its level's effect and its offset), its outcome and its frequency
    weight (None: 1; counted None: every row counts)."""

    y01: npt.NDArray[np.float64]
    codes: npt.NDArray[Any]
    level_effects: npt.NDArray[np.float64]
    coefficients: npt.NDArray[np.float64]
    offset: npt.NDArray[np.float64] | None
    weights: npt.NDArray[np.float64] | None
    counted: npt.NDArray[np.bool_] | None

    def block(
        self, rows: slice, x: npt.NDArray[np.float64]
    ) -> tuple[npt.NDArray[np.intp], npt.NDArray[np.float64], npt.NDArray[np.float64]]:
        """The block's level codes, frequencies (0 where a row does not
        count) and linear predictors (0 there, where any would do)."""
        codes = self.codes[rows].astype(np.intp, copy=False)
        scores = x @ self.coefficients + self.level_effects[codes]
        if self.offset is not None:
            scores += self.offset[rows]
        frequencies = (
            np.ones(len(codes)) if self.weights is None else np.array(self.weights[rows], dtype=float)
        )
        if self.counted is not None:
            frequencies[~self.counted[rows]] = 0.0
        scores[frequencies == 0] = 0.0
        return codes, frequencies, scores


def effect_covariance(
    moments: LevelMoments,
    covariance: npt.NDArray[np.float64],
    jacobian: npt.NDArray[np.float64],
    level_jacobian: npt.NDArray[np.float64],
    kept: npt.NDArray[np.bool_],
) -> npt.NDArray[np.float64]:
    """The effects' covariance over the slopes and the levels: jacobian (m,
    q) their gradient in the features' coefficients, level_jacobian (m, L)
    in every level's effect; covariance the features' (covariance_); kept the features
    estimated (the others' columns of jacobian are not read)."""
    assert moments.level_weights is not None and moments.level_means is not None
    inverse = np.divide(
        1.0, moments.level_weights, out=np.zeros(len(moments.level_weights)), where=moments.level_weights > 0
    )
    # h = g_β − Eᵀ g_α, one row per effect.
    h = jacobian[:, kept] - level_jacobian @ moments.level_means[:, kept]
    result = h @ covariance[np.ix_(kept, kept)] @ h.T
    scaled = level_jacobian * inverse  # g_α / D
    if moments.meat == "nonrobust":
        result += scaled @ level_jacobian.T
    elif moments.score_cross is not None and moments.score_squares is not None and moments.bread is not None:
        slopes = h @ moments.bread[np.ix_(kept, kept)]  # u_β, one row per effect
        cross = slopes @ (scaled @ moments.score_cross[:, kept]).T
        result += moments.factor * (cross + cross.T + (scaled * moments.score_squares) @ scaled.T)
    # (Clusters that nest the levels: hᵀVh is the whole variance.)
    symmetric: npt.NDArray[np.float64] = 0.5 * (result + result.T)
    return symmetric


def level_curvature(
    X: Any,
    weights: npt.NDArray[np.float64],
    known: npt.NDArray[np.float64],
    coef: npt.NDArray[np.float64],
    codes: npt.NDArray[np.intp],
    n_levels: int,
    link: Link,
) -> npt.NDArray[np.float64]:
    """Per level Σ sᵢ h″(ηᵢ) over the rows of X (validated, in memory),
    ηᵢ = xᵢᵀβ + the row's known term (its level's effect, the intercept
    and its offset): each level's part of the effects' gradient."""
    scores = np.asarray(X @ coef, dtype=np.float64).reshape(-1) + known
    counted = weights > 0
    curvature = link.curvature(np.where(counted, scores, 0.0))
    values = np.where(counted, weights * curvature, 0.0)
    sums: npt.NDArray[np.float64] = np.bincount(codes, weights=values, minlength=n_levels).astype(np.float64)
    return sums
