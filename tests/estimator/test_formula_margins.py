"""Marginal effects of formula models: each variable's average effect on
P(y = 1) through every term it enters (Stata's margins, dydx(*)), against
statsmodels' formula GLM, with the derivatives of the terms written out by
hand here and the delta method on statsmodels' covariance."""

import pickle

import numpy as np
import pytest
from scipy.special import expit
from scipy.stats import norm

import quorvi

pd = pytest.importorskip("pandas")
pytest.importorskip("formulaic")
sm = pytest.importorskip("statsmodels.api")
smf = pytest.importorskip("statsmodels.formula.api")


def _reference_effects(fit, data, weights, slopes, levels, mean, derivative, curvature, fixed=""):
    """The effects and their delta-method standard errors from a statsmodels
    fit: slopes maps a variable to the function of the data that gives dX/dv
    (a column per parameter, by name); levels maps a factor's row names to
    the function that sets the design's columns to that level (the
    reference first). The parameters whose names start with fixed (the
    intercept and the dummies of absorbed levels) are held at their
    estimates: no part of the standard errors."""
    names = list(fit.model.exog_names)
    X = np.asarray(fit.model.exog)
    beta = fit.params.to_numpy()
    share = weights / weights.sum()
    eta = X @ beta
    effects, jacobians = [], []
    for columns in slopes.values():
        dX = np.zeros_like(X)
        for name, values in columns(data).items():
            dX[:, names.index(name)] = values
        slope = dX @ beta
        effects.append(share @ (derivative(eta) * slope))
        jacobians.append(
            share @ (curvature(eta)[:, None] * slope[:, None] * X + derivative(eta)[:, None] * dX)
        )
    at_level = []
    for set_level in levels.values():
        X_level = set_level(X.copy(), names)
        eta_level = X_level @ beta
        at_level.append((share @ mean(eta_level), share @ (derivative(eta_level)[:, None] * X_level)))
    for level_mean, level_jacobian in at_level[1:]:
        effects.append(level_mean - at_level[0][0])
        jacobians.append(level_jacobian - at_level[0][1])
    jacobian = np.array(jacobians)
    if fixed:
        jacobian[:, [name == "Intercept" or name.startswith(fixed) for name in names]] = 0.0
    errors = np.sqrt(np.diag(jacobian @ fit.cov_params().to_numpy() @ jacobian.T))
    return list(slopes) + list(levels)[1:], np.array(effects), errors


def _setting(prefix, levels, level):
    """A function that sets the treatment columns prefix[T.l] of a design
    to the indicators of level (extra: other columns the level sets)."""

    def set_level(X, names):
        for other in levels:
            X[:, names.index(f"{prefix}[T.{other}]")] = float(other == level)
        return X

    return set_level


@pytest.fixture(scope="module")
def fair():
    data = sm.datasets.fair.load_pandas().data.rename(columns={"religious": "rel"})
    return data.assign(had=(data["affairs"] > 0).astype(float))


LOGIT = (expit, lambda e: expit(e) * expit(-e), lambda e: expit(e) * expit(-e) * (expit(-e) - expit(e)))
PROBIT = (norm.cdf, norm.pdf, lambda e: -e * norm.pdf(e))


@pytest.mark.parametrize("coding", ["", ", Sum", ", Poly"])
def test_fair_effects_equal_the_delta_method_on_statsmodels(fair, coding):
    # The case: a quadratic and a log transform (central
    # differences through formulaic) and a factor's discrete changes, which
    # are the same whatever the factor's contrasts (the reference is the
    # treatment-coded fit).
    formula = "had ~ age + I(age**2) + np.log(yrs_married) + C(rel)"
    reference = smf.glm(formula, fair, family=sm.families.Binomial()).fit(tol=1e-13)
    slopes = {
        "age": lambda d: {"age": np.ones(len(d)), "I(age ** 2)": 2 * d["age"].to_numpy()},
        "yrs_married": lambda d: {"np.log(yrs_married)": 1 / d["yrs_married"].to_numpy()},
    }
    levels = {
        f"C(rel)[T.{level}]": _setting("C(rel)", [2.0, 3.0, 4.0], level) for level in [1.0, 2.0, 3.0, 4.0]
    }
    names, effects, errors = _reference_effects(reference, fair, np.ones(len(fair)), slopes, levels, *LOGIT)
    coded = formula.replace("C(rel)", f"C(rel{coding})")
    table = quorvi.logit(coded, fair, tol=1e-10).marginal_effects(fair)
    assert list(table.index) == [name.replace("C(rel)", f"C(rel{coding})") for name in names]
    # Two fits to 1e-10 and a central difference of about 1e-10 relative.
    np.testing.assert_allclose(table["dy/dx"], effects, rtol=1e-6)
    np.testing.assert_allclose(table["std err"], errors, rtol=1e-4)
    z = table["dy/dx"] / table["std err"]
    np.testing.assert_allclose(
        table["[0.025"], table["dy/dx"] - norm.ppf(0.975) * table["std err"], rtol=1e-12
    )
    np.testing.assert_allclose(table["P>|z|"], 2 * norm.sf(np.abs(z)), rtol=1e-10)


