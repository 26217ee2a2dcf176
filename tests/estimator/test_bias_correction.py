"""bias_correction="analytical" against the textbook expansion written out
here from the log-likelihood's derivatives (Fernández-Val and Weidner 2016,
static model; Hahn and Newey 2004 for one column), on the dummy-variable
model as statsmodels' GLM fits it. The Monte Carlo with known slopes is
bench/bias_correction_mc.py."""

import warnings

import numpy as np
import pytest
from scipy.special import expit
from scipy.stats import norm

import quorvi
from quorvi import LogisticRegression, PerfectSeparationWarning

pd = pytest.importorskip("pandas")
sm = pytest.importorskip("statsmodels.api")
pytest.importorskip("formulaic")


def _panel(seed=5, firms=40, years=6):
    """Firms × years, x1 correlated with the firm effects; firm 0's
    outcomes all 1, so its rows carry no information."""
    rng = np.random.default_rng(seed)
    firm, year = np.repeat(np.arange(firms), years), np.tile(np.arange(years), firms)
    alpha = rng.normal(0, 1, firms)
    frame = pd.DataFrame(
        {
            "firm": firm,
            "year": year,
            "x1": rng.standard_normal(len(firm)) + 0.5 * alpha[firm],
            "x2": rng.standard_normal(len(firm)),
        }
    )
    eta = frame["x1"] - 0.5 * frame["x2"] + alpha[firm] + 0.2 * (year - 2)
    frame["y"] = (rng.random(len(frame)) < expit(eta)).astype(int)
    frame.loc[frame["firm"] == 0, "y"] = 1
    return frame


def _informative(frame, absorbed):
    """The rows left once levels of a single outcome are dropped, repeatedly."""
    kept = np.ones(len(frame), dtype=bool)
    changed = True
    while changed:
        changed = False
        for column in absorbed:
            means = frame["y"][kept].groupby(frame[column][kept]).transform("mean")
            single = kept.copy()
            single[kept] = ((means == 0) | (means == 1)).to_numpy()
            if single.any():
                kept &= ~single
                changed = True
    return frame[kept]


def _cdf_derivatives(eta, link):
    """F and its first three derivatives."""
    if link == "logit":
        F = expit(eta)
        f = F * (1 - F)
        return F, f, f * (1 - 2 * F), f * ((1 - 2 * F) ** 2 - 2 * f)
    f = norm.pdf(eta)
    return norm.cdf(eta), f, -eta * f, (eta**2 - 1) * f


def _expected_derivatives(eta, link):
    """Per row, F, f, f', f'' and E ∂²ℓ/∂π², E[∂ℓ/∂π ∂²ℓ/∂π²], E ∂³ℓ/∂π³ of
    ℓ = y log F + (1 − y) log(1 − F), the expectations over y ∈ {0, 1} at F."""
    F, f, f1, f2 = _cdf_derivatives(eta, link)
    G = 1 - F
    # ∂ℓ/∂π, ∂²ℓ/∂π², ∂³ℓ/∂π³ at y = 1 and at y = 0.
    d1 = (f / F, -f / G)
    d2 = (f1 / F - f**2 / F**2, -f1 / G - f**2 / G**2)
    d3 = (f2 / F - 3 * f * f1 / F**2 + 2 * f**3 / F**3, -f2 / G - 3 * f * f1 / G**2 - 2 * f**3 / G**3)

    def expected(one, zero):
        return F * one + G * zero

    return (F, f, f1, f2), expected(*d2), expected(d1[0] * d2[0], d1[1] * d2[1]), expected(*d3)


def _textbook_correction(rows, features, absorbed, link):
    """β̂ and β̃ = β̂ − W⁻¹B̂/T − W⁻¹D̂/N with B̂, D̂ and W of Fernández-Val and
    Weidner (2016, section 4.3) at L = 0, their expectations over y ∈ {0, 1}
    at the fitted probabilities, in the unnormalised form (W, B̂ and D̂
    times NT, N and T); and the model's dummy design."""
    dummies = [pd.get_dummies(rows[c], prefix=c, drop_first=True, dtype=float) for c in absorbed]
    levels = pd.concat([pd.Series(1.0, index=rows.index, name="const"), *dummies], axis=1).to_numpy()
    X = rows[features].to_numpy()
    family = sm.families.Binomial(
        sm.families.links.Logit() if link == "logit" else sm.families.links.Probit()
    )
    fit = sm.GLM(rows["y"].to_numpy(), np.column_stack([X, levels]), family=family).fit(tol=1e-14)
    beta = fit.params[: len(features)]
    _, E_d2, E_d1d2, E_d3 = _expected_derivatives(np.column_stack([X, levels]) @ fit.params, link)
    # x̃: the residual of the features' projection on the levels' dummies, weighted by −E ∂²ℓ.
    root = np.sqrt(-E_d2)
    coefficients = np.linalg.lstsq(levels * root[:, None], X * root[:, None], rcond=None)[0]
    X_tilde = X - levels @ coefficients
    W = (X_tilde * -E_d2[:, None]).T @ X_tilde
    bias = np.zeros(len(features))
    for column in absorbed:
        for level in np.unique(rows[column]):
            members = np.flatnonzero(rows[column].to_numpy() == level)
            numerator = np.zeros(len(features))
            for row in members:
                numerator += (E_d1d2[row] + 0.5 * E_d3[row]) * X_tilde[row]
            bias -= numerator / E_d2[members].sum()
    return beta, beta - np.linalg.solve(W, bias), family, levels


