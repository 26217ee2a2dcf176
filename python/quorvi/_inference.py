"""Inference from a maximum-likelihood fit: the covariance of the
coefficients, standard errors, Wald z statistics, two-sided p-values and 95 %
intervals, the fit statistics (log-likelihoods, the likelihood-ratio test,
pseudo R², AIC, BIC), joint Wald tests, average marginal effects and the
printed summary, in the vocabulary statsmodels uses for the same numbers."""

from __future__ import annotations

import math
import warnings
from collections.abc import Collection, Iterable, Sequence
from typing import TYPE_CHECKING, Any, NamedTuple

import numpy as np
import numpy.typing as npt
from scipy.special import chdtrc, ndtri, xlogy
from sklearn.utils.validation import check_is_fitted

from ._links import Link
from ._prediction import score_variances

# What wald_test() takes: names, restrictions as text, or a matrix R.
Restrictions = str | Iterable[str] | Sequence[Sequence[float]] | Sequence[float] | npt.NDArray[Any]

if TYPE_CHECKING:
    import pandas as pd

    from ._summary import Summary

# The columns of coef_table() at the default alpha of 0.05 (see interval_names).
COLUMNS = ["coef", "std err", "z", "P>|z|", "[0.025", "0.975]"]

# The attributes _set_fit_statistics sets: among those a failed fit removes.
FIT_STATISTICS = (
    "n_obs_",
    "log_likelihood_",
    "null_log_likelihood_",
    "null_deviance_",
    "aic_",
    "bic_",
    "pseudo_r2_",
    "df_model_",
    "df_resid_",
    "lr_statistic_",
    "lr_pvalue_",
)


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


