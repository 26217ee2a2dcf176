"""What a fitted model computes for rows of X, on a NumPy array: the whole
of an in-memory X, or one chunk of a Dask array."""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt

from ._links import Link


def scores(
    X: npt.NDArray[np.float64], coef: npt.NDArray[np.float64], intercept: float
) -> npt.NDArray[np.float64]:
    """The linear predictor (log-odds of the second class) of every row."""
    result: npt.NDArray[np.float64] = X @ coef
    result += intercept
    return result


def log_probabilities(scores: npt.NDArray[np.float64], link: Link) -> npt.NDArray[np.float64]:
    """(n, 2): the log-probabilities of the first and the second class,
    log(1 - μ) and log μ, each computed directly from the score (the link's
    own forms), so that it keeps its accuracy where the probability itself
    rounds to 1 or underflows to 0. scores is used as working memory."""
    result = np.empty((len(scores), 2))
    # A NaN score (a row of an absorbed level dropped for separation, whose
    # effect is unknown) gives NaN probabilities, not a warning.
    with np.errstate(invalid="ignore"):
        link.log_probabilities(scores, result)
    return result


def probabilities(scores: npt.NDArray[np.float64], link: Link) -> npt.NDArray[np.float64]:
    """(n, 2): the probabilities of the first and the second class. scores is
    used as working memory."""
    # The exponential of each log-probability, computed directly rather than
    # as 1 minus the other, which would lose the smaller one to rounding.
    result = log_probabilities(scores, link)
    np.exp(result, out=result)
    return result


def labels(scores: npt.NDArray[np.float64], classes: npt.NDArray[Any], link: Link) -> npt.NDArray[Any]:
    """The more probable of the two classes for every row: the second where
    the score is above the link's midpoint h⁻¹(1/2)."""
    chosen: npt.NDArray[Any] = classes[(scores > link.midpoint).astype(np.intp)]
    return chosen


def check_labelled(scores: npt.NDArray[np.float64], absorbed: bool) -> None:
    """A ValueError for rows without a probability (NaN scores): a label
    that no probability supports would be counted by score() as if it were
    a prediction."""
    missing = int(np.count_nonzero(np.isnan(scores)))
    if not missing:
        return
    reason = (
        "an absorbed level whose effect was not estimated, or a missing value among their features"
        if absorbed
        else "a missing value among their features"
    )
    raise ValueError(
        f"{missing} row(s) of X have no probability (predict_proba is NaN for them): {reason}. predict() "
        "and score() give no label without one; leave these rows out "
        "(np.isnan(predict_proba(X)[:, 1]) finds them)."
    )


# Rows per block of score_variances: a block's parameter rows are dense, so
# blocks of about this many values bound the working memory (8 MiB).
_VARIANCE_BLOCK_VALUES = 2**20


def score_variances(
    n_rows: int,
    numeric: list[Any],
    categoricals: list[tuple[npt.NDArray[Any], int, bool, npt.NDArray[np.float64] | None]],
    covariance: npt.NDArray[np.float64],
    fit_intercept: bool,
) -> npt.NDArray[np.float64]:
    """xᵢᵀ V xᵢ for the parameter row xᵢ of every row: the variance of its
    linear predictor for the coefficients' covariance V.

    numeric holds the numeric columns as (n, pᵢ) arrays or scipy.sparse
    matrices side by side; each categorical is (codes, levels, drop_first,
    multiplier), its parameters following the numeric ones, as in the fit.
    A categorical's part of xᵢ is a single value vⱼ (1, or the row's
    multiplier for a slope per level; nothing for the reference level), so
    its terms are read out of V by index, never through a one-hot row:
    with N the intercept and numeric part and cⱼ the parameter of
    categorical j's level,

        xᵀVx = Nᵀ V_NN N + 2 Σⱼ vⱼ Nᵀ V_N,cⱼ + Σⱼ Σₗ vⱼ vₗ V_cⱼ,cₗ.

    The rows are taken in blocks, so that memory stays bounded whatever n.
    """
    k = covariance.shape[0]
    # One more row and column of zeros: the "parameter" of a reference level.
    padded = np.zeros((k + 1, k + 1))
    padded[:k, :k] = covariance
    n_dense = int(fit_intercept) + sum(part.shape[1] for part in numeric)
    parameters = []
    start = n_dense
    for codes, levels, drop_first, multiplier in categoricals:
        first_level = int(drop_first)
        codes = codes.astype(np.intp)
        parameters.append((np.where(codes >= first_level, start + codes - first_level, k), multiplier))
        start += levels - first_level
    dense_block = padded[:n_dense, :n_dense]
    rows_per_block = max(1, _VARIANCE_BLOCK_VALUES // max(n_dense, 1))
    result = np.empty(n_rows)
    for first in range(0, n_rows, rows_per_block):
        rows = slice(first, min(first + rows_per_block, n_rows))
        values = _dense_rows(numeric, rows, fit_intercept)
        variances = np.einsum("ij,ij->i", values @ dense_block, values)
        for index, multiplier in parameters:
            cross = 2.0 * np.einsum("ij,ji->i", values, padded[:n_dense, index[rows]])
            for other, other_multiplier in parameters:
                term = padded[index[rows], other[rows]]
                cross += term if other_multiplier is None else term * other_multiplier[rows]
            variances += cross if multiplier is None else cross * multiplier[rows]
        result[rows] = variances
    return result


def _dense_rows(numeric: list[Any], rows: slice, fit_intercept: bool) -> npt.NDArray[np.float64]:
    """The intercept and numeric part of the parameter rows in rows, dense."""
    parts = [np.ones((rows.stop - rows.start, 1))] if fit_intercept else []
    for part in numeric:
        block = part[rows]
        parts.append(block.toarray() if hasattr(block, "toarray") else np.asarray(block, dtype=np.float64))
    return np.hstack(parts) if parts else np.empty((rows.stop - rows.start, 0))