def test_interactions_with_weights_and_a_probit_equal_statsmodels():
    # x enters linearly through three terms (x, x:np.log(z), x:C(g)), z
    # through a transform inside an interaction; the weights are frequency
    # weights in the fit and in the average alike.
    rng = np.random.default_rng(3)
    n = 600
    data = pd.DataFrame(
        {"x": rng.normal(size=n), "z": rng.uniform(0.5, 2.0, n), "g": rng.choice(list("abc"), n)}
    )
    eta = (
        0.3
        + 0.8 * data.x
        - 0.5 * np.log(data.z)
        + 0.6 * data.x * np.log(data.z)
        + 0.7 * data.x * (data.g == "c")
    )
    data["y"] = (rng.uniform(size=n) < norm.cdf(eta)).astype(float)
    weights = rng.integers(1, 4, n).astype(float)
    formula = "y ~ x * np.log(z) + C(g) + x:C(g)"
    family = sm.families.Binomial(sm.families.links.Probit())
    reference = smf.glm(formula, data, family=family, freq_weights=weights).fit(tol=1e-13)

    def x_slope(d):
        columns = {"x": np.ones(len(d)), "x:np.log(z)": np.log(d["z"].to_numpy())}
        columns.update({f"x:C(g)[T.{level}]": (d["g"] == level).to_numpy(float) for level in "bc"})
        return columns

    def z_slope(d):
        z = d["z"].to_numpy()
        return {"np.log(z)": 1 / z, "x:np.log(z)": d["x"].to_numpy() / z}

    def setting(level):
        x = data["x"].to_numpy()

        def set_level(X, names):
            for other in "bc":
                X[:, names.index(f"C(g)[T.{other}]")] = float(other == level)
                X[:, names.index(f"x:C(g)[T.{other}]")] = x * (other == level)
            return X

        return set_level

    levels = {f"C(g)[T.{level}]": setting(level) for level in "abc"}
    names, effects, errors = _reference_effects(
        reference, data, weights, {"x": x_slope, "z": z_slope}, levels, *PROBIT
    )
    model = quorvi.logit(
        formula, data, link="probit", information="expected", sample_weight=weights, tol=1e-10
    )
    table = model.marginal_effects(data, sample_weight=weights)
    assert list(table.index) == names
    np.testing.assert_allclose(table["dy/dx"], effects, rtol=1e-6)
    np.testing.assert_allclose(table["std err"], errors, rtol=1e-4)


def test_absorbed_levels_enter_as_on_the_dummy_fit():
    # "| firm": each row's effect enters its linear predictor; the standard
    # errors are the dummy model's delta method over every parameter (the
    # default), or with the levels and the intercept held at their
    # estimates (fixed_effects="given"); the reference is statsmodels' fit
    # with a dummy per firm. A firm whose outcomes are all 1 is left out of
    # the fit and of the average alike, so the reference is fitted without
    # its rows.
    rng = np.random.default_rng(4)
    n = 2400
    data = pd.DataFrame(
        {"x": rng.normal(size=n), "z": rng.uniform(0.5, 3.0, n), "firm": rng.integers(0, 30, n)}
    )
    data["g"] = rng.choice(list("abc"), n)
    eta = 0.5 * data.x - 0.2 * data.x**2 + 0.4 * np.log(data.z) + 0.3 * (data.g == "b") + np.sin(data.firm)
    data["y"] = (rng.uniform(size=n) < expit(eta)).astype(float)
    data.loc[data.firm == 7, "y"] = 1.0
    weights = rng.integers(1, 4, n).astype(float)
    kept = (data.firm != 7).to_numpy()
    reference = smf.glm(
        "y ~ x + I(x**2) + np.log(z) + C(g) + C(firm)",
        data[kept],
        family=sm.families.Binomial(),
        freq_weights=weights[kept],
    ).fit(tol=1e-13)
    slopes = {
        "x": lambda d: {"x": np.ones(len(d)), "I(x ** 2)": 2 * d["x"].to_numpy()},
        "z": lambda d: {"np.log(z)": 1 / d["z"].to_numpy()},
    }
    levels = {f"C(g)[T.{level}]": _setting("C(g)", "bc", level) for level in "abc"}
    with pytest.warns(quorvi.PerfectSeparationWarning):
        model = quorvi.logit(
            "y ~ x + I(x**2) + np.log(z) + C(g) | firm", data, sample_weight=weights, tol=1e-10
        )
    for fixed_effects, fixed in [("estimated", ""), ("given", "C(firm)")]:
        names, effects, errors = _reference_effects(
            reference, data[kept], weights[kept], slopes, levels, *LOGIT, fixed=fixed
        )
        table = model.marginal_effects(data, sample_weight=weights, fixed_effects=fixed_effects)
        assert list(table.index) == names
        np.testing.assert_allclose(table["dy/dx"], effects, rtol=1e-6)
        # Central differences of the terms (x², log z) in the formula's derivative effects.
        np.testing.assert_allclose(table["std err"], errors, rtol=1e-4)


