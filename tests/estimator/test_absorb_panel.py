"""Absorbed firm and year effects of panels, against the dummy-variable
model as statsmodels' GLM fits it: the labels of rows of levels dropped for
a single outcome, the parameter count of levels in disconnected groups, and
the prediction table."""

from contextlib import nullcontext

import numpy as np
import pytest
from scipy.special import expit
from scipy.stats import chi2

import quorvi
from quorvi import LogisticRegression, PerfectSeparationWarning

pd = pytest.importorskip("pandas")
sm = pytest.importorskip("statsmodels.api")
pytest.importorskip("formulaic")


@pytest.fixture(scope="module")
def grunfeld():
    """statsmodels' grunfeld panel (11 firms, 20 years), y: investment
    above the firm's median. 7 years are of one outcome."""
    data = sm.datasets.grunfeld.load_pandas().data
    data = data.assign(
        y=(data["invest"] > data.groupby("firm")["invest"].transform("median")).astype(int),
        year=data["year"].astype(int),
        value=data["value"] / 1000,
        capital=data["capital"] / 1000,
    )
    return data[["y", "value", "capital", "firm", "year"]].reset_index(drop=True)


def _simulated_panel(seed=3, firms=60, years=6):
    """A firm × year panel with firms 0-2 of outcomes all 1, firms 3-4 all
    0 and a year of outcomes all 0 once those firms' rows are gone."""
    rng = np.random.default_rng(seed)
    frame = pd.DataFrame(
        {"firm": np.repeat(np.arange(firms), years), "year": np.tile(np.arange(years), firms)}
    )
    frame["x"] = rng.standard_normal(len(frame)) + 0.05 * frame["firm"]
    eta = frame["x"] + rng.normal(0, 0.5, firms)[frame["firm"]] - 0.2 * frame["year"]
    frame["y"] = (rng.random(len(frame)) < expit(eta)).astype(int)
    frame.loc[frame["firm"] < 3, "y"] = 1
    frame.loc[frame["firm"].between(3, 4), "y"] = 0
    frame.loc[(frame["year"] == years - 1) & (frame["firm"] >= 3), "y"] = 0
    return frame


def _dummy_fit(frame, features, absorbed):
    """statsmodels' GLM of the rows given, with one dummy per level of each
    absorbed column but its first."""
    dummies = [pd.get_dummies(frame[c], prefix=c, drop_first=True, dtype=float) for c in absorbed]
    design = pd.concat([pd.Series(1.0, index=frame.index, name="const"), frame[features], *dummies], axis=1)
    return sm.GLM(frame["y"], design, family=sm.families.Binomial()).fit(tol=1e-13), design


@pytest.mark.parametrize("panel", ["grunfeld", "simulated"])
def test_rows_of_levels_of_one_outcome_are_labelled_by_their_limit(grunfeld, panel):
    frame, features = (grunfeld, ["value", "capital"]) if panel == "grunfeld" else (_simulated_panel(), ["x"])
    with pytest.warns(PerfectSeparationWarning, match="take the limit the dummy-variable fit tends to"):
        model = quorvi.logit(f"y ~ {' + '.join(features)} | firm + year", frame, tol=1e-12)
    assert model.n_separated_rows_ > 0
    # The levels dropped, repeated over firm and year as in the fit: every
    # row of each was of one outcome among the rows left when it went.
    kept = np.ones(len(frame), dtype=bool)
    limit = np.full(len(frame), np.nan)
    changed = True
    while changed:
        changed = False
        for column in ("firm", "year"):
            means = frame["y"][kept].groupby(frame[column][kept]).mean()
            single = means[(means == 0) | (means == 1)]
            rows = kept & frame[column].isin(single.index).to_numpy()
            if rows.any():
                limit[rows] = frame["y"][rows]
                kept &= ~rows
                changed = True
    assert model.n_separated_rows_ == np.count_nonzero(~kept)
    expected, design = _dummy_fit(frame[kept], features, ["firm", "year"])
    probabilities = model.predict_proba(frame)[:, 1]
    # Two fits of one model by IRLS to 1e-12 and 1e-13.
    np.testing.assert_allclose(probabilities[kept], expected.predict(design), rtol=1e-7)
    np.testing.assert_array_equal(probabilities[~kept], limit[~kept])
    by_hand = np.where(kept, np.asarray(expected.predict(design).reindex(frame.index)) > 0.5, limit)
    np.testing.assert_array_equal(model.predict(frame), by_hand)
    assert model.score(frame) == np.mean(by_hand == frame["y"])


