"""Fit statistics, summary(), wald_test(), marginal_effects(),
predict_log_proba(), prediction_table() and intervals at other levels against
independent references: Stata's published results for the Spector logit,
statsmodels' Wald tests, intervals and get_prediction(), SciPy's log_expit,
and repeated rows for frequency weights."""

import contextlib
import re
import warnings

import dask.array as da
import dask.dataframe as dd
import numpy as np
import pandas as pd
import pytest
from scipy import sparse
from scipy import stats as scipy_stats
from scipy.special import expit, log_expit

from problems import logistic_problem
from quorvi import CollinearityWarning, LogisticRegression

sm = pytest.importorskip("statsmodels.api")
from statsmodels.tools.sm_exceptions import SingularMatrixWarning  # noqa: E402


def _spector():
    """GRADE on GPA, TUCE and PSI. Stata holds these data as single-precision
    floats (GPA is 2.66, not 2.66 in float64), so its published numbers are
    those of the data rounded through float32: with that rounding they agree
    with ours to about 1e-14, without it only to about 1e-7."""
    data = sm.datasets.spector.load_pandas()
    X = data.exog.astype(np.float32).astype(np.float64)
    return X, data.endog.to_numpy()


# Stata 'logit grade gpa tuce psi' and 'margins, dydx(*)'.
STATA_STATISTICS = {
    "log_likelihood_": -12.8896334653335,
    "null_log_likelihood_": -20.5917296966173,
    "lr_statistic_": 15.4041924625676,
    "lr_pvalue_": 0.00150187761112892,
    "pseudo_r2_": 0.374038332124624,
    "aic_": 33.779266930667,
    "bic_": 39.642210541866,
}
STATA_EFFECTS = [[0.36258085, 0.1094412], [0.01220841, 0.0177942], [0.30517768, 0.0923796]]


def test_fit_statistics_equal_statas():
    model = LogisticRegression().fit(*_spector())
    actual = [getattr(model, name) for name in STATA_STATISTICS]
    # Published to 15 digits, and the data are the same bits: the fit stops
    # within about 1e-14 of the maximum on any BLAS kernel.
    np.testing.assert_allclose(actual, list(STATA_STATISTICS.values()), rtol=1e-10)
    assert (model.n_obs_, model.df_model_, model.df_resid_) == (32.0, 3, 28.0)
    np.testing.assert_allclose(
        model.null_deviance_, -2 * STATA_STATISTICS["null_log_likelihood_"], rtol=1e-10
    )


@pytest.mark.parametrize("kind", ["numpy", "dask", "training rows"])
def test_average_marginal_effects_equal_statas(kind):
    X, y = _spector()
    model = LogisticRegression().fit(X, y)
    if kind == "training rows":
        # Without X: from the sums the fit's last pass formed over its rows.
        table = model.marginal_effects()
    else:
        table = model.marginal_effects(da.from_array(X.to_numpy(), chunks=(7, 2)) if kind == "dask" else X)
    assert list(table.index) == ["GPA", "TUCE", "PSI"]
    assert list(table.columns) == ["dy/dx", "std err", "z", "P>|z|", "[0.025", "0.975]"]
    # Stata's margins differentiates numerically and prints 7 or 8 digits:
    # its values are within 1e-7 of the exact delta method's (the largest
    # gap, 6e-8, is GPA's standard error), an absolute bound since the
    # values range over a decade.
    np.testing.assert_allclose(table.iloc[:, :2].to_numpy(), STATA_EFFECTS, rtol=0, atol=1e-7)
    np.testing.assert_allclose(table["z"], table["dy/dx"] / table["std err"], rtol=1e-12)


def _affairs_with_an_offset():
    data = sm.datasets.fair.load_pandas().data
    X = data[["yrs_married", "children", "religious", "educ", "occupation", "occupation_husb"]]
    y = (data["affairs"] > 0).astype(np.float64).to_numpy()
    return X, y, np.log(data["yrs_married"]).to_numpy()


