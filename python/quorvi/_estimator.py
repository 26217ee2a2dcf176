"""quorvi.LogisticRegression: the scikit-learn estimator over the native IRLS
fit (quorvi._native), with an implicit intercept, frequency weights and the
inference statsmodels users expect."""

from __future__ import annotations

import dataclasses
import functools
import sys
from collections.abc import Callable
from numbers import Integral, Real
from typing import TYPE_CHECKING, Any, ClassVar, TypeVar, overload

import numpy as np
import numpy.typing as npt
from sklearn.base import BaseEstimator, ClassifierMixin, _fit_context
from sklearn.exceptions import ConvergenceWarning
from sklearn.utils import Tags
from sklearn.utils._param_validation import Interval, StrOptions
from sklearn.utils.validation import check_array, check_is_fitted, validate_data

from . import (
    _bias_correction,
    _caller,
    _contrasts,
    _design,
    _fit_spec,
    _formula,
    _named,
    _native,
    _prediction,
    _separation,
)
from ._backends import backend_of
from ._fitted import Fitted, weight_sums
from ._inference import CollinearityWarning, PerfectSeparationWarning, Restrictions, WaldTestResult
from ._information import INFORMATION, inverse_information, observed_information
from ._links import LINKS, Link, link_named
from ._results import FitResults
from ._robust import (
    COV_TYPES,
    checked_offset,
    meat_request,
    robust_covariance,
)
from ._training_rows import kept_rows
from ._validation import (
    encode_binary_target,
    frequency_weights,
    native_layout,
)

if TYPE_CHECKING:
    from typing import Self

    import dask.array as da
    import pandas as pd

    from ._native import FitResult
    from ._summary import Summary


_Method = TypeVar("_Method", bound=Callable[..., Any])

# progress(iteration, deviance, max_change, seconds, inner_iterations), as
# quorvi._native.fit calls it.
_Progress = Callable[[int, float, float, float, int], None]


def _validated_fit(fit: _Method) -> _Method:
    """scikit-learn's fit decorator (parameter validation against
    _parameter_constraints, configuration, callbacks), typed so that the
    decorated method keeps its signature for type checkers."""
    decorated: _Method = _fit_context(prefer_skip_nested_validation=True)(fit)
    return decorated


