"""Absorbed fixed effects (absorb=): the fit must be the model with one dummy
per level, as statsmodels' GLM fits it on the dummy design, without the
dummies; levels of one outcome dropped as fixest drops them; bad input
refused by name."""

import warnings

import numpy as np
import pytest
from scipy.special import expit
from sklearn.exceptions import ConvergenceWarning

import quorvi
from problems import textbook_hc_covariances
from quorvi import LogisticRegression, PerfectSeparationWarning

pd = pytest.importorskip("pandas")
sm = pytest.importorskip("statsmodels.api")

FEATURES = ["rate_marriage", "age", "yrs_married", "children", "religious", "educ"]
# Two fits of one model by IRLS, each stopped at its own tolerance: 1e-8
# relative, and 1e-10 absolute for a coefficient near 0 (probit's educ is
# 0.002, with a standard error of 0.03).
RTOL, ATOL = 1e-8, 1e-10


@pytest.fixture(scope="module")
def affairs():
    """statsmodels' affairs data (6,366 rows): occupation (6 levels) and
    the husband's (6) as integer labels."""
    data = sm.datasets.fair.load_pandas().data
    frame = data[FEATURES].assign(
        occupation=data["occupation"].astype(int), husband=data["occupation_husb"].astype(int)
    )
    return frame, (data["affairs"] > 0).astype(float).to_numpy()


def _dummy_design(frame, absorbed):
    """The intercept, the features and one dummy per level of each absorbed
    column but its first: the design statsmodels is given."""
    dummies = [pd.get_dummies(frame[name], prefix=name, drop_first=True, dtype=float) for name in absorbed]
    return pd.concat([pd.Series(1.0, index=frame.index, name="const"), frame[FEATURES], *dummies], axis=1)


CASES = {
    "nonrobust": ({"absorb": ["occupation"]}, {}, {}),
    "HC0, weights and an offset": (
        {"absorb": "occupation", "cov_type": "HC0"},
        {"weights": True, "offset": True},
        {"cov_type": "HC0"},
    ),
    # A level of outcomes all 1: its rows are left out (by the engine's flag
    # per level), and statsmodels is given the other rows.
    "HC0, weights, an offset and a separated level": (
        {"absorb": "occupation", "cov_type": "HC0"},
        {"weights": True, "offset": True, "separated": 6},
        {"cov_type": "HC0"},
    ),
    # Without weights, the engine's flag alone leaves the rows out; the
    # first level, so that the reference (and the intercept) is the next.
    "a separated first level, unweighted": ({"absorb": "occupation"}, {"separated": 1}, {}),
    # Not nested in the absorbed column: every level counts in k, as statsmodels counts them.
    "cluster by rate_marriage": (
        {"absorb": ["occupation"], "cov_type": "cluster"},
        {"clusters": "rate_marriage"},
        {"cov_type": "cluster"},
    ),
    "two absorbed, probit, polars": (
        {"absorb": ["occupation", "husband"], "link": "probit"},
        {"polars": True},
        {},
    ),
}


@pytest.mark.parametrize("case", CASES)
def test_absorbed_fit_equals_the_dummy_model(affairs, case):
    parameters, options, reference = CASES[case]
    frame, y = affairs
    absorbed = [parameters["absorb"]] if isinstance(parameters["absorb"], str) else parameters["absorb"]
    rng = np.random.default_rng(7)
    weights = rng.integers(1, 4, len(y)).astype(float) if options.get("weights") else None
    offset = 0.1 * frame["age"].to_numpy() / 10 if options.get("offset") else None
    link = {"probit": sm.families.links.Probit()}.get(parameters.get("link"), sm.families.links.Logit())
    kept = np.ones(len(y), dtype=bool)
    if "separated" in options:
        kept = frame[absorbed[0]].to_numpy() != options["separated"]
        y = np.where(kept, y, 1.0)
    design = _dummy_design(frame[kept], absorbed)
    kwds = {}
    if "clusters" in options:
        kwds = {"cov_kwds": {"groups": frame[options["clusters"]].to_numpy()}}
    expected = sm.GLM(
        y[kept],
        design,
        family=sm.families.Binomial(link),
        freq_weights=None if weights is None else weights[kept],
        offset=None if offset is None else offset[kept],
    ).fit(tol=1e-13, **reference, **kwds)
    X = frame[[*FEATURES, *absorbed]]
    if options.get("polars"):
        X = pytest.importorskip("polars").from_pandas(X)
    fit = {"sample_weight": weights, "offset": offset}
    if "clusters" in options:
        fit["clusters"] = frame[options["clusters"]].to_numpy()
    with warnings.catch_warnings():
        warnings.simplefilter("error" if kept.all() else "ignore", PerfectSeparationWarning)
        model = LogisticRegression(tol=1e-12, **parameters).fit(X, y, **fit)
    assert model.n_separated_rows_ == np.count_nonzero(~kept)

    table = model.coef_table()
    assert list(table.index) == FEATURES
    np.testing.assert_allclose(table.iloc[:, 0], expected.params[FEATURES], rtol=RTOL, atol=ATOL)
    np.testing.assert_allclose(table.iloc[:, 1], expected.bse[FEATURES], rtol=RTOL)
    np.testing.assert_allclose(model.log_likelihood_, expected.llf, rtol=1e-12)
    np.testing.assert_allclose(model.aic_, expected.aic, rtol=1e-12)
    # The null model (with an offset, the engine's fit of the intercept alone).
    np.testing.assert_allclose(model.null_log_likelihood_, expected.llnull, rtol=1e-10)
    # The intercept is the first column's reference level; the levels are
    # relative to their own references, as the dummies' coefficients.
    np.testing.assert_allclose(model.intercept_[0], expected.params["const"], rtol=RTOL)
    for name in absorbed:
        # The reference is the first level left in: effect 0.
        effects = model.fixed_effects_[name].dropna()
        assert effects.iloc[0] == 0.0
        np.testing.assert_allclose(
            effects.iloc[1:], expected.params.filter(like=f"{name}_"), rtol=RTOL, atol=ATOL
        )
    probabilities = model.predict_proba(X, offset=offset)[:, 1]
    # A level of outcomes all 1: its rows at the limit of the dummy fit.
    assert (probabilities[~kept] == 1.0).all()
    np.testing.assert_allclose(
        probabilities[kept],
        expected.predict(design, offset=None if offset is None else offset[kept]),
        rtol=RTOL,
    )


