"""Formulas: quorvi.logit and LogisticRegression(formula=) must fit what
statsmodels' formula GLM fits for the same formula, under the same names,
with categorical terms read as codes (and numeric × categorical ones as
codes with a multiplier); and refuse bad formulas before any fitting,
naming the term."""

import re

import numpy as np
import pytest

import quorvi
from quorvi import LogisticRegression

pd = pytest.importorskip("pandas")
pytest.importorskip("formulaic")
sm = pytest.importorskip("statsmodels.api")
smf = pytest.importorskip("statsmodels.formula.api")


@pytest.fixture(scope="module")
def affairs():
    """The affairs data (6,366 rows) with a binary label and two string
    columns: religiousness (4 levels) and occupation (6)."""
    data = sm.datasets.fair.load_pandas().data
    return data.assign(
        had_affair=(data["affairs"] > 0).astype(float),
        rel=data["religious"].map({1: "none", 2: "mild", 3: "fairly", 4: "strong"}),
        occ=data["occupation"].astype(int).astype(str),
    )


def _statsmodels(formula, data, cov_type="nonrobust"):
    # tol 1e-13: statsmodels stops on the change of the deviance, and its
    # covariance is that of its last step's start, so a looser tol leaves
    # its standard errors a step behind (about 1e-7 relative here).
    return smf.glm(formula, data, family=sm.families.Binomial()).fit(tol=1e-13, cov_type=cov_type)


FORMULAS = [
    "had_affair ~ rate_marriage + age + yrs_married",
    "had_affair ~ C(rel) + age",
    "had_affair ~ C(rel, Treatment(reference='strong')) + np.log(age) + I(yrs_married ** 2)",
    "had_affair ~ C(rel) * C(occ) + educ",
    # Without the main effects: formulaic (as patsy) codes C(occ) with a
    # reference, then C(rel) with one within each level of C(occ).
    "had_affair ~ C(rel):C(occ) + educ",
    "had_affair ~ C(rel) + C(rel):C(occ)",
    "had_affair ~ 0 + C(rel) + C(occ) + age",
    "had_affair ~ age * yrs_married + rel - 1",
    # A slope per level: without the main effect of C(rel), one for every
    # level (age:C(rel)[none], ...); with it, for all but the reference
    # (yrs_married:C(occ)[T.2], ...); the numeric factor a transform, after
    # the categorical one and without an intercept.
    "had_affair ~ age:C(rel) + educ",
    ("had_affair ~ yrs_married * C(occ) + np.log(age)", "HC0"),
    "had_affair ~ 0 + C(occ) + C(rel):np.log(age)",
]


@pytest.mark.parametrize("case", FORMULAS)
def test_formula_equals_statsmodels(affairs, case):
    formula, cov_type = (case, "nonrobust") if isinstance(case, str) else case
    reference = _statsmodels(formula, affairs, cov_type)
    model = quorvi.logit(formula, affairs, tol=1e-10, cov_type=cov_type)
    table = model.coef_table()
    # The same parameters under statsmodels' names (our order puts the
    # numeric terms before the categorical ones).
    assert sorted(table.index) == sorted(reference.params.index)
    table = table.loc[reference.params.index]
    # Two IRLS fits of one model, rounding apart; atol for the estimates
    # near 0 (an interaction's coefficient can be a few 1e-3).
    np.testing.assert_allclose(table["coef"], reference.params, rtol=1e-8, atol=1e-10)
    np.testing.assert_allclose(table["std err"], reference.bse, rtol=1e-8, atol=1e-12)
    np.testing.assert_allclose(model.predict_proba(affairs)[:, 1], reference.fittedvalues, rtol=1e-8)


