"""Robust and clustered covariances, offsets, the ridge penalty and step
halving, each against an independent reference: Stata's published robust
standard errors, statsmodels' GLM, scikit-learn's penalised fit, a NumPy
textbook sandwich, and repeated rows for frequency weights."""

import contextlib

import numpy as np
import pytest

import quorvi
from problems import textbook_hc_covariances
from quorvi import CollinearityWarning, LogisticRegression

sm = pytest.importorskip("statsmodels.api")

# Two fits of the same data agree to far better than this on any BLAS kernel
# (the fits stop at tol=1e-12); atol for covariances that round to zero.
RTOL, ATOL = 1e-8, 1e-14


def _codes(labels):
    """Labels as the integer codes statsmodels' cluster groups take."""
    return np.unique(np.asarray(labels), return_inverse=True)[1]


def _problem(n=1500, seed=0):
    rng = np.random.default_rng(seed)
    X = rng.normal(size=(n, 3))
    y = (rng.random(n) < 1 / (1 + np.exp(-(X @ [0.5, -1.0, 0.3] + 0.2)))).astype(float)
    groups = np.stack([rng.integers(0, 40, n), rng.integers(0, 25, n)], axis=1)
    return X, y, groups


def test_robust_standard_errors_equal_statas():
    # Stata 'logit grade gpa tuce psi, vce(robust)' is HC0 * n/(n - 1); its data
    # are float32 (see test_inference.py).
    data = sm.datasets.spector.load_pandas()
    X = data.exog.astype(np.float32).astype(np.float64)
    model = LogisticRegression(cov_type="HC0").fit(X, data.endog)
    se = np.sqrt(np.diag(model.covariance_) * 32 / 31)
    np.testing.assert_allclose(se, [5.2807514, 1.2878279, 0.1198091, 0.9798508], rtol=1e-6)
    assert "HC0" in str(model.summary())


@pytest.mark.parametrize(
    ("cov_type", "clusters", "reference"),
    [
        ("HC0", None, {"cov_type": "HC0"}),
        ("cluster", 0, {"cov_type": "cluster"}),
        ("cluster", slice(None), {"cov_type": "cluster"}),
    ],
    ids=["HC0", "one-way", "two-way"],
)
@pytest.mark.parametrize("offset", [False, True])
def test_covariance_equals_statsmodels_glm(cov_type, clusters, reference, offset):
    X, y, groups = _problem()
    rows_offset = np.linspace(-0.5, 0.5, len(y)) if offset else None
    labels = None if clusters is None else groups[:, clusters]
    model = LogisticRegression(cov_type=cov_type, tol=1e-12).fit(X, y, clusters=labels, offset=rows_offset)
    kwds = {} if labels is None else {"cov_kwds": {"groups": labels}}
    glm = sm.GLM(y, sm.add_constant(X), family=sm.families.Binomial(), offset=rows_offset)
    result = glm.fit(tol=1e-13, **reference, **kwds)
    np.testing.assert_allclose(model._parameters(), result.params, rtol=RTOL, atol=ATOL)
    np.testing.assert_allclose(model.covariance_, result.cov_params(), rtol=RTOL, atol=ATOL)
    np.testing.assert_allclose(model.log_likelihood_, result.llf, rtol=1e-12)
    np.testing.assert_allclose(model.null_log_likelihood_, result.llnull, rtol=1e-10)