@pytest.mark.parametrize("cov_type", ["HC1", "HC2", "HC3", "HC4"])
def test_hc_covariances_are_the_textbook_sandwiches_of_the_dummy_model(affairs, cov_type):
    # The features' block of B X' diag(omega) X B on the dummy design, the
    # hat values those of the full model (each row's level among its columns;
    # HC4's k, in n h / k, counts the levels).
    frame, y = affairs
    model = LogisticRegression(absorb="occupation", cov_type=cov_type, tol=1e-12).fit(
        frame[[*FEATURES, "occupation"]], y
    )
    design = _dummy_design(frame, ["occupation"])
    parameters = [model.intercept_[0], *model.coef_[0], *model.fixed_effects_["occupation"].iloc[1:]]
    expected = textbook_hc_covariances(design.to_numpy(), y, np.array(parameters))[cov_type]
    k = len(FEATURES)
    np.testing.assert_allclose(model.covariance_, expected[1 : k + 1, 1 : k + 1], rtol=1e-8)


@pytest.mark.parametrize(
    ("clusters", "by_levels"),
    [
        ("occupation", True),
        (lambda frame: frame["occupation"], True),
        # The same clusters under other labels: coded as given, scores summed row by row.
        (lambda frame: 100 + frame["occupation"].to_numpy(), False),
    ],
)
def test_a_cluster_of_the_absorbed_column_does_not_count_its_levels(
    affairs, monkeypatch, clusters, by_levels
):
    # Clustered by occupation itself, the absorbed levels are nested in the
    # clusters and left out of k but for the intercept (reghdfe, fixest, as
    # pyfixest's CRV1 gives it): statsmodels' errors, which count them all,
    # times sqrt((n - k_statsmodels) / (n - k)). The clusters that are the
    # absorbed levels take their scores from the level sums of the loop's
    # last pass, with no pass of their own.
    frame, y = affairs
    X = frame[[*FEATURES, "occupation"]]
    native_fit = quorvi._native.fit
    calls = []

    def recording_fit(*args, **kwargs):
        result = native_fit(*args, **kwargs)
        calls.append((kwargs["covariance"].clusters_are_levels, result.passes, result.iterations))
        return result

    monkeypatch.setattr(quorvi._native, "fit", recording_fit)
    model = LogisticRegression(absorb="occupation", cov_type="cluster", tol=1e-12).fit(
        X, y, clusters=clusters if isinstance(clusters, str) else clusters(frame)
    )
    clusters_are_levels, passes, iterations = calls[0]
    # By the levels: no pass beyond the loop's; else one row-by-row pass more.
    assert (clusters_are_levels, passes) == (by_levels, iterations + int(not by_levels))
    design = _dummy_design(frame, ["occupation"])
    expected = sm.GLM(y, design, family=sm.families.Binomial()).fit(
        tol=1e-13, cov_type="cluster", cov_kwds={"groups": frame["occupation"].to_numpy()}
    )
    n, k_statsmodels, k = len(y), design.shape[1], len(FEATURES) + 1  # the intercept still counts
    np.testing.assert_allclose(
        model.coef_table().iloc[:, 1],
        expected.bse[FEATURES] * np.sqrt((n - k_statsmodels) / (n - k)),
        rtol=RTOL,
    )
    assert "nested in the clusters, are not counted" in " ".join(str(model.summary()).split())


def test_clusters_by_the_absorbed_levels_before_convergence_are_the_dummy_sandwich(affairs):
    # Stopped after two updates, the level clusters' scores of the features
    # are taken from the level sums of the last pass, where the levels' own
    # scores are not yet 0: the covariance must still be the dummy model's
    # sandwich B (Σ_g u_g u_gᵀ) B over all its parameters (NumPy), at the
    # coefficients of that pass (those one update reaches), with the
    # factor G/(G - 1) (n - 1)/(n - k) that counts the intercept alone.
    frame, y = affairs
    X = frame[[*FEATURES, "occupation"]]
    with pytest.warns(ConvergenceWarning):
        start = LogisticRegression(absorb="occupation", max_iter=1).fit(X, y)
    with pytest.warns(ConvergenceWarning):
        model = LogisticRegression(absorb="occupation", cov_type="cluster", max_iter=2).fit(
            X, y, clusters="occupation"
        )
    design = _dummy_design(frame, ["occupation"]).to_numpy()
    parameters = [start.intercept_[0], *start.coef_[0], *start.fixed_effects_["occupation"].iloc[1:]]
    mu = expit(design @ np.array(parameters))
    bread = np.linalg.inv(design.T @ ((mu * (1 - mu))[:, None] * design))
    scores = pd.DataFrame((y - mu)[:, None] * design).groupby(frame["occupation"].to_numpy()).sum().to_numpy()
    (n, k), groups = (len(y), len(FEATURES) + 1), len(scores)
    expected = bread @ scores.T @ scores @ bread * groups / (groups - 1) * (n - 1) / (n - k)
    features = slice(1, len(FEATURES) + 1)
    np.testing.assert_allclose(model.covariance_, expected[features, features], rtol=1e-8)