@pytest.mark.parametrize("contrast", ["Sum", "Helmert", "Diff", "Poly"])
@pytest.mark.parametrize(
    ("template", "cov_type"),
    [
        ("had_affair ~ C(rel, {}) + age", "nonrobust"),
        # The contrast's columns mix the intercept (or age, for the slopes)
        # with the factor's: the map spans several terms.
        ("had_affair ~ C(rel, {}) * C(occ) + educ", "HC0"),
        ("had_affair ~ age * C(rel, {})", "nonrobust"),
        # Without the intercept formulaic codes the factor in full rank, and
        # statsmodels as the contrast after a column of ones ([mean], ...).
        ("had_affair ~ 0 + C(rel, {}) + age", "nonrobust"),
    ],
)
def test_contrasts_equal_statsmodels(affairs, template, cov_type, contrast):
    formula = template.format(contrast)
    reference = _statsmodels(formula, affairs, cov_type)
    model = quorvi.logit(formula, affairs, tol=1e-10, cov_type=cov_type)
    table = model.coef_table()
    assert sorted(table.index) == sorted(reference.params.index)
    # As for treatment coding: two IRLS fits rounding apart, atol for the
    # estimates near 0. coef_ and intercept_ are the table's.
    np.testing.assert_allclose(model._parameters(), reference.params[table.index], rtol=1e-8, atol=1e-10)
    table = table.loc[reference.params.index]
    np.testing.assert_allclose(table["coef"], reference.params, rtol=1e-8, atol=1e-10)
    np.testing.assert_allclose(table["std err"], reference.bse, rtol=1e-8, atol=1e-12)
    # The factor's own term, jointly: a test of the contrasts' parameters,
    # so of their covariance with the intercept's too.
    members = [name for name in reference.params.index if name.startswith("C(rel") and ":" not in name]
    restriction = np.eye(len(reference.params))[[reference.params.index.get_loc(n) for n in members]]
    expected = reference.wald_test(restriction, scalar=True, use_f=False).statistic
    np.testing.assert_allclose(model.wald_test(f"C(rel, {contrast})").statistic, expected, rtol=1e-7)
    # Predictions are the treatment-coded fit's, on rows of a few levels,
    # and so are their standard errors.
    new = affairs.iloc[1::97].head(9)
    np.testing.assert_allclose(model.predict_proba(new)[:, 1], reference.predict(new), rtol=1e-8)
    expected_se = reference.get_prediction(new).summary_frame()["mean_se"]
    np.testing.assert_allclose(model.prediction_table(new)["mean_se"], expected_se, rtol=1e-7)


@pytest.mark.parametrize(
    ("formula", "parameters", "message"),
    [
        # The penalty shrinks the fitted treatment coefficients, not the
        # contrasts', and absorbed levels carry the intercept the contrasts
        # mix in: both refused before any fitting.
        (
            "had_affair ~ C(rel, Sum) + age",
            {"C": 1.0},
            r"codes C\(rel, Sum\) with contrasts other than treatment, .* with a ridge penalty \(C=1.0\) "
            r"that map is not exact",
        ),
        (
            "had_affair ~ age + C(rel, Poly) | occ",
            {},
            r"codes a factor with contrasts other than treatment beside absorbed levels",
        ),
    ],
)
def test_contrasts_are_refused_where_their_map_is_not_exact(
    affairs, formula, parameters, message, monkeypatch
):
    # A declared level without rows has no fitted column, which every
    # contrast's column weighs: refused after the fit.
    unused = affairs.assign(
        rel=pd.Categorical(affairs["rel"], categories=[*sorted(set(affairs["rel"])), "x"])
    )
    with pytest.raises(ValueError, match=r"the level\(s\) \['C\(rel, Diff\)\[T.x\]'\] of a contrast-coded"):
        quorvi.logit("had_affair ~ C(rel, Diff) + age", unused)

    def no_fit(*args, **kwargs):
        raise AssertionError("the fit was reached")

    monkeypatch.setattr(quorvi._native, "fit", no_fit)
    error = ValueError if parameters else NotImplementedError
    with pytest.raises(error, match=message):
        quorvi.logit(formula, affairs, **parameters)


