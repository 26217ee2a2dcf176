"""The results of a fit as one object, FitResults: built once, at the end of
a fit that succeeded, from what the fit produced (the coefficients, their
covariance, the parameters' names and groups, the link, the parameters
dropped as dependent, the weight sums, the covariance type and penalty, how
X's columns become parameters), and holding the inference on them: the fit
statistics, the coefficient table, joint Wald tests, the summary, marginal
effects and prediction tables.

It knows nothing of the estimator. What only the estimator can do is handed
to it: its scores for the rows of a prediction table, and its validation of
an in-memory X (scikit-learn's, against what fit saw). The estimator keeps
it whole and sets its fitted attributes from it in one place, so a fit that
raises before it exists has nothing of its own to undo (as statsmodels'
results exist only after a fit)."""

from __future__ import annotations

import dataclasses
import math
from collections.abc import Callable, Iterable
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt
from scipy.special import xlogy

from . import _caller, _design
from ._inference import (
    COLUMNS,
    PenaltyWarning,
    Restrictions,
    WaldTestResult,
    checked_alpha,
    chi2_survival,
    coefficient_columns,
    coefficient_table,
    exponentiated,
    is_restriction_text,
    prediction_frame,
)
from ._links import Link, link_named
from ._margins import training_sums
from ._named import ArgumentColumns
from ._prediction import score_variances

if TYPE_CHECKING:
    import pandas as pd

    from ._fitted import Fitted
    from ._summary import Summary
    from ._training_rows import TrainingRows

# How an in-memory X is validated as for predict (the estimator's check,
# against the columns it was fitted on): a float64 array or sparse matrix.
Validate = Callable[[Any], Any]

# The parts of the rows' parameter vectors that score_variances and the
# margins read: the numeric columns, and each categorical as (codes,
# levels, drop_first).
ParameterRows = tuple[list[Any], list[tuple[npt.NDArray[Any], int, bool, npt.NDArray[np.float64] | None]]]


@dataclass(frozen=True)
class FitStatistics:
    """The likelihood statistics of a fit; each is the estimator's
    attribute of the same name with a trailing underscore."""

    n_obs: float
    log_likelihood: float
    null_log_likelihood: float
    null_deviance: float
    aic: float
    bic: float
    pseudo_r2: float
    df_model: int
    df_resid: float
    lr_statistic: float
    lr_pvalue: float

    @classmethod
    def of(
        cls,
        deviance: float,
        n_obs: float,
        weighted_positives: float,
        k: int,
        fit_intercept: bool,
        null_deviance: float | None = None,
    ) -> FitStatistics:
        """The statistics from the fitted deviance D, the weight sums
        n = Σ sᵢ and Σ sᵢ yᵢ, and k the estimated parameters (those dropped
        as linearly dependent are not counted).

        With yᵢ ∈ {0, 1} the saturated model has log-likelihood 0, so the
        log-likelihood is ℓ = -D/2. The null model is the intercept-only
        model, whose maximum has the closed form p̄ = Σ sᵢyᵢ / n,
        ℓ₀ = n p̄ log p̄ + n (1 - p̄) log(1 - p̄); without an intercept it is
        the model at β = 0, ℓ₀ = n log ½. With an offset it has no closed
        form, and null_deviance is that of the intercept fitted alone with
        the offset (by the fit's own tol and max_iter, and at most 100
        updates).
        """
        log_likelihood = -0.5 * float(deviance)
        if null_deviance is not None:
            null_log_likelihood = -0.5 * null_deviance
        elif fit_intercept:
            negatives = n_obs - weighted_positives
            null_log_likelihood = float(
                xlogy(weighted_positives, weighted_positives / n_obs) + xlogy(negatives, negatives / n_obs)
            )
            null_deviance = -2.0 * null_log_likelihood
        else:
            null_log_likelihood = n_obs * math.log(0.5)
            null_deviance = -2.0 * null_log_likelihood
        df_model = k - 1 if fit_intercept else k
        lr_statistic = 2.0 * (log_likelihood - null_log_likelihood)
        return cls(
            n_obs=float(n_obs),
            log_likelihood=log_likelihood,
            null_log_likelihood=null_log_likelihood,
            null_deviance=null_deviance,
            aic=-2.0 * log_likelihood + 2.0 * k,
            bic=-2.0 * log_likelihood + k * math.log(n_obs),
            pseudo_r2=1.0 - log_likelihood / null_log_likelihood,
            df_model=df_model,
            df_resid=float(n_obs) - k,
            lr_statistic=lr_statistic,
            lr_pvalue=chi2_survival(lr_statistic, df_model),
        )