def test_without_data_the_training_rows_are_averaged_over(fair):
    # The model keeps its training rows (no copy: pandas' copy-on-write
    # shares them), so marginal_effects() is marginal_effects(data, w):
    # after the caller writes to the frame, and with incomplete rows left
    # out (pickled, it keeps no rows: see the refusals below).
    data = fair.assign(w=np.arange(len(fair)) % 3 + 1.0)
    data.loc[::17, "educ"] = np.nan
    formula = "had ~ age + I(age**2) + educ + C(rel)"
    model = quorvi.logit(formula, data, sample_weight="w")
    given = model.marginal_effects(data, sample_weight="w")
    data.loc[:, "age"] = 30.0
    pd.testing.assert_frame_equal(model.marginal_effects(), given)
    # With '| fe' and the bias correction: the corrected average partial
    # effects, formed in fit, as after absorb=.
    panel = fair.assign(rel=fair["rel"].astype(int))
    corrected = quorvi.logit("had ~ age + educ | rel", panel, bias_correction="analytical")
    by_absorb = quorvi.LogisticRegression(absorb="rel", bias_correction="analytical").fit(
        panel[["age", "educ", "rel"]], panel["had"]
    )
    pd.testing.assert_frame_equal(corrected.marginal_effects(), by_absorb.marginal_effects(), rtol=1e-12)


def test_incomplete_rows_and_coded_factors_lose_nothing(fair):
    # Rows with a missing value are left out as the fit leaves them out; a
    # factor of a transform (C(children > 0)) is set through a row at each
    # level, and its effect is that of the same factor as a column; the
    # caller's frame is not written.
    incomplete = fair.assign(kids=fair["children"] > 0)
    incomplete.loc[::7, "age"] = np.nan
    before = incomplete.copy()
    transformed = quorvi.logit("had ~ np.log(age):C(children > 0) + C(rel)", incomplete)
    table = transformed.marginal_effects(incomplete)
    pd.testing.assert_frame_equal(incomplete, before)
    complete = incomplete.dropna()
    expected = quorvi.logit("had ~ np.log(age):C(kids) + C(rel)", complete).marginal_effects(complete)
    np.testing.assert_allclose(table.to_numpy(), expected.to_numpy(), rtol=1e-9)
    # The numeric variables first, then the factors in the order of their terms.
    levels = ["C(rel)[T.2.0]", "C(rel)[T.3.0]", "C(rel)[T.4.0]", "C(children > 0)[T.True]"]
    assert list(table.index) == ["age", *levels]


@pytest.mark.parametrize(
    ("formula", "call", "error", "message"),
    [
        (
            "had ~ age",
            lambda m, d: pickle.loads(pickle.dumps(m)).marginal_effects(),
            ValueError,
            r"needs the data: pass the rows",
        ),
        (
            "had ~ age + C(age > 30)",
            lambda m, d: m.marginal_effects(d),
            NotImplementedError,
            r"\['age'\] enter the formula both as numbers and as the levels of a factor",
        ),
        (
            "had ~ np.log(yrs_married)",
            lambda m, d: m.marginal_effects(d.assign(yrs_married=np.nan)),
            ValueError,
            r"no complete row",
        ),
        (
            "had ~ np.log(yrs_married)",
            lambda m, d: m.marginal_effects(d.assign(yrs_married=0.0)),
            ValueError,
            r"column 'np.log\(yrs_married\)' is infinite on a row",
        ),
    ],
)
def test_what_cannot_be_averaged_is_refused(fair, formula, call, error, message):
    with np.errstate(divide="ignore"), pytest.raises(error, match=message):
        call(quorvi.logit(formula, fair), fair)