@pytest.mark.parametrize(
    "formula",
    [
        "had_affair ~ rate_marriage + age * yrs_married + C(rel) | occ",
        "had_affair ~ rate_marriage + yrs_married:C(rel) + np.log(age) | occ + occupation_husb",
    ],
)
def test_an_absorbed_part_equals_its_levels_as_terms(affairs, formula):
    # pyfixest's "| fe" is the model with C(fe) terms, its levels absorbed:
    # statsmodels' fit with them as terms, less the intercept and levels.
    main, absorbed = formula.split(" | ")
    reference = _statsmodels(main + "".join(f" + C({name})" for name in absorbed.split(" + ")), affairs)
    model = quorvi.logit(formula, affairs, tol=1e-10)
    table = model.coef_table()
    assert set(table.index) == {
        name for name in reference.params.index if "occ" not in name and name != "Intercept"
    }
    np.testing.assert_allclose(table["coef"], reference.params[table.index], rtol=1e-8, atol=1e-10)
    np.testing.assert_allclose(table["std err"], reference.bse[table.index], rtol=1e-8)
    np.testing.assert_allclose(model.predict_proba(affairs)[:, 1], reference.fittedvalues, rtol=1e-8)


@pytest.mark.parametrize(
    ("formula", "terms"),
    [
        ("had_affair ~ C(rel) * C(occ) + educ", ("C(rel)", "C(occ)", "C(rel):C(occ)", "educ")),
        (
            "had_affair ~ yrs_married * C(occ) + np.log(age):C(rel)",
            ("yrs_married:C(occ)", "np.log(age):C(rel)"),
        ),
    ],
)
def test_term_wald_tests_equal_statsmodels(affairs, formula, terms):
    reference = _statsmodels(formula, affairs).wald_test_terms(scalar=True).table
    model = quorvi.logit(formula, affairs, tol=1e-10)
    for term in terms:
        result = model.wald_test(term)
        assert result.df == reference.loc[term, "df_constraint"]
        np.testing.assert_allclose(result.statistic, reference.loc[term, "statistic"], rtol=1e-7)


def test_prediction_on_new_data_keeps_the_spec(affairs):
    formula = (
        "had_affair ~ C(rel, Treatment(reference='mild')) + C(occ) + np.log(age) + I(age ** 2) "
        "+ yrs_married:C(occ)"
    )
    train, new = affairs.iloc[::2], affairs.iloc[1::2].head(7)
    model = quorvi.logit(formula, train, tol=1e-10)
    reference = _statsmodels(formula, train)
    # Seven rows, not every level among them: the levels, references and
    # transforms are those of fit.
    np.testing.assert_allclose(model.predict_proba(new)[:, 1], reference.predict(new), rtol=1e-8)
    unseen = new.assign(rel=["none", "mild", "other", "none", "mild", "none", "fairly"])
    with pytest.raises(
        ValueError,
        match=r"the term .C\(rel, Treatment.*. has the level 'other' \(row 2\), which was not seen in fit",
    ):
        model.predict(unseen)


def test_polars_and_pipeline_use(affairs):
    pl = pytest.importorskip("polars")
    from sklearn.base import clone
    from sklearn.model_selection import KFold, cross_val_score

    formula = "had_affair ~ C(rel) * C(occ) + educ"
    pandas_fit = quorvi.logit(formula, affairs)
    polars_fit = quorvi.logit(formula, pl.from_pandas(affairs))
    np.testing.assert_array_equal(polars_fit.coef_, pandas_fit.coef_)
    # The formula is a parameter: a clone refits it, and score() reads the
    # labels from its left-hand side.
    estimator = clone(LogisticRegression(formula="had_affair ~ C(rel) + age"))
    scores = cross_val_score(estimator, affairs, cv=KFold(3, shuffle=True, random_state=0))
    assert np.all((scores > 0.6) & (scores < 0.8))