def _textbook_margins(params, covariance, design, offset, weights):
    """AMEⱼ = βⱼ Σ sᵢ μᵢ(1 - μᵢ) / Σ sᵢ at μᵢ = expit(xᵢᵀβ + oᵢ), and its
    delta-method standard error √(J V Jᵀ), J by central differences."""

    def effects(beta):
        mu = 1.0 / (1.0 + np.exp(-(design @ beta + offset)))
        return beta[1:] * np.average(mu * (1.0 - mu), weights=weights)

    step = 1e-6
    jacobian = np.column_stack(
        [(effects(params + step * e) - effects(params - step * e)) / (2 * step) for e in np.eye(len(params))]
    )
    return effects(params), np.sqrt(np.diag(jacobian @ covariance @ jacobian.T))


@pytest.mark.parametrize(
    ("kind", "weighted", "duplicate"),
    [
        ("numpy", False, False),
        ("dask", True, False),
        ("numpy", True, True),
        ("training rows", True, False),
        ("training rows", True, True),
        ("dask training rows", True, True),
    ],
    ids=[
        "in memory",
        "dask, weighted",
        "a dropped feature",
        "training rows, weighted",
        "training rows, a dropped feature",
        "training rows on dask, weighted, a dropped feature",
    ],
)
def test_marginal_effects_with_an_offset_equal_the_textbook_formula(kind, weighted, duplicate):
    X, y, offset = _affairs_with_an_offset()
    weights = np.random.default_rng(5).integers(0, 4, len(y)).astype(np.float64) if weighted else None
    # Without X the effects average over the training rows, with the fit's
    # own weights (frequency weights of the fit, here and in statsmodels').
    training = kind in ("training rows", "dask training rows")
    fit_weights = weights if training else None
    # statsmodels fits the model (its margins refuse an offset); the effects
    # and their delta method are computed from its β and V here.
    glm = sm.GLM(
        y, sm.add_constant(X), family=sm.families.Binomial(), offset=offset, freq_weights=fit_weights
    ).fit(tol=1e-13)
    expected, expected_se = _textbook_margins(
        glm.params.to_numpy(), glm.cov_params().to_numpy(), sm.add_constant(X).to_numpy(), offset, weights
    )
    if duplicate:
        # An exact multiple is dropped: not estimated, so neither its effect
        # nor its standard error is a number (not 0).
        X = X.assign(educ2=2.0 * X["educ"])
        expected, expected_se = np.append(expected, np.nan), np.append(expected_se, np.nan)
    fit_rows, fit_y, fit_offset = X, y, offset
    if kind == "dask training rows":
        # The sums of the fit's last pass over chunks held by Dask, in
        # chunks unlike those of y, the weights and the offsets.
        fit_rows = da.from_array(X.to_numpy(), chunks=(1500, 2))
        fit_y, fit_offset = da.from_array(y, chunks=1500), da.from_array(offset, chunks=1500)
        fit_weights = da.from_array(fit_weights, chunks=1500)
    dropped_name = "x6" if kind == "dask training rows" else "educ2"  # a Dask array's columns have no names
    with pytest.warns(CollinearityWarning, match=dropped_name) if duplicate else contextlib.nullcontext():
        model = LogisticRegression(tol=1e-10).fit(
            fit_rows, fit_y, sample_weight=fit_weights, offset=fit_offset
        )
    with pytest.raises(ValueError, match=r"fitted with an offset: pass the rows' offsets"):
        model.marginal_effects(fit_rows)
    rows, offsets = X, offset
    if kind == "dask":
        rows = da.from_array(X.to_numpy(), chunks=(1000, 3))
        offsets = da.from_array(offset, chunks=700)  # chunked unlike X's rows
        weights = da.from_array(weights, chunks=1000)
    if training:
        table = model.marginal_effects()
    else:
        table = model.marginal_effects(rows, sample_weight=weights, offset=offsets)
    # The two fits stop within about 1e-9 of each other (tol 1e-10 and
    # 1e-13), and the central differences are exact to about 1e-9 of the
    # standard errors.
    np.testing.assert_allclose(table["dy/dx"], expected, rtol=1e-7, atol=1e-12)
    np.testing.assert_allclose(table["std err"], expected_se, rtol=1e-6)