def _newton_on_dummies(design, y, weights):
    """The maximum-likelihood logit of a (sparse) design by Newton's method
    in NumPy, and its inverse information."""
    theta = np.zeros(design.shape[1])
    for _ in range(50):
        mu = expit(design @ theta)
        information = (design.T @ design.multiply((weights * mu * (1 - mu))[:, None])).toarray()
        step = np.linalg.solve(information, design.T @ (weights * (y - mu)))
        theta += step
        if np.abs(step).max() < 1e-13:
            break
    mu = expit(design @ theta)
    information = (design.T @ design.multiply((weights * mu * (1 - mu))[:, None])).toarray()
    return theta, mu, np.linalg.inv(information)


@pytest.mark.parametrize(("cov_type", "n_threads"), [("nonrobust", 1), ("cluster", 2)])
def test_a_fit_of_more_rows_than_a_chunk_of_the_pass_is_the_dummy_model(cov_type, n_threads):
    # 40,000 rows of 3 features are three chunks of the pass (of 16,384 rows
    # at most): it stages each chunk's rows and then adds them to the level
    # sums by ranges of levels, one range per thread. (Every other absorbed
    # fit here is one chunk, whose rows are added as they come.) Against
    # Newton's method on the sparse dummy design of 300 levels of unequal
    # sizes; clustered by the levels themselves, whose scores come from those
    # staged sums too, against the dummy model's B (Σ_g u_g u_gᵀ) B with the
    # intercept alone counted in k (the levels are nested in the clusters).
    from scipy import sparse

    rng = np.random.default_rng(17)
    n, n_levels = 40_000, 300
    firm = (n_levels * rng.random(n) ** 2).astype(int)  # from 2,343 rows down to 48
    features = rng.standard_normal((n, 3)) + 0.01 * firm[:, None]
    y = (rng.random(n) < expit(features @ [0.6, -0.4, 0.2] + np.cos(firm))).astype(float)
    weights = rng.integers(0, 4, n).astype(float)
    X = pd.DataFrame(features, columns=["x1", "x2", "x3"]).assign(firm=firm)
    clusters = {"clusters": "firm"} if cov_type == "cluster" else {}
    model = LogisticRegression(absorb="firm", cov_type=cov_type, tol=1e-12, n_threads=n_threads).fit(
        X, y, sample_weight=weights, **clusters
    )
    dummies = sparse.csr_array((np.ones(n), (np.arange(n), firm)), shape=(n, n_levels))[:, 1:]
    design = sparse.hstack([np.ones((n, 1)), features, dummies], format="csr")
    theta, mu, bread = _newton_on_dummies(design, y, weights)
    covariance = bread
    if cov_type == "cluster":
        scores = design.multiply((weights * (y - mu))[:, None]).tocsr()
        totals = (
            sparse.csr_array((np.ones(n), (firm, np.arange(n))), shape=(n_levels, n)) @ scores
        ).toarray()
        total, k = weights.sum(), 3 + 1
        covariance = bread @ totals.T @ totals @ bread * n_levels / (n_levels - 1) * (total - 1) / (total - k)
    np.testing.assert_allclose(model.coef_[0], theta[1:4], rtol=1e-9)
    np.testing.assert_allclose(model.intercept_[0], theta[0], rtol=1e-9)
    np.testing.assert_allclose(model.fixed_effects_["firm"].iloc[1:], theta[4:], rtol=1e-8, atol=1e-10)
    np.testing.assert_allclose(model.covariance_, covariance[1:4, 1:4], rtol=1e-8)