@pytest.mark.parametrize(
    ("formula", "error", "message"),
    [
        ("had_affair ~ age + nosuch", ValueError, r"nosuch"),
        ("had_affair ~ age +", ValueError, r"cannot be parsed"),
        ("rate_marriage ~ age", ValueError, r"left-hand side 'rate_marriage' .* has 5 distinct value"),
        ("had_affair ~ np.nosuch(age)", ValueError, r"np\.nosuch\(age\)"),
        ("had_affair ~ age | np.log(occ)", ValueError, r"'np.log\(occ\)' is not a column name"),
        ("had_affair ~ age | firm", ValueError, r"absorbed part names column\(s\) \['firm'\]"),
        (
            # formulaic's scaled Helmert coding is neither R's nor patsy's.
            "had_affair ~ C(rel, Helmert(scale=True))",
            NotImplementedError,
            r"'C\(rel, Helmert\(scale=True\)\)' is coded with contrasts HelmertContrasts\(reverse=True, "
            r"scale=True\), which are not available",
        ),
    ],
)
def test_bad_formulas_are_refused_before_fitting(affairs, formula, error, message, monkeypatch):
    def no_fit(*args, **kwargs):
        raise AssertionError("the fit was reached")

    monkeypatch.setattr(quorvi._native, "fit", no_fit)
    with pytest.raises(error, match=message):
        quorvi.logit(formula, affairs)


def test_formula_and_estimator_parameters_must_agree(affairs):
    with pytest.raises(
        ValueError, match=r"the y given differs from the labels .* call fit\(data\) without y"
    ):
        LogisticRegression(formula="had_affair ~ age").fit(affairs, 1 - affairs["had_affair"])
    with pytest.raises(
        ValueError, match=r"formula's '\| fe' part, not absorb=: write formula='had_affair ~ age \| occ'"
    ):
        LogisticRegression(formula="had_affair ~ age", absorb="occ").fit(affairs)
    with pytest.raises(
        ValueError, match=r"absorb= and a formula with an absorbed part \('\| fe'\) were both given"
    ):
        LogisticRegression(formula="had_affair ~ age | occ", absorb="occ").fit(affairs)
    with pytest.raises(ValueError, match=r"has no intercept .* pass fit_intercept=False too"):
        LogisticRegression(formula="had_affair ~ 0 + age").fit(affairs)


@pytest.fixture(scope="module")
def incomplete(affairs):
    """The affairs data with values missing in a numeric variable, a
    string factor and the label, and yrs_married - 1 negative (its log NaN)
    on the rows of 0.5 years; weights that count rows, some missing."""
    rng = np.random.default_rng(0)
    data = affairs.copy()
    for column, count in [("educ", 200), ("rel", 100), ("had_affair", 50)]:
        data.loc[rng.choice(len(data), count, replace=False), column] = np.nan if column != "rel" else None
    weights = rng.integers(1, 4, len(data)).astype(float)
    weights[rng.choice(len(data), 30, replace=False)] = np.nan
    return data, weights


