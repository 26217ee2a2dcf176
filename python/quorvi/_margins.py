"""Average marginal effects: the weighted sums over the rows of X that the
effects and their delta-method covariance need, in one pass over X (in
memory, or chunk by chunk where a Dask array lives), and the effects from
those sums."""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt
from sklearn.utils.validation import _check_sample_weight

from ._links import Link
from ._robust import checked_offset
from ._validation import is_dask_collection

# Rows per block of the in-memory pass: the block is read for its scores and
# read again, still in cache, for its column sums (about 1 MiB per block).
_BLOCK_BYTES = 1 << 20


def chunk_sums(
    X: npt.NDArray[np.float64],
    weights: npt.NDArray[np.float64] | None,
    coef: npt.NDArray[np.float64],
    intercept: float,
    offset: npt.NDArray[np.float64] | None,
    link: Link,
) -> npt.NDArray[np.float64]:
    """[Σ sᵢ, Σ sᵢgᵢ, Σ sᵢg'ᵢ, Σ sᵢg'ᵢxᵢ (one per feature)] over the rows of
    X, with gᵢ = h'(ηᵢ) the derivative of the link's mean at the row's linear
    predictor ηᵢ = xᵢᵀβ + oᵢ (oᵢ the row's offset, when given) and g'ᵢ =
    h''(ηᵢ); for the logit gᵢ = μᵢ(1 - μᵢ) and g'ᵢ = gᵢ(1 - 2μᵢ)."""
    sums = np.zeros(3 + X.shape[1])
    rows = max(1, _BLOCK_BYTES // (8 * max(X.shape[1], 1)))
    for start in range(0, X.shape[0], rows):
        block = X[start : start + rows]
        scores = block @ coef + intercept
        if offset is not None:
            scores += offset[start : start + rows]
        g = link.derivative(scores)
        curvature = link.curvature(scores)
        if weights is not None:
            block_weights = weights[start : start + rows]
            sums[0] += block_weights.sum()
            g *= block_weights
            curvature *= block_weights
        else:
            sums[0] += len(block)
        sums[1] += g.sum()
        sums[2] += curvature.sum()
        sums[3:] += curvature @ block
    return sums


def margin_sums(model: Any, X: Any, sample_weight: Any, offset: Any) -> npt.NDArray[np.float64]:
    """chunk_sums over all rows of X, for a fitted model; X validated as for
    predict, offset as for predict_proba."""
    if offset is None and getattr(model, "fitted_with_offset_", False):
        # The effects are derivatives at each row's fitted probability, which
        # the offset moves: without it they would be those of another model.
        raise ValueError(
            "the model was fitted with an offset: pass the rows' offsets to marginal_effects(X, "
            "offset=...) (as to predict_proba), so that the effects are taken at the fitted "
            "probabilities."
        )
    coef = model.coef_[0]
    intercept = float(model.intercept_[0])
    if is_dask_collection(X):
        from ._dask._margins import dask_margin_sums

        sums = dask_margin_sums(X, sample_weight, offset, coef, intercept, model.link)
    else:
        X = model._validated_input(X)
        weights = None
        if sample_weight is not None:
            weights = _check_sample_weight(sample_weight, X, dtype=np.float64, ensure_non_negative=True)
        sums = chunk_sums(X, weights, coef, intercept, checked_offset(offset, X.shape[0]), model._link())
    if not sums[0] > 0:
        raise ValueError("sample_weight sums to 0: there are no rows to average the marginal effects over.")
    return sums


def average_marginal_effects(
    sums: npt.NDArray[np.float64],
    coef: npt.NDArray[np.float64],
    covariance: npt.NDArray[np.float64],
    fit_intercept: bool,
    kept: npt.NDArray[np.bool_],
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """(effects, their covariance J V Jᵀ) from the sums of chunk_sums. kept
    marks the parameters (in covariance's order) that were estimated; the
    others' rows and columns of covariance are not read, and a dropped
    feature's effect has a NaN variance."""
    total = sums[0]
    mean_g = sums[1] / total
    # The mean of gᵢ(1 - 2μᵢ) xᵢₖ for every parameter k, xᵢ₀ = 1 for the intercept.
    mean_curvature = sums[2:] / total if fit_intercept else sums[3:] / total
    effects = coef * mean_g
    jacobian = np.outer(coef, mean_curvature)
    offset = 1 if fit_intercept else 0
    jacobian[np.arange(len(coef)), offset + np.arange(len(coef))] += mean_g
    kept_covariance = covariance[np.ix_(kept, kept)]
    effect_covariance = jacobian[:, kept] @ kept_covariance @ jacobian[:, kept].T
    dropped_features = ~kept[offset:]
    effect_covariance[dropped_features, :] = np.nan
    effect_covariance[:, dropped_features] = np.nan
    return effects, effect_covariance