@dataclass(frozen=True, eq=False)
class FitResults:
    """What a successful fit produced, and the inference on it. Built by
    from_fit; the estimator's fitted attributes are fitted_attributes()."""

    classes: npt.NDArray[Any]
    parameters: npt.NDArray[np.float64]  # the intercept first (when fitted), in covariance's order
    fit_intercept: bool
    names: list[str]  # of the parameters, as coef_table() names them
    groups: dict[str, list[str]]  # a categorical column's name: its levels' parameters
    dropped: npt.NDArray[np.bool_]  # per parameter: dropped as linearly dependent
    covariance: npt.NDArray[np.float64]  # of cov_type
    clipped_eigenvalues: npt.NDArray[np.float64]
    cov_type: str
    C: float  # the inverse ridge penalty the fit had (inf: none)
    link_name: str
    converged: bool
    n_iter: int
    time: float
    deviance: float
    statistics: FitStatistics
    fitted_with_offset: bool
    # How X's columns become parameters: their number and names, and for a
    # DataFrame with categorical columns its layout.
    n_features: int
    feature_names: npt.NDArray[np.object_] | None
    layout: _design.FrameLayout | None
    # For a fit with a formula: what it learned (_formula.FormulaDesign),
    # applied to every frame given to the fitted model.
    formula: Any = None
    # For a fit with a formula: the rows of the data left out for a missing
    # value (a mask of the data's length; None on Dask, which keeps no
    # mask, _formula.Learned) and how many.
    dropped_rows: npt.NDArray[np.bool_] | None = None
    n_dropped_rows: int = 0
    # For a fit with a formula in memory: the training rows, where they can
    # be kept without a copy (_training_rows.py), or None.
    training: TrainingRows | None = None
    # For a fit with absorbed columns: what it learned (_absorb.Absorption),
    # and the intercept, which is among the levels.
    absorption: Any = None
    absorbed_intercept: float = 0.0
    # The margins' sums over the training rows (_margins.training_sums),
    # formed in the fit's last pass; None where the fit formed none.
    training_margin_sums: npt.NDArray[np.float64] | None = None
    # The information the covariance is built on ("expected" for the logit,
    # where the observed one is the same).
    information: str = "expected"
    # The columns of the training frame that fit's arguments named (the
    # offset's is read again from the frames given to the fitted model).
    argument_columns: ArgumentColumns = dataclasses.field(default_factory=ArgumentColumns)
    # For a formula with contrasts other than treatment: the parameters and
    # covariance of the treatment-coded columns the fit read, which the
    # predictions use (parameters and covariance are then statsmodels'
    # parametrization, python/quorvi/_contrasts.py); None otherwise.
    design_parameters: npt.NDArray[np.float64] | None = None
    design_covariance: npt.NDArray[np.float64] | None = None

    @classmethod
    def from_fit(
        cls,
        fitted: Fitted,
        covariance: npt.NDArray[np.float64],
        clipped_eigenvalues: npt.NDArray[np.float64],
        *,
        fit_intercept: bool,
        cov_type: str,
        C: float,
        link: str,
        fitted_with_offset: bool,
    ) -> FitResults:
        """The results of a fit, in memory or on Dask alike, with the
        covariance of its cov_type."""
        result = fitted.result
        names = fitted.parameter_names(fit_intercept)
        dropped = np.zeros(len(names), dtype=bool)
        dropped[list(result.dropped)] = True
        layout = fitted.layout
        groups = (
            {} if layout is None else {column.name: column.parameter_names() for column in layout.categorical}
        )
        statistics = FitStatistics.of(
            float(result.deviance),
            fitted.n_obs,
            fitted.weighted_positives,
            int(np.count_nonzero(~dropped)),
            fit_intercept,
            fitted.null_deviance,
        )
        return cls(
            classes=fitted.classes,
            parameters=np.asarray(result.coefficients, dtype=np.float64),
            fit_intercept=fit_intercept,
            names=names,
            groups=groups,
            dropped=dropped,
            covariance=covariance,
            clipped_eigenvalues=clipped_eigenvalues,
            cov_type=str(cov_type),
            C=C,
            link_name=str(link),
            converged=bool(result.converged),
            n_iter=int(result.iterations),
            time=float(result.time),
            deviance=float(result.deviance),
            statistics=statistics,
            fitted_with_offset=fitted_with_offset,
            n_features=fitted.n_features,
            feature_names=fitted.feature_names,
            layout=layout,
            training_margin_sums=training_sums(result, fit_intercept),
        )

    def with_absorption(self, absorbed: Any, columns: list[str]) -> FitResults:
        """These results of the remaining features as those of the fit with
        absorbed levels: its intercept, its columns (the absorbed among
        them), and the statistics of the dummy model (the null model with
        an intercept, k counting the levels' parameters)."""
        fitted = absorbed.fitted
        statistics = FitStatistics.of(
            self.deviance,
            fitted.n_obs,
            fitted.weighted_positives,
            absorbed.k_statistics,
            True,
            fitted.null_deviance,
        )
        return dataclasses.replace(
            self,
            absorption=absorbed.absorption,
            absorbed_intercept=absorbed.intercept,
            statistics=statistics,
            n_features=len(columns),
            feature_names=np.asarray(columns, dtype=object),
        )

    def fitted_attributes(self) -> dict[str, Any]:
        """The estimator's fitted attributes, by name: the one place that
        names them."""
        coefficients = self.parameters
        if self.fit_intercept:
            intercept, coef = coefficients[:1].copy(), coefficients[1:].reshape(1, -1).copy()
        else:
            intercept, coef = np.zeros(1), coefficients.reshape(1, -1).copy()
        statistics = self.statistics
        attributes: dict[str, Any] = {
            "classes_": self.classes,
            "coef_": coef,
            "intercept_": intercept,
            "n_iter_": np.array([self.n_iter], dtype=np.int32),
            "converged_": self.converged,
            "link_": self.link_name,
            "time_": self.time,
            "covariance_": self.covariance,
            "clipped_eigenvalues_": self.clipped_eigenvalues,
            "deviance_": self.deviance,
            "n_features_in_": self.n_features,
            "dropped_features_": self.dropped_features,
            "fitted_with_offset_": self.fitted_with_offset,
            **{f"{name}_": getattr(statistics, name) for name in FitStatistics.__dataclass_fields__},
        }
        # What validate_data records: names only for a frame with string column names.
        if self.feature_names is not None:
            attributes["feature_names_in_"] = self.feature_names
        if self.layout is not None:
            attributes["categories_"] = {column.name: column.levels for column in self.layout.categorical}
        if self.formula is not None:
            dropped = self.dropped_rows
            attributes["n_dropped_rows_"] = self.n_dropped_rows
            if dropped is not None:
                attributes["dropped_rows_"] = dropped
        if self.absorption is not None:
            attributes["intercept_"] = np.array([self.absorbed_intercept])
            attributes["fixed_effects_"] = {
                column.name: column.series() for column in self.absorption.columns
            }
            attributes["separated_levels_"] = {
                column.name: column.separated_levels for column in self.absorption.columns
            }
            attributes["n_separated_rows_"] = self.absorption.separated_rows
            if self.absorption.uncorrected is not None:
                attributes["coef_uncorrected_"] = self.absorption.uncorrected.reshape(1, -1).copy()
        return attributes

    @property
    def dropped_features(self) -> npt.NDArray[np.object_]:
        """The names of the parameters dropped as linearly dependent."""
        return np.array(
            [name for name, dropped in zip(self.names, self.dropped, strict=True) if dropped], dtype=object
        )

    @property
    def link(self) -> Link:
        """The record of the link the model was fitted with."""
        return link_named(self.link_name)

    @property
    def coef(self) -> npt.NDArray[np.float64]:
        """The coefficients of the features (without the intercept)."""
        return self.parameters[1:] if self.fit_intercept else self.parameters

    @property
    def intercept(self) -> float:
        return float(self.parameters[0]) if self.fit_intercept else 0.0

    def scoring_coefficients(self) -> tuple[npt.NDArray[np.float64], float]:
        """The coefficients of the features and the intercept of the columns
        the fit read, which the scores of a design frame use."""
        if self.design_parameters is None:
            return self.coef, self.intercept
        parameters = self.design_parameters
        return (parameters[1:], float(parameters[0])) if self.fit_intercept else (parameters, 0.0)

    @property
    def is_penalised(self) -> bool:
        return bool(np.isfinite(self.C))

    def _warn_if_penalised(self, what: str) -> None:
        """Warn (PenaltyWarning) that the p-values of `what` are not valid
        tests when the fit had a ridge penalty."""
        if self.is_penalised:
            _caller.warn(
                f"{what}: the fit maximised a penalised likelihood (C={self.C}), "
                "so its p-values are not valid tests: the coefficients are shrunk towards 0 and their "
                "covariance is that of the penalised fit.",
                PenaltyWarning,
            )

    def reported_parameters(self) -> npt.NDArray[np.float64]:
        """The parameters as the tables report them: those dropped as
        linearly dependent are NaN (R's NA), since they were not estimated;
        coef_ keeps 0 for them so that predictions work."""
        values = self.parameters.copy()
        values[self.dropped] = np.nan
        return values

    def coef_table(self, alpha: float, exponentiate: bool = False) -> pd.DataFrame:
        """The table of LogisticRegression.coef_table(), documented there."""
        ratio = self._ratio("coef_table()", exponentiate)
        self._warn_if_penalised("coef_table()")
        return coefficient_table(
            self.names, self.reported_parameters(), self.covariance, alpha=alpha, ratio=ratio
        )

    def summary(self, exponentiate: bool = False) -> Summary:
        """The report of LogisticRegression.summary(), documented there."""
        from ._summary import Summary, summary_text

        ratio = self._ratio("summary()", exponentiate)
        self._warn_if_penalised("summary()")
        columns = coefficient_columns(self.reported_parameters(), self.covariance)
        return Summary(summary_text(self, exponentiated(columns) if ratio else columns, ratio))

    def _ratio(self, caller: str, exponentiate: bool) -> str | None:
        """The name of exp(β) under the fitted link when exponentiate asks
        for it (None when it does not); a ValueError saying why for a link
        whose exp(β) is no ratio."""
        if not exponentiate:
            return None
        link = self.link
        if link.ratio is None:
            raise ValueError(
                f"{caller} with exponentiate=True, for a model of link={link.name!r}: {link.no_ratio}."
            )
        return link.ratio

    def _parameter_positions(self, names: str | Iterable[str]) -> list[int]:
        """The positions in covariance of the named parameters, named as in
        coef_table(); a single name may be given as a string. Repeated names
        count once. The one place that turns names into parameters."""
        requested = [names] if isinstance(names, str) else list(names)
        # A categorical column's name stands for all its levels.
        requested = [member for name in requested for member in self.groups.get(name, [name])]
        requested = list(dict.fromkeys(requested))
        if not requested:
            raise ValueError(f"no parameter names were given; the parameters are {self.names}")
        position = {name: index for index, name in enumerate(self.names)}
        unknown = [name for name in requested if name not in position]
        if unknown:
            raise ValueError(f"unknown parameter name(s) {unknown}; the parameters are {self.names}")
        return [position[name] for name in requested]

    def wald_test(self, restrictions: Restrictions, q: Any) -> WaldTestResult:
        """The test of LogisticRegression.wald_test(), documented there."""
        matrix, values = self._restriction_matrix(restrictions, q)
        all_names = self.names
        used = np.flatnonzero(np.any(matrix != 0.0, axis=0))
        variances = np.diag(self.covariance)
        unusable = [all_names[i] for i in used if self.dropped[i] or not np.isfinite(variances[i])]
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
        # NaN row of the covariance takes no part.
        restricted = matrix[:, used]
        discrepancy = restricted @ self.parameters[used] - values
        covariance = restricted @ self.covariance[np.ix_(used, used)] @ restricted.T
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

        all_names = self.names
        if isinstance(restrictions, str):
            restrictions = [restrictions]
        elif isinstance(restrictions, Iterable) and not isinstance(restrictions, np.ndarray):
            restrictions = list(restrictions)
        if q is not None or not isinstance(restrictions, list):
            return checked_matrix(restrictions, q, len(all_names), all_names)
        items = [item for item in restrictions if isinstance(item, str)]
        if len(items) < len(restrictions):
            return checked_matrix(restrictions, q, len(all_names), all_names)
        known = {*all_names, *self.groups}
        texts = [item for item in items if is_restriction_text(item, known)]
        names = [item for item in items if not is_restriction_text(item, known)]
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

    def parameter_rows(self, X: Any, validate: Validate | None = None) -> ParameterRows:
        """X as the parts of its rows' parameter vectors: the numeric columns
        (arrays or a CSR matrix, read in place where they can be) and each
        categorical as (codes, levels, drop_first, multiplier), the
        multiplier None but for a slope per level. An array X is validated
        by validate; a frame is checked against the layout."""
        if self.layout is None:
            if validate is None:
                raise TypeError("an array X needs the estimator's validation")
            validated = validate(X)
            return [validated.tocsr() if _design.is_sparse(validated) else validated], []
        _design.check_columns(X, self.layout)
        return _design.frame_columns(X, self.layout, fitting=False)

    def marginal_effects(
        self,
        X: Any,
        sample_weight: Any,
        offset: Any,
        alpha: float,
        validate: Validate,
        fixed_effects: str = "estimated",
    ) -> pd.DataFrame:
        """The table of LogisticRegression.marginal_effects(), documented there."""
        from ._margins import frame_marginal_effects, margin_sums

        checked_alpha(alpha)
        check_fixed_effects(fixed_effects)
        if self.absorption is not None and self.absorption.partial_effects is not None:
            if X is not None or sample_weight is not None or offset is not None:
                raise ValueError(
                    "after bias_correction='analytical', marginal_effects() gives the average partial "
                    "effects over the training rows with their own bias correction, formed in fit: call it "
                    "without X, sample_weight and offset."
                )
            effects, covariance = self.absorption.partial_effects
            return _effects_table(list(self.names), effects, covariance, alpha)
        if X is None:
            sums = self._training_margin_sums(sample_weight, offset)
            self._warn_if_penalised("marginal_effects()")
            if self._fixed_effects_estimated(fixed_effects):
                assert self.absorption is not None
                return self._absorbed_effects_table((sums, self.absorption.level_moments.curvature), alpha)
            return self._numeric_effects_table(sums, alpha)
        self._warn_if_penalised("marginal_effects()")
        if self.absorption is not None:
            from ._margins import check_offset_given

            estimated = self._fixed_effects_estimated(fixed_effects)
            if estimated and self.layout is not None and self.layout.categorical:
                # The discrete changes' gradients in each level's effect would
                # need sums per level and per categorical level of the frame's
                # pass (a formula's factors have them).
                raise ValueError(
                    "marginal_effects() with fixed_effects='estimated' (the default) is formed beside "
                    "absorbed levels for numeric features, or for a formula's terms: pass "
                    "fixed_effects='given' for the delta method given the fixed effects, or fit the "
                    "categorical columns with a formula ('y ~ x + C(g) | fe')."
                )
            # The levels' effects enter as each row's known term.
            check_offset_given(self, offset)
            positions = self.absorption.first_positions(X) if estimated else None
            X, sample_weight, offset = self.absorption.margin_rows(
                X, sample_weight, offset, self.absorbed_intercept
            )
            if positions is not None:
                return self._absorbed_effects_table(
                    self._absorbed_margin_sums(X, sample_weight, offset, positions), alpha
                )
        if self.layout is None:
            return self._numeric_effects_table(margin_sums(self, X, sample_weight, offset, validate), alpha)
        if self.absorption is None:
            _check_frame(X, self.layout)
        features, effects, covariance = frame_marginal_effects(self, X, sample_weight, offset)
        return _effects_table(features, effects, covariance, alpha)

    def formula_marginal_effects(
        self, data: Any, sample_weight: Any, offset: Any, alpha: float, fixed_effects: str = "estimated"
    ) -> pd.DataFrame:
        """The table of LogisticRegression.marginal_effects() of a model
        fitted with a formula: one row per variable of the formula."""
        from ._formula_margins import formula_marginal_effects

        checked_alpha(alpha)
        check_fixed_effects(fixed_effects)
        if data is None:
            # A variable's effect through the formula's transforms needs
            # the rows themselves, which the model keeps only where that
            # copies nothing (the estimator passes them when it has them).
            raise ValueError(
                "marginal_effects() of a model fitted with a formula needs the data: pass the rows to "
                "average over (the training data, with their sample_weight, gives Stata's "
                "margins, dydx(*)). The model keeps its training rows only for a pandas (copy-on-write), "
                "polars or pyarrow frame in memory, and not when it is pickled or copied."
            )
        self._warn_if_penalised("marginal_effects()")
        estimated = self._fixed_effects_estimated(fixed_effects)
        names, effects, covariance = formula_marginal_effects(self, data, sample_weight, offset, estimated)
        return _effects_table(names, effects, covariance, alpha)

    def _numeric_effects_table(self, sums: npt.NDArray[np.float64], alpha: float) -> pd.DataFrame:
        """The effects table of numeric features from the sums of
        _margins.chunk_sums."""
        from ._margins import average_marginal_effects

        kept = ~self.dropped
        effects, covariance = average_marginal_effects(
            sums, self.coef, self.covariance, self.fit_intercept, kept
        )
        # Not estimated, so no effect either (a 0 would read as one).
        effects[~kept[int(self.fit_intercept) :]] = np.nan
        features = self.names[1:] if self.fit_intercept else self.names
        return _effects_table(features, effects, covariance, alpha)

    def _fixed_effects_estimated(self, fixed_effects: str) -> bool:
        """Whether the effects' delta method runs over the absorbed levels
        too (fixed_effects="estimated", for a fit with absorbed columns); a
        ValueError for another value, and where the fit has not the sums
        per level it needs, saying why."""
        check_fixed_effects(fixed_effects)
        if self.absorption is None or fixed_effects == "given" or self.absorption.partial_effects is not None:
            return False
        reason = self.absorption.level_moments.reason
        if reason is not None:
            raise ValueError(
                "marginal_effects() with fixed_effects='estimated' (the default) propagates the absorbed "
                f"levels' uncertainty, which is not available for this fit: {reason}. Pass "
                "fixed_effects='given' for the delta method given the fixed effects."
            )
        return True

    def _absorbed_margin_sums(
        self, rest: Any, weights: npt.NDArray[np.float64], known: npt.NDArray[np.float64], positions: Any
    ) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
        """The sums of chunk_sums over the rows of rest (the frame of the
        numeric features), each row's known term its level's effect, the
        intercept and its offset, and the level's Σ sᵢ h″(ηᵢ) over them."""
        from ._level_moments import level_curvature
        from ._margins import chunk_sums
        from ._prediction import _dense_rows

        numeric, _ = self.parameter_rows(rest)
        dense = _dense_rows(numeric, slice(0, len(weights)), False)
        sums = chunk_sums(dense, weights, self.coef, 0.0, known, self.link)
        if not sums[0] > 0:
            raise ValueError(
                "sample_weight sums to 0: there are no rows to average the marginal effects over."
            )
        assert self.absorption is not None
        levels = len(self.absorption.columns[0].levels)
        return sums, level_curvature(dense, weights, known, self.coef, positions, levels, self.link)

    def _absorbed_effects_table(
        self, sums_and_curvature: tuple[npt.NDArray[np.float64], Any], alpha: float
    ) -> pd.DataFrame:
        """The effects table of an absorbed fit's numeric features, their
        delta method over the slopes and the one absorbed column's levels
        (_level_moments), from chunk_sums' sums and the levels' Σ sᵢ h″(ηᵢ)
        over the rows averaged."""
        from ._level_moments import effect_covariance
        from ._margins import effects_and_jacobian

        assert self.absorption is not None
        sums, curvature = sums_and_curvature

        kept = ~self.dropped
        effects, jacobian = effects_and_jacobian(sums, self.coef, False)
        # ∂AMEⱼ/∂αₗ = βⱼ Σ_{i∈l} sᵢ h″(ηᵢ) / Σ sᵢ.
        level_jacobian = np.outer(self.coef, np.asarray(curvature) / sums[0])
        covariance = effect_covariance(
            self.absorption.level_moments, self.covariance, jacobian, level_jacobian, kept
        )
        dropped = ~kept
        effects[dropped] = np.nan
        covariance[dropped, :] = np.nan
        covariance[:, dropped] = np.nan
        return _effects_table(list(self.names), effects, covariance, alpha)

    def _training_margin_sums(self, sample_weight: Any, offset: Any) -> npt.NDArray[np.float64]:
        """The margins' sums over the training rows, which the fit's last
        pass formed; a ValueError, saying to pass X, where there are none."""
        if sample_weight is not None or offset is not None:
            raise ValueError(
                "marginal_effects() without X averages over the training rows with the fit's own "
                "sample_weight and offset: pass X with the sample_weight and offset given."
            )
        if self.layout is not None and (self.layout.categorical or self.absorption is None):
            # A level's discrete change needs every row's probability at
            # every level of the column: per-row work beyond the pass. (An
            # absorbed fit has a layout of its other columns, numeric ones
            # alone here.)
            reason = "the discrete changes of a DataFrame's categorical columns need every row"
        elif self.training_margin_sums is None:
            reason = (
                "its passes formed no margin sums (a fit that made no update, max_iter=0, or one of "
                "several absorbed columns on Dask, whose further columns are parameters there)"
            )
        elif not self.training_margin_sums[0] > 0:
            raise ValueError(
                "sample_weight sums to 0: there are no rows to average the marginal effects over."
            )
        else:
            return self.training_margin_sums
        raise ValueError(
            f"marginal_effects() without X is not available for this model: {reason}. Pass X (the "
            "training rows, with their sample_weight and offset) to average over them."
        )

    def prediction_table(
        self,
        X: Any,
        offset: Any,
        alpha: float,
        scores_of: Callable[[Any, Any], Any],
        validate: Validate,
    ) -> pd.DataFrame:
        """LogisticRegression.prediction_table(), with scores_of(X, offset)
        the estimator's linear predictors of the rows."""
        from ._validation import is_distributed

        alpha = checked_alpha(alpha)
        if is_distributed(X):
            raise ValueError(
                "prediction_table() returns a pandas DataFrame and takes an in-memory X: select the "
                "rows to predict and compute them first (for example X[:1000].compute())."
            )
        self._warn_if_penalised("prediction_table()")
        scores = np.asarray(scores_of(X, offset), dtype=np.float64)
        kept = ~self.dropped
        # The rows' parameter vectors are those of the columns the fit read.
        fitted = self.covariance if self.design_covariance is None else self.design_covariance
        covariance = np.where(np.outer(kept, kept), fitted, 0.0)
        # With absorbed levels the variance is that of the slopes' part of
        # η, the levels (and the intercept among them) held at their estimates.
        rows = X if self.absorption is None else self.absorption.offsets(X)[0]
        numeric, categoricals = self.parameter_rows(rows, validate)
        variances = score_variances(len(scores), numeric, categoricals, covariance, self.fit_intercept)
        return prediction_frame(scores, variances, alpha, getattr(X, "index", None), self.link)


