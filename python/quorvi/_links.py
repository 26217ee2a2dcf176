"""The links of the binomial model, as the Python side needs them: the mean
μ = h(η) and its logarithms for predictions, its first two derivatives for
marginal effects and prediction intervals, the name the summary prints, and
the engine's value of the link (src/irls/links.hpp, where the fit's weights
and deviance are). A new link is one record here and a name in LINKS."""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt
from scipy.special import expit, log_ndtr, ndtr

from . import _native

_Array = npt.NDArray[np.float64]


@dataclass(frozen=True)
class Link:
    """One link: every function takes the linear predictors η."""

    name: str  # the estimator's link parameter
    model_name: str  # the summary's "Model:" line, as statsmodels names the model
    mean: Callable[[_Array], _Array]  # μ = h(η)
    # (η, out): log(1 - μ) and log μ into the columns of the (n, 2) out, each
    # computed directly (neither as the logarithm of a rounded probability),
    # in place: η is working memory, out the only large allocation.
    log_probabilities: Callable[[_Array, _Array], None]
    derivative: Callable[[_Array], _Array]  # h'(η) = dμ/dη
    curvature: Callable[[_Array], _Array]  # h''(η)
    midpoint: float  # h⁻¹(1/2): the score above which the second class is the more probable
    # What exp(β) of a coefficient is under this link (coef_table(exponentiate=True)),
    # or why it is nothing to report.
    ratio: str | None = None
    no_ratio: str = ""
    # μ and h'(η) of the same η in one pass, where they share their costly
    # part (the logit's expit(η)); None: the two functions apart.
    mean_with_derivative: Callable[[_Array], tuple[_Array, _Array]] | None = None

    def mean_and_derivative(self, scores: _Array) -> tuple[_Array, _Array]:
        """(μ, h'(η)), equal to mean() and derivative() of the same η."""
        if self.mean_with_derivative is not None:
            return self.mean_with_derivative(scores)
        return self.mean(scores), self.derivative(scores)

    @property
    def native(self) -> _native.Link:
        """The engine's value of the link, of the same name."""
        return _native.Link.__members__[self.name]


def _logit_derivative(scores: _Array) -> _Array:
    # μ(1 - μ) as expit(η)·expit(-η): neither factor is 1 minus a rounded μ.
    result: _Array = expit(scores) * expit(-scores)
    return result


def _logit_mean_and_derivative(scores: _Array) -> tuple[_Array, _Array]:
    # _logit_derivative's product, with its first factor kept as μ.
    mu: _Array = expit(scores)
    return mu, mu * expit(-scores)


def _logit_curvature(scores: _Array) -> _Array:
    mu = expit(scores)
    one_minus_mu = expit(-scores)
    result: _Array = mu * one_minus_mu * (one_minus_mu - mu)
    return result


def _logit_log_probabilities(scores: _Array, out: _Array) -> None:
    # -log(1 + exp(±η)): log(1 + exp(s)) never overflows, and log(expit(s)) =
    # -log1p(exp(-s)) keeps its accuracy where the probability rounds to 1 or
    # underflows to 0.
    np.logaddexp(0.0, scores, out=out[:, 0])
    np.negative(scores, out=scores)
    np.logaddexp(0.0, scores, out=out[:, 1])
    np.negative(out, out=out)


LOGIT = Link(
    name="logit",
    model_name="Logit",
    mean=expit,
    log_probabilities=_logit_log_probabilities,
    derivative=_logit_derivative,
    curvature=_logit_curvature,
    midpoint=0.0,
    # exp(β) = the odds' factor per unit of the feature: log μ/(1 − μ) = η.
    ratio="odds ratio",
    mean_with_derivative=_logit_mean_and_derivative,
)

_ROOT_TWO_PI = float(np.sqrt(2.0 * np.pi))


def _normal_density(scores: _Array) -> _Array:
    result: _Array = np.exp(-0.5 * scores * scores) / _ROOT_TWO_PI
    return result


def _probit_log_probabilities(scores: _Array, out: _Array) -> None:
    # log Φ(η) and log Φ(-η) by scipy's log_ndtr, accurate in both tails.
    log_ndtr(scores, out=out[:, 1])
    np.negative(scores, out=scores)
    log_ndtr(scores, out=out[:, 0])


PROBIT = Link(
    name="probit",
    model_name="Probit",
    mean=ndtr,
    log_probabilities=_probit_log_probabilities,
    derivative=_normal_density,
    curvature=lambda scores: -scores * _normal_density(scores),
    midpoint=0.0,
    no_ratio=(
        "a probit coefficient is a shift of the normal quantile Φ⁻¹(μ), and exp() of it is no ratio "
        "of anything (no odds or hazard ratio): report the coefficients, or marginal_effects()"
    ),
)


def _cloglog_mean(scores: _Array) -> _Array:
    result: _Array = -np.expm1(-np.exp(scores))
    return result


def _cloglog_derivative(scores: _Array) -> _Array:
    # exp(η) exp(-exp(η)), as one exponential: 0, not inf · 0, for large η.
    result: _Array = np.exp(scores - np.exp(scores))
    return result


def _cloglog_log_probabilities(scores: _Array, out: _Array) -> None:
    # log(1 - μ) = -exp(η) exactly; log μ = log(-expm1(-exp(η))), which is η
    # itself where exp(η) underflows.
    out[:, 1] = scores
    np.exp(scores, out=out[:, 0])
    np.negative(out[:, 0], out=scores)
    np.expm1(scores, out=scores)
    np.negative(scores, out=scores)
    np.log(scores, out=out[:, 1], where=scores > 0.0)
    np.negative(out[:, 0], out=out[:, 0])


CLOGLOG = Link(
    name="cloglog",
    model_name="Cloglog",
    mean=_cloglog_mean,
    log_probabilities=_cloglog_log_probabilities,
    derivative=_cloglog_derivative,
    curvature=lambda scores: _cloglog_derivative(scores) * -np.expm1(scores),
    midpoint=float(np.log(np.log(2.0))),
    # log(−log(1 − μ)) = η: exp(β) multiplies the cumulative hazard −log(1 − μ),
    # the hazard ratio of a proportional-hazards model observed in intervals.
    ratio="hazard ratio",
)

LINKS: dict[str, Link] = {link.name: link for link in (LOGIT, PROBIT, CLOGLOG)}


def link_named(name: str) -> Link:
    """The link of the estimator's link parameter (validated already)."""
    return LINKS[name]