@pytest.mark.parametrize("kind", ["numpy", "dask"])
def test_the_likelihood_ratio_test_with_an_offset_is_against_the_fitted_null_model(kind):
    X, y, offset = _affairs_with_an_offset()
    glm = sm.GLM(y, sm.add_constant(X), family=sm.families.Binomial(), offset=offset).fit(tol=1e-13)
    # statsmodels' null model is the intercept fitted with the same offset
    # (llnull -3899.02; the closed form n p̄ log p̄ + ..., which ignores the
    # offset, is -4002.53).
    statistic = 2.0 * (glm.llf - glm.llnull)
    expected = [
        glm.llnull,
        statistic,
        scipy_stats.chi2.sf(statistic, glm.df_model),
        glm.pseudo_rsquared("mcf"),
    ]
    if kind == "dask":
        X, y = da.from_array(X.to_numpy(), chunks=(1000, 6)), da.from_array(y, chunks=1000)
    model = LogisticRegression(tol=1e-10).fit(X, y, offset=offset)
    actual = [model.null_log_likelihood_, model.lr_statistic_, model.lr_pvalue_, model.pseudo_r2_]
    # Both maxima to about 1e-9 relative (tol 1e-10 and 1e-13): the
    # log-likelihoods agree to about 1e-12, their difference (420) and the
    # p-value (1e-87, whose relative error is about the statistic's
    # absolute error) to about 1e-9.
    np.testing.assert_allclose(actual, expected, rtol=1e-8)


@pytest.mark.parametrize("names", [["x1"], ["x1", "x3"], ["intercept", "x2", "x3"]])
def test_wald_test_equals_statsmodels(names):
    X, y = logistic_problem(400, 4, seed=11)
    frame = pd.DataFrame(X[:, 1:], columns=["x1", "x2", "x3"])
    model = LogisticRegression().fit(frame, y)
    glm = sm.GLM(
        y, sm.add_constant(frame).rename(columns={"const": "intercept"}), family=sm.families.Binomial()
    )
    # One more update from statsmodels' solution puts its covariance at the
    # maximum, as ours is (see test_inference_equals_statsmodels_glm).
    reference = glm.fit(start_params=glm.fit(tol=1e-12, maxiter=100).params, maxiter=1)
    expected = reference.wald_test(", ".join(f"{name} = 0" for name in names), scalar=True, use_f=False)
    result = model.wald_test(names)
    # The two covariances agree to about 1e-11 (the coefficients' own
    # agreement, times the design's conditioning); rtol 1e-8 leaves a margin
    # on any BLAS kernel. The p-values here are far from 0 (no atol needed).
    np.testing.assert_allclose(
        [result.statistic, result.pvalue], [expected.statistic, expected.pvalue], rtol=1e-8
    )
    # statsmodels keeps a chi2 test's degrees of freedom in df_denom.
    assert (expected.distribution, result.df) == ("chi2", len(names))
    assert expected.df_denom == len(names)


@pytest.mark.parametrize("fit_intercept", [True, False])
def test_a_weight_of_m_is_m_repeated_rows(fit_intercept):
    X, y = logistic_problem(300, 4, seed=3)
    X = X[:, 1:]
    weights = np.random.default_rng(4).integers(0, 4, len(y)).astype(np.float64)
    counts = weights.astype(int)
    weighted = LogisticRegression(fit_intercept=fit_intercept).fit(X, y, sample_weight=weights)
    repeated = LogisticRegression(fit_intercept=fit_intercept).fit(X.repeat(counts, axis=0), y.repeat(counts))
    names = ["log_likelihood_", "null_log_likelihood_", "aic_", "bic_", "pseudo_r2_", "lr_statistic_"]
    names += ["lr_pvalue_", "df_model_", "df_resid_", "n_obs_"]
    # The same sums in another order: equal to rounding times the design's
    # conditioning.
    np.testing.assert_allclose(
        [getattr(weighted, name) for name in names], [getattr(repeated, name) for name in names], rtol=1e-10
    )
    np.testing.assert_allclose(
        weighted.marginal_effects(X, sample_weight=weights).to_numpy(),
        repeated.marginal_effects(X.repeat(counts, axis=0)).to_numpy(),
        rtol=1e-9,
        atol=1e-13,
    )


