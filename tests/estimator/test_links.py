"""The probit and complementary log-log links against statsmodels' GLM of
the same binomial family (Fisher scoring, covariance on the expected
information) and against published estimates."""

import numpy as np
import pandas as pd
import pytest

from quorvi import LogisticRegression

sm = pytest.importorskip("statsmodels.api")

# statsmodels' link class of each of ours.
STATSMODELS_LINKS = {"probit": "Probit", "cloglog": "CLogLog"}

# Eight clusters of four consecutive rows of the 32.
CLUSTERS = np.arange(32) // 4


def _spector():
    data = sm.datasets.spector.load_pandas()
    return data.exog, data.endog.to_numpy()


def _statsmodels_fit(X, y, link):
    family = sm.families.Binomial(link=getattr(sm.families.links, STATSMODELS_LINKS[link])())
    glm = sm.GLM(y, sm.add_constant(X), family=family)
    return glm, glm.fit(tol=1e-14, maxiter=200)


def _delta_method_errors(design, model, link):
    """The standard errors of the average marginal effects mean(h'(Xθ)) θⱼ
    (h' statsmodels' inverse_deriv of the link), by the delta method with
    the model's covariance and the Jacobian by central differences."""
    theta = model._parameters()

    def effects(parameters):
        return link.inverse_deriv(design @ parameters).mean() * parameters[1:]

    steps = 1e-5 * np.maximum(np.abs(theta), 1.0)
    J = np.column_stack(
        [
            (effects(theta + step * unit) - effects(theta - step * unit)) / (2 * step)
            for step, unit in zip(steps, np.eye(len(theta)), strict=True)
        ]
    )
    return np.sqrt(np.diag(J @ model.covariance_ @ J.T))


def _standard_errors(glm, result, cov_type):
    """The model-based standard errors statsmodels reports, and the robust
    ones built from its scores and its expected information B: B (Σ sᵢsᵢᵀ) B
    (HC0) and B (Σ_g u_g u_gᵀ) B · G/(G - 1) · (n - 1)/(n - k) (CR1), the
    bread of R's sandwich::vcovHC and vcovCL for a glm. (statsmodels' own
    robust covariances of a GLM take the observed information for the bread,
    which for a non-canonical link is another matrix.)"""
    if cov_type == "nonrobust":
        return np.asarray(result.bse)
    bread = np.linalg.inv(-glm.hessian(result.params.to_numpy(), observed=False))
    scores = glm.score_obs(result.params.to_numpy())
    if cov_type == "cluster":
        scores = pd.DataFrame(scores).groupby(CLUSTERS).sum().to_numpy()
        (n, k), groups = glm.exog.shape, len(scores)
        scale = groups / (groups - 1) * (n - 1) / (n - k)
    else:
        scale = 1.0
    return np.sqrt(np.diag(bread @ (scores.T @ scores) @ bread) * scale)


@pytest.mark.parametrize("link", ["probit", "cloglog"])
@pytest.mark.parametrize("cov_type", ["nonrobust", "HC0", "cluster"])
def test_link_equals_statsmodels_glm(link, cov_type):
    X, y = _spector()
    clusters = {"clusters": CLUSTERS} if cov_type == "cluster" else {}
    model = LogisticRegression(link=link, cov_type=cov_type, tol=1e-12, information="expected")
    model.fit(X, y, **clusters)
    glm, reference = _statsmodels_fit(X, y, link)
    table = model.coef_table()
    # Sums in another order on another BLAS kernel move the last few digits.
    np.testing.assert_allclose(table["coef"], reference.params, rtol=1e-7, atol=1e-10)
    expected_errors = _standard_errors(glm, reference, cov_type)
    np.testing.assert_allclose(table["std err"], expected_errors, rtol=1e-7, atol=1e-10)
    np.testing.assert_allclose(model.log_likelihood_, reference.llf, rtol=1e-9)
    np.testing.assert_allclose(model.null_log_likelihood_, reference.llnull, rtol=1e-9)
    np.testing.assert_allclose(model.predict_proba(X)[:, 1], reference.fittedvalues, rtol=1e-7, atol=1e-12)
    if cov_type == "nonrobust":
        table = model.prediction_table(X)
        expected = reference.get_prediction(sm.add_constant(X)).summary_frame()[table.columns]
        pd.testing.assert_frame_equal(table, expected, check_exact=False, rtol=1e-7, atol=1e-10)
    # The average marginal effect is the mean of h'(η) times the coefficient,
    # over the rows given or (without X) from the sums of the fit's last pass.
    # Their standard errors are the delta method's, J V Jᵀ with V =
    # covariance_, J the Jacobian of that mean by central differences.
    slopes = reference.family.link.inverse_deriv(reference.predict(which="linear"))
    errors = _delta_method_errors(sm.add_constant(X).to_numpy(), model, reference.family.link)
    for effects in (model.marginal_effects(X), model.marginal_effects()):
        np.testing.assert_allclose(
            effects["dy/dx"], slopes.mean() * reference.params[1:], rtol=1e-7, atol=1e-10
        )
        # Central differences are accurate to about 1e-9 relative here.
        np.testing.assert_allclose(effects["std err"], errors, rtol=1e-6)
    assert f"Model: {link.capitalize()}" in " ".join(str(model.summary()).split())
    # The fitted model keeps its link: a later set_params(link=) changes the
    # next fit, not these predictions.
    model.set_params(link="logit" if link != "logit" else "probit")
    np.testing.assert_allclose(model.predict_proba(X)[:, 1], reference.fittedvalues, rtol=1e-7, atol=1e-12)