def test_levels_of_one_outcome_are_dropped_until_none_is_left():
    # Level 0 of a has only y = 1. Once its rows go, level 0 of b is left
    # with rows of y = 0 alone, and goes too, in the same sweep over the
    # columns (a has more levels: it comes first). The other way round needs
    # a second sweep (fixest's rule, repeated until nothing changes): level
    # 8 of b has only y = 0, and once its rows go, level 40 of a, whose other
    # rows are all y = 1, is left with them alone.
    rng = np.random.default_rng(11)
    n = 3000
    X = pd.DataFrame({"x": rng.standard_normal(n), "a": rng.integers(1, 40, n), "b": rng.integers(1, 8, n)})
    y = (rng.random(n) < expit(X["x"] + 0.2 * X["b"] - 0.8)).astype(float)
    first = np.arange(20)
    X.loc[first, "a"], y[first] = 0, 1.0
    X.loc[first[:10], "b"] = 0
    second = np.arange(20, 35)
    X.loc[second, "b"], y[second] = 0, 0.0
    third = np.arange(35, 50)
    X.loc[third, "b"], y[third] = 8, 0.0
    X.loc[third[:5], "a"] = 40
    fourth = np.arange(50, 60)
    X.loc[fourth, "a"], y[fourth] = 40, 1.0
    weights = np.ones(n)
    with pytest.warns(
        PerfectSeparationWarning, match=r"2 of 'a', 2 of 'b'\) have no finite effect: their 60 row"
    ):
        model = LogisticRegression(absorb=["a", "b"], tol=1e-12).fit(X, y, sample_weight=weights)
    # The rows are dropped in weights of the fit's own: the caller's are not written.
    assert (weights == 1.0).all()
    assert model.separated_levels_ == {"a": 2, "b": 2} and model.n_separated_rows_ == 60
    kept = np.arange(n) >= 60
    rest = X[kept]
    design = pd.concat(
        [pd.Series(1.0, index=rest.index, name="const"), rest["x"]]
        + [pd.get_dummies(rest[c], prefix=c, drop_first=True, dtype=float) for c in ("a", "b")],
        axis=1,
    )
    expected = sm.GLM(y[kept], design, family=sm.families.Binomial()).fit(tol=1e-13)
    np.testing.assert_allclose(model.coef_[0], expected.params["x"], rtol=RTOL)
    np.testing.assert_allclose(model.coef_table().iloc[0, 1], expected.bse["x"], rtol=RTOL)
    np.testing.assert_allclose(model.intercept_[0], expected.params["const"], rtol=RTOL)
    for name, dropped in (("a", [0, 40]), ("b", [0, 8])):
        effects = model.fixed_effects_[name]
        assert np.isnan(effects[dropped]).all() and np.isfinite(effects.drop(dropped)).all()
        # b's levels are solved by conjugate gradients, to about tol.
        np.testing.assert_allclose(
            effects.drop(dropped).iloc[1:], expected.params.filter(like=f"{name}_"), rtol=1e-7, atol=1e-9
        )
    probabilities = model.predict_proba(X)[:, 1]
    # At the limits: every row of a level dropped for a single outcome gets
    # the probability of that outcome (a row of two such levels that of the
    # level dropped first): each row its own outcome.
    np.testing.assert_array_equal(probabilities[:60], y[:60])
    assert np.isfinite(probabilities[60:]).all() and (probabilities[60:] % 1 > 0).all()


@pytest.mark.parametrize("separated", [False, True], ids=["every level", "a separated level"])
def test_marginal_effects_take_the_levels_at_their_estimates(affairs, separated):
    # The effects and their errors equal those of the dummy model
    # (statsmodels' average marginal effects and delta method); with
    # fixed_effects="given", the errors are the delta method given the fixed
    # effects, J V Jᵀ over the features alone, J = ḡ I + β mean(g′(η) x)ᵀ.
    # A level of outcomes all 1 (occupation 6, 1.7 % of the rows) was left
    # out of the fit, and is left out of the averages too: they are those of
    # the dummy model of the other rows, whatever rows X has.
    frame, y = affairs
    kept = frame["occupation"].to_numpy() != 6 if separated else np.ones(len(y), dtype=bool)
    y = np.where(kept, y, 1.0)
    X = frame[[*FEATURES, "occupation"]]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore" if separated else "error", PerfectSeparationWarning)
        model = LogisticRegression(absorb="occupation", tol=1e-12).fit(X, y)
    table = model.marginal_effects(X)
    design = _dummy_design(frame[kept], ["occupation"])
    logit = sm.Logit(y[kept], design).fit(disp=0, tol=1e-12)
    margins = logit.get_margeff(at="overall")
    expected = pd.Series(margins.margeff, index=design.columns[1:])
    np.testing.assert_allclose(table["dy/dx"], expected[FEATURES], rtol=1e-9)
    errors = pd.Series(margins.margeff_se, index=design.columns[1:])
    np.testing.assert_allclose(table["std err"], errors[FEATURES], rtol=1e-8)
    table = model.marginal_effects(X, fixed_effects="given")
    mu = model.predict_proba(X[kept])[:, 1]
    g, features = mu * (1 - mu), frame.loc[kept, FEATURES].to_numpy()
    J = np.diag(np.full(len(FEATURES), g.mean())) + np.outer(
        model.coef_[0], (g * (1 - 2 * mu)) @ features / len(mu)
    )
    np.testing.assert_allclose(table.iloc[:, 1], np.sqrt(np.diag(J @ model.covariance_ @ J.T)), rtol=1e-10)