def test_a_two_way_covariance_that_is_not_positive_semi_definite_has_its_negative_eigenvalues_set_to_0():
    # Affairs data clustered by rate_marriage (5 groups) and age (6): statsmodels'
    # V_A + V_B - V_(A and B) has three negative eigenvalues (the variance of
    # yrs_married is -1.1e-4). Cameron, Gelbach and Miller (2011): Q max(L, 0) Q'.
    data = sm.datasets.fair.load_pandas().data
    X = data[["yrs_married", "children", "religious", "educ", "occupation", "occupation_husb"]]
    y = (data["affairs"] > 0).astype(float)
    labels = np.column_stack([_codes(data["rate_marriage"]), _codes(data["age"])])
    glm = sm.GLM(y, sm.add_constant(X), family=sm.families.Binomial())
    uncorrected = glm.fit(tol=1e-13, cov_type="cluster", cov_kwds={"groups": labels}).cov_params().to_numpy()
    values, vectors = np.linalg.eigh(uncorrected)
    assert (values < 0).sum() == 3
    expected = vectors @ np.diag(np.maximum(values, 0.0)) @ vectors.T
    negative = ", ".join(f"{value:.4g}" for value in values[values < 0])
    with pytest.warns(quorvi.CovarianceCorrectionWarning, match=f"eigenvalue.s. {negative} were set to 0"):
        model = LogisticRegression(cov_type="cluster", tol=1e-12).fit(X, y, clusters=labels)
    np.testing.assert_allclose(model.covariance_, expected, rtol=1e-8, atol=1e-14)
    np.testing.assert_allclose(model.clipped_eigenvalues_, values[values < 0], rtol=1e-6)
    assert f"eigenvalue(s) {negative} were set to 0" in " ".join(str(model.summary()).split())


def test_the_two_way_correction_is_decided_whatever_the_features_units():
    # Affairs data clustered by occupation (6 groups) and age (6): V_A + V_B
    # - V_(A and B) has two negative eigenvalues. With every feature in units
    # 1e5 times smaller the covariance is S⁻¹ V S⁻¹ (S the scales, the
    # intercept's 1), of the same signs of eigenvalues (Sylvester): the same
    # two are corrected, although in these units they are of order 1e-14.
    data = sm.datasets.fair.load_pandas().data
    X = data[["yrs_married", "children", "religious", "educ", "occupation_husb"]]
    y = (data["affairs"] > 0).astype(float)
    labels = np.column_stack([_codes(data["occupation"]), _codes(data["age"])])
    fits = []
    for scale in (1.0, 1e5):
        with pytest.warns(quorvi.CovarianceCorrectionWarning, match="eigenvalue.s. .* were set to 0"):
            fits.append(LogisticRegression(cov_type="cluster", tol=1e-12).fit(X * scale, y, clusters=labels))
        assert len(fits[-1].clipped_eigenvalues_) == 2
    scales = np.array([1.0, *np.full(X.shape[1], 1e5)])
    np.testing.assert_allclose(fits[1]._parameters() * scales, fits[0]._parameters(), rtol=1e-8)
    # Loose: clipped in the features' units, the eigenvalues set to 0 are
    # other combinations of the coefficients in the two units, which moves
    # the corrected errors by 1.2e-4 relative here.
    np.testing.assert_allclose(
        np.sqrt(np.diag(fits[1].covariance_)) * scales, np.sqrt(np.diag(fits[0].covariance_)), rtol=1e-3
    )


@pytest.mark.parametrize("dependent", [False, True], ids=["full rank", "a column dropped as dependent"])
def test_hc_covariances_equal_the_textbook_sandwich(dependent):
    # (X'WX)^-1 X' diag(r^2 / (1 - h)^p) X (X'WX)^-1, h the diagonal of the
    # hat matrix W^1/2 X (X'WX)^-1 X' W^1/2 (R's sandwich::vcovHC for a glm),
    # at the coefficients of the fit's last pass (within tol of the final).
    # A column equal to the sum of two others is dropped: the covariance of
    # the rest is the textbook one of the design without it (its hat values
    # over the kept columns, not NaN).
    X, y, _ = _problem(n=300, seed=3)
    design = np.column_stack([X, X[:, 0] + X[:, 1]]) if dependent else X
    dropped = pytest.warns(CollinearityWarning, match="x3") if dependent else contextlib.nullcontext()
    fits = {}
    for cov_type in ("HC0", "HC1", "HC2", "HC3"):
        with dropped:
            fits[cov_type] = LogisticRegression(cov_type=cov_type, tol=1e-12).fit(design, y)
    kept = slice(0, X.shape[1] + 1)
    D = np.column_stack([np.ones(len(y)), X])
    expected = textbook_hc_covariances(D, y, fits["HC0"]._parameters()[kept])
    for cov_type, fit in fits.items():
        np.testing.assert_allclose(
            fit.covariance_[kept, kept], expected[cov_type], rtol=1e-8, err_msg=cov_type
        )
        if dependent:
            assert np.isnan(fit.covariance_[-1]).all() and np.isnan(fit.covariance_[:, -1]).all()


