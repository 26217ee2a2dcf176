"""The observed information of a fit with a non-canonical link (probit,
cloglog), the bread of every covariance type when information="observed".

The engine's loop is Fisher scoring: its information is the expected one,
XᵀSWX with wᵢ = h′(ηᵢ)²/V(μᵢ), what statsmodels' GLM and R's glm report.
The negative Hessian of the log-likelihood is

    Σᵢ sᵢ xᵢxᵢᵀ [wᵢ − (yᵢ − μᵢ)(h″(ηᵢ) V(μᵢ) − h′(ηᵢ)² V′(μᵢ)) / V(μᵢ)²],

V = μ(1 − μ), V′ = 1 − 2μ: what Stata's probit, statsmodels' Probit and
Greene's tables invert. For the logit the bracket is wᵢ itself (h′ = V,
h″ = V V′), so nothing is computed. The binomial likelihood is log-concave
in η for these links, so the matrix is positive semi-definite wherever the
expected one is.

The rows' weights can be negative, which the engine's passes do not take,
so the sum is formed as two passes of the engine's normal equations at
coefficients 0 of the logit, where every working weight is 1/4 exactly: with
frequency weights 4 a⁺ and 4 a⁻ they give Σ a± xxᵀ for any column blocks
the fit read (dense, sparse, categorical, varying slopes)."""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt
from scipy.special import log_ndtr

from . import _native
from ._links import Link
from ._separation import _linear_predictor

INFORMATION = ("observed", "expected")

_LOG_ROOT_TWO_PI = 0.5 * float(np.log(2.0 * np.pi))


def observed_weights(
    scores: npt.NDArray[np.float64],
    y01: npt.NDArray[np.float64],
    link: Link,
) -> npt.NDArray[np.float64]:
    """Each row's bracket above (without its frequency weight), from the
    logarithms of the two probabilities, so that neither 1 − μ nor the
    ratio (y − μ)/V is formed from a rounded probability."""
    if link.name == "probit":
        # -d² log Φ(sη)/dη² = r (r + sη), r = φ(η)/Φ(sη) the inverse Mills
        # ratio of the row's own class (s = ±1): one logarithm of Φ a row.
        signs = 2.0 * y01 - 1.0
        with np.errstate(over="ignore"):
            mills = np.exp(-0.5 * scores * scores - _LOG_ROOT_TWO_PI - log_ndtr(signs * scores))
        probit: npt.NDArray[np.float64] = mills * (mills + signs * scores)
        return probit
    logs = np.empty((len(scores), 2))
    link.log_probabilities(scores.copy(), logs)  # log(1 - μ), log μ
    with np.errstate(over="ignore", invalid="ignore", divide="ignore"):
        slope = link.derivative(scores)
        curvature = link.curvature(scores)
        log_variance = logs[:, 0] + logs[:, 1]
        expected = np.exp(2.0 * np.log(slope) - log_variance)
        # (y - μ)/V: 1/μ for a row of class 1, -1/(1 - μ) for class 0.
        ratio = np.where(y01 == 1.0, np.exp(-logs[:, 1]), -np.exp(-logs[:, 0]))
        complement = np.exp(logs[:, 0])
        derivative_of_variance = complement - np.exp(logs[:, 1])  # 1 - 2μ as (1 - μ) - μ
        weights: npt.NDArray[np.float64] = expected - ratio * (curvature - expected * derivative_of_variance)
    return weights


def observed_information(
    design: Any,
    y01: npt.NDArray[np.float64],
    weights: npt.NDArray[np.float64] | None,
    offset: npt.NDArray[np.float64] | None,
    beta: npt.NDArray[np.float64],
    fit_intercept: bool,
    link: Link,
) -> npt.NDArray[np.float64]:
    """The observed information of the rows of design (all of a fit's, or
    one chunk's) at beta; NaN where a row's weight is not finite (a row
    fitted at exactly 0 or 1, under separation)."""
    scores = _linear_predictor(design, beta, fit_intercept, offset)
    row_weights = observed_weights(scores, y01, link)
    if weights is not None:
        row_weights = np.where(weights > 0, row_weights * weights, 0.0)
    information = np.zeros((len(beta), len(beta)))
    if not np.all(np.isfinite(row_weights)):
        return np.full_like(information, np.nan)
    zero = np.zeros(len(beta))
    for sign, part in ((1.0, np.maximum(row_weights, 0.0)), (-1.0, np.maximum(-row_weights, 0.0))):
        if part.any():
            sums = _native.normal_equations(
                design, y01, 4.0 * part, zero, fit_intercept=fit_intercept, with_statistics=False
            )
            information += sign * sums["A"]
    return information


def inverse_information(
    information: npt.NDArray[np.float64], result: Any, penalty: float, fit_intercept: bool
) -> npt.NDArray[np.float64] | None:
    """The covariance from an information matrix as the engine forms it:
    the penalty 1/C on the diagonal but the intercept's, the inverse of the
    kept columns' block by Cholesky, NaN at dropped columns; None where it
    is not finite or not positive definite (the expected information's
    covariance then stays)."""
    information = information.copy()
    first = int(fit_intercept)
    information[np.arange(first, len(information)), np.arange(first, len(information))] += penalty
    kept = np.ones(len(information), dtype=bool)
    kept[list(result.dropped)] = False
    block = information[np.ix_(kept, kept)]
    if not np.all(np.isfinite(block)):
        return None
    try:
        factor = np.linalg.cholesky(block)
    except np.linalg.LinAlgError:
        return None
    inverse_factor = np.linalg.inv(factor)
    covariance = np.full_like(information, np.nan)
    covariance[np.ix_(kept, kept)] = inverse_factor.T @ inverse_factor
    return covariance