def test_summary_shows_the_fit_to_four_decimals():
    model = LogisticRegression().fit(*_spector())
    text = str(model.summary())
    table = model.coef_table()
    numbers = [*table["coef"], *table["std err"]]
    numbers += [model.log_likelihood_, model.null_log_likelihood_, model.lr_statistic_]
    numbers += [model.pseudo_r2_, model.aic_, model.bic_]
    for value in numbers:
        assert f"{value:.4f}" in text
    assert "nonrobust" in text
    assert "Observations (sum of weights):     32" in text


@pytest.mark.parametrize(
    ("names", "message"),
    [
        (
            ["GPA", "grade"],
            r"unknown parameter name\(s\) \['grade'\]; the parameters are \['intercept', 'GPA', 'TUCE', 'PSI'\]",
        ),
        (["GPA", "TUCE"], r"cannot test \['TUCE'\]: they have no variance"),
        ("2 * GPA = TUCE + 1", r"cannot test \['TUCE'\]: they have no variance"),
        (
            "GPA = grade",
            r"unknown parameter name\(s\) \['grade'\] in the restrictions 'GPA = grade' \(at position 6\)",
        ),
        ("GPA * PSI = 1", r"at position 4: a product of two parameters is not linear"),
        ("GPA = PSI, 2 * PSI = 2 * GPA", r"the 2 restrictions are linearly dependent \(R has rank 1\)"),
        (
            [[0.0, 1.0, 0.0]],
            r"R must have one column per parameter \(4: \['intercept', 'GPA', 'TUCE', 'PSI'\]\)",
        ),
    ],
)
def test_wald_test_names_what_it_cannot_test(names, message):
    model = LogisticRegression().fit(*_spector())
    # TUCE as if dropped for linear dependence: coefficient 0, no variance.
    model.dropped_features_ = ("TUCE",)
    model.covariance_[2, :] = model.covariance_[:, 2] = np.nan
    with pytest.raises(ValueError, match=message):
        model.wald_test(names)


def test_summary_names_the_modelled_class_and_the_residual_degrees_of_freedom():
    # String labels, frequency weights and a column dropped as dependent.
    # statsmodels' GLM of y == "pass" has our coefficients, so the model is
    # P(y = 'pass'); on the rank-deficient design its df_resid is the sum of
    # the weights less the rank (63 - 4), the dropped column not counted.
    data = sm.datasets.spector.load_pandas()
    X = data.exog.assign(GPA2=2.0 * data.exog["GPA"])
    y = np.where(data.endog == 1, "pass", "fail")
    weights = np.arange(32) % 3 + 1.0
    with pytest.warns(CollinearityWarning, match="GPA2"):
        model = LogisticRegression(tol=1e-12).fit(X, y, sample_weight=weights)
    passed = (y == "pass").astype(float)
    family = sm.families.Binomial()
    glm = sm.GLM(passed, sm.add_constant(data.exog), family=family, freq_weights=weights).fit(tol=1e-13)
    np.testing.assert_allclose(model._parameters()[:4], glm.params, rtol=1e-8)
    with pytest.warns(Warning, match="rank-deficient"):
        deficient = sm.GLM(passed, sm.add_constant(X), family=family, freq_weights=weights).fit()
    text = str(model.summary())
    assert text.splitlines()[2] == "Dependent: P(y = 'pass'), against y = 'fail'"
    # The dropped column's row holds no number (statsmodels' pinv would give
    # GPA and GPA2 a share each; R prints NA), and points at its note.
    assert re.search(r"^GPA2 +\(dropped: linearly dependent \[2\]\)$", text, re.MULTILINE)
    assert "[2] Dropped as linearly dependent on the other features, so not estimated" in text
    assert re.search(rf"Df residuals: +{deficient.df_resid:.0f}$", text, re.MULTILINE)


