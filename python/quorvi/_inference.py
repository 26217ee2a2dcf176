"""The vocabulary of inference from a maximum-likelihood fit, in the words
statsmodels uses for the same numbers: the warnings about what the numbers
mean, the Wald test's result, and the tables built from coefficients and
their covariance (standard errors, Wald z statistics, two-sided p-values,
1 - alpha intervals; predictions with their intervals). The results of a
fit, which use them, are FitResults (_results.py)."""

from __future__ import annotations

import math
from collections.abc import Collection, Iterable, Sequence
from typing import TYPE_CHECKING, Any, NamedTuple

import numpy as np
import numpy.typing as npt
from scipy.special import chdtrc, ndtri

from ._links import Link

# What wald_test() takes: names, restrictions as text, or a matrix R.
Restrictions = str | Iterable[str] | Sequence[Sequence[float]] | Sequence[float] | npt.NDArray[Any]

if TYPE_CHECKING:
    import pandas as pd

# The columns of coef_table() at the default alpha of 0.05 (see interval_names).
COLUMNS = ["coef", "std err", "z", "P>|z|", "[0.025", "0.975]"]


class PerfectSeparationWarning(UserWarning):
    """The features separate the classes, completely or quasi-completely.

    The likelihood keeps rising as some coefficients grow without bound, so
    no finite maximum exists and the coefficients and standard errors
    reported are not meaningful. In memory a linear program decides it and
    the warning names the separating features; on Dask it is raised when
    rows are fitted with a probability of exactly 0 or 1 (see the user
    guide's "Perfect separation").
    """


class CollinearityWarning(UserWarning):
    """Some features are linear combinations of earlier ones and were left
    out of the fit.

    As R's ``glm`` does, the later feature of each dependent set is dropped:
    its coefficient in ``coef_`` is 0 (so that predictions work), and its
    whole row of ``coef_table()`` (the coefficient too, as R prints NA) and
    its marginal effect are NaN. ``dropped_features_`` lists them.
    """


class PenaltyWarning(UserWarning):
    """The fit maximised a penalised likelihood (a finite ``C``).

    The coefficients are shrunk towards 0 and the covariance is the inverse
    of the penalised information, so z statistics, p-values and Wald tests
    computed from them are not valid tests of the hypothesis that a
    coefficient is 0.
    """


class WaldTestResult(NamedTuple):
    """The joint Wald test of ``LogisticRegression.wald_test``.

    Attributes
    ----------
    statistic : float
        W = (Rb - q)ᵀ (R V Rᵀ)⁻¹ (Rb - q) for the restrictions R β = q, b the
        coefficients and V ``covariance_``; for named coefficients,
        W = bᵀ V⁻¹ b with b those coefficients and V their block.
    df : int
        The number of restrictions (of tested coefficients).
    pvalue : float
        P(χ²(df) > W).
    """

    statistic: float
    df: int
    pvalue: float


def chi2_survival(statistic: float, df: int) -> float:
    """P(χ²(df) > statistic); NaN for df = 0, where there is nothing to test."""
    if df <= 0:
        return math.nan
    return float(chdtrc(df, statistic))


def is_restriction_text(item: str, names: Collection[str]) -> bool:
    """True for text with operators that is not itself a parameter name; a
    bare word is a name (an unknown one is reported as such)."""
    return item not in names and any(character in item for character in "=+-*/(),")


def checked_alpha(alpha: float) -> float:
    """alpha as a float, or a ValueError when it is not in (0, 1)."""
    if isinstance(alpha, bool) or not isinstance(alpha, (int, float, np.floating, np.integer)):
        raise ValueError(f"alpha must be a number between 0 and 1 (0.05 for 95 % intervals), got {alpha!r}.")
    if not 0.0 < float(alpha) < 1.0:
        raise ValueError(f"alpha must be between 0 and 1 (0.05 for 95 % intervals), got {alpha}.")
    return float(alpha)


def normal_quantile(alpha: float) -> float:
    """The 1 - alpha/2 quantile of the standard normal distribution: the
    half-width of a 1 - alpha interval in standard errors (1.959964 for
    alpha = 0.05)."""
    return float(ndtri(1.0 - alpha / 2.0))


def interval_names(alpha: float) -> list[str]:
    """The names of a 1 - alpha interval's bounds as statsmodels' summary
    writes them: "[0.025" and "0.975]" for alpha = 0.05, "[0.005" and
    "0.995]" for 0.01."""
    return [f"[{alpha / 2}", f"{1 - alpha / 2}]"]