class InferenceMixin:
    """The statistical reports of a fitted LogisticRegression (fit
    statistics, summary, tests, marginal effects), kept apart from the
    estimator's fitting code. The estimator calls _set_fit_statistics at the
    end of every fit."""

    # Set by the estimator's fit (see LogisticRegression).
    classes_: npt.NDArray[Any]
    coef_: npt.NDArray[np.float64]
    intercept_: npt.NDArray[np.float64]
    n_iter_: npt.NDArray[np.int32]
    converged_: bool
    covariance_: npt.NDArray[np.float64]
    deviance_: float
    fit_intercept: bool
    # Only after a fit on a DataFrame with categorical columns (_design.FrameLayout).
    _frame_layout_: Any

    # Set here, by _set_fit_statistics.
    log_likelihood_: float
    null_log_likelihood_: float
    null_deviance_: float
    aic_: float
    bic_: float
    pseudo_r2_: float
    lr_statistic_: float
    lr_pvalue_: float
    df_model_: int
    df_resid_: float
    n_obs_: float

    if TYPE_CHECKING:

        def _parameter_names(self) -> list[str]: ...

        def _parameters(self) -> npt.NDArray[np.float64]: ...

        def _fitted_link(self) -> Link: ...

        def _validated_input(self, X: Any) -> npt.NDArray[np.float64]: ...

        def _parameter_rows(self, X: Any) -> tuple[list[Any], list[tuple[npt.NDArray[Any], int, bool]]]: ...

        def decision_function(self, X: Any, offset: Any = None) -> Any: ...

        def _link(self) -> Link: ...

    def _set_fit_statistics(self, n_obs: float, weighted_positives: float) -> None:
        """Set the fit statistics from the fitted deviance and the weight sums.

        Parameters
        ----------
        n_obs : float
            n = Σ sᵢ, the sum of the frequency weights (the row count without
            weights).
        weighted_positives : float
            Σ sᵢ yᵢ, the same sum over the rows of ``classes_[1]``.

        Notes
        -----
        With yᵢ ∈ {0, 1} the saturated model has log-likelihood 0, so the
        log-likelihood is ℓ = -D/2 for the deviance D. The null model is the
        intercept-only model, whose maximum has the closed form p̄ = Σ sᵢyᵢ / n,
        ℓ₀ = n p̄ log p̄ + n (1 - p̄) log(1 - p̄); without an intercept it is the
        model at β = 0, ℓ₀ = n log ½. k is the number of estimated parameters
        (those dropped as linearly dependent are not counted).
        """
        names = self._parameter_names()
        dropped = set(_dropped_names(self))
        k = sum(name not in dropped for name in names)
        log_likelihood = -0.5 * float(self.deviance_)
        if self.fit_intercept:
            negatives = n_obs - weighted_positives
            null_log_likelihood = float(
                xlogy(weighted_positives, weighted_positives / n_obs) + xlogy(negatives, negatives / n_obs)
            )
        else:
            null_log_likelihood = n_obs * math.log(0.5)
        self.n_obs_ = float(n_obs)
        self.log_likelihood_ = log_likelihood
        self.null_log_likelihood_ = null_log_likelihood
        self.null_deviance_ = -2.0 * null_log_likelihood
        self.aic_ = -2.0 * log_likelihood + 2.0 * k
        self.bic_ = -2.0 * log_likelihood + k * math.log(n_obs)
        self.pseudo_r2_ = 1.0 - log_likelihood / null_log_likelihood
        self.df_model_ = k - 1 if self.fit_intercept else k
        self.df_resid_ = float(n_obs) - k
        self.lr_statistic_ = 2.0 * (log_likelihood - null_log_likelihood)
        self.lr_pvalue_ = chi2_survival(self.lr_statistic_, self.df_model_)

    def _set_null_model(self, null_deviance: float) -> None:
        """Replace the closed-form null model by a fitted one (the intercept
        alone with the fit's offset) and the statistics that compare with it."""
        null_log_likelihood = -0.5 * null_deviance
        self.null_log_likelihood_ = null_log_likelihood
        self.null_deviance_ = null_deviance
        self.pseudo_r2_ = 1.0 - self.log_likelihood_ / null_log_likelihood
        self.lr_statistic_ = 2.0 * (self.log_likelihood_ - null_log_likelihood)
        self.lr_pvalue_ = chi2_survival(self.lr_statistic_, self.df_model_)

    def _cov_type_name(self) -> str:
        """The name of the covariance type that covariance_ holds."""
        return str(getattr(self, "cov_type", "nonrobust"))

    def _is_penalised(self) -> bool:
        return bool(np.isfinite(getattr(self, "C", np.inf)))

    def _warn_if_penalised(self, what: str) -> None:
        """Warn (PenaltyWarning) that the p-values of `what` are not valid
        tests when the fit had a ridge penalty."""
        if self._is_penalised():
            warnings.warn(
                f"{what}: the fit maximised a penalised likelihood (C={getattr(self, 'C', np.inf)}), "
                "so its p-values are not valid tests: the coefficients are shrunk towards 0 and their "
                "covariance is that of the penalised fit.",
                PenaltyWarning,
                stacklevel=3,
            )

    def _reported_parameters(self) -> npt.NDArray[np.float64]:
        """The parameters as the tables report them: those dropped as
        linearly dependent are NaN (R's NA), since they were not estimated;
        coef_ keeps 0 for them so that predictions work."""
        values = self._parameters()
        values[_dropped_mask(self)] = np.nan
        return values

    def _parameter_positions(self, names: str | Iterable[str]) -> list[int]:
        """The positions in covariance_ of the named parameters, named as in
        coef_table(); a single name may be given as a string. Repeated names
        count once. The one place that turns names into parameters."""
        requested = [names] if isinstance(names, str) else list(names)
        # A categorical column's name stands for all its levels.
        groups: dict[str, list[str]] = getattr(self, "_parameter_groups", dict)()
        requested = [member for name in requested for member in groups.get(name, [name])]
        requested = list(dict.fromkeys(requested))
        all_names = self._parameter_names()
        if not requested:
            raise ValueError(f"no parameter names were given; the parameters are {all_names}")
        position = {name: index for index, name in enumerate(all_names)}
        unknown = [name for name in requested if name not in position]
        if unknown:
            raise ValueError(f"unknown parameter name(s) {unknown}; the parameters are {all_names}")
        return [position[name] for name in requested]

    def wald_test(self, restrictions: Restrictions, q: Any = None) -> WaldTestResult:
        """Joint Wald test of linear restrictions on the coefficients: that
        named coefficients are all zero, or R β = q.

        Parameters
        ----------
        restrictions : str, iterable of str, or array-like of shape (m, n_params)
            - Parameter names as in the index of ``coef_table()`` (the
              intercept is ``"intercept"``), one or several: their
              coefficients are all 0. The name of a categorical column
              stands for all its levels (a joint test of the column).
            - Restrictions as text, as statsmodels and patsy write them:
              linear equations between parameter names and numbers,
              separated by commas, such as ``"GPA = TUCE"``,
              ``"GPA - TUCE = 0, PSI = 1"`` or ``"2 * GPA = TUCE / 3 + 1"``
              (``+ - * /`` and parentheses; a chain ``a = b = c`` is two
              restrictions; an expression without ``=`` is set to 0). The
              names are matched as they are, the longest first, so names
              with spaces or brackets (``"educ[2] = educ[3]"``) need no
              quoting. A list may mix names and such text.
            - A matrix R (a vector for one restriction), one column per
              parameter in the order of ``covariance_``, with ``q``.
        q : float or array-like of shape (m,), default=None
            With a matrix R, the restrictions' values (None: 0).

        Returns
        -------
        WaldTestResult
            ``(statistic, df, pvalue)``: W = (Rb - q)ᵀ (R V Rᵀ)⁻¹ (Rb - q),
            with b the coefficients and V ``covariance_`` (so of the fit's
            covariance type); df the number of restrictions; and
            P(χ²(df) > W). For one name, W is the square of its z in
            ``coef_table()``. statsmodels' ``wald_test(..., scalar=True)``
            gives the same (with ``use_f=False``).

        Raises
        ------
        ValueError
            For an unknown name (the message lists the valid ones), text
            that is not a linear restriction (the message says where), R or q
            of the wrong shape, restrictions that are linearly dependent (R
            of less than full row rank: leave out the redundant ones), a
            restriction on a coefficient that was dropped as linearly
            dependent (it has no variance), or when R V Rᵀ is singular.

        Warns
        -----
        PenaltyWarning
            When the fit had a ridge penalty (finite ``C``).
        """
        check_is_fitted(self)
        matrix, values = self._restriction_matrix(restrictions, q)
        all_names = self._parameter_names()
        used = np.flatnonzero(np.any(matrix != 0.0, axis=0))
        dropped = set(_dropped_names(self))
        variances = np.diag(self.covariance_)
        unusable = [all_names[i] for i in used if all_names[i] in dropped or not np.isfinite(variances[i])]
        if unusable:
            raise ValueError(
                f"cannot test {unusable}: they have no variance (dropped as linearly dependent on "
                "the other features), so leave them out of the test."
            )
        if not np.all(np.any(matrix != 0.0, axis=1)):
            raise ValueError(
                'a restriction involves no parameter (its row of R is 0, as in "1 = 1" or '
                '"GPA = GPA"): leave it out.'
            )
        if np.linalg.matrix_rank(matrix) < len(matrix):
            raise ValueError(
                f"the {len(matrix)} restrictions are linearly dependent (R has rank "
                f"{np.linalg.matrix_rank(matrix)}): leave out the redundant ones."
            )
        self._warn_if_penalised("wald_test()")
        # Only the columns that the restrictions use: a dropped feature's
        # NaN row of covariance_ takes no part.
        restricted = matrix[:, used]
        discrepancy = restricted @ self._parameters()[used] - values
        covariance = restricted @ self.covariance_[np.ix_(used, used)] @ restricted.T
        try:
            solved = np.linalg.solve(covariance, discrepancy)
        except np.linalg.LinAlgError as error:
            raise ValueError(
                f"the covariance of the restrictions on {[all_names[i] for i in used]} is singular: "
                "some combination of them has no variance, so their joint test is not defined."
            ) from error
        statistic = float(discrepancy @ solved)
        return WaldTestResult(statistic, len(matrix), chi2_survival(statistic, len(matrix)))

    def _restriction_matrix(
        self, restrictions: Restrictions, q: Any
    ) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
        """R and q of wald_test()'s restrictions, in any of its forms."""
        from ._restrictions import checked_matrix, restrictions_from_text

        all_names = self._parameter_names()
        if isinstance(restrictions, str):
            restrictions = [restrictions]
        elif isinstance(restrictions, Iterable) and not isinstance(restrictions, np.ndarray):
            restrictions = list(restrictions)
        if q is not None or not isinstance(restrictions, list):
            return checked_matrix(restrictions, q, len(all_names), all_names)
        items = [item for item in restrictions if isinstance(item, str)]
        if len(items) < len(restrictions):
            return checked_matrix(restrictions, q, len(all_names), all_names)
        known = {*all_names, *getattr(self, "_parameter_groups", dict)()}
        texts = [item for item in items if _is_restriction_text(item, known)]
        names = [item for item in items if not _is_restriction_text(item, known)]
        rows, values = [], []
        if names or not texts:
            positions = self._parameter_positions(names)
            rows.append(np.eye(len(all_names))[positions])
            values.append(np.zeros(len(positions)))
        for text in texts:
            matrix, value = restrictions_from_text(text, all_names)
            rows.append(matrix)
            values.append(value)
        return np.vstack(rows), np.concatenate(values)

    def summary(self) -> Summary:
        """A printable report of the fit, as statsmodels users expect.

        Returns
        -------
        Summary
            An object whose ``str()`` is the report (printing it shows it):
            a header with the classes (the model gives P(y = ``classes_[1]``)),
            n as the sum of the weights, ``df_model_``, ``df_resid_``, the
            covariance type, whether the fit converged and in how many
            iterations, ``log_likelihood_``, ``null_log_likelihood_``, the
            likelihood-ratio test (``lr_statistic_``, ``lr_pvalue_``),
            ``pseudo_r2_``, ``aic_`` and ``bic_``; then the coefficient table
            of ``coef_table()`` (coefficients and standard errors to four
            decimals); then notes (what the weights mean for inference,
            dropped features, a penalty).

        Warns
        -----
        PenaltyWarning
            When the fit had a ridge penalty (finite ``C``).

        Notes
        -----
        The weights are frequency weights: a weight of m counts a row as m
        observations, so n = Σ sᵢ and every standard error scales as
        1/√(Σ sᵢ). Normalised weights (summing to 1) or scikit-learn's
        "balanced" weights therefore rescale every standard error; use
        weights that count observations for inference.
        """
        from ._summary import Summary, summary_text

        check_is_fitted(self)
        self._warn_if_penalised("summary()")
        return Summary(summary_text(self, coefficient_columns(self._reported_parameters(), self.covariance_)))

    def marginal_effects(
        self, X: Any, sample_weight: Any = None, offset: Any = None, *, alpha: float = 0.05
    ) -> pd.DataFrame:
        """Average marginal effects of the features on P(y = ``classes_[1]``).

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            The rows to average over; the training X gives Stata's
            ``margins, dydx(*)``. Validated as for ``predict``; a Dask array
            or DataFrame is reduced chunk by chunk where it lives. For a
            model fitted on a DataFrame with categorical columns, a
            DataFrame with those columns (a Dask DataFrame is reduced
            partition by partition).
        sample_weight : array-like of shape (n_samples,), default=None
            Frequency weights sᵢ of the rows in the average (for a Dask X,
            a Dask array, or a NumPy vector when X's chunk sizes are known).
        offset : array-like of shape (n_samples,), default=None
            The rows' offsets oᵢ, as for ``predict_proba``: the effects are
            taken at μᵢ = 1 / (1 + exp(-xᵢᵀβ - oᵢ)). Required (ValueError
            without it) when the model was fitted with an offset
            (``fitted_with_offset_``). For a Dask X, a Dask array, or a
            NumPy vector when X's chunk sizes are known.
        alpha : float, default=0.05
            The intervals' level is 1 - alpha, as in ``coef_table(alpha)``.

        Returns
        -------
        pandas.DataFrame
            One row per feature, with the columns of ``coef_table(alpha)``,
            the first named ``"dy/dx"``: effect, standard error, z, P>|z| and
            the 1 - alpha interval (95 % by default). For a frame with
            categorical columns, one row per numeric column and one per
            non-reference level of each categorical, named as in
            ``coef_table()`` (``"educ[2]"``).

        Warns
        -----
        PenaltyWarning
            When the fit had a ridge penalty (finite ``C``).

        Notes
        -----
        With μᵢ = 1 / (1 + exp(-xᵢᵀβ - oᵢ)) (oᵢ = 0 without an offset) and ḡ = Σ sᵢ μᵢ(1 - μᵢ) / Σ sᵢ, the
        average effect of feature j is AMEⱼ = βⱼ ḡ. Its covariance is
        J V Jᵀ (the delta method), with V = ``covariance_`` and

            ∂AMEⱼ/∂βₖ = δⱼₖ ḡ + βⱼ Σ sᵢ μᵢ(1 - μᵢ)(1 - 2μᵢ) xᵢₖ / Σ sᵢ,

        where xᵢ₀ = 1 for the intercept (and a categorical level's
        indicator where a parameter is a level). A categorical's level l has
        the discrete change from the reference (first) level r, as Stata's
        ``margins, dydx(i.column)``:

            AMEₗ = Σ sᵢ [μ(xᵢ(l)) - μ(xᵢ(r))] / Σ sᵢ,
            ∂AMEₗ/∂β = Σ sᵢ [gᵢ(l) xᵢ(l) - gᵢ(r) xᵢ(r)] / Σ sᵢ,

        with xᵢ(l) the row's parameter vector with the column set to l, every
        other column as observed, and gᵢ(l) = μ(1 - μ) there. An effect that
        rests on a parameter dropped as linearly dependent (the feature's, or
        the level's or its reference's) is NaN, as are its standard error and
        the rest of its row: it was not estimated.
        """
        from ._margins import average_marginal_effects, margin_sums

        check_is_fitted(self)
        checked_alpha(alpha)
        if getattr(self, "_formula_", None) is not None:
            # An effect of a design column would ignore the transforms and
            # interactions that tie the formula's columns to its variables.
            raise NotImplementedError(
                "marginal_effects() of a model fitted with a formula is not available yet: the effects "
                "of its variables go through the formula's transforms and interactions."
            )
        self._warn_if_penalised("marginal_effects()")
        if getattr(self, "_frame_layout_", None) is not None:
            features, effects, covariance = self._frame_margins(X, sample_weight, offset)
        else:
            sums = margin_sums(self, X, sample_weight, offset)
            names = self._parameter_names()
            kept = ~_dropped_mask(self)
            effects, covariance = average_marginal_effects(
                sums, self.coef_[0], self.covariance_, self.fit_intercept, kept
            )
            # Not estimated, so no effect either (a 0 would read as one).
            effects[~kept[int(self.fit_intercept) :]] = np.nan
            features = names[1:] if self.fit_intercept else names
        table = coefficient_table(features, effects, covariance, caller="marginal_effects()", alpha=alpha)
        return table.rename(columns={COLUMNS[0]: "dy/dx"})

    def _frame_margins(
        self, X: Any, sample_weight: Any, offset: Any
    ) -> tuple[list[str], npt.NDArray[np.float64], npt.NDArray[np.float64]]:
        """marginal_effects() of a model fitted on a DataFrame with
        categorical columns, over a DataFrame with those columns (a Dask
        DataFrame partition by partition)."""
        from ._design import is_frame_with_categories
        from ._margins import frame_marginal_effects
        from ._validation import is_dask_collection

        is_dask_frame = is_dask_collection(X) and hasattr(X, "to_delayed") and hasattr(X, "columns")
        if not (is_dask_frame or is_frame_with_categories(X)):
            raise ValueError(
                "the model was fitted on a DataFrame with categorical columns: pass a DataFrame with "
                f"the columns {self._frame_layout_.columns}."
            )
        return frame_marginal_effects(self, X, sample_weight, offset)

    def prediction_table(self, X: Any, offset: Any = None, *, alpha: float = 0.05) -> pd.DataFrame:
        """The predicted probability of every row of X with its standard
        error and 1 - alpha interval, as statsmodels'
        ``get_prediction(X).summary_frame(alpha)`` gives them.

        Parameters
        ----------
        X : array-like, pandas DataFrame or scipy.sparse matrix of shape (n_samples, n_features)
            The rows to predict, validated as for ``predict_proba`` (in
            memory: select the rows of a Dask collection and compute them
            first).
        offset : array-like of shape (n_samples,), default=None
            The rows' offsets, as for ``predict_proba``.
        alpha : float, default=0.05
            The intervals' level is 1 - alpha.

        Returns
        -------
        pandas.DataFrame
            One row per row of X (a DataFrame's index is kept), with
            statsmodels' column names: ``mean``, μ = P(y = ``classes_[1]``);
            ``mean_se``, its standard error; ``mean_ci_lower`` and
            ``mean_ci_upper``, the 1 - alpha interval.

        Warns
        -----
        PenaltyWarning
            When the fit had a ridge penalty (finite ``C``).

        Notes
        -----
        With η = xᵀβ + o the linear predictor and V = ``covariance_`` (so of
        the fit's covariance type), the variance of η is xᵀVx, x the row's
        parameter vector (1 for the intercept, a categorical's level
        indicators read by index, never as a one-hot matrix). The standard
        error is the delta method's, μ(1 - μ)·√(xᵀVx), and the interval is
        that of η mapped through the link,
        1 / (1 + exp(-(η ± z₁₋α/₂ √(xᵀVx)))): it lies within (0, 1) and is
        not symmetric about μ. A feature dropped as linearly dependent has
        coefficient 0 and takes no part (its NaN rows and columns of V are
        left out).
        """
        from ._validation import is_dask_collection

        check_is_fitted(self)
        alpha = checked_alpha(alpha)
        if is_dask_collection(X):
            raise ValueError(
                "prediction_table() returns a pandas DataFrame and takes an in-memory X: select the "
                "rows to predict and compute them first (for example X[:1000].compute())."
            )
        self._warn_if_penalised("prediction_table()")
        scores = np.asarray(self.decision_function(X, offset), dtype=np.float64)
        dropped = set(_dropped_names(self))
        kept = np.array([name not in dropped for name in self._parameter_names()])
        covariance = np.where(np.outer(kept, kept), self.covariance_, 0.0)
        numeric, categoricals = self._parameter_rows(X)
        variances = score_variances(len(scores), numeric, categoricals, covariance, self.fit_intercept)
        return prediction_frame(scores, variances, alpha, getattr(X, "index", None), self._fitted_link())