@pytest.mark.parametrize("cov_type", ["HC0", "HC1", "HC2", "HC3", "cluster"])
def test_frequency_weights_equal_repeated_rows(cov_type):
    X, y, groups = _problem(n=400, seed=5)
    weights = np.random.default_rng(6).integers(0, 4, len(y))
    repeated = np.repeat(np.arange(len(y)), weights)
    labels = groups[:, 0] if cov_type == "cluster" else None
    weighted = LogisticRegression(cov_type=cov_type, tol=1e-12).fit(
        X, y, sample_weight=weights.astype(float), clusters=labels
    )
    rows = LogisticRegression(cov_type=cov_type, tol=1e-12).fit(
        X[repeated], y[repeated], clusters=None if labels is None else labels[repeated]
    )
    np.testing.assert_allclose(weighted.covariance_, rows.covariance_, rtol=RTOL, atol=ATOL)


@pytest.mark.parametrize(
    ("columns", "left_out"),
    [
        # The affairs data with weight 0 for every row of occupation 1 (a whole
        # cluster): intercept SE 0.5560 as without those rows, not 0.5448.
        ("affairs", None),
        # Two-way: whole clusters of the first clustering (and so all their
        # pairs), or one cluster of the second, get weight 0.
        (slice(None), lambda groups: groups[:, 0] < 2),
        (slice(None), lambda groups: groups[:, 1] == 0),
    ],
    ids=["affairs one-way", "two-way, first", "two-way, second"],
)
def test_rows_of_weight_zero_are_left_out_of_the_cluster_covariance(columns, left_out):
    # The reference is statsmodels on the rows of positive weight alone: a
    # cluster of rows of weight 0 alone is no cluster in G/(G - 1).
    if columns == "affairs":
        data = sm.datasets.fair.load_pandas().data
        X = data[["rate_marriage", "age", "yrs_married", "children", "religious", "educ"]].to_numpy()
        y = (data["affairs"] > 0).to_numpy(dtype=float)
        labels = data["occupation"].to_numpy(dtype=int)
        dropped = labels == 1
    else:
        X, y, groups = _problem()
        labels, dropped = groups[:, columns], left_out(groups)
    model = LogisticRegression(cov_type="cluster", tol=1e-12).fit(
        X, y, sample_weight=np.where(dropped, 0.0, 1.0), clusters=labels
    )
    kept = ~dropped
    glm = sm.GLM(y[kept], sm.add_constant(X[kept]), family=sm.families.Binomial())
    result = glm.fit(tol=1e-13, cov_type="cluster", cov_kwds={"groups": labels[kept]})
    np.testing.assert_allclose(model.covariance_, result.cov_params(), rtol=RTOL, atol=ATOL)


@pytest.mark.parametrize("C", [0.01, 1.0, 100.0])
def test_ridge_coefficients_equal_scikit_learns(C):
    sklearn_linear = pytest.importorskip("sklearn.linear_model")
    X, y, _ = _problem(seed=7)
    reference = sklearn_linear.LogisticRegression(C=C, solver="newton-cholesky", tol=1e-14, max_iter=1000)
    reference.fit(X, y)
    model = LogisticRegression(C=C, tol=1e-13).fit(X, y)
    np.testing.assert_allclose(model.coef_, reference.coef_, rtol=1e-8, atol=1e-12)
    np.testing.assert_allclose(model.intercept_, reference.intercept_, rtol=1e-8, atol=1e-12)
    with pytest.warns(Warning, match="penalised"):
        model.coef_table()