def test_marginal_effects_without_X_are_the_dummy_models_over_the_training_rows(affairs):
    # From the sums of the fit's last pass, with weights, an offset and a
    # level of outcomes all 1 left out (its rows are not averaged over):
    # against statsmodels' GLM of the dummy design on the other rows, the
    # effects and their delta method written out in NumPy with the levels
    # and the intercept held at their estimates (the Jacobian in the
    # features' coefficients alone, V their block of the dummy model's
    # covariance): AMEⱼ = βⱼ ḡ, J = ḡ I + β (Σ sᵢ gᵢ(1 - 2μᵢ) xᵢ / Σ sᵢ)ᵀ
    # (fixed_effects="given").
    frame, y = affairs
    weights = np.random.default_rng(7).integers(1, 4, len(y)).astype(float)
    offset = 0.01 * frame["age"].to_numpy()
    kept = frame["occupation"].to_numpy() != 6
    y = np.where(kept, y, 1.0)
    design = _dummy_design(frame[kept], ["occupation"])
    expected = sm.GLM(
        y[kept], design, family=sm.families.Binomial(), freq_weights=weights[kept], offset=offset[kept]
    ).fit(tol=1e-13)
    with pytest.warns(PerfectSeparationWarning, match="1 of 'occupation'"):
        model = LogisticRegression(absorb="occupation").fit(
            frame[[*FEATURES, "occupation"]], y, sample_weight=weights, offset=offset
        )
    mu = expit(design.to_numpy() @ expected.params.to_numpy() + offset[kept])
    s, g, x = weights[kept], mu * (1 - mu), frame.loc[kept, FEATURES].to_numpy()
    beta, mean_g = expected.params[FEATURES].to_numpy(), s @ g / s.sum()
    J = mean_g * np.eye(len(FEATURES)) + np.outer(beta, (s * g * (1 - 2 * mu)) @ x / s.sum())
    V = expected.cov_params().loc[FEATURES, FEATURES].to_numpy()
    table = model.marginal_effects(fixed_effects="given")
    # The fit at the default tol (1e-8) against statsmodels' at 1e-13.
    np.testing.assert_allclose(table["dy/dx"], beta * mean_g, rtol=1e-7)
    np.testing.assert_allclose(table["std err"], np.sqrt(np.diag(J @ V @ J.T)), rtol=1e-7)


@pytest.mark.parametrize(
    ("cov_type", "link", "coarse"),
    [
        ("nonrobust", "logit", False),
        # statsmodels' robust covariances of a non-canonical link are built
        # on the observed information, ours with absorbed levels on the
        # expected one: probit and cloglog are compared without robust sums.
        ("nonrobust", "probit", False),
        ("nonrobust", "cloglog", False),
        ("HC0", "logit", False),
        ("HC1", "logit", False),
        ("cluster", "logit", False),
        ("cluster", "logit", True),
    ],
)
def test_marginal_effects_errors_are_the_dummy_models_delta_method(cov_type, link, coarse):
    # fixed_effects="estimated" (the default): the delta method over the
    # slopes and the levels both, against statsmodels' GLM of the dummy
    # design with the delta method written out by central differences of
    # the average effects in all its parameters, V its whole covariance
    # (the intercept and every level among them). 400 rows, 20 firms (firm
    # 5's outcomes all 1, so its rows are left out of the fit and of the
    # averages), frequency weights and an offset. The clusters nest the
    # firms (the firms themselves, or coarser groups of four).
    # The fits' small-sample factors differ by one scalar on the whole
    # sandwich (for cluster, fixest's rule against statsmodels'): it is
    # measured on the features' covariance and applied to the reference.
    rng = np.random.default_rng(11)
    n, firms = 400, 20
    firm = rng.integers(0, firms, n)
    X = pd.DataFrame(
        {"x1": rng.standard_normal(n), "x2": rng.standard_normal(n) + np.cos(firm), "firm": firm}
    )
    offset = 0.2 * rng.standard_normal(n)
    eta = 0.7 * X["x1"] - 0.5 * X["x2"] + np.sin(firm) + offset
    y = (rng.random(n) < expit(eta.to_numpy())).astype(float)
    y[firm == 5] = 1.0
    weights = rng.integers(1, 4, n).astype(float)
    groups = firm // 4 if coarse else firm
    # The reference is given each row as often as its weight says (statsmodels'
    # clustered covariance does not take frequency weights).
    rows = np.repeat(np.flatnonzero(firm != 5), weights[firm != 5].astype(int))
    D = np.column_stack(
        [X[["x1", "x2"]].to_numpy()[rows], np.eye(firms)[firm[rows]][:, np.arange(firms) != 5]]
    )
    links = {"logit": sm.families.links.Logit, "probit": sm.families.links.Probit}
    family = sm.families.Binomial(links.get(link, sm.families.links.CLogLog)())
    options = {"cov_kwds": {"groups": groups[rows]}} if cov_type == "cluster" else {}
    reference = sm.GLM(y[rows], D, family=family, offset=offset[rows]).fit(
        tol=1e-13, cov_type=cov_type, **options
    )

    def average_effects(parameters):
        return parameters[:2] * np.mean(family.link.inverse_deriv(D @ parameters + offset[rows]))

    parameters, step = reference.params, 1e-6
    gradient = np.column_stack(
        [
            (average_effects(parameters + step * e) - average_effects(parameters - step * e)) / (2 * step)
            for e in np.eye(len(parameters))
        ]
    )
    clusters = {"clusters": groups if coarse else "firm"} if cov_type == "cluster" else {}
    with pytest.warns(PerfectSeparationWarning):
        model = LogisticRegression(absorb="firm", cov_type=cov_type, link=link, tol=1e-12).fit(
            X, y, sample_weight=weights, offset=offset, **clusters
        )
    factor = model.covariance_.diagonal() / reference.cov_params().diagonal()[:2]
    np.testing.assert_allclose(factor, factor[0], rtol=1e-8)
    expected = np.sqrt(factor[0] * np.diag(gradient @ reference.cov_params() @ gradient.T))
    for table in (model.marginal_effects(X, weights, offset), model.marginal_effects()):
        np.testing.assert_allclose(table["dy/dx"], average_effects(parameters), rtol=1e-8, atol=1e-12)
        np.testing.assert_allclose(table["std err"], expected, rtol=1e-6)
    # Given the fixed effects, the errors differ (larger or smaller) by far more than the tolerance.
    given = model.marginal_effects(X, weights, offset, fixed_effects="given")["std err"]
    assert (np.abs(given / expected - 1) > 0.01).all()