def _is_restriction_text(item: str, names: Collection[str]) -> bool:
    """True for text with operators that is not itself a parameter name; a
    bare word is a name (an unknown one is reported as such)."""
    return item not in names and any(character in item for character in "=+-*/(),")


def _dropped_names(model: Any) -> Sequence[str]:
    """The parameters dropped from the fit as linearly dependent."""
    dropped = getattr(model, "dropped_features_", ())
    return [str(name) for name in dropped]


def _dropped_mask(model: Any) -> npt.NDArray[np.bool_]:
    """True for each parameter (in covariance_'s order) dropped from the fit
    as linearly dependent."""
    dropped = set(_dropped_names(model))
    return np.array([name in dropped for name in model._parameter_names()], dtype=bool)


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


def coefficient_table(
    names: Sequence[str],
    coefficients: npt.NDArray[np.float64],
    covariance: npt.NDArray[np.float64],
    caller: str = "coef_table()",
    alpha: float = 0.05,
) -> pd.DataFrame:
    """One row per parameter: coefficient, standard error, z, two-sided
    p-value and the 1 - alpha interval, as a DataFrame to sort, filter or
    export. caller names the public method in the message when pandas is
    missing."""
    alpha = checked_alpha(alpha)
    require_pandas(caller)
    import pandas as pd

    columns = coefficient_columns(coefficients, covariance, alpha)
    names_of_columns = [*COLUMNS[:4], *interval_names(alpha)]
    return pd.DataFrame(
        dict(zip(names_of_columns, columns, strict=True)), index=pd.Index(list(names), dtype=object)
    )