def test_rows_without_a_probability_are_refused_a_label():
    # A level whose effect is unknown (NaN, injected here): its rows have
    # no probability, so no label, and score() says so rather than count one.
    frame = _simulated_panel()
    X = frame[["x", "firm", "year"]]
    with pytest.warns(PerfectSeparationWarning):
        model = LogisticRegression(absorb=["firm", "year"]).fit(X, frame["y"])
    column = next(c for c in model._results_.absorption.columns if c.name == "firm")
    column.effects[10] = np.nan
    # Its row of year 5 (a year dropped for outcomes all 0) is at that limit.
    unknown = ((frame["firm"] == column.levels[10]) & (frame["year"] < 5)).to_numpy()
    assert np.isnan(model.predict_proba(X)[unknown, 1]).all()
    message = (
        rf"^{unknown.sum()} row\(s\) of X have no probability \(predict_proba is NaN for them\): an absorbed"
    )
    for method in (lambda: model.predict(X), lambda: model.score(X, frame["y"])):
        with pytest.raises(ValueError, match=message):
            method()
    rest = frame[~unknown]
    assert model.score(X[~unknown], rest["y"]) == np.mean(model.predict(X[~unknown]) == rest["y"])


def _two_groups(seed=1, firms=120):
    """Firms 0-59 seen only in years 0-4 and firms 60-119 only in 5-9,
    each firm with both outcomes (no level is dropped)."""
    rng = np.random.default_rng(seed)
    firm = np.repeat(np.arange(firms), 5)
    year = np.tile(np.arange(5), firms) + 5 * (firm >= firms // 2)
    frame = pd.DataFrame(
        {"firm": firm, "year": year, "x": rng.standard_normal(len(firm)), "g": rng.integers(0, 3, len(firm))}
    )
    frame["y"] = (rng.random(len(frame)) < expit(frame["x"] + rng.normal(0, 0.5, firms)[firm])).astype(int)
    # One row of each firm of each outcome, in a random year of its five.
    picks = 5 * np.arange(firms)[:, None] + np.argsort(rng.random((firms, 5)), axis=1)[:, :2]
    frame.loc[picks[:, 0], "y"], frame.loc[picks[:, 1], "y"] = 1, 0
    return frame


@pytest.mark.parametrize(
    "formula",
    # Beside a categorical feature the second column is a categorical block.
    ["y ~ x | firm + year", "y ~ x + C(g) | firm + year"],
)
def test_levels_in_groups_no_row_links_count_by_the_rank_of_the_dummy_design(formula):
    frame = _two_groups()
    model = quorvi.logit(formula, frame, tol=1e-12)
    # Full rank: one level of year less in the second group.
    features = ["x"] + (["g_1", "g_2"] if "C(g)" in formula else [])
    dummies = [
        pd.get_dummies(frame[c], prefix=c, drop_first=True, dtype=float) for c in ["g", "firm", "year"]
    ]
    design = pd.concat([pd.Series(1.0, index=frame.index, name="const"), frame[["x"]], *dummies], axis=1)
    design = design.drop(columns=["year_5"] + ([] if len(features) > 1 else ["g_1", "g_2"]))
    assert np.linalg.matrix_rank(design.to_numpy()) == design.shape[1]
    expected = sm.GLM(frame["y"], design, family=sm.families.Binomial()).fit(tol=1e-13)
    assert model.df_model_ == expected.df_model == 127 + len(features)
    np.testing.assert_allclose(model.coef_[0], expected.params[features], rtol=1e-7)
    # The likelihood of two IRLS fits to 1e-12 and 1e-13 agrees to ~1e-12.
    np.testing.assert_allclose(
        [model.aic_, model.bic_, model.lr_pvalue_],
        [expected.aic, expected.bic_llf, chi2.sf(2 * (expected.llf - expected.llnull), expected.df_model)],
        rtol=1e-9,
    )
    np.testing.assert_allclose(model.predict_proba(frame)[:, 1], expected.predict(design), rtol=1e-7)


@pytest.mark.parametrize("absorbed", [["firm"], ["firm", "year"]])
def test_prediction_table_is_the_delta_method_given_the_levels(grunfeld, absorbed):
    # The dummy model's slopes' block of its covariance (statsmodels) and its
    # probabilities give the delta method with the levels held at their
    # estimates: se = μ(1 - μ) √(xᵀ V_ββ x), interval through the link.
    formula = f"y ~ value + capital | {' + '.join(absorbed)}"
    with pytest.warns(PerfectSeparationWarning) if "year" in absorbed else nullcontext():
        model = quorvi.logit(formula, grunfeld, tol=1e-12)
    # The rows of years dropped for a single outcome are at their limit (±∞).
    kept = np.isfinite(model.decision_function(grunfeld))
    rest = grunfeld[kept]
    expected, design = _dummy_fit(rest, ["value", "capital"], absorbed)
    table = model.prediction_table(grunfeld)
    features = rest[["value", "capital"]].to_numpy()
    slopes = expected.cov_params().loc[["value", "capital"], ["value", "capital"]].to_numpy()
    mean = expected.predict(design).to_numpy()
    se = np.sqrt(np.einsum("ij,jk,ik->i", features, slopes, features))
    eta = np.log(mean / (1 - mean))
    # Two IRLS fits to 1e-12 and 1e-13: 1e-6 relative on V and μ; 1 - μ of
    # a μ near 1 is statsmodels' rounding (1e-16 absolute).
    np.testing.assert_allclose(table["mean"][kept], mean, rtol=1e-7)
    np.testing.assert_allclose(table["mean_se"][kept], mean * (1 - mean) * se, rtol=1e-6, atol=1e-14)
    np.testing.assert_allclose(table["mean_ci_lower"][kept], expit(eta - 1.959963984540054 * se), rtol=1e-6)
    np.testing.assert_allclose(table["mean_ci_upper"][kept], expit(eta + 1.959963984540054 * se), rtol=1e-6)
    # The rows at a level's limit: μ of their outcome, with no error.
    limit = table[~kept]
    np.testing.assert_array_equal(limit["mean"], grunfeld["y"][~kept])
    assert (limit["mean_se"] == 0).all() and (limit["mean_ci_lower"] == limit["mean"]).all()


def _clustered_panel(seed=8, firms=80, years=7):
    """A firm × year panel beside two numeric features and a 3-level
    categorical one, frequency weights with zeros, an offset; no level of
    one outcome."""
    rng = np.random.default_rng(seed)
    frame = pd.DataFrame(
        {"firm": np.repeat(np.arange(firms), years), "year": np.tile(np.arange(years), firms)}
    )
    frame["x1"] = rng.standard_normal(len(frame)) + 0.3 * rng.normal(size=firms)[frame["firm"]]
    frame["x2"] = rng.standard_normal(len(frame))
    frame["g"] = pd.Categorical(rng.integers(0, 3, len(frame)))
    frame["o"] = 0.2 * rng.standard_normal(len(frame))
    eta = (
        0.8 * frame["x1"] - 0.4 * frame["x2"] + rng.normal(0, 0.7, firms)[frame["firm"]] + 0.1 * frame["year"]
    )
    frame["y"] = (rng.random(len(frame)) < expit(eta + frame["o"])).astype(int)
    frame["w"] = rng.integers(0, 3, len(frame)).astype(float)
    # Each firm and year has rows of both outcomes, of positive weight.
    frame.loc[frame["year"] == 0, ["y", "w"]] = [1, 1.0]
    frame.loc[frame["year"] == 1, ["y", "w"]] = [0, 1.0]
    frame.loc[frame["firm"] == 0, "y"] = np.arange(years) % 2
    frame.loc[frame["firm"] == 0, "w"] = 1.0
    # A third column of 40 levels, each with rows of both outcomes too.
    frame["cell"] = rng.integers(0, 40, len(frame))
    order = frame.groupby("cell").cumcount()
    frame.loc[order == 0, ["y", "w"]] = [1, 1.0]
    frame.loc[order == 1, ["y", "w"]] = [0, 1.0]
    return frame


@pytest.mark.parametrize(
    ("cov_type", "clusters", "features", "absorbed"),
    [
        ("HC0", None, ["x1", "x2"], ["firm", "year"]),
        ("HC1", None, ["x1", "x2", "g"], ["firm", "year"]),
        ("cluster", ["firm"], ["x1", "x2"], ["firm", "year"]),
        ("cluster", ["firm"], ["x1", "x2", "g"], ["firm", "year"]),
        ("cluster", ["firm", "year"], ["x1", "x2"], ["firm", "year"]),
        # A further column of 40 levels beside a categorical feature: the
        # feature's dummy columns beside the solve for its levels.
        ("cluster", ["firm"], ["x1", "x2", "g"], ["firm", "cell"]),
    ],
)
def test_robust_covariances_beside_firm_and_year_are_the_dummy_models_sandwich(
    cov_type, clusters, features, absorbed
):
    # The features' block of B M B in the dummy model (statsmodels' GLM: its
    # inverse information and its rows' scores), times the small-sample
    # factor of the rules documented: HC1 counts every level (the rank of
    # the dummy design); a clustering's G/(G - 1) and (n - 1)/(n - k), k not
    # counting the levels of firm, nested in the firm clusters.
    frame = _clustered_panel()
    model = LogisticRegression(absorb=absorbed, cov_type=cov_type, tol=1e-12)
    model.fit(
        frame[[*features, *absorbed]],
        frame["y"],
        sample_weight=frame["w"],
        offset=frame["o"],
        **({} if clusters is None else {"clusters": clusters}),
    )
    kept = frame[frame["w"] > 0]
    columns = [pd.get_dummies(kept["g"], prefix="g", drop_first=True, dtype=float)] if "g" in features else []
    numeric = [name for name in features if name != "g"]
    dummies = [pd.get_dummies(kept[c], prefix=c, drop_first=True, dtype=float) for c in absorbed]
    design = pd.concat(
        [pd.Series(1.0, index=kept.index, name="const"), kept[numeric], *columns, *dummies], axis=1
    )
    glm = sm.GLM(kept["y"], design, family=sm.families.Binomial(), offset=kept["o"], freq_weights=kept["w"])
    # statsmodels' tol is on the deviance: at 1e-13 its inverse information
    # is still 1e-7 from the maximum's.
    reference = glm.fit(tol=1e-15, maxiter=200)
    bread = np.asarray(reference.normalized_cov_params)
    scores = glm.score_obs(reference.params.to_numpy())  # each row's s r x, its weight in it
    n, slopes = kept["w"].sum(), len(design.columns) - sum(d.shape[1] for d in dummies) - 1
    k_all = len(design.columns)
    features_at = slice(1, 1 + slopes)
    if clusters is None:
        meat = scores.T @ (scores / kept["w"].to_numpy()[:, None])
        factor = n / (n - k_all) if cov_type == "HC1" else 1.0
        expected = (bread @ meat @ bread)[features_at, features_at] * factor
    else:

        def term(labels, k):
            sums = pd.DataFrame(scores).groupby(labels.to_numpy()).sum().to_numpy()
            groups = len(sums)
            return (
                (bread @ sums.T @ sums @ bread)[features_at, features_at]
                * groups
                / (groups - 1)
                * (n - 1)
                / (n - k)
            )

        # firm's levels are nested in the firm clusters: not counted, the
        # intercept is, and the other column's levels.
        k = slopes + 1 + (kept[absorbed[1]].nunique() - 1)
        if clusters == ["firm"]:
            expected = term(kept["firm"], k)
        else:
            pairs = kept["firm"].astype(str) + "/" + kept["year"].astype(str)
            # year's levels are nested in the year clusters too.
            k = slopes + 1
            expected = term(kept["firm"], k) + term(kept["year"], k) - term(pairs, k)
    np.testing.assert_allclose(model.coef_[0], reference.params.iloc[features_at], rtol=1e-9, atol=1e-12)
    np.testing.assert_allclose(model.covariance_, expected, rtol=1e-7, atol=1e-14)


@pytest.mark.parametrize(
    ("cov_type", "clusters", "features", "absorbed"),
    [
        ("HC1", None, ["x1", "x2", "g"], ["firm", "year"]),
        ("cluster", ["firm", "year"], ["x1", "x2"], ["firm", "year"]),
        ("cluster", ["firm"], ["x1", "x2", "g"], ["firm", "cell"]),
    ],
)
def test_robust_sums_over_many_blocks_of_rows_and_ranges_of_levels_are_the_dummy_models(
    monkeypatch, cov_type, clusters, features, absorbed
):
    # The sandwich reads the rows a block at a time and forms the first
    # column's cross sums with the others a range of its levels at a time:
    # blocks of 40 rows (half the firms, the fewest a block then has) and
    # ranges of 57 firms beside year, 10 beside cell (400 entries), so that
    # every sum is added over blocks and ranges, give the dummy model's
    # sandwich as one block does.
    from quorvi import _absorbed_sandwich

    monkeypatch.setattr(_absorbed_sandwich, "_MIN_BLOCK_ROWS", 37)
    monkeypatch.setattr(_absorbed_sandwich, "_BLOCK_ENTRIES", 1)
    monkeypatch.setattr(_absorbed_sandwich, "_CROSS_ENTRIES", 400)
    monkeypatch.setattr(_absorbed_sandwich, "_CROSS_ROWS", 10**9)
    test_robust_covariances_beside_firm_and_year_are_the_dummy_models_sandwich(
        cov_type, clusters, features, absorbed
    )
