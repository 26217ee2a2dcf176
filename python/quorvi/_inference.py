"""Inference from a maximum-likelihood fit: the covariance of the
coefficients, standard errors, Wald z statistics, two-sided p-values and 95 %
intervals, in the vocabulary statsmodels uses for the same numbers."""

from __future__ import annotations

import math
from collections.abc import Sequence
from typing import TYPE_CHECKING

import numpy as np
import numpy.typing as npt

if TYPE_CHECKING:
    import pandas as pd

# The 0.975 quantile of the standard normal distribution: the half-width of a
# 95 % interval in standard errors (the value scipy.stats.norm.ppf(0.975) gives).
NORMAL_QUANTILE_975 = 1.959963984540054

COLUMNS = ["coef", "std err", "z", "P>|z|", "[0.025", "0.975]"]


class PerfectSeparationWarning(UserWarning):
    """Some rows were fitted with a probability of exactly 0 or 1.

    The classes are (quasi-)separated by the features: the likelihood keeps
    rising as some coefficients grow without bound, so no finite maximum
    exists and the coefficients and standard errors reported are not
    meaningful.
    """


class InferenceMixin:
    """The statistical reports of a fitted LogisticRegression (fit
    statistics, summary, tests), kept apart from the estimator's fitting
    code. The estimator calls _set_fit_statistics at the end of every fit."""

    def _set_fit_statistics(self, n_obs: float, weighted_positives: float) -> None:
        """n_obs: the sum of the frequency weights (the row count without
        weights); weighted_positives: the same sum over the rows of the
        second class."""


def two_sided_p_values(z: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    """P(|Z| > |z|) for a standard normal Z: erfc(|z| / sqrt(2)), which keeps
    its relative accuracy far into the tail (down to about 1e-300), where
    1 - cdf(|z|) would round to 0 already near |z| = 8.3."""
    return np.array([math.erfc(abs(value) / math.sqrt(2.0)) for value in z.ravel()], dtype=np.float64)


def coefficient_table(
    names: Sequence[str],
    coefficients: npt.NDArray[np.float64],
    covariance: npt.NDArray[np.float64],
) -> pd.DataFrame:
    """One row per parameter: coefficient, standard error, z, two-sided
    p-value and the 95 % interval, as a DataFrame to sort, filter or export."""
    try:
        import pandas as pd
    except ImportError as error:
        raise ImportError(
            "coef_table() returns a pandas DataFrame and needs pandas, which is not installed: "
            "pip install pandas (or: pip install 'quorvi[pandas]')"
        ) from error
    standard_errors = np.sqrt(np.clip(np.diag(covariance), 0.0, None))
    with np.errstate(divide="ignore", invalid="ignore"):
        z = coefficients / standard_errors
    half_width = NORMAL_QUANTILE_975 * standard_errors
    columns = [
        coefficients,
        standard_errors,
        z,
        two_sided_p_values(z),
        coefficients - half_width,
        coefficients + half_width,
    ]
    return pd.DataFrame(dict(zip(COLUMNS, columns, strict=True)), index=pd.Index(list(names), dtype=object))
