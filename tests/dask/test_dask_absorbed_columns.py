"""Several absorbed columns on a Dask DataFrame: the column of most levels
eliminated from each chunk's sums, the others given to them as indicator
columns. The reference is the in-memory fit of the same model, which
tests/estimator/test_absorb_panel.py holds to the dummy-variable model's
sandwich (statsmodels' GLM on the dummies), the independent reference."""

import warnings

import dask
import dask.dataframe as dd
import numpy as np
import pandas as pd
import pytest
from scipy.special import expit

import quorvi
from quorvi import LogisticRegression

# Each chunk's sums added in another order than one pass over all rows,
# and the further levels solved with the features rather than by
# iterations: rounding apart, on any kernel.
RTOL, ATOL = 1e-9, 1e-12


@pytest.fixture(scope="module", autouse=True)
def synchronous():
    with dask.config.set(scheduler="synchronous"):
        yield


def _panel(seed=3, n=6000):
    """Firms × years with weights and an offset: firm 5's rows all 1 (a
    level of one outcome, beside one so by chance), and firms 250-299 seen only in years 8-9, a group
    that no row links to the others (one year's indicator is dependent)."""
    rng = np.random.default_rng(seed)
    firm = rng.integers(0, 300, n)
    year = rng.integers(0, 8, n)
    late = firm >= 250
    year[late] = 8 + rng.integers(0, 2, late.sum())
    x1, x2 = rng.standard_normal(n), rng.standard_normal(n)
    y = (rng.random(n) < expit(0.7 * x1 - 0.4 * x2 + 0.01 * (firm % 17) + 0.1 * year)).astype(int)
    y[firm == 5] = 1
    g = pd.Categorical(rng.choice(list("abc"), n))
    frame = pd.DataFrame({"x1": x1, "x2": x2, "g": g, "firm": firm, "year": year, "y": y})
    return frame, rng.integers(1, 4, n).astype(np.float64), np.linspace(-0.3, 0.3, n)


def _assert_same_fit(model, reference, frame, offset):
    np.testing.assert_allclose(model.coef_, reference.coef_, rtol=RTOL)
    np.testing.assert_allclose(model.covariance_, reference.covariance_, rtol=RTOL, atol=ATOL)
    np.testing.assert_allclose(model.intercept_, reference.intercept_, rtol=RTOL, atol=ATOL)
    # The rank of the dummy design (a level less for the unlinked group)
    # in the statistics, and the small-sample factors through the covariance.
    assert (model.df_model_, model.n_separated_rows_) == (reference.df_model_, reference.n_separated_rows_)
    np.testing.assert_allclose([model.aic_, model.bic_], [reference.aic_, reference.bic_], rtol=RTOL)
    # Effects where the rows identify them: the unlinked group's are a
    # normalisation of their own (the dropped indicator's level at 0 here,
    # the iterations' end in memory), with which the rows are predicted alike.
    for name in ("firm", "year"):
        effects, expected = model.fixed_effects_[name], reference.fixed_effects_[name]
        assert list(effects.index) == list(expected.index)
        np.testing.assert_array_equal(np.isnan(effects), np.isnan(expected))
        keep = effects.index < (250 if name == "firm" else 8)
        np.testing.assert_allclose(effects[keep], expected[keep], rtol=RTOL, atol=ATOL)
    np.testing.assert_allclose(
        model.predict_proba(frame, offset=offset),
        reference.predict_proba(frame, offset=offset),
        rtol=RTOL,
        atol=1e-15,
    )


@pytest.mark.parametrize(
    ("cov_type", "clusters"),
    [("nonrobust", None), ("HC1", None), ("cluster", "firm"), ("cluster", ["firm", "year"])],
)
def test_two_absorbed_columns_on_dask_equal_the_in_memory_fit(cov_type, clusters):
    frame, weights, offset = _panel()
    X, y = frame.drop(columns=["y", "g"]), frame["y"].to_numpy()
    given = {"sample_weight": weights, "offset": offset}
    if clusters is not None:
        given["clusters"] = clusters
    with pytest.warns(quorvi.PerfectSeparationWarning, match="2 of 'firm'"):
        reference = LogisticRegression(absorb=["firm", "year"], cov_type=cov_type).fit(X, y, **given)
    with pytest.warns(quorvi.PerfectSeparationWarning, match="2 of 'firm'"):
        model = LogisticRegression(absorb=["firm", "year"], cov_type=cov_type).fit(
            dd.from_pandas(X, npartitions=4), dd.from_pandas(pd.Series(y), npartitions=4), **given
        )
    _assert_same_fit(model, reference, X, offset)
    # Predictions on the Dask frame: the separated firm's rows at their limit.
    probabilities = model.predict_proba(dd.from_pandas(X, npartitions=3), offset=offset).compute()
    np.testing.assert_allclose(
        probabilities, reference.predict_proba(X, offset=offset), rtol=RTOL, atol=1e-15
    )
    assert (probabilities[X["firm"] == 5, 1] == 1.0).all()


@pytest.mark.parametrize(
    "formula",
    [
        "y ~ x1 + x2 | firm + year",
        # A categorical feature's dummy columns made dense in each chunk's
        # task, for the robust sums beside the levels.
        "y ~ x1 + C(g) | firm + year",
    ],
)
def test_firm_and_year_in_a_formula_on_dask_equal_the_pandas_fit(formula):
    frame, _, _ = _panel(seed=8)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", quorvi.PerfectSeparationWarning)
        reference = quorvi.logit(formula, frame, cov_type="cluster", clusters="firm")
        model = quorvi.logit(
            formula, dd.from_pandas(frame, npartitions=5), cov_type="cluster", clusters="firm"
        )
    np.testing.assert_allclose(model.coef_, reference.coef_, rtol=RTOL)
    np.testing.assert_allclose(model.covariance_, reference.covariance_, rtol=RTOL, atol=ATOL)
    pd.testing.assert_frame_equal(
        model.coef_table(), reference.coef_table(), check_exact=False, rtol=RTOL, atol=ATOL
    )


def _never_computed(part):
    raise AssertionError("a pass over the features ran")


def test_further_levels_beyond_the_cap_are_refused_before_any_pass_over_the_features():
    rng = np.random.default_rng(1)
    n = 3000
    frame = pd.DataFrame(
        {"x": rng.standard_normal(n), "firm": np.arange(n) % 1500, "cell": np.arange(n) % 1200}
    )
    X = dd.from_pandas(frame, npartitions=3)
    # The feature's partitions raise when computed; the absorbed columns' do not.
    X = X.assign(x=X["x"].map_partitions(_never_computed, meta=X._meta["x"]))
    with pytest.raises(
        ValueError,
        match=r"^absorb= on a Dask DataFrame takes at most 1,000 levels together in the absorbed columns "
        r"after the one of most levels \('firm', 1,500 levels\): 'cell' has 1,200, 1,200 in all \(.*\)\. Fit in memory, .*, or absorb fewer columns\.$",
    ):
        LogisticRegression(absorb=["cell", "firm"]).fit(X, rng.integers(0, 2, n))
