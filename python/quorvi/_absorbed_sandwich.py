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

x̃ is formed exactly, not by alternating projections: the first column (the
one of most levels, L₁) by its weighted means, and the further columns' Lf
levels together through their Lf × Lf system with the first eliminated,
Zfᵀ W M₁ Zf = ZfᵀWZf − CᵀD₁⁻¹C (C = Z₁ᵀWZf, D₁ the first column's level
weights), solved by its pseudo-inverse: it is singular (each further
column's levels add up to the first column's, and groups of levels no row
links add more), and any solution gives the same ZfΓ. That costs Lf³, so
the further columns may have at most FURTHER_LIMIT levels together (a firm
and a year, a worker and a firm of few levels)."""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt
from scipy import linalg, sparse

from ._fit_certificate import _working_weights
from ._links import Link

# The most levels of the further absorbed columns together for which their
# system (dense, Lf × Lf) is formed.
FURTHER_LIMIT = 4000


def score_residuals(scores: npt.NDArray[np.float64], y01: npt.NDArray[np.float64], link: Link) -> Any:
    """rᵢ = (yᵢ − μᵢ) h′(ηᵢ)/V(μᵢ): h′/μ for a row of class 1, −h′/(1 − μ)
    for class 0, each from the logarithm of its probability."""
    logs = np.empty((len(scores), 2))
    link.log_probabilities(scores.copy(), logs)
    slope = link.derivative(scores)
    with np.errstate(over="ignore", invalid="ignore"):
        return np.where(y01 == 1.0, slope * np.exp(-logs[:, 1]), -slope * np.exp(-logs[:, 0]))


def partialled_features(
    X: npt.NDArray[np.float64],
    weights: npt.NDArray[np.float64],
    primary: tuple[npt.NDArray[Any], int],
    further: list[tuple[npt.NDArray[Any], int]],
) -> npt.NDArray[np.float64]:
    """X − ZΓ, the columns of X partialled out of the absorbed levels by
    least squares weighted by weights (primary and further as (codes,
    number of levels))."""
    codes, n_levels = primary
    codes = codes.astype(np.intp, copy=False)
    level_weights = np.bincount(codes, weights=weights, minlength=n_levels)
    inverse = np.divide(1.0, level_weights, out=np.zeros(n_levels), where=level_weights > 0)
    weighted = X * weights[:, None]
    sums = np.column_stack([np.bincount(codes, weights=column, minlength=n_levels) for column in weighted.T])
    result: npt.NDArray[np.float64] = X - (sums * inverse[:, None])[codes]
    if not further:
        return result
    n = len(weights)
    first = sparse.csr_matrix((np.ones(n), codes, np.arange(n + 1)), shape=(n, n_levels))
    starts = np.cumsum([0] + [levels for _, levels in further])
    columns = np.column_stack(
        [c.astype(np.intp) + start for (c, _), start in zip(further, starts, strict=False)]
    )
    others = sparse.csr_matrix(
        (np.ones(columns.size), columns.ravel(), np.arange(0, columns.size + 1, len(further))),
        shape=(n, int(starts[-1])),
    )
    weighted_others = sparse.diags(weights) @ others
    cross = (first.T @ weighted_others).tocsr()  # C = Z₁ᵀ W Zf
    system = (others.T @ weighted_others).toarray() - (cross.T @ sparse.diags(inverse) @ cross).toarray()
    right = others.T @ (result * weights[:, None])  # Zfᵀ W M₁X
    solution = linalg.pinvh(0.5 * (system + system.T)) @ right
    # M₁ Zf Γ = Zf Γ − Z₁ D₁⁻¹ C Γ
    result -= others @ solution
    result += (np.asarray(cross @ solution) * inverse[:, None])[codes]
    return result


def absorbed_meats(
    X: npt.NDArray[np.float64],
    y01: npt.NDArray[np.float64],
    frequencies: npt.NDArray[np.float64],
    scores: npt.NDArray[np.float64],
    primary: tuple[npt.NDArray[Any], int],
    further: list[tuple[npt.NDArray[Any], int]],
    link: Link,
    clusters: list[tuple[npt.NDArray[np.int64], int]] | None,
) -> list[npt.NDArray[np.float64]]:
    """The meats of the features' sandwich, as the engine's passes give
    them (Σ sᵢrᵢ²x̃ᵢx̃ᵢᵀ; or per clustering Σ_g u_g u_gᵀ, u_g = Σ_{i∈g} sᵢrᵢx̃ᵢ)
    at the linear predictors scores; frequencies 0 on the rows that do not
    count (weight 0, levels dropped for separation)."""
    counted = frequencies > 0
    scores = np.where(counted, scores, 0.0)
    weights, _ = _working_weights(scores, link)
    weights *= frequencies
    residuals = np.where(counted, score_residuals(scores, y01, link), 0.0)
    partialled = partialled_features(X, weights, primary, further)
    if clusters is None:
        scaled = partialled * (frequencies * residuals**2)[:, None]
        return [scaled.T @ partialled]
    terms = partialled * (frequencies * residuals)[:, None]
    meats: list[npt.NDArray[np.float64]] = []
    for codes, n_groups in clusters:
        groups = np.column_stack(
            [np.bincount(codes, weights=column, minlength=n_groups) for column in terms.T]
        )
        meats.append(np.asarray(groups.T @ groups, dtype=np.float64))
    return meats


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