@pytest.mark.parametrize("frame", ["pandas", "polars", "pandas, weights by name"])
def test_missing_values_are_dropped_as_statsmodels_drops_them(incomplete, frame):
    data, weights = incomplete
    formula = "had_affair ~ educ + C(rel) + np.log(yrs_married - 1) + age:C(occ)"
    # patsy warns of the log of a negative number, as numpy does.
    with np.errstate(invalid="ignore"):
        reference = smf.glm(
            formula, data, family=sm.families.Binomial(), freq_weights=weights, missing="drop"
        ).fit(tol=1e-13)
        expected = reference.predict(data)
    given = data if frame.startswith("pandas") else pytest.importorskip("polars").from_pandas(data)
    if frame.endswith("by name"):
        # A column named for the weights is read with the data's rows and
        # loses the same incomplete ones (its own NaN among them).
        given = data.assign(w=weights)
        model = quorvi.logit(formula, given, sample_weight="w", tol=1e-10)
    else:
        model = quorvi.logit(formula, given, sample_weight=weights, tol=1e-10)
    table = model.coef_table().loc[reference.params.index]
    np.testing.assert_allclose(table["coef"], reference.params, rtol=1e-8, atol=1e-10)
    np.testing.assert_allclose(table["std err"], reference.bse, rtol=1e-8)
    assert model.dropped_rows_.shape == (len(data),)
    assert model.n_dropped_rows_ == len(data) - reference.nobs == model.dropped_rows_.sum()
    assert model.n_obs_ == np.nansum(weights[~model.dropped_rows_])
    assert re.search(rf"Rows dropped \(missing values\): +{model.n_dropped_rows_}\n", str(model.summary()))
    # R's na.exclude: NaN where a variable of the right-hand side is
    # missing (a missing label does not stop a prediction), as statsmodels'
    # predict gives.
    probabilities = model.predict_proba(given)
    np.testing.assert_allclose(probabilities[:, 1], expected, rtol=1e-8)
    np.testing.assert_array_equal(np.isnan(model.decision_function(given)), np.isnan(expected))
    incomplete_rows = r"needs every row of the data, and {} of its 6366 rows have a missing value"
    with pytest.raises(
        ValueError, match=r"predict\(\) " + incomplete_rows.format(int(np.isnan(expected).sum()))
    ):
        model.predict(given)
    unscored = int((np.isnan(expected) | data["had_affair"].isna()).sum())
    with pytest.raises(ValueError, match=r"score\(\) " + incomplete_rows.format(unscored)):
        model.score(given)
    with pytest.raises(ValueError, match=r"`had_affair` contains null values after evaluation"):
        quorvi.logit(formula, given, missing="raise")


@pytest.mark.parametrize(
    ("link", "statsmodels_link", "ratio"),
    [
        ("logit", sm.families.links.Logit, "odds ratio"),
        ("cloglog", sm.families.links.CLogLog, "hazard ratio"),
    ],
)
def test_exponentiated_coefficients_are_stata_ratios(affairs, link, statsmodels_link, ratio):
    # Stata's "logit, or" from statsmodels' fit: exp(b), exp(b) * se by the
    # delta method, z and p of b, and exp() of b's interval.
    formula = "had_affair ~ age + C(rel) + np.log(yrs_married)"
    family = sm.families.Binomial(link=statsmodels_link())
    reference = smf.glm(formula, affairs, family=family).fit(tol=1e-13)
    # statsmodels' GLM standard errors are on the expected information.
    model = quorvi.logit(formula, affairs, link=link, tol=1e-10, information="expected")
    table = model.coef_table(exponentiate=True, alpha=0.1).loc[reference.params.index]
    assert list(table.columns) == [ratio, "std err", "z", "P>|z|", "[0.05", "0.95]"]
    interval = np.exp(reference.conf_int(alpha=0.1))
    expected = [np.exp(reference.params), np.exp(reference.params) * reference.bse, reference.tvalues]
    for column, values in zip(
        table.columns, [*expected, reference.pvalues, interval[0], interval[1]], strict=True
    ):
        # A p-value of 1e-62 moves z² times z's relative difference (1e-9).
        np.testing.assert_allclose(table[column], values, rtol=1e-5 if column == "P>|z|" else 1e-7)
    assert "Intercept" in table.index
    assert re.search(rf"\n {{10,}}{ratio} +std err +z +P>\|z\|", str(model.summary(exponentiate=True)))


def test_probit_coefficients_are_no_ratios(affairs):
    model = quorvi.logit("had_affair ~ age", affairs, link="probit")
    for method in (model.coef_table, model.summary):
        with pytest.raises(
            ValueError, match=r"exponentiate=True, for a model of link='probit': a probit coef"
        ):
            method(exponentiate=True)