def _firms_and_cities(n, seed):
    """Two features, 300 firms of unequal sizes (firm 7's outcomes all 1)
    and 12 cities (city 11's all 0 once firm 7's rows are left out), with
    frequency weights of 0 to 3 and an offset."""
    rng = np.random.default_rng(seed)
    firm = (300 * rng.random(n) ** 2).astype(int)
    city = rng.integers(0, 12, n)
    X = pd.DataFrame({"x1": rng.standard_normal(n), "x2": rng.standard_normal(n), "firm": firm, "city": city})
    offset = 0.3 * rng.standard_normal(n)
    eta = 0.6 * X["x1"] - 0.4 * X["x2"] + np.cos(firm) + 0.1 * city + offset
    y = (rng.random(n) < expit(eta)).astype(float)
    y[firm == 7] = 1.0
    y[(city == 11) & (firm != 7)] = 0.0
    return X, y, rng.integers(0, 4, n).astype(float), offset


@pytest.mark.parametrize(
    ("absorb", "n", "n_threads"),
    [
        ("firm", 5_000, 1),
        # city's levels are solved for after the firms' each update, its
        # separated level left out by weights of 0 (not the firms' flags).
        (["firm", "city"], 5_000, 1),
        # Three chunks of the pass, staged and added by ranges of levels on
        # two threads, each half with its own sums by level.
        ("firm", 40_000, 2),
    ],
)
def test_marginal_effects_without_X_are_those_of_the_training_rows(absorb, n, n_threads):
    # The sums of the last pass are at the coefficients and level effects
    # the last update started from: the mean of h′ is carried to the final
    # ones by its gradient in both (Σ sᵢ h″(ηᵢ) xᵢ, and Σ sᵢ h″(ηᵢ) per
    # level), so the effects are those at the estimates up to the square
    # of the last change, and the standard errors (whose sum stays at the
    # pass) up to the change itself: well inside 1e-8 at the default tol.
    # A fit stopped at tol 1e-4 shows the order: its effects are within
    # 1e-7 here, where carrying the coefficients alone leaves 4e-6 to 2e-5.
    X, y, weights, offset = _firms_and_cities(n, seed=3)
    names = [absorb] if isinstance(absorb, str) else absorb
    X = X[["x1", "x2", *names]]
    for tol, rtol in [(1e-8, {"dy/dx": 1e-8, "std err": 1e-8}), (1e-4, {"dy/dx": 5e-7})]:
        with pytest.warns(PerfectSeparationWarning):
            model = LogisticRegression(absorb=absorb, n_threads=n_threads, tol=tol).fit(
                X, y, sample_weight=weights, offset=offset
            )
        # Several absorbed columns have the delta method given the fixed effects alone.
        fixed = {} if isinstance(absorb, str) else {"fixed_effects": "given"}
        table = model.marginal_effects(**fixed)
        expected = model.marginal_effects(X, weights, offset, **fixed)
        for column, tolerance in rtol.items():
            np.testing.assert_allclose(table[column], expected[column], rtol=tolerance, atol=1e-12)


def _frame(n=200, seed=0):
    rng = np.random.default_rng(seed)
    X = pd.DataFrame({"x": rng.standard_normal(n), "fe": rng.integers(0, 5, n)})
    return X, (rng.random(n) < 0.5).astype(float)


@pytest.mark.parametrize(
    ("change", "parameters", "match"),
    [
        (lambda X: X, {"absorb": "firm"}, r"absorb names column\(s\) \['firm'\] that X does not have"),
        (
            lambda X: X.assign(fe=X["fe"].where(X.index != 3)),
            {"absorb": "fe"},
            "'fe' has a missing value at row 3",
        ),
        (lambda X: X.assign(fe=X["fe"] + 0.5), {"absorb": "fe"}, "'fe' has numbers that are not integers"),
        (
            lambda X: X.assign(fe=pd.Categorical(X["fe"] + 0.5)),
            {"absorb": "fe"},
            "'fe' has numbers that are not integers",
        ),
        (lambda X: X, {"absorb": ["fe", "fe"]}, r"names the column\(s\) \['fe'\] more than once"),
        (lambda X: X.to_numpy(), {"absorb": "fe"}, "X must be a DataFrame"),
        (lambda X: X, {"absorb": "fe", "C": 1.0}, "C must be inf"),
        (lambda X: X[["fe"]], {"absorb": "fe"}, "needs at least one feature besides"),
    ],
)
def test_bad_absorbed_columns_are_refused_by_name(change, parameters, match):
    X, y = _frame()
    with pytest.raises(ValueError, match=match):
        LogisticRegression(**parameters).fit(change(X), y)