def check_fixed_effects(fixed_effects: Any) -> None:
    """A ValueError unless fixed_effects is one of marginal_effects()'s values."""
    if not isinstance(fixed_effects, str) or fixed_effects not in ("estimated", "given"):
        raise ValueError(f"fixed_effects must be 'estimated' or 'given'; got {fixed_effects!r}.")


def _effects_table(
    features: list[str], effects: npt.NDArray[np.float64], covariance: npt.NDArray[np.float64], alpha: float
) -> pd.DataFrame:
    """The table of marginal effects, with the columns of coef_table()."""
    table = coefficient_table(features, effects, covariance, caller="marginal_effects()", alpha=alpha)
    return table.rename(columns={COLUMNS[0]: "dy/dx"})


def _check_frame(X: Any, layout: _design.FrameLayout) -> None:
    """A ValueError unless X is a DataFrame (in memory, or a Dask one), as
    a model fitted on a DataFrame with categorical columns reads."""
    from ._backends import backend_of

    backend = backend_of(X)
    distributed_frame = backend is not None and backend.module().is_frame(X)
    if not (distributed_frame or _design.is_frame_with_categories(X)):
        raise ValueError(
            "the model was fitted on a DataFrame with categorical columns: pass a DataFrame with "
            f"the columns {layout.columns}."
        )