@pytest.mark.parametrize("scoring", ["roc_auc", "neg_log_loss"])
def test_scorers_that_need_y_score_a_formula_estimator(affairs, scoring):
    from sklearn.metrics import log_loss, roc_auc_score
    from sklearn.model_selection import KFold, cross_val_score

    # y given beside the data is the formula's left-hand side, as
    # cross_val_score passes it to fit and to the scorer.
    formula = "had_affair ~ C(rel) + np.log(age) + yrs_married:C(occ)"
    folds = KFold(3, shuffle=True, random_state=0)
    scores = cross_val_score(
        LogisticRegression(formula=formula), affairs, affairs["had_affair"], cv=folds, scoring=scoring
    )
    expected = []
    for train, test in folds.split(affairs):
        probabilities = quorvi.logit(formula, affairs.iloc[train]).predict_proba(affairs.iloc[test])[:, 1]
        labels = affairs["had_affair"].iloc[test]
        expected.append(
            roc_auc_score(labels, probabilities) if scoring == "roc_auc" else -log_loss(labels, probabilities)
        )
    np.testing.assert_allclose(scores, expected, rtol=1e-12)
    model = LogisticRegression(formula=formula).fit(affairs, affairs["had_affair"])
    assert model.score(affairs, affairs["had_affair"]) == model.score(affairs)
    with pytest.raises(
        ValueError, match=r"the y given differs from the labels .* call score\(data\) without y"
    ):
        model.score(affairs, 1 - affairs["had_affair"])


def test_a_polars_lazy_frame_is_collected_with_the_formulas_columns(affairs, monkeypatch):
    pl = pytest.importorskip("polars")
    formula = "had_affair ~ age + C(rel) | occ"
    # The weights by name: their column is collected with the formula's.
    data = affairs.assign(w=np.random.default_rng(5).integers(1, 3, len(affairs)).astype(float))
    lazy = pl.from_pandas(data).lazy()
    collected = []
    original = pl.LazyFrame.collect
    monkeypatch.setattr(
        pl.LazyFrame,
        "collect",
        lambda self, *a, **k: collected.append(self.collect_schema().names()) or original(self, *a, **k),
    )
    model = quorvi.logit(formula, lazy, sample_weight="w", cov_type="cluster", clusters="occ")
    assert sorted(collected[0]) == ["age", "had_affair", "occ", "rel", "w"]
    expected = quorvi.logit(formula, data, sample_weight="w", cov_type="cluster", clusters="occ")
    np.testing.assert_array_equal(model.coef_, expected.coef_)
    np.testing.assert_array_equal(model.covariance_, expected.covariance_)
    np.testing.assert_array_equal(model.predict_proba(lazy), expected.predict_proba(data))


def test_an_offset_term_of_the_formula_is_statsmodels_offset(affairs):
    # offset(np.log(t)) as R's glm and statsmodels' offset= take it: a known
    # term of each row, evaluated from the data at fit and at prediction; a
    # row whose t is missing is dropped with the others, and predicted NaN.
    data = affairs.assign(t=np.random.default_rng(2).uniform(0.5, 3.0, len(affairs)))
    data.loc[[3, 10], "t"] = np.nan
    complete = data.dropna(subset=["t"])
    reference = smf.glm(
        "had_affair ~ age + C(rel)", complete, family=sm.families.Binomial(), offset=np.log(complete["t"])
    ).fit(tol=1e-13)
    model = quorvi.logit("had_affair ~ age + offset(np.log(t)) + C(rel)", data, tol=1e-10)
    table = model.coef_table().loc[reference.params.index]
    np.testing.assert_allclose(table["coef"], reference.params, rtol=1e-8, atol=1e-10)
    np.testing.assert_allclose(table["std err"], reference.bse, rtol=1e-8)
    assert model.n_dropped_rows_ == 2
    expected = reference.predict(data, offset=np.log(data["t"]))
    np.testing.assert_allclose(model.predict_proba(data)[:, 1], expected, rtol=1e-8)