@pytest.mark.parametrize("kind", ["numpy", "dask", "dask frame"])
def test_log_probabilities_equal_scipys_log_expit_of_statsmodels_linear_predictor(kind):
    X, y = _spector()
    X = X.to_numpy()
    glm = sm.GLM(y, sm.add_constant(X), family=sm.families.Binomial()).fit(tol=1e-12)
    # The data, a row far out (η ≈ -435: P(y = 1) ≈ 1e-189, and its
    # complement rounds to 1), and one beyond exp's range (η ≈ 840: P(y = 0)
    # underflows to 0, where log(predict_proba) is -inf), with offsets.
    rows = np.vstack([X, [-150.0, 20.0, 0.0], [300.0, 20.0, 1.0]])
    offset = np.linspace(-1.0, 1.0, len(rows))
    eta = glm.predict(sm.add_constant(rows, has_constant="add"), offset=offset, which="linear")
    expected = np.column_stack([log_expit(-eta), log_expit(eta)])
    if kind == "dask frame":
        # PSI as a categorical of levels 0 and 1: the same parameters, read
        # partition by partition through the frame's layout.
        def frame(values):
            return pd.DataFrame(values[:, :2], columns=["GPA", "TUCE"]).assign(
                PSI=pd.Categorical(values[:, 2])
            )

        model = LogisticRegression().fit(frame(X), y)
        rows = dd.from_pandas(frame(rows), npartitions=3)
    else:
        model = LogisticRegression().fit(X, y)
    if kind == "dask":
        rows, offset = da.from_array(rows, chunks=(10, 3)), da.from_array(offset, chunks=10)
    actual = np.asarray(model.predict_log_proba(rows, offset=offset))
    # Both fits stop within about 1e-10 of the maximum: η agrees to about
    # 1e-9 relative, and so does log expit(η) (whose derivative is below 1).
    np.testing.assert_allclose(actual, expected, rtol=1e-8, atol=1e-12)
    assert np.isfinite(actual).all() and actual[-1, 0] < -800 and actual[-2, 1] < -400


def _statsmodels_glm(X, y, **fit):
    """statsmodels' binomial GLM of y on X with an intercept, its covariance
    taken one update after its solution, at the maximum, as ours is."""
    glm = sm.GLM(y, sm.add_constant(X), family=sm.families.Binomial())
    return glm.fit(start_params=glm.fit(tol=1e-12, maxiter=100).params, maxiter=1, **fit)


@pytest.mark.parametrize("alpha", [0.01, 0.1, 0.32])
def test_intervals_at_other_levels_equal_statsmodels(alpha):
    X, y = _spector()
    model = LogisticRegression().fit(X, y)
    reference = _statsmodels_glm(X, y)
    table = model.coef_table(alpha=alpha)
    # The interval's columns are named as statsmodels' summary names them.
    header = next(line for line in str(reference.summary(alpha=alpha)).splitlines() if "coef" in line)
    assert header.split()[-2:] == list(table.columns[4:])
    # The covariances agree to about 1e-11 (see test_wald_test_equals_statsmodels).
    np.testing.assert_allclose(table.iloc[:, 4:], reference.conf_int(alpha=alpha), rtol=1e-8)
    effects = model.marginal_effects(X, alpha=alpha)
    expected = sm.Logit(y, sm.add_constant(X)).fit(disp=0, tol=1e-12).get_margeff().summary_frame(alpha=alpha)
    assert list(effects.columns[4:]) == list(table.columns[4:])
    np.testing.assert_allclose(effects.iloc[:, 4:], expected.iloc[:, 4:], rtol=1e-8)


def _election():
    """anes96: the vote on eight numeric columns and educ as a categorical
    (seven levels, the first the reference), and statsmodels' design of it:
    the intercept, the numeric columns, then educ's dummies, our order."""
    data = sm.datasets.anes96.load_pandas().data
    numeric = ["logpopul", "TVnews", "selfLR", "ClinLR", "DoleLR", "PID", "age", "income"]
    X = data[numeric].assign(educ=pd.Categorical(data["educ"].astype(int).astype(str)))
    dummies = pd.get_dummies(X["educ"], prefix="educ", drop_first=True, dtype=float)
    exog = sm.add_constant(pd.concat([X[numeric], dummies], axis=1))
    return X, data["vote"].to_numpy(), exog, data["income"].to_numpy()