def test_affairs_with_an_offset_converges_to_statsmodels():
    # Plain Newton steps from 0 diverge here (the second update's deviance is
    # NaN); halved steps converge to the maximum that statsmodels finds.
    data = sm.datasets.fair.load_pandas().data
    X = data[["rate_marriage", "age", "yrs_married", "children", "religious", "educ"]]
    y = (data["affairs"] > 0).astype(float)
    offset = np.log(data["age"])
    model = LogisticRegression(tol=1e-10).fit(X, y, offset=offset)
    glm = sm.GLM(y, sm.add_constant(X), family=sm.families.Binomial(), offset=offset).fit(tol=1e-13)
    assert model.converged_
    np.testing.assert_allclose(model._parameters(), glm.params, rtol=1e-8)
    np.testing.assert_allclose(model.predict_proba(X, offset=offset)[:, 1], glm.fittedvalues, rtol=1e-8)


def _bad_hat():
    # A row alone in its level of a dummy fits itself exactly: h = 1.
    X, y, _ = _problem(n=50, seed=9)
    X = np.column_stack([X, np.eye(50)[0]])
    return X, y


@pytest.mark.parametrize(
    ("parameters", "arguments", "message"),
    [
        ({"cov_type": "cluster"}, {}, "needs fit"),
        ({"cov_type": "HC0"}, {"clusters": np.arange(50) % 3}, "used only with"),
        ({"cov_type": "cluster"}, {"clusters": np.arange(49)}, "49 labels"),
        ({"cov_type": "cluster"}, {"clusters": np.where(np.arange(50) == 3, np.nan, 1.0)}, "missing"),
        ({"cov_type": "cluster"}, {"clusters": np.zeros(50)}, "single cluster"),
        # Two-way whose second column is one group (broken: ZeroDivisionError).
        (
            {"cov_type": "cluster"},
            {"clusters": np.column_stack([np.arange(50) % 3, np.zeros(50)])},
            "single cluster",
        ),
        ({}, {"offset": np.ones(49)}, "offset has 49"),
        ({}, {"offset": np.where(np.arange(50) == 3, np.nan, 1.0)}, "NaN"),
        ({"C": 0.0}, {}, "'C' parameter"),
        ({"C": -1.0}, {}, "'C' parameter"),
        ({"cov_type": "HC3"}, {"bad_hat": True}, "row.s. 0 have a hat value of 1"),
        # Frequency weights summing to n <= k = 4 parameters: HC1's n/(n - k),
        # the cluster (n - 1)/(n - k), and hat values averaging k/n >= 1.
        (
            {"cov_type": "HC1"},
            {"sample_weight": np.full(50, 1 / 50)},
            r"n - k = 1 - 4 <= 0, with n = 1 the sum",
        ),
        ({"cov_type": "HC3"}, {"sample_weight": np.full(50, 0.05)}, r"n - k = 2.5 - 4 <= 0.*average k/n"),
        (
            {"cov_type": "cluster"},
            {"sample_weight": np.full(50, 0.08), "clusters": np.arange(50) % 3},
            r"n - k = 4 - 4 <= 0, with n = 4 the sum of the frequency weights and k = 4",
        ),
    ],
)
def test_bad_input_raises_and_fits_nothing(parameters, arguments, message):
    X, y, _ = _problem(n=50, seed=9)
    if arguments.pop("bad_hat", False):
        X, y = _bad_hat()
    model = LogisticRegression(**parameters)
    with pytest.raises(ValueError, match=message):
        model.fit(X, y, **arguments)
    assert not hasattr(model, "coef_")


@pytest.mark.parametrize("cov_type", ["HC1", "HC3", "cluster"])
def test_robust_covariance_does_not_depend_on_the_thread_count(cov_type):
    # Enough rows for many chunks: each chunk's scores reach the cluster sums
    # in row order whichever thread summed it, so the bits are the same.
    X, y, groups = _problem(n=60_000, seed=11)
    labels = groups if cov_type == "cluster" else None
    fits = [
        LogisticRegression(cov_type=cov_type, n_threads=threads).fit(X, y, clusters=labels)
        for threads in (1, 3)
    ]
    np.testing.assert_array_equal(fits[0].covariance_, fits[1].covariance_)
