"""The analytical correction of the incidental-parameter bias of slopes
fitted beside absorbed levels (``bias_correction="analytical"``).

The slopes of a logit or probit with individual effects are biased of
order 1/T, T the rows per individual (Neyman and Scott's problem). For a
static model with strictly exogenous regressors, Hahn and Newey (2004)
give the leading term of that bias for one absorbed column, and
Fernández-Val and Weidner (2016) that of two (individual and time effects:
B/T + D/N); subtracting its estimate leaves a bias of smaller order. The
expressions are those of bife's ``bias_corr()`` and alpaca's
``biasCorr(L = 0)``, in their unnormalised form:

    β̃ = β̂ + H⁻¹ S / 2,    H = Σᵢₜ wᵢₜ x̃ᵢₜ x̃ᵢₜᵀ,
    S = Σ over the absorbed columns Σ over their levels g  (Σ_{rows of g} zᵢₜ x̃ᵢₜ) / (Σ_{rows of g} wᵢₜ),

with per row, F the link's cdf, f its density and f' the density's
derivative at ηᵢₜ, wᵢₜ = f²/(F(1 − F)) (the expected information of η)
and zᵢₜ = f f'/(F(1 − F)) (the logit's F(1 − F)(1 − 2F)), both times the
row's frequency weight; x̃ is the residual of the features' projection on
the levels' dummies weighted by w (their within transformation). The
levels of both columns enter alike, so the order of the columns does not
change the sum. With L = 0 there is no spectral term: a predetermined
regressor (a lagged outcome) needs one, and nothing here can tell.

The average partial effects have a bias of their own, corrected as
alpaca's ``getAPEs()`` does after ``biasCorr()`` (partial_effects).
"""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt
from scipy.special import expit, log_ndtr, ndtr

from . import _caller

BIAS_CORRECTIONS = ("analytical",)

# The most levels of the smaller of two absorbed columns (the time
# periods): its system in level_projection is dense, 8 · m² bytes.
SMALLER_LEVELS = 5000
# The longest Newton step of a level's effect in solve_levels.
_LONGEST_STEP = 5.0


def check_request(
    bias_correction: Any, absorbed: list[str], link: str, penalty: float, distributed: bool
) -> None:
    """A ValueError, saying why, for a correction the fit cannot make."""
    if bias_correction is None:
        return
    if penalty > 0.0:
        raise ValueError(
            "bias_correction='analytical' corrects the maximum-likelihood slopes: C must be inf (a ridge "
            "penalty has a bias of its own, which the expansion does not describe)."
        )
    if not absorbed:
        raise ValueError(
            "bias_correction='analytical' corrects the slopes for the levels absorbed beside them: it "
            "needs absorb= (or a formula's '| fe' part)."
        )
    if len(absorbed) > 2:
        raise ValueError(
            f"bias_correction='analytical' is formed for one absorbed column (individual effects, Hahn and "
            f"Newey 2004) or two (individual and time effects, Fernández-Val and Weidner 2016); absorb= "
            f"names {len(absorbed)}: the bias of three-way models depends on the panel's structure "
            "(a network of pairs over time, say), which the fit cannot tell."
        )
    if link not in ("logit", "probit"):
        raise ValueError(
            f"bias_correction='analytical' is formed for the logit and probit links, not {link!r}: those "
            "two are the ones its expansion is checked for here (against the textbook expansion and a "
            "Monte Carlo), so another is refused rather than corrected untested."
        )
    if distributed:
        raise ValueError(
            "bias_correction='analytical' needs the features and levels of every row in memory (a "
            "within transformation and sums per level after the fit): pass a pandas or polars DataFrame, "
            "not a Dask or Spark one."
        )


def check_features(categorical: bool) -> None:
    if categorical:
        raise ValueError(
            "bias_correction='analytical' is formed for numeric features: a categorical feature's levels "
            "would need dense dummy columns of every row for the correction's within transformation, which "
            "the absorbed fit does not hold. Pass them as numeric 0/1 columns."
        )