@pytest.mark.parametrize(
    ("parameters", "clusters", "match"),
    [
        ({"absorb": ["fe", "other"]}, None, "several absorbed columns.*Pass fixed_effects='given'"),
        ({"absorb": "fe", "cov_type": "HC3"}, None, "'HC3' would need every row's leverage"),
        # Clusters that cut across the levels: their scores hold the levels'.
        ({"absorb": "fe", "cov_type": "cluster"}, "crossing", "one clustering in which the absorbed levels"),
        ({"absorb": "fe"}, None, "fixed_effects must be 'estimated' or 'given'; got 'fixed'"),
    ],
)
def test_margins_over_the_levels_are_refused_where_their_sums_are_not_formed(parameters, clusters, match):
    # The delta method given the fixed effects stays available for each.
    X, y = _frame()
    X = X.assign(other=np.arange(len(y)) % 3)
    fit_arguments = {"clusters": np.arange(len(y)) % 7} if clusters else {}
    columns = ["x", "fe", "other"] if isinstance(parameters["absorb"], list) else ["x", "fe"]
    model = LogisticRegression(**parameters).fit(X[columns], y, **fit_arguments)
    with pytest.raises(ValueError, match=match):
        model.marginal_effects(X[columns], fixed_effects="fixed" if "got" in match else "estimated")
    assert np.isfinite(model.marginal_effects(X[columns], fixed_effects="given")["std err"]).all()


def test_every_level_separated_and_an_unseen_level_are_refused():
    X, y = _frame()
    with pytest.raises(ValueError, match="every level of the absorbed column"):
        LogisticRegression(absorb="fe").fit(X, X["fe"] > 2)
    model = LogisticRegression(absorb="fe").fit(X, y)
    with pytest.raises(ValueError, match=r"'fe' has the level 9 \(row 0\), which was not seen in fit"):
        model.predict(X.assign(fe=9))
    # One unseen level among seen ones is refused as well, not given another level's effect.
    mixed = X.assign(fe=np.where(np.arange(len(X)) == 3, 9, X["fe"]))
    with pytest.raises(ValueError, match=r"'fe' has the level 9 \(row 3\), which was not seen in fit"):
        model.predict_proba(mixed)


def test_a_categorical_too_large_for_memory_suggests_absorbing_it(monkeypatch):
    # The check made before any allocation, with the memory the machine
    # would have (a fault injected: 1 MiB).
    monkeypatch.setattr(quorvi._design, "available_memory", lambda: 2**20)
    X, y = _frame(n=1000)
    X = X.assign(fe=(np.arange(1000) % 300).astype(str))
    with pytest.raises(ValueError, match=r"among them the levels of 'fe' \(300\).*absorb=\['fe'\]"):
        LogisticRegression().fit(X, y)


def test_two_absorbed_columns_beside_a_categorical_feature_are_the_dummy_model(affairs):
    # The second absorbed column is solved for by the engine, the
    # categorical feature (religious, 4 levels) entering as dummy columns.
    frame, y = affairs
    numeric = [name for name in FEATURES if name != "religious"]
    X = frame.assign(religious=pd.Categorical(frame["religious"].astype(int).astype(str)))
    weights = np.random.default_rng(3).integers(1, 4, len(y)).astype(float)
    model = LogisticRegression(absorb=["occupation", "husband"], tol=1e-12).fit(X, y, sample_weight=weights)
    dummies = [
        pd.get_dummies(X[name], prefix=name, prefix_sep="=", drop_first=True, dtype=float)
        for name in ("religious", "occupation", "husband")
    ]
    design = pd.concat([pd.Series(1.0, index=X.index, name="const"), X[numeric], *dummies], axis=1)
    expected = sm.GLM(y, design, family=sm.families.Binomial(), freq_weights=weights).fit(tol=1e-13)
    table = model.coef_table()
    names = [*numeric, "religious[2]", "religious[3]", "religious[4]"]
    assert list(table.index) == names
    parameters = [*numeric, "religious=2", "religious=3", "religious=4"]
    np.testing.assert_allclose(table.iloc[:, 0], expected.params[parameters], rtol=RTOL, atol=ATOL)
    np.testing.assert_allclose(table.iloc[:, 1], expected.bse[parameters], rtol=RTOL)
    np.testing.assert_allclose(model.log_likelihood_, expected.llf, rtol=1e-12)
    np.testing.assert_allclose(model.intercept_[0], expected.params["const"], rtol=RTOL)
    np.testing.assert_allclose(
        model.fixed_effects_["husband"].iloc[1:],
        expected.params.filter(like="husband="),
        rtol=RTOL,
        atol=ATOL,
    )


@pytest.mark.parametrize(
    ("features", "message"),
    [
        # The dummies (2,000 x 2) take less than the system of 402 parameters.
        (
            {"c": np.arange(2000) % 3},
            r"0\.1 MiB for the dummy columns of its categorical features \(2,000 rows by 2\)",
        ),
        # A categorical of 101 levels: the system of 150 parameters takes less.
        (
            {"c": np.arange(2000) % 101},
            r"0\.9 MiB for the system of its 150 parameters \(the levels of its categorical features and of",
        ),
    ],
)
def test_an_absorbed_fit_too_large_for_memory_is_refused_before_it_allocates(monkeypatch, features, message):
    # The fault injected: a machine of 64 KiB available. The fit a
    # categorical feature made a 20,000-by-20,000 system of once crashed the
    # interpreter; the check comes before anything of that size is made.
    monkeypatch.setattr(quorvi._design, "available_memory", lambda: 2**16)
    rng = np.random.default_rng(0)
    X = pd.DataFrame(
        {"x": rng.standard_normal(2000), "a": np.arange(2000) % 400, "b": np.arange(2000) % 50}
    ).assign(**{name: pd.Categorical(values.astype(str)) for name, values in features.items()})
    with pytest.raises(MemoryError, match=r"the fit absorbing 'a', 'b' would need " + message):
        LogisticRegression(absorb=["a", "b"]).fit(X, rng.random(2000) < 0.5)