def require_pandas(caller: str) -> None:
    """An ImportError saying that caller (a public method that returns a
    DataFrame) needs pandas, when pandas is not installed."""
    try:
        import pandas  # noqa: F401
    except ImportError as error:
        raise ImportError(
            f"{caller} returns a pandas DataFrame and needs pandas, which is not installed: "
            "pip install pandas (or: pip install 'quorvi[pandas]')"
        ) from error


def prediction_frame(
    scores: npt.NDArray[np.float64],
    variances: npt.NDArray[np.float64],
    alpha: float,
    index: Any,
    link: Link,
) -> pd.DataFrame:
    """The table of prediction_table(): μ, its delta-method standard error
    and the 1 - alpha interval of η mapped through the link, for linear
    predictors η with variances xᵀVx."""
    require_pandas("prediction_table()")
    import pandas as pd

    # A negative variance (a covariance that is not positive semi-definite)
    # has no standard error: NaN, never 0.
    standard_errors = np.sqrt(np.where(variances >= 0.0, variances, np.nan))
    half_width = normal_quantile(alpha) * standard_errors
    # The standard error of μ = h(η) is h'(η) times that of η.
    columns = {
        "mean": link.mean(scores),
        "mean_se": link.derivative(scores) * standard_errors,
        "mean_ci_lower": link.mean(scores - half_width),
        "mean_ci_upper": link.mean(scores + half_width),
    }
    return pd.DataFrame(columns, index=index if isinstance(index, pd.Index) else None)


def two_sided_p_values(z: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    """P(|Z| > |z|) for a standard normal Z: erfc(|z| / sqrt(2)), which keeps
    its relative accuracy far into the tail (down to about 1e-300), where
    1 - cdf(|z|) would round to 0 already near |z| = 8.3."""
    return np.array([math.erfc(abs(value) / math.sqrt(2.0)) for value in z.ravel()], dtype=np.float64)


def coefficient_columns(
    coefficients: npt.NDArray[np.float64], covariance: npt.NDArray[np.float64], alpha: float = 0.05
) -> list[npt.NDArray[np.float64]]:
    """The columns of the coefficient table (COLUMNS): coefficient, standard
    error, z, two-sided p-value and the 1 - alpha interval (95 % by default)."""
    standard_errors = np.sqrt(np.clip(np.diag(covariance), 0.0, None))
    with np.errstate(divide="ignore", invalid="ignore"):
        z = coefficients / standard_errors
    half_width = normal_quantile(alpha) * standard_errors
    return [
        coefficients,
        standard_errors,
        z,
        two_sided_p_values(z),
        coefficients - half_width,
        coefficients + half_width,
    ]


def exponentiated(columns: list[npt.NDArray[np.float64]]) -> list[npt.NDArray[np.float64]]:
    """The coefficient table's columns with exp(b) for b (an odds or hazard
    ratio): its standard error by the delta method, exp(b) · SE, as Stata
    prints it; z and P>|z| those of b (the test of b = 0, ratio = 1); the
    interval exp() of b's, so that it is not symmetric about exp(b)."""
    coefficients, standard_errors, z, p, lower, upper = columns
    ratios = np.exp(coefficients)
    return [ratios, ratios * standard_errors, z, p, np.exp(lower), np.exp(upper)]


def coefficient_table(
    names: Sequence[str],
    coefficients: npt.NDArray[np.float64],
    covariance: npt.NDArray[np.float64],
    caller: str = "coef_table()",
    alpha: float = 0.05,
    ratio: str | None = None,
) -> pd.DataFrame:
    """One row per parameter: coefficient, standard error, z, two-sided
    p-value and the 1 - alpha interval, as a DataFrame to sort, filter or
    export; with a ratio's name, exp() of the coefficients under it (see
    exponentiated). caller names the public method in the message when
    pandas is missing."""
    alpha = checked_alpha(alpha)
    require_pandas(caller)
    import pandas as pd

    columns = coefficient_columns(coefficients, covariance, alpha)
    if ratio is not None:
        columns = exponentiated(columns)
    names_of_columns = [ratio or COLUMNS[0], *COLUMNS[1:4], *interval_names(alpha)]
    return pd.DataFrame(
        dict(zip(names_of_columns, columns, strict=True)), index=pd.Index(list(names), dtype=object)
    )