class LogisticRegression(ClassifierMixin, BaseEstimator):  # type: ignore[misc]
    """Binary logistic regression without penalty, fitted by Iteratively
    Reweighted Least Squares in native code, with standard errors.

    Parameters
    ----------
    fit_intercept : bool, default=True
        Fit an intercept: an implicit leading column of ones in the native
        fit, never a column appended to X.
    tol : float, default=1e-8
        Convergence: the fit stops after the first update that moves no
        coefficient (the intercept included) by more than tol.
    max_iter : int, default=100
        The most updates to make. Reaching it without converging warns
        (ConvergenceWarning) and keeps the coefficients of the last update.
    n_threads : int or None, default=None
        Worker threads of the native fit. None: as many as the BLAS is set to
        use, so OPENBLAS_NUM_THREADS and threadpoolctl limits apply. The result
        does not depend on it.
    verbose : int, default=0
        1 or more: print a line per iteration (iteration, deviance, largest
        coefficient change, seconds since the loop started).
    cov_type : {"nonrobust", "HC0", "HC1", "HC2", "HC3", "HC4", "cluster"}, default="nonrobust"
        The covariance of the coefficients (``covariance_``, ``coef_table()``,
        ``summary()``, ``wald_test()``). With B = (XᵀSWX)⁻¹ the inverse
        information, rᵢ = yᵢ − μᵢ, n = Σ sᵢ and k the estimated parameters:

        - ``"nonrobust"``: B, the model-based covariance;
        - ``"HC0"``: B (Σ sᵢ rᵢ² xᵢxᵢᵀ) B, the sandwich;
        - ``"HC1"``: HC0 · n/(n − k);
        - ``"HC2"``, ``"HC3"``: rᵢ² replaced by rᵢ²/(1 − hᵢ) and
          rᵢ²/(1 − hᵢ)², hᵢ = wᵢ xᵢᵀ B xᵢ the hat value of one observation
          (R's ``sandwich::vcovHC`` for a ``glm``); a row with hᵢ = 1 makes
          them undefined (ValueError);
        - ``"HC4"``: rᵢ² replaced by rᵢ²/(1 − hᵢ)^δᵢ, δᵢ = min(4, n hᵢ/k)
          (Cribari-Neto 2004; ``vcovHC(type = "HC4")``), k counting the
          absorbed levels and not the dropped columns;
        - ``"cluster"``: with ``fit(..., clusters=)``, one-way
          B (Σ_g u_g u_gᵀ) B · G/(G − 1) · (n − 1)/(n − k), u_g = Σ_{i∈g} sᵢrᵢxᵢ
          (Stata's and statsmodels' CR1); two-way V_A + V_B − V_{A∩B}, each
          with its own G/(G − 1) and the common (n − 1)/(n − k), its
          negative eigenvalues set to 0 when it is not positive
          semi-definite (see ``clipped_eigenvalues_``). G counts the
          clusters with a row of positive weight.

        A frequency weight of m gives the same covariance, of every type, as
        m repeated rows; HC1 to HC4 and cluster need n > k (else a
        ValueError). HC0, HC1 and cluster add their sums to the pass the
        fit predicts to be its last (or one more pass); HC2 to HC4 one pass
        for the hat values. All are at the coefficients of ``covariance_``.
    C : float, default=np.inf
        Inverse ridge penalty, as scikit-learn defines it: a finite C
        maximises ℓ(β) − ‖β'‖²/(2C), β' the coefficients without the
        intercept; each update solves (XᵀSWX + I'/C) β = XᵀSWz (for its
        step from the score, see the Notes). No column is
        dropped as dependent (the penalty makes every system regular). The
        covariance is the inverse penalised information (within the sandwich
        for a robust type), and ``coef_table()``, ``summary()`` and
        ``wald_test()`` warn (``PenaltyWarning``) that their p-values are not
        valid tests.
    link : {"logit", "probit", "cloglog"}, default="logit"
        The link of the binomial model, μ = h(xᵀβ): ``"logit"``, h(η) =
        1/(1 + e^−η); ``"probit"``, h = Φ the normal distribution function;
        ``"cloglog"``, h(η) = 1 − exp(−e^η). ``predict()``,
        ``predict_proba()``, ``marginal_effects()``, ``prediction_table()``
        and ``summary()`` use it; ``decision_function()`` is η. For probit
        and cloglog each update is a Fisher scoring step (W = h′(η)²/V(μ),
        rᵢ = (yᵢ − μᵢ) h′(ηᵢ)/V(μᵢ), as statsmodels' GLM does); the
        bread of the covariance is chosen by ``information``.
    information : {"observed", "expected"} or None, default=None
        The information the covariance of every type is built on (its
        bread) for probit and cloglog: ``"observed"``, the negative Hessian
        of the log-likelihood, as Stata's ``probit``, statsmodels'
        ``Probit`` and its robust GLM covariances take it; ``"expected"``,
        the Fisher information XᵀSWX of the loop, as R's ``glm`` and
        ``sandwich`` and statsmodels' nonrobust GLM. None is
        ``"observed"``, but with absorbed columns, whose fit has the
        expected one only. For the logit both are the same.
    formula : str or None, default=None
        A model formula, ``"y ~ x + C(g) + C(g):C(h) + np.log(z)"``, parsed
        and evaluated by formulaic (``pip install quorvi[formula]``): then
        ``fit(data)`` takes a DataFrame of the formula's variables (a polars
        LazyFrame is collected: the formula's columns and those that
        ``sample_weight``, ``offset`` or ``clusters`` name, no other) and the labels
        from its left-hand side (a y given beside it must be those labels,
        as ``cross_val_score(..., y, scoring="roc_auc")`` passes them; a y
        that differs is a ValueError), rows with a missing value are left
        out (``missing``), a formula's ``| fe1 + fe2`` part absorbs those
        columns (not ``absorb=``, which a formula refuses),
        categorical terms enter the fit as codes, and the parameters are
        named as statsmodels names them (a factor with sum, Helmert,
        difference or polynomial contrasts is fitted treatment-coded and its
        parameters mapped to the contrasts', which needs C=np.inf and no
        absorbed part). The formula decides the intercept,
        so ``fit_intercept`` must agree with it (``quorvi.logit`` sets it).
        See the user guide's "Formulas".
    absorb : str, list of str or None, default=None
        Columns of the DataFrame X (categorical, string or integer labels)
        whose levels are absorbed as fixed effects: the model has one
        effect per level, estimated exactly (as with one dummy per level)
        but not as columns of the system, so that 10⁶ levels cost O(levels)
        memory. The levels carry the intercept: each absorbed column's first
        kept level is its reference, ``intercept_`` is the first column's
        reference effect, and ``fixed_effects_`` holds the levels' effects
        relative to it. Absorbed columns are not in ``coef_table()``. A level
        whose rows are all 0 or all 1 has no finite effect: its rows are
        left out (a ``PerfectSeparationWarning`` counts them), its effect is
        NaN in ``fixed_effects_``, and predictions take the limit that the
        dummy-variable fit tends to, +∞ for a level all of whose rows are 1
        and −∞ for all 0: its rows have the probability 1 or 0 and are
        labelled by it (a row with levels of both limits takes that of the
        level dropped first, for a training row the limit of its own
        outcome). Covariance
        types: all (``clusters=`` may name an absorbed column, read as its
        levels); HC0, HC1 and cluster beside any absorbed design, HC2 to
        HC4 with numeric features and one absorbed column. Not with a
        finite C. On a Dask DataFrame, the absorbed columns after the one of
        most levels may have at most 1,000 levels together, and so may the
        categorical features' dummy columns beside a robust type (see the
        Dask page's "Fixed effects" and "Several absorbed columns"). See the user guide's "Fixed effects".
    bias_correction : {"analytical"} or None, default=None
        With absorbed columns, correct the slopes for the incidental
        parameter bias of the levels (of order 1/T for T rows per level):
        Hahn and Newey's (2004) analytical correction for one absorbed
        column (individual effects), Fernández-Val and Weidner's (2016) for
        two, taken as individual and time effects (B/T + D/N), as R's bife
        (``bias_corr()``) and alpaca (``biasCorr(L = 0)``) make them. For
        static models with strictly exogenous regressors: a predetermined
        one (a lagged outcome) needs a spectral term this correction
        leaves out. ``coef_`` holds the corrected slopes and
        ``coef_uncorrected_`` the fit's own; the covariance, the
        log-likelihood and the tests are those of the uncorrected fit;
        ``intercept_``, ``fixed_effects_`` and predictions are those of the
        levels solved again given the corrected slopes;
        ``marginal_effects()`` (without X) gives the average partial effects
        corrected in turn (Fernández-Val and Weidner's section 4, alpaca's
        ``getAPEs()``), with a covariance over the slopes and the levels.
        Logit and probit, numeric features, in-memory frames, one or two
        absorbed columns only. See the user guide's "Fixed effects".
    missing : {"drop", "raise"}, default="drop"
        What a formula fit does with a row that has a missing value (NaN,
        None, pandas' NA or a polars null) in a variable of the formula, its
        label or an absorbed column among them, or a value that a transform
        makes NaN (``np.log`` of a negative number): ``"drop"`` leaves the
        row out, as statsmodels' ``missing="drop"`` and R's ``na.omit`` do,
        and with it the row's ``sample_weight``, ``offset`` and
        ``clusters`` when they are given as arrays of the data's length (a
        missing value there drops the row too); ``n_dropped_rows_`` and
        ``dropped_rows_`` say which, and ``summary()`` counts them.
        ``"raise"`` refuses such a row (ValueError). Without a formula, a
        missing value in X is always refused, as scikit-learn's estimators
        do: drop or impute the rows first. On a Dask DataFrame the rows are
        left out partition by partition (``n_dropped_rows_`` counts them;
        weights, offsets and clusters given as arrays there must be
        complete, by name they drop their rows too); Spark DataFrames
        refuse missing values.

    Attributes
    ----------
    classes_ : ndarray of shape (2,)
        The two labels, sorted; the model gives the probability of the second.
    coef_ : ndarray of shape (1, n_features)
        0 for a feature in ``dropped_features_``. For a DataFrame with
        categorical columns, one per parameter after the intercept: the
        numeric columns, then each categorical's levels but its reference
        (shape (1, n_parameters), named as in ``coef_table()``).
    intercept_ : ndarray of shape (1,)
        0.0 when fit_intercept is False.
    n_iter_ : ndarray of shape (1,)
        Updates performed.
    converged_ : bool
    link_ : str
        The link the model was fitted with; predictions and reports use it
        (a later ``set_params(link=...)`` changes only the next fit).
    time_ : float
        Seconds spent in the native iteration loop.
    covariance_ : ndarray of shape (n_params, n_params)
        The covariance of ``cov_type``; for "nonrobust" the inverse Fisher
        information (XᵀWX)⁻¹ (plus I'/C with a penalty), intercept first, evaluated
        at the coefficients the last update started from: the covariance of
        the last weighted least-squares step, as statsmodels reports it. A
        fit of k updates thus reads X k times. When the fit converged these
        coefficients differ from the returned ones by at most tol each. NaN
        in the rows and columns of ``dropped_features_``, and throughout
        when no update was made (max_iter=0).
    clipped_eigenvalues_ : ndarray of shape (n_clipped,)
        The negative eigenvalues that were set to 0 to make a two-way
        cluster covariance V = V_A + V_B − V_{A∩B} positive semi-definite
        (Cameron, Gelbach and Miller 2011; a ``CovarianceCorrectionWarning``
        says so); empty when none were. They are those of the unit-free
        D^−1/2 V D^−1/2, D the diagonal of V_A + V_B + V_{A∩B}, in which the
        correction is made, so that it does not depend on the features'
        units (see the user guide).
    deviance_ : float
        The (frequency-weighted) deviance −2ℓ, at the same coefficients as
        ``covariance_``; NaN when no update was made.
    dropped_features_ : ndarray of shape (n_dropped,)
        The parameters (named as in ``coef_table()``) left out of the fit
        because they are linear combinations of earlier ones, found once,
        at the first update: a column is dropped when 1 − R² of its
        regression on the earlier kept columns (intercept included), in the
        metric of the weighted normal equations, is at most
        max(1e-14, 100 q ε), q the parameters and ε the float64 precision:
        R's ``lm`` rule (norm ratio √(1 − R²) ≤ 1e-7), widened by the
        rounding of the normal equations, so only dependence to working
        precision counts (see the user guide). The later column of each
        dependent set is the one dropped, as R's ``glm`` does; a
        ``CollinearityWarning`` names them.
    coef_uncorrected_ : ndarray of shape (1, n_features)
        Only with ``bias_correction``: the slopes before the correction.
    n_dropped_rows_ : int
        Only for a fit with a formula: the rows of the data left out for a
        missing value (``missing="drop"``), on Dask too.
    dropped_rows_ : ndarray of shape (n_rows,) of bool
        Only for a formula fit in memory: which rows of the data were left
        out (True), so that ``data[~model.dropped_rows_]`` are the rows fitted.
        Not set on Dask, where a lazy mask would hold the training data's
        graph (on a cluster, its persisted partitions) for the model's life.
    fitted_with_offset_ : bool
        Whether fit was given an offset: then the predictions and
        ``marginal_effects`` need the rows' offsets too.
    n_features_in_ : int
    feature_names_in_ : ndarray of shape (n_features,)
        Only when X had string column names (a pandas DataFrame).
    categories_ : dict
        Only for a DataFrame with categorical or string columns: each such
        column's levels, in code order, those with rows in fit only (a
        declared category without rows has no parameter and is left out
        here); the first is the reference level (see the user guide's
        "Categorical and sparse input").
    n_obs_ : float
        n = Σ sᵢ, observations counted with their frequency weights (rows
        without weights).
    log_likelihood_ : float
        ℓ = Σ sᵢ[yᵢ log μᵢ + (1 − yᵢ) log(1 − μᵢ)] = −``deviance_``/2.
    null_log_likelihood_ : float
        ℓ₀ of the intercept-only model, n p̄ log p̄ + n(1 − p̄) log(1 − p̄)
        with p̄ = Σ sᵢyᵢ/n; without an intercept the model at β = 0, n log ½.
    null_deviance_ : float
        −2ℓ₀.
    aic_ : float
        −2ℓ + 2k, k the estimated parameters (intercept included, dropped
        features not).
    bic_ : float
        −2ℓ + k log n.
    pseudo_r2_ : float
        McFadden's 1 − ℓ/ℓ₀.
    lr_statistic_ : float
        2(ℓ − ℓ₀), the likelihood-ratio statistic against the null model.
    lr_pvalue_ : float
        P(χ²(``df_model_``) > ``lr_statistic_``).
    df_model_ : int
        k − 1 with an intercept, k without.
    df_resid_ : float
        n − k.

    Notes
    -----
    Steps are safeguarded as in R's ``glm.fit``: an update whose penalised
    deviance is not finite or larger than the previous one is halved (the
    normal equations formed again at the halved point), at most 30 times.
    Where no step is halved the arithmetic is that of plain IRLS, with each
    update solved for its step: XᵀSWX (β_new − β) = XᵀS(y − μ), the
    Newton step, the same update as XᵀSWX β_new = XᵀSWz but with rounding
    relative to the step, so that a nearly collinear design (condition
    1e8, a year beside the intercept) still reaches tol 1e-8.
    """

    classes_: npt.NDArray[Any]
    coef_: npt.NDArray[np.float64]
    intercept_: npt.NDArray[np.float64]
    n_iter_: npt.NDArray[np.int32]
    converged_: bool
    time_: float
    covariance_: npt.NDArray[np.float64]
    deviance_: float
    dropped_features_: npt.NDArray[np.object_]
    n_features_in_: int
    feature_names_in_: npt.NDArray[np.object_]
    # All that a fit produced (fitted_attributes() gives the attributes above).
    _results_: FitResults

    _parameter_constraints: ClassVar[dict[str, list[Any]]] = {
        "fit_intercept": ["boolean"],
        "tol": [Interval(Real, 0, None, closed="left")],
        # The native loop counts iterations in a 32-bit int.
        "max_iter": [Interval(Integral, 0, 2**31 - 1, closed="both")],
        "n_threads": [Interval(Integral, 1, None, closed="left"), None],
        "verbose": ["verbose"],
        "cov_type": [StrOptions(set(COV_TYPES))],
        # C <= 0 is refused by this check, in scikit-learn's words; np.inf is no penalty.
        "C": [Interval(Real, 0, None, closed="right")],
        "link": [StrOptions(set(LINKS))],
        "formula": [str, None],
        "absorb": [str, list, tuple, None],
        "information": [StrOptions(set(INFORMATION)), None],
        "missing": [StrOptions({"drop", "raise"})],
        "bias_correction": [StrOptions(set(_bias_correction.BIAS_CORRECTIONS)), None],
    }

    def __init__(
        self,
        *,
        fit_intercept: bool = True,
        tol: float = 1e-8,
        max_iter: int = 100,
        n_threads: int | None = None,
        verbose: int = 0,
        cov_type: str = "nonrobust",
        C: float = np.inf,
        link: str = "logit",
        formula: str | None = None,
        absorb: str | list[str] | None = None,
        information: str | None = None,
        missing: str = "drop",
        bias_correction: str | None = None,
    ) -> None:
        self.fit_intercept = fit_intercept
        self.tol = tol
        self.max_iter = max_iter
        self.n_threads = n_threads
        self.verbose = verbose
        self.cov_type = cov_type
        self.C = C
        self.link = link
        self.formula = formula
        self.absorb = absorb
        self.information = information
        self.missing = missing
        self.bias_correction = bias_correction

    def __sklearn_tags__(self) -> Tags:
        tags = super().__sklearn_tags__()
        tags.classifier_tags.multi_class = False
        tags.input_tags.sparse = True
        tags.input_tags.categorical = True
        tags.input_tags.string = True
        return tags

    @_validated_fit
    def fit(
        self, X: Any, y: Any = None, sample_weight: Any = None, *, clusters: Any = None, offset: Any = None
    ) -> Self:
        """Fit the model to X (n_samples, n_features) and the labels y.

        Parameters
        ----------
        X : array-like, DataFrame, scipy.sparse matrix, or Dask collection of shape (n_samples, n_features)
            A DataFrame's (pandas, or polars and the other libraries that
            narwhals reads) categorical, enum and string columns are read as
            their codes (reference coding: see the user guide); a sparse
            matrix is read in place (CSR) or converted to CSR once (CSC).
        y : array-like of shape (n_samples,), default=None
            Two classes. Required, except with a ``formula``, whose
            left-hand side gives them (then y is None, or equal to them).
        sample_weight : array-like of shape (n_samples,) or str, default=None
            Non-negative frequency weights (or the name of their column of
            the DataFrame X): a weight of m counts a row as m
            identical rows, and 0 leaves it out. Inference treats them so:
            n = Σ sᵢ, and every covariance type gives the covariance of the
            data with each row repeated sᵢ times. Weights that are not counts
            (normalised weights, or scikit-learn's "balanced" class weights)
            therefore rescale every standard error: ``sample_weight=1/n``
            multiplies them all by √n.
        clusters : array-like of shape (n_samples,) or (n_samples, 2), str or list of str, default=None
            The cluster of every row, for ``cov_type="cluster"`` (and only
            then): any hashable labels, one column for one-way clustering, two
            for two-way. A DataFrame, Series or array; on Dask, a Dask array
            chunked like X's rows; or the names of one or two columns of the
            DataFrame X.
        offset : array-like of shape (n_samples,), default=None
            A known term added to every row's linear predictor,
            ηᵢ = xᵢᵀβ + oᵢ, with a coefficient of 1 that is not estimated
            (log exposure, say); a scalar for every row; or the name of a
            column of the DataFrame X, which the fitted model then reads
            from every frame it predicts. The fitted model needs the offsets
            to predict (see ``predict_proba``).

            Without a formula, a column of X named by sample_weight, clusters
            or offset is not a feature (as an absorbed column is not); with
            one, the formula decides the features.

        Returns
        -------
        self
        """
        # A fit that raises leaves the estimator unfitted, whether it was
        # fitted before or not (scikit-learn's convention allows unfitted or
        # unchanged; unfitted means no earlier model outlives a fit that was
        # meant to replace it). Everything the fit produces is built into
        # its results first and set on the estimator in one step at the end.
        self._forget_fit()
        try:
            results = self._fit(X, y, sample_weight, clusters, offset)
        except BaseException:
            # What validate_data recorded of X on the way.
            self._forget_fit()
            raise
        self._results_ = results
        for name, value in results.fitted_attributes().items():
            setattr(self, name, value)
        return self

    def _forget_fit(self) -> None:
        """Remove the fitted state: every attribute whose name ends in an
        underscore, scikit-learn's mark of what fit sets (the mark
        check_is_fitted reads), the results among them."""
        for name in [name for name in vars(self) if name.endswith("_") and not name.startswith("__")]:
            delattr(self, name)

    def _fit(self, X: Any, y: Any, sample_weight: Any, clusters: Any, offset: Any) -> FitResults:
        """The results of a fit, its warnings raised; sets nothing on the
        estimator but what validate_data records of an in-memory X."""
        spec = _fit_spec.resolve(self, X, y, sample_weight, clusters, offset)
        fitted, absorbed = _fit_spec.run(spec, self._fit_in_memory)
        # With absorbed levels, the intercept is among them: the results
        # hold the remaining features only.
        fit_intercept = bool(self.fit_intercept) and absorbed is None
        result = fitted.result
        names = fitted.parameter_names(fit_intercept)
        if result.overflowed:
            raise ValueError(_overflow_message([names[j] for j in result.overflowed]))
        request = fitted.meat_request
        if request is not None and request.kind.robust and result.passes > 0:
            k = len(names) - len(result.dropped) if absorbed is None else absorbed.k_robust
            covariance, clipped = robust_covariance(result, request, fitted.n_obs, k)
        else:
            covariance, clipped = result.covariance, np.empty(0)
        results = FitResults.from_fit(
            fitted,
            covariance,
            clipped,
            fit_intercept=fit_intercept,
            cov_type=self.cov_type,
            C=self.C,
            link=self.link,
            fitted_with_offset=spec.rows.offset is not None,
        )
        if spec.observed and fitted.observed_information:
            results = dataclasses.replace(results, information="observed")
        results = dataclasses.replace(results, argument_columns=spec.argument_columns)
        if absorbed is not None:
            X = spec.rows.X
            columns = (
                spec.backend.module().columns(X) if spec.backend is not None else _design._columns(X).names()
            )
            results = results.with_absorption(absorbed, list(columns))
        formula = spec.formula
        # A back end that drops a formula's incomplete rows in its first pass counts them there.
        n_dropped_rows = spec.n_dropped_rows if fitted.n_dropped_rows is None else fitted.n_dropped_rows
        if formula is not None:
            # The formula's parameter names (statsmodels'), and its terms as
            # the groups wald_test() tests jointly.
            names = formula.parameter_names(
                results.layout, [] if results.feature_names is None else list(results.feature_names)
            )
            training = None
            if spec.backend is None and not _formula.is_lazy(X):
                # For marginal_effects() without data, where keeping the
                # rows copies none of them.
                named = _named.names_in(sample_weight, offset, None)
                columns = _formula.collected_columns(X, formula.written, formula.absorbed, named)
                training = kept_rows(X, columns, sample_weight, offset)
            results = dataclasses.replace(
                results,
                names=names,
                groups=formula.term_groups(names),
                formula=formula,
                dropped_rows=spec.dropped_rows,
                n_dropped_rows=n_dropped_rows,
                training=training,
            )
            if formula.contrasts:
                # Factors coded with other contrasts than treatment were fitted
                # treatment-coded: the parameters in their parametrization.
                results = _contrasts.reparametrized(results, formula.contrasts)
        self._warn_about(results, result, fitted.separation)
        return results

    def _warn_about(
        self, results: FitResults, result: FitResult, separation: _separation.Separation | None
    ) -> None:
        """The warnings of a finished fit, all raised here, in Python."""
        if results.absorption is not None and results.absorption.separated_rows:
            _caller.warn(results.absorption.separation_message(), PerfectSeparationWarning)
        dropped = results.dropped_features
        if len(dropped):
            _caller.warn(
                f"{len(dropped)} feature(s) are linear combinations of earlier ones and "
                f"were left out of the fit: {', '.join(map(str, dropped))}. Their "
                "coefficients are 0 and their standard errors NaN (see dropped_features_).",
                CollinearityWarning,
            )
        if not results.converged:
            _caller.warn(_convergence_message(result, self.max_iter, self.tol), ConvergenceWarning)
        if separation is not None:
            if separation.found:
                _caller.warn(separation.message(), PerfectSeparationWarning)
        elif result.boundary_rows:
            # Where the linear program did not run (a chunked fit) or could
            # not decide: rows fitted at exactly 0 or 1.
            _caller.warn(
                f"perfect separation: {result.boundary_rows} sample(s) were fitted with a "
                "probability of exactly 0 or 1, so the features separate the classes (completely or "
                "in part) and the likelihood has no finite maximum; the coefficients and standard "
                "errors are not meaningful.",
                PerfectSeparationWarning,
            )

    def _observed_information(self, absorbed: bool) -> bool:
        """Whether the covariance is built on the observed information: the
        default for probit and cloglog (for the logit it is the expected
        one); absorbed levels have the expected one only."""
        if self.link == "logit":
            return False
        if absorbed:
            if self.information == "observed":
                raise ValueError(
                    "information='observed' is not available with absorbed columns: their fit builds the "
                    "covariance on the expected information; pass information='expected' (or leave it out)."
                )
            return False
        return self.information != "expected"

    def _progress(self) -> _Progress | None:
        """What the native loop reports each update to: a printed line, with verbose."""
        return _print_progress if self.verbose else None

    def _fit_in_memory(self, spec: _fit_spec.FitSpec) -> Fitted:
        """The fit of rows in memory, validated as scikit-learn's input (a
        frame with categorical columns read as its codes)."""
        X, y, sample_weight, clusters, offset = (
            spec.rows.X,
            spec.rows.y,
            spec.rows.sample_weight,
            spec.rows.clusters,
            spec.rows.offset,
        )
        progress, observed = spec.progress, spec.observed
        design: Any
        layout = None
        if _design.is_frame_with_categories(X):
            design, y, layout = self._frame_design(X, y)
        elif _design.is_sparse(X):
            X, y = validate_data(
                self, X, y, accept_sparse=("csr", "csc"), dtype=np.float64, ensure_all_finite=False
            )
            design = _design.csr_blocks(X)
        else:
            X, y = validate_data(self, X, y, dtype=np.float64, order=None, y_numeric=False)
            X = design = native_layout(X)
        classes, y01 = encode_binary_target(y)
        weights = frequency_weights(sample_weight, X, y01)
        offset = checked_offset(offset, X.shape[0])
        request = meat_request(spec.covariance, clusters, X.shape[0], weights)
        n_threads = _native.blas_threads() if spec.n_threads is None else spec.n_threads
        result = _native.fit(
            design,
            y01,
            weights,
            options=_native.FitOptions(
                fit_intercept=spec.fit_intercept,
                tol=spec.tol,
                max_iter=spec.max_iter,
                n_threads=max(int(n_threads), 1),
                penalty=spec.penalty,
                link=spec.link.native,
            ),
            covariance=request.native(weight_sums(y01, weights)[0]),
            offset=offset,
            progress=progress,
        )
        fitted = Fitted(
            classes,
            result,
            *weight_sums(y01, weights),
            meat_request=request,
            # With an offset beside the intercept, the engine's fit of the
            # intercept alone (the null deviance has no closed form then).
            null_deviance=result.null_deviance,
            # What validate_data recorded of an array's columns (a frame's
            # come from its layout).
            n_features=X.shape[1],
            feature_names=getattr(self, "feature_names_in_", None),
            layout=layout,
        )
        if spec.penalty == 0.0:
            # A penalised likelihood has a finite maximum whatever the data.
            fitted.separation = _separation.check_fit(
                design,
                y01,
                weights,
                offset,
                result,
                spec.fit_intercept,
                fitted.parameter_names(spec.fit_intercept),
                spec.link,
            )
        if observed and result.passes > 0:
            information = observed_information(
                design,
                y01,
                weights,
                offset,
                np.asarray(result.last_pass_coefficients),
                spec.fit_intercept,
                spec.link,
            )
            covariance = inverse_information(information, result, spec.penalty, spec.fit_intercept)
            if covariance is not None:
                fitted.result = result.replace(covariance=covariance)
                fitted.observed_information = True
        return fitted

    def _frame_design(self, X: Any, y: Any) -> tuple[_design.Blocks, npt.NDArray[Any], _design.FrameLayout]:
        """A DataFrame with categorical or string columns as the native
        fit's blocks, and the layout learned here."""
        y = check_array(y, ensure_2d=False, dtype=None, input_name="y")
        if y.ndim != 1 or len(y) != len(X):
            raise ValueError(
                f"Found input variables with inconsistent numbers of samples: [{len(X)}, {len(y)}]"
            )
        layout = _design.learn_layout(X, bool(self.fit_intercept))
        _design.check_system_fits(layout, bool(self.fit_intercept))
        blocks = _design.frame_blocks(X, layout, fitting=True)
        return blocks, y, layout

    def _link(self) -> Link:
        """The record of the link parameter (_links.py), for a fit."""
        return link_named(self.link)

    def _fitted_link(self) -> Link:
        """The record of the link the model was fitted with (``link_``):
        predictions and reports keep it after a set_params(link=...)."""
        return link_named(self.link_)

    def _penalty(self) -> float:
        """1/C, the weight of the penalty Σβⱼ² in the deviance (0 for C=inf)."""
        return 0.0 if np.isinf(self.C) else 1.0 / float(self.C)

    @overload
    def decision_function(self, X: npt.ArrayLike, offset: Any = None) -> npt.NDArray[np.float64]: ...
    @overload
    def decision_function(self, X: da.Array, offset: Any = None) -> da.Array: ...
    def decision_function(self, X: Any, offset: Any = None) -> Any:
        """The linear predictor xᵢᵀβ + oᵢ (log-odds of classes_[1]) of every
        row of X, with the rows' offsets (see ``predict_proba``); a Dask array
        for a Dask X."""
        X, offset, _ = self._prediction_rows(X, offset)
        return self._scores(X, offset)

    def _scores(self, X: Any, offset: Any) -> Any:
        """decision_function of rows and offsets already resolved
        (_prediction_rows)."""
        formula: _formula.FormulaDesign | None = self._results_.formula
        backend = backend_of(X)
        if formula is None:
            return self._design_scores(self._design_input(X), offset)
        if backend is not None:
            formula_scores = getattr(backend.module(), "formula_scores", None)
            if formula_scores is None or formula.missing != "drop" or self._results_.absorption is not None:
                return self._design_scores(self._design_input(X), offset)
            # Each partition's scores, NaN for its incomplete rows.
            return formula_scores(X, functools.partial(formula.partition_scores, self._design_scores), offset)
        # A row with a missing value has no score: NaN in its place, the
        # data's length kept (R's na.exclude).
        frame, complete = formula.rows(X)
        if complete is None:
            return self._design_scores(frame, offset)
        scores = np.full(len(complete), np.nan)
        scores[complete] = self._design_scores(frame, _formula.rows_of(offset, complete, "offset"))
        return scores

    def _prediction_rows(self, X: Any, offset: Any, sample_weight: Any = None) -> tuple[Any, Any, Any]:
        """(X, offset, sample_weight) for a method of the fitted model: named
        columns of X read and dropped, the offsets required of a model
        fitted with them."""
        check_is_fitted(self)
        formula: _formula.FormulaDesign | None = self._results_.formula
        if formula is not None and _formula.is_lazy(X):
            # The columns of the formula, of its absorbed part and of the
            # arguments that name columns (the fit's offset column among them).
            fitted_offset = self._results_.argument_columns.offset
            named = [
                *_named.names_in(sample_weight, offset, None),
                *([fitted_offset] if fitted_offset else []),
            ]
            X = _formula.collect(X, _formula.collected_columns(X, formula.written, formula.absorbed, named))
        if formula is not None and formula.offsets and backend_of(X) is None:
            # The formula's offset terms, evaluated on these rows, beside
            # any offset given (R adds both).
            known = formula.offset_of(X)
            assert known is not None
            if isinstance(offset, str):
                offset = _named.column_of(X, offset, "offset")
            given = None if offset is None else checked_offset(offset, len(known))
            offset = known if given is None else known + given
        return self._results_.argument_columns.prediction_rows(
            X, offset, self._results_.fitted_with_offset, sample_weight
        )

    def _design_input(self, X: Any, caller: str = "predict()") -> Any:
        """X as the fit read it: for a model fitted with a formula, the
        design frame of the data X (the same transforms, levels and
        references), which must have no incomplete row; else X itself."""
        formula: _formula.FormulaDesign | None = self._results_.formula
        return X if formula is None else formula.frame(X, caller)

    def _design_scores(self, X: Any, offset: Any = None) -> Any:
        """decision_function of X as the fit read it (a design frame)."""
        layout = self._results_.layout
        absorption = self._results_.absorption
        coef, intercept = self.coef_[0], float(self.intercept_[0])
        if self._results_.design_parameters is not None:
            # A formula's contrasts: coef_ is in their parametrization, the
            # design frame holds the treatment-coded columns the fit read.
            coef, intercept = self._results_.scoring_coefficients()
        backend = backend_of(X)
        if absorption is not None:
            # The absorbed columns' effects are a known term of each row.
            assert layout is not None
            if backend is not None:
                return backend.module().absorbed_scores(X, layout, absorption, coef, intercept, offset)
            rest, effects = absorption.offsets(X)
            scores = _design.frame_scores(rest, layout, coef, intercept) + effects
            offsets = checked_offset(offset, len(scores))
            return scores if offsets is None else scores + offsets
        if backend is not None:
            module = backend.module()
            if layout is not None:
                return module.frame_scores(X, layout, coef, intercept, offset)
            return module.decision_function(X, coef, intercept, offset)
        if layout is not None:
            if not _design.is_frame_with_categories(X):
                raise ValueError(
                    "the model was fitted on a DataFrame with categorical columns: pass a DataFrame "
                    f"with the columns {layout.columns}."
                )
            scores = _design.frame_scores(X, layout, coef, intercept)
        else:
            scores = _prediction.scores(self._validated_input(X), coef, intercept)
        offsets = checked_offset(offset, len(scores))
        return scores if offsets is None else scores + offsets

    @overload
    def predict_proba(self, X: npt.ArrayLike, offset: Any = None) -> npt.NDArray[np.float64]: ...
    @overload
    def predict_proba(self, X: da.Array, offset: Any = None) -> da.Array: ...
    def predict_proba(self, X: Any, offset: Any = None) -> Any:
        """(n_samples, 2): the probabilities of classes_[0] and classes_[1];
        a Dask array for a Dask X.

        offset: the rows' offsets (an array, a scalar for every row, or the
        name of a column of X). A model fitted with an offset needs them
        (ValueError without; ``offset=0`` says they are 0); one fitted with
        an offset column of X reads that column of X when offset is None.
        """
        X, offset, _ = self._prediction_rows(X, offset)
        backend = backend_of(X)
        if backend is not None:
            module = backend.module()
            if self._results_.layout is not None or self._results_.formula is not None:
                return module.frame_probabilities(self._scores(X, offset), self.link_)
            return module.predict_proba(X, self.coef_[0], float(self.intercept_[0]), self.link_, offset)
        return _prediction.probabilities(self._scores(X, offset), self._fitted_link())

    @overload
    def predict_log_proba(self, X: npt.ArrayLike, offset: Any = None) -> npt.NDArray[np.float64]: ...
    @overload
    def predict_log_proba(self, X: da.Array, offset: Any = None) -> da.Array: ...
    def predict_log_proba(self, X: Any, offset: Any = None) -> Any:
        """(n_samples, 2): the logarithms of ``predict_proba(X, offset)``,
        computed from the linear predictor η (for the logit as
        -log(1 + exp(∓η))), so that they keep their accuracy where a probability rounds to 1 or
        underflows to 0; a Dask array for a Dask X."""
        X, offset, _ = self._prediction_rows(X, offset)
        backend = backend_of(X)
        if backend is not None:
            module = backend.module()
            if self._results_.layout is not None or self._results_.formula is not None:
                return module.frame_log_probabilities(self._scores(X, offset), self.link_)
            return module.predict_log_proba(X, self.coef_[0], float(self.intercept_[0]), self.link_, offset)
        return _prediction.log_probabilities(self._scores(X, offset), self._fitted_link())

    @overload
    def predict(self, X: npt.ArrayLike, offset: Any = None) -> npt.NDArray[Any]: ...
    @overload
    def predict(self, X: da.Array, offset: Any = None) -> da.Array: ...
    def predict(self, X: Any, offset: Any = None) -> Any:
        """The more probable of the two classes for every row of X, with the
        rows' offsets (see ``predict_proba``); a Dask array for a Dask X.

        A row of an absorbed level dropped for a single outcome is labelled
        by its probability's limit (1 for a level whose rows were all 1, 0
        for all 0; see ``absorb``). A row without a probability (NaN in
        ``predict_proba``) has no label: an in-memory X with such rows is a
        ValueError saying how many and why (so is ``score()``); on a Dask X,
        a row of an absorbed level whose effect was not estimated is one
        when its partition is computed."""
        X, offset, _ = self._prediction_rows(X, offset)
        backend = backend_of(X)
        if backend is not None:
            module = backend.module()
            if self._results_.absorption is not None:
                # Rows without a probability have no label, as in memory.
                return module.frame_labels(self._scores(X, offset), self.classes_, self.link_, absorbed=True)
            if self._results_.formula is not None:
                # A label for every row: each partition refuses an incomplete one.
                scores = self._design_scores(self._design_input(X), offset)
                return module.frame_labels(scores, self.classes_, self.link_)
            if self._results_.layout is not None:
                return module.frame_labels(self._scores(X, offset), self.classes_, self.link_)
            return module.predict(
                X, self.coef_[0], float(self.intercept_[0]), self.classes_, self.link_, offset
            )
        # A label for every row: a formula's incomplete rows are refused.
        scores = self._design_scores(self._design_input(X), offset)
        _prediction.check_labelled(scores, self._results_.absorption is not None)
        return _prediction.labels(scores, self.classes_, self._fitted_link())

    def _validated_input(self, X: Any) -> Any:
        """X for the scores: a float64 array, or a sparse matrix (its stored
        values checked as in fit)."""
        validated = validate_data(
            self,
            X,
            dtype=np.float64,
            order=None,
            reset=False,
            accept_sparse=("csr", "csc"),
            ensure_all_finite=not _design.is_sparse(X),
        )
        if _design.is_sparse(validated):
            _design.check_stored_values(validated)
        return validated

    def score(self, X: Any, y: Any = None, sample_weight: Any = None) -> float:
        """The mean accuracy of ``predict(X)`` against y (weighted by
        sample_weight), as scikit-learn's classifiers define it; for a model
        fitted with a formula, y defaults to its left-hand side in X.
        sample_weight may name a column of X; the offsets are those of
        ``predict`` (a model fitted with an offset column reads it from X)."""
        if isinstance(sample_weight, str):
            check_is_fitted(self)
            name, sample_weight = sample_weight, _named.column_of(X, sample_weight, "sample_weight")
            if self._results_.formula is None and name != self._results_.argument_columns.offset:
                X = _named.without_columns(X, [name])
        formula = getattr(self, "_results_", None) and self._results_.formula
        if formula is None:
            return float(super().score(X, y, sample_weight=sample_weight))
        from sklearn.metrics import accuracy_score

        distributed = _formula.partitioned_scored_labels(formula, X, y)
        if distributed is not None:
            labels = np.asarray(distributed)
            predicted = np.asarray(self.predict(X))
            weights = None if sample_weight is None else np.asarray(sample_weight)
            return float(accuracy_score(labels, predicted, sample_weight=weights))
        labels, frame = _formula.scored_rows(formula, X, y)
        _, offset, _ = self._prediction_rows(X, None)
        predicted = _prediction.labels(self._design_scores(frame, offset), self.classes_, self._fitted_link())
        return float(accuracy_score(labels, predicted, sample_weight=sample_weight))

    def coef_table(self, *, alpha: float = 0.05, exponentiate: bool = False) -> pd.DataFrame:
        """A pandas DataFrame, one row per parameter (the intercept first,
        then the features by name): coefficient, standard error, z, two-sided
        p-value P>|z| and the 1 - alpha interval, b ± z₁₋α/₂ · SE with the
        normal quantile z₁₋α/₂ (1.959964 for the default alpha=0.05). Needs
        pandas.

        The interval's columns are named as in statsmodels' summary:
        ``[0.025`` and ``0.975]`` for alpha=0.05, ``[0.005`` and ``0.995]``
        for alpha=0.01 (``f"[{alpha / 2}"`` and ``f"{1 - alpha / 2}]"``). A
        ValueError for an alpha outside (0, 1).

        The standard errors are those of ``cov_type`` (``covariance_``). They
        treat ``sample_weight`` as frequency weights (n = Σ sᵢ): weights that
        are not counts rescale them all (``sample_weight=1/n`` multiplies
        them by √n). With a finite ``C`` they are those of the penalised fit
        and a ``PenaltyWarning`` says that the p-values are not valid tests.

        A parameter dropped as linearly dependent (``dropped_features_``)
        was not estimated: its whole row is NaN, the coefficient too (R's
        NA), while ``coef_`` keeps 0 for it so that predictions work.

        ``exponentiate=True`` reports exp(β), as Stata's ``logit, or`` and
        R's ``broom::tidy(exponentiate = TRUE)`` do: for the logit the first
        column is ``odds ratio``, exp(coef), the intercept's the baseline
        odds; for cloglog it is ``hazard ratio`` (exp(β) multiplies the
        cumulative hazard −log(1 − μ)). Its standard error is the delta
        method's, exp(coef) · SE, as Stata prints it; z and P>|z| are the
        coefficient's (the test of a ratio of 1), and the interval is exp()
        of the coefficient's, so not symmetric about the ratio. For probit,
        whose exp(β) is no ratio, a ValueError.
        """
        check_is_fitted(self)
        return self._results_.coef_table(alpha, exponentiate)

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
        return self._results_.wald_test(restrictions, q)

    def summary(self, *, exponentiate: bool = False) -> Summary:
        """A printable report of the fit, as statsmodels users expect.

        Parameters
        ----------
        exponentiate : bool, default=False
            Report odds ratios (logit) or hazard ratios (cloglog) instead of
            the coefficients, as ``coef_table(exponentiate=True)`` gives
            them (see there); a ValueError for probit.

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
        check_is_fitted(self)
        return self._results_.summary(exponentiate)

    def marginal_effects(
        self,
        X: Any = None,
        sample_weight: Any = None,
        offset: Any = None,
        *,
        alpha: float = 0.05,
        fixed_effects: str = "estimated",
    ) -> pd.DataFrame:
        """Average marginal effects of the features on P(y = ``classes_[1]``).

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features), default=None
            The rows to average over; the training X gives Stata's
            ``margins, dydx(*)``. Validated as for ``predict``; a Dask array
            or DataFrame is reduced chunk by chunk where it lives. For a
            model fitted on a DataFrame with categorical columns, a
            DataFrame with those columns (a Dask DataFrame is reduced
            partition by partition). For a model fitted with a formula, a
            DataFrame of the formula's variables, in memory, on Dask or on
            Spark (each partition's sums made where it lives; see Notes for
            None).

            None (the default) averages over the training rows, with the
            fit's sample_weight and offset, from sums that the fit's last
            pass formed over them: the estimator keeps no copy of X, and no
            row is read again. The table is that of
            ``marginal_effects(X_train, sample_weight_train, offset_train)``
            to about 1e-8 relative (see Notes). Available for a fit of an
            array or sparse matrix, in memory or on Dask (or a DataFrame of
            numeric columns), and for one with ``absorb=`` (in memory or on
            a Dask DataFrame); ValueError, saying to pass X, for a fit on a
            DataFrame with categorical columns (each level's discrete change
            needs every row at every level), with ``absorb=`` or not, and
            when sample_weight or offset is given without X. After a fit with
            ``bias_correction``, None only: the average partial effects
            over the training rows with their own bias correction, formed in
            fit (see the user guide's "Fixed effects").
        sample_weight : array-like of shape (n_samples,) or str, default=None
            Frequency weights sᵢ of the rows in the average (for a Dask X,
            a Dask array, or a NumPy vector when X's chunk sizes are known),
            or the name of their column of the DataFrame X.
        offset : array-like of shape (n_samples,), scalar or str, default=None
            The rows' offsets oᵢ, as for ``predict_proba``: the effects are
            taken at μᵢ = 1 / (1 + exp(-xᵢᵀβ - oᵢ)). Required (ValueError
            without it) when the model was fitted with an offset
            (``fitted_with_offset_``), unless it was fitted with an offset
            column that X has. For a Dask X, a Dask array, or a NumPy vector
            when X's chunk sizes are known.
        alpha : float, default=0.05
            The intervals' level is 1 - alpha, as in ``coef_table(alpha)``.
        fixed_effects : {"estimated", "given"}, default="estimated"
            For a model fitted with absorbed levels (``absorb=``, or ``| fe``
            in a formula), what the standard errors treat the levels as.
            "estimated": the delta method over the slopes and the levels
            both, equal to the dummy-variable model's (statsmodels'
            ``get_margeff()``, Stata's ``margins``), with nonrobust, HC0,
            HC1, and cluster where the absorbed column is nested in the one
            clustering; available for one absorbed column and numeric
            features of a fit in memory, and a ValueError saying why
            elsewhere. "given": the delta method given the fixed effects
            (the Jacobian in the features' coefficients alone), larger as a
            rule, for every absorbed design. Ignored without absorbed
            levels, and after ``bias_correction``. See the user guide's
            "Fixed effects".

        Returns
        -------
        pandas.DataFrame
            One row per feature, with the columns of ``coef_table(alpha)``,
            the first named ``"dy/dx"``: effect, standard error, z, P>|z| and
            the 1 - alpha interval (95 % by default). For a frame with
            categorical columns, one row per numeric column and one per
            non-reference level of each categorical, named as in
            ``coef_table()`` (``"educ[2]"``). For a formula model, one row
            per numeric variable of the formula (``"age"``) and one per
            non-reference level of each factor (``"C(rel)[T.2.0]"``).

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

        Without X, the sums are those of the fit's last pass, at the
        coefficients its last update started from, β₀, which differ from
        ``coef_`` by the last update's change (at most ``tol``). The mean ḡ
        is carried from β₀ to the final coefficients by its gradient (the
        sum Σ sᵢ h″(ηᵢ) xᵢ, h the link's mean, which that pass formed too), so the effects are
        those at ``coef_`` up to the square of that change; the sum in the
        Jacobian, which only the standard errors read, stays at β₀ (a
        relative difference of the order of the change). With ``absorb=``,
        ηᵢ holds the row's level effects, and the pass was at the effects
        the last update started from as well: ḡ is carried to
        ``fixed_effects_`` the same way, by the sums Σ sᵢ h″(ηᵢ) over each
        level's rows, which that pass formed too. The rows of levels dropped
        for a single outcome are left out, as in the fit and in
        ``marginal_effects(X_train, ...)``.

        For a model fitted with a formula, the effects are those of the
        formula's variables, through every term that names them (Stata's
        ``margins, dydx(*)``): a numeric variable's is
        Σ sᵢ h′(ηᵢ) (dηᵢ/dx) / Σ sᵢ with dηᵢ/dx = Σⱼ βⱼ dxᵢⱼ/dx, the
        derivatives of its terms taken by central differences through
        formulaic's evaluation of them; a factor's level has the discrete
        change from the reference level, every row set to each. Without
        X, the training rows with the fit's sample_weight and offset: the
        model keeps them where that copies no column (a pandas frame with
        copy-on-write, pandas 3's default, whose later writes by the caller
        copy the caller's columns; a polars DataFrame or a pyarrow Table,
        which are immutable; weights and offsets given as arrays are
        copied), never when pickled or copied, and otherwise asks for X
        with a ValueError. Rows with a missing value are left out as in the
        fit. A Dask or Spark DataFrame is reduced partition by partition.
        With
        absorbed levels ('| fe'), each row's level effects enter its linear
        predictor at their estimates, as for marginal_effects(X) of
        absorb= (the rows of levels left out for a single outcome are left
        out of the average too). A parameter dropped as linearly
        dependent counts as 0 there (the model without its column). See
        the Formulas page of the documentation.
        """
        check_is_fitted(self)
        absorption = self._results_.absorption
        if absorption is not None and absorption.partial_effects is not None:
            # The bias-corrected average partial effects, formed in fit, of
            # a formula's '| fe' as of absorb=.
            return self._results_.marginal_effects(
                X, sample_weight, offset, alpha, self._validated_input, fixed_effects
            )
        training = self._results_.training
        if X is None and sample_weight is None and offset is None and training is not None:
            # A formula model's training rows, with their weights and offsets.
            X, sample_weight, offset = training.data, training.sample_weight, training.offset
        if X is not None:
            X, offset, sample_weight = self._prediction_rows(X, offset, sample_weight)
        if self._results_.formula is not None:
            return self._results_.formula_marginal_effects(X, sample_weight, offset, alpha, fixed_effects)
        return self._results_.marginal_effects(
            X, sample_weight, offset, alpha, self._validated_input, fixed_effects
        )

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
        offset : array-like of shape (n_samples,), scalar or str, default=None
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

        With absorbed levels (``absorb=`` or ``| fe``), X holds the absorbed
        columns too and η adds each row's level effects; the standard error
        and interval are conditional on those effects (the intercept among
        them): xᵀVx has the features' covariance only, as for the marginal
        effects. They leave out the levels' own sampling error and its
        covariance with the slopes, so they are not the dummy-variable
        model's (statsmodels' ``get_prediction`` on the dummy design), which
        can be smaller as well as larger: a level's effect is estimated
        against its rows' mean of the features, so holding it fixed counts
        the slopes' error at a row's distance from 0, not from that mean. A row
        of a level dropped for a single outcome has its limit, μ of 1 or 0
        with a standard error of 0.
        """
        X, offset, _ = self._prediction_rows(X, offset)
        return self._results_.prediction_table(
            self._design_input(X, "prediction_table()"),
            offset,
            alpha,
            self._design_scores,
            self._validated_input,
        )

    def _parameters(self) -> npt.NDArray[np.float64]:
        """All fitted parameters in the order of covariance_."""
        values: npt.NDArray[np.float64] = (
            np.concatenate([self.intercept_, self.coef_[0]]) if self.fit_intercept else self.coef_[0].copy()
        )
        return values


def _overflow_message(parameters: list[str]) -> str:
    """What to do when the first weighted normal equations overflow: the
    values are finite, but a sum of their squares exceeds float64's range."""
    named = ", ".join(map(repr, parameters))
    weights = " (for the intercept: the sum of sample_weight)" if "intercept" in parameters else ""
    return (
        f"X is too large to fit: the weighted sum of squares of {named}{weights} overflows float64 "
        "(it exceeds 1.8e308) in the normal equations XᵀWX. Rescale it, dividing by a power of ten, "
        "say (the coefficient is then multiplied by the same factor)."
    )


def _convergence_message(result: FitResult, max_iter: int, tol: float) -> str:
    """Why the fit did not converge, in the words that fit the case. When
    the deviance no longer moves over the last updates while coefficients
    still change by more than tol, the changes are rounding in the weighted
    normal equations of an ill-conditioned design, and more iterations will
    not help."""
    changes = np.asarray(result.changes)
    deviances = np.asarray(result.deviances)
    scale = max(1.0, float(np.max(np.abs(result.coefficients), initial=0.0)))
    last = slice(-_STALL_WINDOW, None)
    if (
        len(changes) >= _STALL_WINDOW
        and not result.boundary_rows
        and np.all(np.isfinite(deviances[last]))
        and np.all(changes[last] <= _STALL_CHANGE_RTOL * scale)
        and np.ptp(deviances[last]) <= _STALL_DEVIANCE_RTOL * max(abs(deviances[-1]), 1.0)
    ):
        smallest, largest = float(changes[last].min()), float(changes[last].max())
        return (
            f"quorvi.LogisticRegression did not converge to tol={tol}: over its last {_STALL_WINDOW} "
            f"updates the deviance no longer changed, while rounding in the weighted normal equations "
            f"still moved the coefficients by {smallest:.1e} to {largest:.1e} per update. tol is below "
            f"what the conditioning of this design allows: use a tol of about {10 * largest:.0e} or "
            "more, or rescale nearly collinear features. More iterations will not help."
        )
    return (
        f"quorvi.LogisticRegression did not converge in max_iter={max_iter} iterations: "
        f"the last update still moved a coefficient by more than tol={tol}. "
        "Increase max_iter, or look for separated classes or nearly collinear features."
    )


# A fit has stalled at the rounding level of its design when, over this
# many updates, its deviance has moved by no more than the first relative
# tolerance (far below any change a real step makes, near the rounding of a
# sum of n terms) while its coefficients still moved, but by no more than
# the second relative to their size (a diverging coefficient of separated
# classes moves by far more, and flattens the deviance too).
_STALL_WINDOW = 5
_STALL_DEVIANCE_RTOL = 1e-11
_STALL_CHANGE_RTOL = 1e-6


def _print_progress(
    iteration: int, deviance: float, max_change: float, seconds: float, inner_iterations: int
) -> None:
    # The inner solve's iterations: those of the absorbed columns after the first.
    inner = f"  inner iterations {inner_iterations}" if inner_iterations else ""
    print(
        f"iteration {iteration:3d}  deviance {deviance:.10g}  max |change| {max_change:.3e}  {seconds:.3f} s"
        + inner,
        file=sys.stdout,
        flush=True,
    )