def _textbook_partial_effects(rows, n, features, absorbed, link, slopes, levels, level_parameters):
    """The average partial effects δₖ = Σ βₖ f(η) / n at the slopes and levels
    given, n counting the rows left out for a single outcome too (their
    effect is 0 at the limit of their probability), less their bias as the second-order expansion in the levels θ of
    the dummy model gives it (Cox and Snell's bias of θ̂, I⁻¹ Σ c L q, and the
    curvature ½ Σ ∂²Δ q, with c = E[∂ℓ ∂²ℓ] + ½ E ∂³ℓ and q the variance of
    π̂ of each row: exactly 1/Σ w of its level for one column, Fernández-Val
    and Weidner's 1/Σ w of its firm + 1/Σ w of its year for two); and their
    covariance, the delta method on the whole dummy model (slopes and
    levels), with the rows' scores' outer product between its information."""
    X, y = rows[features].to_numpy(), rows["y"].to_numpy()
    design = np.column_stack([X, levels])
    eta = X @ slopes + levels @ level_parameters
    (F, f, f1, f2), E_d2, E_d1d2, E_d3 = _expected_derivatives(eta, link)
    w, c = -E_d2, E_d1d2 + 0.5 * E_d3
    if len(absorbed) == 1:
        q = np.einsum("ij,jk,ik->i", levels, np.linalg.inv(levels.T @ (levels * w[:, None])), levels)
    else:
        weights = pd.Series(w, index=rows.index)
        q = sum(1 / weights.groupby(rows[column]).transform("sum").to_numpy() for column in absorbed)
    level_information = levels.T @ (levels * w[:, None])
    level_bias = np.linalg.solve(level_information, levels.T @ (c * q))
    effects = slopes * f.sum() / n
    bias = np.array([(b * f1) @ levels @ level_bias + 0.5 * ((b * f2) @ q) for b in slopes]) / n
    # ∂δₖ/∂(β, θ): Σ (1{j = k} f + βₖ f' zⱼ) / n, z the row of the design.
    gradient = (design.T @ f1)[:, None] * slopes[None, :] / n
    gradient[np.arange(len(features)), np.arange(len(features))] += f.sum() / n
    information = design.T @ (design * w[:, None])
    scores = design * ((y - F) * f / (F * (1 - F)))[:, None]
    sandwich = np.linalg.solve(information, scores.T @ scores) @ np.linalg.inv(information)
    return effects - bias, gradient.T @ sandwich @ gradient