def _discrete_change_margins(params, covariance, design, numeric, categoricals, offset, weights):
    """Stata's margins, dydx(*) on a dummy design, written out: a numeric
    column's effect βⱼ Σ sᵢ gᵢ / Σ sᵢ, and a level's the average over the
    rows of μ(xᵢ with its categorical's dummies set to the level's pattern)
    - μ(xᵢ set to the first level's), every other column as observed; each
    categorical given as its levels' dummy columns in order (None for a
    reference level). Standard errors √(J V Jᵀ), J by central differences."""

    def at_level(beta, level_columns, level):
        rows = design.copy()
        rows[:, [column for column in level_columns if column is not None]] = 0.0
        if level_columns[level] is not None:
            rows[:, level_columns[level]] = 1.0
        return expit(rows @ beta + offset)

    def effects(beta):
        mu = expit(design @ beta + offset)
        numeric_effects = beta[numeric] * np.average(mu * (1.0 - mu), weights=weights)
        changes = [
            np.average(
                at_level(beta, level_columns, level) - at_level(beta, level_columns, 0), weights=weights
            )
            for level_columns in categoricals
            for level in range(1, len(level_columns))
        ]
        return np.concatenate([numeric_effects, changes])

    step = 1e-6
    jacobian = np.column_stack(
        [(effects(params + step * e) - effects(params - step * e)) / (2 * step) for e in np.eye(len(params))]
    )
    return effects(params), np.sqrt(np.diag(jacobian @ covariance @ jacobian.T))


def _dummy_columns(columns, name, levels):
    """The positions of a categorical's dummies among the design's columns
    (None for a level without one)."""
    return [columns.index(f"{name}_{level}") if f"{name}_{level}" in columns else None for level in levels]


@pytest.mark.parametrize(
    "case",
    [
        "election",
        "offset and weights",
        "dask, offset and weights",
        "no intercept",
        "a level dropped",
        "two categoricals",
    ],
)
def test_marginal_effects_of_a_categorical_are_statas_discrete_changes(case, monkeypatch):
    # Blocks of about 60 rows: the 944 rows are read in many blocks.
    monkeypatch.setattr("quorvi._margins._BLOCK_BYTES", 8 * 30 * 60)
    X, y, exog, _ = _election()
    numeric = list(X.columns[:-1])
    educ_levels = list(range(1, 8))
    categoricals = {"educ": educ_levels}
    offset, weights, fit = np.zeros(len(y)), None, {}
    if case.endswith("offset and weights"):
        offset = np.linspace(-0.5, 0.5, len(y))
        weights = np.random.default_rng(11).integers(0, 4, len(y)).astype(np.float64)
        fit = {"offset": offset, "sample_weight": weights}
    if case == "no intercept":
        # educ keeps all seven levels; its effects are still changes from
        # the first.
        exog = pd.concat([X[numeric], pd.get_dummies(X["educ"], prefix="educ", dtype=float)], axis=1)
    if case == "a level dropped":
        # A numeric indicator of educ 7 comes first, so educ[7] is dropped
        # (R's rule: the later of a dependent set): its effect is not
        # estimated, while the indicator's is the derivative in it.
        X = X.assign(top=(X["educ"] == "7").astype(float))
        X = X[[*numeric, "top", "educ"]]
        numeric = [*numeric, "top"]
        exog = exog.drop(columns="educ_7").assign(top=X["top"])
        exog = exog[["const", *numeric, *(f"educ_{level}" for level in range(2, 7))]]
        categoricals = {"educ": educ_levels[:-1]}
    if case == "two categoricals":
        # PID's seven levels as a categorical too (before educ, as in the
        # frame): each level's change holds educ as observed, and the
        # Jacobian has the cross terms of the two columns' levels.
        X = X.assign(PID=pd.Categorical(X["PID"].astype(int).astype(str)))
        numeric.remove("PID")
        pid = pd.get_dummies(X["PID"], prefix="PID", drop_first=True, dtype=float)
        exog = pd.concat(
            [exog.drop(columns="PID").iloc[:, : len(numeric) + 1], pid, exog.filter(like="educ_")], axis=1
        )
        categoricals = {"PID": list(range(7)), "educ": educ_levels}
    glm = sm.GLM(y, exog, family=sm.families.Binomial(), offset=offset, freq_weights=weights)
    glm = glm.fit(tol=1e-13)
    columns = list(exog.columns)
    expected, expected_se = _discrete_change_margins(
        glm.params.to_numpy(),
        glm.cov_params().to_numpy(),
        exog.to_numpy(),
        [columns.index(name) for name in numeric],
        [_dummy_columns(columns, name, levels) for name, levels in categoricals.items()],
        offset,
        weights,
    )
    if case == "a level dropped":
        expected, expected_se = np.append(expected, np.nan), np.append(expected_se, np.nan)
        categoricals = {"educ": educ_levels}
        with pytest.warns(CollinearityWarning, match=re.escape("educ[7]")):
            model = LogisticRegression(tol=1e-10).fit(X, y)
    else:
        model = LogisticRegression(tol=1e-10, fit_intercept=case != "no intercept").fit(X, y, **fit)
    rows = X
    if case.startswith("dask"):
        # Three partitions, the weights a Dask array chunked unlike them and
        # the offsets a NumPy vector, as the in-memory methods take them.
        rows, weights = dd.from_pandas(X, npartitions=3), da.from_array(weights, chunks=200)
    table = model.marginal_effects(rows, sample_weight=weights, offset=fit.get("offset"))
    level_names = [f"{name}[{level}]" for name, levels in categoricals.items() for level in levels[1:]]
    assert list(table.index) == [*numeric, *level_names]
    # The fits stop within about 1e-9 of each other (tol 1e-10 and 1e-13);
    # the central differences are exact to about 1e-9 of the standard errors.
    np.testing.assert_allclose(table["dy/dx"], expected, rtol=1e-6, atol=1e-10)
    np.testing.assert_allclose(table["std err"], expected_se, rtol=1e-6)
    if case == "election":
        # statsmodels' margins agree on the numeric columns; for educ's
        # dummies they change each from 0 to 1 holding the others as
        # observed, which is not the change from the reference level.
        margins = sm.Logit(y, exog).fit(disp=0, tol=1e-12).get_margeff(at="overall", dummy=True)
        frame = margins.summary_frame()
        np.testing.assert_allclose(table.loc[numeric, "dy/dx"], frame.loc[numeric, "dy/dx"], rtol=1e-6)
        np.testing.assert_allclose(table.loc[numeric, "std err"], frame.loc[numeric, "Std. Err."], rtol=1e-5)
        assert not np.allclose(table.loc[level_names, "dy/dx"], frame.iloc[len(numeric) :, 0], rtol=1e-3)