def test_several_absorbed_columns_in_separate_groups_are_the_dummy_model(capsys):
    # Three absorbed columns whose levels fall into two groups no row links
    # (the rows of a < 15 meet only b < 4 and c < 3): in the second group b's
    # and c's effects can shift against a's, so the dummy design statsmodels
    # is given leaves out one dummy of each there (b_4 and c_3) to be of
    # full rank. Weights of 0 and an offset; the further columns are solved
    # iteratively, and verbose=1 prints the inner iterations.
    rng = np.random.default_rng(5)
    n = 4000
    group = rng.random(n) < 0.5
    X = pd.DataFrame(
        {
            "x1": rng.standard_normal(n),
            "x2": rng.standard_normal(n),
            "a": np.where(group, rng.integers(0, 15, n), rng.integers(15, 40, n)),
            "b": np.where(group, rng.integers(0, 4, n), rng.integers(4, 9, n)),
            "c": np.where(group, rng.integers(0, 3, n), rng.integers(3, 5, n)),
        }
    )
    eta = 0.5 * X["x1"] - 0.3 * X["x2"] + 0.1 * X["b"] - 0.2 * X["c"] + 0.02 * X["a"] - 0.5
    y = (rng.random(n) < expit(eta)).astype(float)
    weights = rng.integers(0, 3, n).astype(float)
    offset = 0.05 * rng.standard_normal(n)
    model = LogisticRegression(absorb=["a", "b", "c"], tol=1e-12, verbose=1).fit(
        X, y, sample_weight=weights, offset=offset
    )
    assert "inner iterations" in capsys.readouterr().out
    design = pd.concat(
        [pd.Series(1.0, index=X.index, name="const"), X[["x1", "x2"]]]
        + [pd.get_dummies(X[c], prefix=c, drop_first=True, dtype=float) for c in ("a", "b", "c")],
        axis=1,
    )
    expected = sm.GLM(
        y,
        design.drop(columns=["b_4", "c_3"]),
        family=sm.families.Binomial(),
        freq_weights=weights,
        offset=offset,
    ).fit(tol=1e-13)
    np.testing.assert_allclose(model.coef_[0], expected.params[["x1", "x2"]], rtol=RTOL)
    np.testing.assert_allclose(model.coef_table().iloc[:, 1], expected.bse[["x1", "x2"]], rtol=RTOL)
    np.testing.assert_allclose(model.log_likelihood_, expected.llf, rtol=1e-12)
    # The parameters counted are the rank of the dummy design (found from
    # the eliminated Gram of b's and c's levels).
    assert model.df_model_ == expected.df_model
    np.testing.assert_allclose([model.aic_, model.bic_], [expected.aic, expected.bic_llf], rtol=1e-12)
    np.testing.assert_allclose(
        model.predict_proba(X, offset=offset)[:, 1],
        expected.predict(design.drop(columns=["b_4", "c_3"]), offset=offset),
        rtol=RTOL,
    )
    # Each column's reference level (its first) has effect 0.
    assert all(model.fixed_effects_[c].iloc[0] == 0.0 for c in ("a", "b", "c"))


def test_integer_labels_read_in_place_are_the_labels_as_text():
    # Labels 0..199 with two numbers no row has (int64, read by the engine
    # as its codes in place) and an int32 second column: the same fit as
    # the labels as text, coded by factorize; the numbers no row has are
    # no levels of the fit.
    rng = np.random.default_rng(5)
    n = 4000
    fe = rng.integers(0, 200, n)
    fe[np.isin(fe, [57, 130])] = 58
    X = pd.DataFrame({"x": rng.standard_normal(n), "fe": fe, "g": rng.integers(0, 10, n).astype(np.int32)})
    y = (rng.random(n) < expit(0.4 * X["x"] + 0.01 * (fe % 7) - 0.1 * X["g"])).astype(float)
    before = X.copy()
    model = LogisticRegression(absorb=["fe", "g"]).fit(X, y)
    as_text = LogisticRegression(absorb=["fe", "g"]).fit(X.assign(fe=fe.astype(str), g=X["g"].astype(str)), y)
    pd.testing.assert_frame_equal(X, before)
    np.testing.assert_allclose(model.coef_, as_text.coef_, rtol=1e-10)
    np.testing.assert_allclose(model.coef_table().iloc[:, 1], as_text.coef_table().iloc[:, 1], rtol=1e-10)
    for name in ("fe", "g"):
        effects = model.fixed_effects_[name]
        assert list(effects.index) == sorted(set(X[name].tolist()))
        text = as_text.fixed_effects_[name]
        np.testing.assert_allclose(effects.to_numpy(), text[effects.index.astype(str)].to_numpy(), atol=1e-10)
    with pytest.raises(ValueError, match=r"'fe' has the level 57 \(row 0\), which was not seen in fit"):
        model.predict(X.assign(fe=57))