@pytest.mark.parametrize("link", ["logit", "probit"])
@pytest.mark.parametrize("absorbed", [["firm"], ["firm", "year"]])
def test_correction_is_the_textbook_expansion_and_levels_are_solved_again(link, absorbed):
    frame = _panel()
    features = ["x1", "x2"]
    with pytest.warns(PerfectSeparationWarning):
        model = LogisticRegression(absorb=absorbed, link=link, tol=1e-12, bias_correction="analytical").fit(
            frame[[*features, *absorbed]], frame["y"]
        )
    with pytest.warns(PerfectSeparationWarning):
        formula = quorvi.logit(
            f"y ~ x1 + x2 | {' + '.join(absorbed)}", frame, link=link, tol=1e-12, bias_correction="analytical"
        )
    np.testing.assert_allclose(formula.coef_, model.coef_, rtol=1e-13)
    rows = _informative(frame, absorbed)
    assert model.n_separated_rows_ == len(frame) - len(rows) > 0
    beta, corrected, family, levels = _textbook_correction(rows, features, absorbed, link)
    # Two fits of one model by IRLS to 1e-12 and 1e-14; the correction is a
    # smooth function of them.
    np.testing.assert_allclose(model.coef_uncorrected_[0], beta, rtol=1e-8)
    np.testing.assert_allclose(model.coef_[0], corrected, rtol=1e-8)
    assert np.all(np.abs(corrected) < np.abs(beta))  # the bias of short panels is away from 0
    # The levels given the corrected slopes: the dummy fit with X β̃ as offset.
    offset = rows[features].to_numpy() @ corrected
    levels_fit = sm.GLM(rows["y"].to_numpy(), levels, family=family, offset=offset).fit(tol=1e-14)
    np.testing.assert_allclose(
        model.predict_proba(rows[[*features, *absorbed]])[:, 1],
        levels_fit.predict(levels, offset=offset),
        rtol=1e-7,
    )
    effects, covariance = _textbook_partial_effects(
        rows, len(frame), features, absorbed, link, corrected, levels, levels_fit.params
    )
    table = model.marginal_effects()
    np.testing.assert_allclose(table["dy/dx"], effects, rtol=1e-8)
    np.testing.assert_allclose(table["std err"], np.sqrt(np.diag(covariance)), rtol=1e-7)
    # The covariance is the uncorrected fit's.
    with pytest.warns(PerfectSeparationWarning):
        uncorrected = LogisticRegression(absorb=absorbed, link=link, tol=1e-12).fit(
            frame[[*features, *absorbed]], frame["y"]
        )
    np.testing.assert_array_equal(model.covariance_, uncorrected.covariance_)
    np.testing.assert_array_equal(model.coef_uncorrected_, uncorrected.coef_)
    assert "Slopes bias-corrected (analytical" in str(model.summary())


@pytest.mark.parametrize("absorbed", [["firm"], ["firm", "year"]])
def test_weights_are_repeated_rows_and_an_offset_is_a_known_slope(absorbed):
    frame = _panel()
    X = frame[["x1", "x2", *absorbed]]
    counts = np.random.default_rng(2).integers(1, 4, len(frame))

    def fitted(X, y, **arguments):
        with pytest.warns(PerfectSeparationWarning):
            return LogisticRegression(absorb=absorbed, bias_correction="analytical", tol=1e-12).fit(
                X, y, **arguments
            )

    weighted = fitted(X, frame["y"], sample_weight=counts.astype(float))
    repeated = fitted(X.loc[X.index.repeat(counts)], frame["y"].loc[frame.index.repeat(counts)])
    # The same sums in another order.
    np.testing.assert_allclose(weighted.coef_, repeated.coef_, rtol=1e-10)
    np.testing.assert_allclose(weighted.predict_proba(X), repeated.predict_proba(X), rtol=1e-9, atol=1e-14)
    plain = fitted(X, frame["y"])
    shifted = fitted(X, frame["y"], offset=0.3 * frame["x2"].to_numpy())
    np.testing.assert_allclose(shifted.coef_, plain.coef_ - [[0.0, 0.3]], rtol=1e-9)


def test_refusals_say_why():
    frame = _panel()
    frame["z"] = frame["year"] % 2
    frame["g"] = np.where(frame["x2"] > 0, "a", "b")
    cases = [
        (
            {"absorb": ["firm", "year", "z"]},
            frame[["x1", "firm", "year", "z"]],
            "names 3: the bias of three-way",
        ),
        ({"absorb": "firm", "link": "cloglog"}, frame[["x1", "firm"]], "for the logit and probit links, not"),
        ({}, frame[["x1", "x2"]], "it needs absorb="),
        ({"absorb": "firm"}, frame[["x1", "g", "firm"]], "is formed for numeric features"),
    ]
    for parameters, X, message in cases:
        model = LogisticRegression(bias_correction="analytical", **parameters)
        with pytest.raises(ValueError, match=message):
            model.fit(X, frame["y"])
    with pytest.warns(PerfectSeparationWarning):
        model = LogisticRegression(absorb="firm", bias_correction="analytical").fit(
            frame[["x1", "firm"]], frame["y"]
        )
    with pytest.raises(ValueError, match=r"call it without X, sample_weight and offset"):
        model.marginal_effects(frame[["x1", "firm"]])
    # A fit stopped before it converged is left uncorrected, and says so.
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        model = LogisticRegression(absorb="firm", bias_correction="analytical", max_iter=1).fit(
            frame[["x1", "firm"]], frame["y"]
        )
    assert any("was not applied: the fit did not converge" in str(w.message) for w in caught)
    assert not hasattr(model, "coef_uncorrected_")
    dd = pytest.importorskip("dask.dataframe")
    with pytest.raises(ValueError, match="not a Dask or Spark one"):
        LogisticRegression(absorb="firm", bias_correction="analytical").fit(
            dd.from_pandas(frame[["x1", "firm"]], npartitions=2), dd.from_pandas(frame["y"], npartitions=2)
        )