@pytest.mark.parametrize(
    ("case", "message"),
    [
        ("categorical frame", "discrete changes of a DataFrame's categorical columns need every row.*Pass X"),
        ("absorbed beside a categorical", "discrete changes of a DataFrame's categorical columns.*Pass X"),
        ("dask frame", "discrete changes of a DataFrame's categorical columns need every row.*Pass X"),
        ("weights without X", "with the fit's own sample_weight and offset: pass X"),
    ],
)
def test_marginal_effects_without_X_say_to_pass_X_where_the_fit_formed_no_sums(case, message):
    X, y, _, _ = _election()
    numeric = X.drop(columns="educ")
    if case == "categorical frame":
        model = LogisticRegression().fit(X, y)
    elif case == "absorbed beside a categorical":
        model = LogisticRegression(absorb="region").fit(X.assign(region=np.arange(len(y)) % 5), y)
    elif case == "dask frame":
        model = LogisticRegression().fit(dd.from_pandas(X, npartitions=3), dd.from_pandas(pd.Series(y), 3))
    else:
        model = LogisticRegression().fit(numeric, y)
    weights = np.ones(len(y)) if case == "weights without X" else None
    with pytest.raises(ValueError, match=message):
        model.marginal_effects(sample_weight=weights)


@pytest.mark.parametrize(
    ("case", "cov_type", "alpha"),
    [
        ("spector", "nonrobust", 0.1),
        ("election", "HC0", 0.05),
        ("election", "cluster", 0.01),
        ("dropped", "nonrobust", 0.05),
    ],
)
def test_prediction_table_equals_statsmodels_get_prediction(case, cov_type, alpha, monkeypatch):
    # Blocks of 111 rows for the election's 9 dense parameters: the 315 rows
    # predicted are taken in three blocks, the last one short.
    monkeypatch.setattr("quorvi._prediction._VARIANCE_BLOCK_VALUES", 1000)
    fit, statsmodels_fit, offset = {}, {}, None
    if case == "election":
        X, y, exog, income = _election()
        if cov_type == "cluster":
            fit, statsmodels_fit = {"clusters": income}, {"cov_kwds": {"groups": income}}
        # Every third row from the end: the frame's index is the table's.
        rows = slice(None, None, -3)
        offset = np.linspace(-0.5, 0.5, len(y))[rows]
        X_new, exog_new = X.iloc[rows], exog.iloc[rows]
    else:
        X, y = _spector()
        if case == "dropped":
            # GPA twice over, as a sparse matrix: dropped from our fit, while
            # statsmodels' pinv keeps it; the variance of a predictor in the
            # span of the data is the same either way.
            X = X.assign(GPA2=2 * X["GPA"])
        exog = sm.add_constant(X)
        X_new, exog_new = X, exog
        if case == "dropped":
            X = X_new = sparse.csr_array(X.to_numpy())
    # The dropped case warns, in both (and its dropped feature is checked).
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", CollinearityWarning)
        warnings.simplefilter("ignore", SingularMatrixWarning)
        model = LogisticRegression(cov_type=cov_type).fit(X, y, **fit)
        reference = _statsmodels_glm(exog.iloc[:, 1:], y, cov_type=cov_type, **statsmodels_fit)
    assert len(model.dropped_features_) == (case == "dropped")
    table = model.prediction_table(X_new, offset=offset, alpha=alpha)
    expected = reference.get_prediction(exog_new, offset=offset).summary_frame(alpha=alpha)[table.columns]
    # The covariances agree to about 1e-11 (see test_wald_test_equals_statsmodels);
    # the probabilities here lie in (1e-3, 1 - 1e-3).
    pd.testing.assert_frame_equal(table, expected, check_exact=False, rtol=1e-8, atol=1e-12)