@pytest.mark.parametrize("link", ["probit", "cloglog"])
@pytest.mark.parametrize("cov_type", ["nonrobust", "HC0", "HC1", "cluster"])
def test_observed_information_is_the_default_bread(link, cov_type):
    # The default bread of probit and cloglog is the negative Hessian, as
    # Stata's probit and statsmodels' discrete Probit take it (and robust
    # GLM fits of statsmodels): here statsmodels' GLM Hessian with
    # observed=True at its maximum, and its scores. Greene's published
    # probit standard errors (Econometric Analysis, Spector and Mazzeo) are
    # these to his four digits.
    X, y = _spector()
    clusters = {"clusters": CLUSTERS} if cov_type == "cluster" else {}
    model = LogisticRegression(link=link, cov_type=cov_type, tol=1e-12).fit(X, y, **clusters)
    glm, reference = _statsmodels_fit(X, y, link)
    params = reference.params.to_numpy()
    bread = np.linalg.inv(-glm.hessian(params, observed=True))
    scores = glm.score_obs(params)
    (n, k), scale = glm.exog.shape, 1.0
    if cov_type == "cluster":
        scores = pd.DataFrame(scores).groupby(CLUSTERS).sum().to_numpy()
        scale = len(scores) / (len(scores) - 1) * (n - 1) / (n - k)
    elif cov_type == "HC1":
        scale = n / (n - k)
    expected = bread if cov_type == "nonrobust" else bread @ (scores.T @ scores) @ bread * scale
    # As in the test above; the off-diagonal covariances lose a digit more
    # to cancellation in the meat.
    np.testing.assert_allclose(model.coef_table()["std err"], np.sqrt(np.diag(expected)), rtol=1e-7)
    np.testing.assert_allclose(model.covariance_, expected, rtol=1e-6, atol=1e-12)
    if link == "probit" and cov_type == "nonrobust":
        np.testing.assert_allclose(model.coef_table()["std err"], [2.5425, 0.6939, 0.0839, 0.5950], atol=5e-5)
        discrete = sm.Probit(y, sm.add_constant(X)).fit(disp=0, tol=1e-12)
        np.testing.assert_allclose(model.coef_table()["std err"], discrete.bse, rtol=1e-7)
    assert "observed information" in " ".join(str(model.summary()).split())


def test_probit_equals_published_estimates_and_margins():
    """Greene, Econometric Analysis, the Spector and Mazzeo probit; the
    average marginal effects and their delta-method standard errors as
    statsmodels' discrete Probit gives them (both on the observed
    information, the default bread here): the errors read h''(η) = -η φ(η),
    here and (without X) in the engine's sums of the fit's last pass."""
    X, y = _spector()
    model = LogisticRegression(link="probit", tol=1e-12).fit(X, y)
    np.testing.assert_allclose(model.coef_table()["coef"], [-7.45232, 1.62581, 0.051729, 1.42633], rtol=5e-6)
    expected = (
        sm.Probit(y, sm.add_constant(X)).fit(disp=0, tol=1e-12).get_margeff(at="overall").summary_frame()
    )
    for effects in (model.marginal_effects(X), model.marginal_effects()):
        np.testing.assert_allclose(effects["dy/dx"], expected["dy/dx"], rtol=1e-7, atol=1e-10)
        np.testing.assert_allclose(effects["std err"], expected["Std. Err."], rtol=1e-7)


def test_cloglog_rows_fitted_at_exactly_one_are_cleared_without_the_linear_program(monkeypatch):
    # Rows of y = 1 at eta = 7.7 are fitted at mu = 1 exactly (which asks for
    # the separation check) and their score residual exp(eta - exp(eta))
    # underflows to 0: the fit's own residuals must still prove that nothing
    # separates, as they do for a million well-fitted rows, where the linear
    # program took a minute. Against statsmodels' fit of the same rows.
    import quorvi._separation

    def linear_program(*arguments, **keywords):
        raise AssertionError("the linear program ran")

    monkeypatch.setattr(quorvi._separation, "find_separation", linear_program)
    rng = np.random.default_rng(3)
    x = np.concatenate([rng.standard_normal(3_000), np.full(5, 10.0)])
    y = (rng.random(3_005) < -np.expm1(-np.exp(-0.3 + 0.8 * x))).astype(float)
    assert y[-5:].all()
    fitted = LogisticRegression(link="cloglog", tol=1e-12).fit(x[:, None], y)
    _, reference = _statsmodels_fit(x[:, None], y, "cloglog")
    np.testing.assert_allclose(
        [fitted.intercept_[0], fitted.coef_[0, 0]], reference.params, rtol=1e-8, atol=1e-10
    )


@pytest.mark.parametrize("link", ["logit", "probit", "cloglog"])
def test_predict_is_the_class_of_probability_above_one_half(link):
    # Each link's class boundary is the score of probability 1/2 (cloglog's
    # log(log 2), not 0): 2,000 rows whose scores fall on both sides of it.
    rng = np.random.default_rng(8)
    X = rng.standard_normal((2_000, 2))
    y = np.where(rng.random(2_000) < 0.5 + 0.3 * np.tanh(X[:, 0] - 0.5 * X[:, 1]), "yes", "no")
    model = LogisticRegression(link=link).fit(X, y)
    probabilities = model.predict_proba(X)[:, 1]
    assert np.mean(np.abs(probabilities - 0.5) < 0.1) > 0.05  # many rows near the boundary
    np.testing.assert_array_equal(model.predict(X), model.classes_[(probabilities > 0.5).astype(int)])