def correctable(result: Any) -> bool:
    """Whether the fit's result can be corrected: it made an update and
    converged (else there is no maximum to expand about); a warning says
    why where not. Rows fitted at a probability that rounds to 0 or 1 are
    no reason: a probit's does beyond |η| ≈ 8.3, and their weights, formed
    from logarithms, are finite."""
    if result.passes == 0:
        not_corrected("no update was made (max_iter=0)")
    elif not result.converged:
        not_corrected("the fit did not converge, so the expansion about its maximum does not apply")
    else:
        return True
    return False


def not_corrected(reason: str) -> None:
    from sklearn.exceptions import ConvergenceWarning

    _caller.warn(
        f"bias_correction='analytical' was not applied: {reason}. coef_ holds the uncorrected slopes "
        "(there is no coef_uncorrected_), and marginal_effects() is that of an uncorrected fit.",
        ConvergenceWarning,
    )


def row_moments(
    scores: npt.NDArray[np.float64], frequencies: npt.NDArray[np.float64], link: str
) -> tuple[
    npt.NDArray[np.float64], npt.NDArray[np.float64], npt.NDArray[np.float64], npt.NDArray[np.float64]
]:
    """Per row, F, w = s f²/(F(1 − F)) (the expected information of η),
    z = s f f'/(F(1 − F)) and f/(F(1 − F)) (the factor of y − F in the
    score of η), s the frequency weight (0 for a row left out, whatever
    its score)."""
    eta = np.where(frequencies > 0, scores, 0.0)
    if link == "logit":
        mean, one_minus_mean = expit(eta), expit(-eta)
        w = mean * one_minus_mean
        z = w * (one_minus_mean - mean)
        factor = np.ones_like(eta)
    else:
        # f/(Φ(η)Φ(−η)) from logarithms: both factors of the denominator
        # are accurate in either tail, where 1 − Φ(η) would round to 0.
        log_density = -0.5 * eta * eta - 0.5 * np.log(2.0 * np.pi)
        factor = np.exp(log_density - log_ndtr(eta) - log_ndtr(-eta))
        mean = ndtr(eta)
        w = factor * np.exp(log_density)
        z = -eta * w
    return mean, frequencies * w, frequencies * z, factor


def level_projection(
    weighted: npt.NDArray[np.float64],
    w: npt.NDArray[np.float64],
    codes: list[npt.NDArray[Any]],
    n_levels: list[int],
) -> list[npt.NDArray[np.float64]]:
    """The coefficients (levels × k, per absorbed column) of the weighted
    least-squares projection of k columns v on the levels' dummies, from
    weighted = w v: so that Σⱼ coefficientsⱼ[codesⱼ] is the projection.
    One column: the weighted level means. Two: the column of more levels
    eliminated through its diagonal, the other's system (its Schur
    complement, of its levels' size) solved by a pseudo-inverse, since
    shifting one column's effects against the other's leaves the
    projection as it is."""
    k = weighted.shape[1]

    def level_sums(column_codes: npt.NDArray[Any], n: int) -> npt.NDArray[np.float64]:
        return np.column_stack(
            [np.bincount(column_codes, weights=weighted[:, j], minlength=n) for j in range(k)]
        )

    totals = [np.bincount(c, weights=w, minlength=n) for c, n in zip(codes, n_levels, strict=True)]
    inverses = [np.divide(1.0, t, out=np.zeros(len(t)), where=t > 0) for t in totals]
    if len(codes) == 1:
        return [level_sums(codes[0], n_levels[0]) * inverses[0][:, None]]
    from scipy.sparse import csr_array

    big, small = (0, 1) if n_levels[0] >= n_levels[1] else (1, 0)
    cross = csr_array((w, (codes[big], codes[small])), shape=(n_levels[big], n_levels[small]))
    scaled = cross.multiply(inverses[big][:, None]).tocsr()
    schur = np.diag(totals[small]) - (cross.T @ scaled).toarray()
    sums_big, sums_small = level_sums(codes[big], n_levels[big]), level_sums(codes[small], n_levels[small])
    small_coefficients = np.linalg.pinv(schur, rcond=1e-12, hermitian=True) @ (
        sums_small - scaled.T @ sums_big
    )
    coefficients = [np.empty(0)] * 2
    coefficients[small] = small_coefficients
    coefficients[big] = inverses[big][:, None] * (sums_big - cross @ small_coefficients)
    return coefficients