# Our restrictions, and statsmodels' own form of the same (its text names
# the intercept "const"; an R and q where its names hold brackets).
RESTRICTIONS = [
    ("GPA = TUCE", "GPA = TUCE"),
    ("GPA - TUCE = 0, PSI = 1", "GPA - TUCE = 0, PSI = 1"),
    (["2 * (GPA - PSI) = TUCE / 3 + 1", "intercept = -13"], "2 * GPA - 2 * PSI - TUCE / 3 = 1, const = -13"),
    (([[0, 1, -1, 0], [0, 0, 0, 1]], [0.0, 1.0]), "GPA - TUCE = 0, PSI = 1"),
    ("educ[2] - educ[3] = 0, -educ[5]=.5*educ[7]", None),
]


@pytest.mark.parametrize(("ours", "theirs"), RESTRICTIONS)
@pytest.mark.parametrize("cov_type", ["nonrobust", "HC0"])
def test_wald_test_of_linear_restrictions_equals_statsmodels(ours, theirs, cov_type):
    if theirs is None:
        X, y, exog, _ = _election()
        # The parameters: intercept, 8 numeric columns, educ[2] ... educ[7].
        R = np.zeros((2, 15))
        R[0, 9], R[0, 10], R[1, 12], R[1, 14] = 1.0, -1.0, -1.0, -0.5
        theirs = (R, np.zeros(2))
        exog = exog.iloc[:, 1:]
    else:
        X, y = _spector()
        exog = X
    model = LogisticRegression(cov_type=cov_type).fit(X, y)
    reference = _statsmodels_glm(exog, y, cov_type=cov_type)
    expected = reference.wald_test(theirs, scalar=True, use_f=False)
    result = model.wald_test(*ours) if isinstance(ours, tuple) else model.wald_test(ours)
    # The covariances agree to about 1e-11 (see test_wald_test_equals_statsmodels);
    # atol for p-values near 0.
    np.testing.assert_allclose(
        [result.statistic, result.pvalue], [expected.statistic, expected.pvalue], rtol=1e-8, atol=1e-300
    )
    assert result.df == expected.df_denom