def _partialled(
    features: npt.NDArray[np.float64],
    w: npt.NDArray[np.float64],
    codes: list[npt.NDArray[Any]],
    n_levels: list[int],
) -> tuple[list[npt.NDArray[np.float64]], npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """The features partialled out of the levels with weights w: the
    projection's coefficients (level_projection), the residuals x̃ and the
    slopes' Hessian Σ w x̃ x̃ᵀ."""
    projection = level_projection(features * w[:, None], w, codes, n_levels)
    residuals = features - sum(c[column_codes] for c, column_codes in zip(projection, codes, strict=True))
    return projection, residuals, residuals.T @ (residuals * w[:, None])


def _level_ratios(
    values: npt.NDArray[np.float64],
    w: npt.NDArray[np.float64],
    codes: list[npt.NDArray[Any]],
    n_levels: list[int],
) -> npt.NDArray[np.float64]:
    """Per column of values (rows × k): Σ over the absorbed columns and
    their levels of weight of (Σ_rows values) / (Σ_rows w), the form of
    every bias term."""
    total = np.zeros(values.shape[1])
    for column_codes, n in zip(codes, n_levels, strict=True):
        level_weights = np.bincount(column_codes, weights=w, minlength=n)
        present = level_weights > 0
        for k in range(values.shape[1]):
            sums = np.bincount(column_codes, weights=values[:, k], minlength=n)
            total[k] += float(np.sum(sums[present] / level_weights[present]))
    return total


def check_levels(n_levels: list[int]) -> None:
    """The second absorbed column's system is formed whole (level_projection)."""
    if len(n_levels) == 2 and min(n_levels) > SMALLER_LEVELS:
        raise ValueError(
            f"bias_correction='analytical' with two absorbed columns needs the one of fewer levels (the "
            f"time periods) to have at most {SMALLER_LEVELS:,}; they have {n_levels[0]:,} and "
            f"{n_levels[1]:,} (their system is formed whole)."
        )


def correction(
    features: npt.NDArray[np.float64],
    scores: npt.NDArray[np.float64],
    frequencies: npt.NDArray[np.float64],
    codes: list[npt.NDArray[Any]],
    n_levels: list[int],
    link: str,
) -> tuple[npt.NDArray[np.float64], list[npt.NDArray[np.float64]]]:
    """H⁻¹ S / 2 (the module's notation): what the correction adds to the
    slopes of the features (their dense columns), from the fit's linear
    predictors and each row's frequency weight (0 for the rows the fit left
    out, levels of a single outcome among them); and the coefficients of
    the features' projection on the levels (level_projection), from which
    the levels' first-order response to the change of the slopes follows."""
    _, w, z, _ = row_moments(scores, frequencies, link)
    projection, residuals, hessian = _partialled(features, w, codes, n_levels)
    total = _level_ratios(z[:, None] * residuals, w, codes, n_levels)
    shift = np.asarray(np.linalg.solve(hessian, 0.5 * total), dtype=np.float64)
    return shift, projection


def solve_levels(
    known: npt.NDArray[np.float64],
    y01: npt.NDArray[np.float64],
    frequencies: npt.NDArray[np.float64],
    codes: list[npt.NDArray[Any]],
    effects: list[npt.NDArray[np.float64]],
    link: str,
    tol: float,
    max_iter: int,
) -> tuple[list[npt.NDArray[np.float64]], bool]:
    """The levels' effects of the absorbed columns given each row's known
    term (the corrected slopes' X β̃ and the offset), by Newton's steps for
    all levels at once (level_projection of the score), from the effects
    given, until no step exceeds tol; and whether the steps settled. From
    the uncorrected fit's effects moved by their first-order response to
    the slopes' change, two or three steps."""
    effects = [np.array(e, dtype=np.float64, copy=True) for e in effects]
    n_levels = [len(e) for e in effects]
    for _ in range(max(int(max_iter), 1)):
        eta = known + sum(e[c] for e, c in zip(effects, codes, strict=True))
        mean, w, _, factor = row_moments(eta, frequencies, link)
        score = frequencies * (y01 - mean) * factor
        steps = level_projection(score[:, None], w, codes, n_levels)
        largest = max(float(np.max(np.abs(step), initial=0.0)) for step in steps)
        # A long step (a start far from the optimum) is shortened: the
        # log-likelihood is concave in the levels, and a bounded step keeps
        # the weights of their rows from underflowing on the way.
        scale = min(1.0, _LONGEST_STEP / largest) if largest > 0 else 1.0
        for e, step in zip(effects, steps, strict=True):
            e += scale * step[:, 0]
        if largest <= tol:
            return effects, True
    return effects, False


def _density_derivatives(
    eta: npt.NDArray[np.float64], link: str
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """f, f' and f'' of the link's cdf F at η."""
    if link == "logit":
        mean, one_minus_mean = expit(eta), expit(-eta)
        f = mean * one_minus_mean
        return f, f * (one_minus_mean - mean), f * ((one_minus_mean - mean) ** 2 - 2.0 * f)
    f = np.exp(-0.5 * eta * eta) / np.sqrt(2.0 * np.pi)
    return f, -eta * f, (eta * eta - 1.0) * f


def partial_effects(
    features: npt.NDArray[np.float64],
    slopes: npt.NDArray[np.float64],
    scores: npt.NDArray[np.float64],
    y01: npt.NDArray[np.float64],
    frequencies: npt.NDArray[np.float64],
    codes: list[npt.NDArray[Any]],
    n_levels: list[int],
    link: str,
    n: float,
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """The average partial effects δₖ = Σ s βₖ f(η) / n over the training
    rows, at the corrected slopes and the levels solved given them, less
    their own bias (Fernández-Val and Weidner 2016, section 4; alpaca's
    getAPEs() after biasCorr(L = 0)), and their covariance. n counts every
    training row, those of levels dropped for a single outcome among them
    (frequencies 0 here): their probability is 0 or 1 in the limit the
    dummy model tends to, so their effect is 0, as alpaca counts them.

    With Δ'ₖ = βₖ f' and Δ''ₖ = βₖ f'' per row, Ψₖ = −Δ'ₖ/w and PΨₖ its
    w-weighted projection on the levels' dummies, the bias is
    ½ Σ over the columns and their levels (Σ_rows s Δ''ₖ + z PΨₖ) / (Σ_rows w),
    over n. The covariance is Σ s γ γᵀ of the influence of each row,
    γ = (J H⁻¹ x̃ − PΨ/n) (y − F) f/(F(1 − F)), J = ∂δ/∂β with the levels'
    response: the delta method over the slopes and the
    levels both, as alpaca's (without a finite-population term)."""
    mean, w, z, factor = row_moments(scores, frequencies, link)
    eta = np.where(frequencies > 0, scores, 0.0)
    f, f1, f2 = _density_derivatives(eta, link)
    f, f1, f2 = frequencies * f, frequencies * f1, frequencies * f2
    _, residuals, hessian = _partialled(features, w, codes, n_levels)
    # Ψₖ = βₖ ψ with ψ = −f'/w: one projection serves every feature (its
    # weighted column w ψ = −s f', with no division by w).
    psi = level_projection(-f1[:, None], w, codes, n_levels)
    projected_psi = sum(c[column_codes, 0] for c, column_codes in zip(psi, codes, strict=True))
    bias = 0.5 * float(_level_ratios((f2 + z * projected_psi)[:, None], w, codes, n_levels)[0])
    density = float(f.sum())
    # J[k, j] = ∂δⱼ/∂βₖ: Σ s βⱼ f' x̃ₖ / n, and Σ s f / n where k = j.
    jacobian = np.outer(residuals.T @ f1, slopes) / n
    jacobian[np.diag_indices(len(slopes))] += density / n
    influence = residuals @ np.linalg.solve(hessian, jacobian) - np.outer(projected_psi, slopes) / n
    influence *= ((y01 - mean) * factor)[:, None]
    covariance = influence.T @ (influence * frequencies[:, None])
    return slopes * (density - bias) / n, covariance


def summary_note(absorbed: list[str]) -> str:
    """The summary's line on a corrected fit."""
    source = (
        "Hahn and Newey (2004), individual effects"
        if len(absorbed) == 1
        else "Fernández-Val and Weidner (2016), individual and time effects"
    )
    return (
        f"Slopes bias-corrected (analytical, {source}; static model, strictly exogenous regressors): "
        "coef_uncorrected_ holds the fit's own; standard errors, the log-likelihood and the tests are those "
        "of the uncorrected fit."
    )
