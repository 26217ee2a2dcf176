"""A formula's incomplete rows on a Dask DataFrame (missing="drop"): left
out partition by partition, with the weights and offsets of the same rows,
as the in-memory fit leaves them out (which matches statsmodels'
missing="drop", tests/estimator/test_formula.py)."""

import re

import numpy as np
import pytest

import quorvi

pd = pytest.importorskip("pandas")
dd = pytest.importorskip("dask.dataframe")
sm = pytest.importorskip("statsmodels.api")
pytest.importorskip("formulaic")

FORMULA = "had_affair ~ educ + C(rel) + np.log(yrs_married - 1) + age:C(occ)"


@pytest.fixture(scope="module")
def incomplete():
    """The affairs data with about 5 % of its rows incomplete: missing
    values in a numeric variable, a factor, the label and the weights'
    column, and yrs_married - 1 negative (its log NaN) on the rows of 0.5
    years; a complete offset given as values."""
    rng = np.random.default_rng(3)
    data = sm.datasets.fair.load_pandas().data
    data = data.assign(
        had_affair=(data["affairs"] > 0).astype(float),
        rel=pd.Categorical(data["religious"].map({1: "none", 2: "mild", 3: "fairly", 4: "strong"})),
        occ=pd.Categorical(data["occupation"].astype(int).astype(str)),
        w=rng.integers(1, 4, len(data)).astype(float),
    )
    for column, count in [("educ", 60), ("rel", 40), ("had_affair", 30), ("w", 20)]:
        data.loc[rng.choice(len(data), count, replace=False), column] = np.nan
    return data, rng.normal(scale=0.1, size=len(data))


def test_incomplete_rows_on_dask_are_dropped_as_in_memory(incomplete):
    data, offset = incomplete
    expected = quorvi.logit(FORMULA, data, sample_weight="w", offset=offset, cov_type="HC1", tol=1e-10)
    # Rows of a transform's NaN, of missing values and of missing weights:
    # about 5 % of the data, in every partition.
    assert 0.04 * len(data) < expected.n_dropped_rows_ < 0.08 * len(data)
    frame = dd.from_pandas(data, npartitions=3)
    model = quorvi.logit(FORMULA, frame, sample_weight="w", offset=offset, cov_type="HC1", tol=1e-10)
    assert model.n_dropped_rows_ == expected.n_dropped_rows_
    assert model.n_obs_ == expected.n_obs_
    assert re.search(rf"Rows dropped \(missing values\): +{model.n_dropped_rows_}\n", str(model.summary()))
    table, reference = model.coef_table(), expected.coef_table()
    # The partitions' sums are added in another order than the in-memory
    # chunks': rounding apart, at converged fits.
    np.testing.assert_allclose(table["coef"], reference["coef"], rtol=1e-10, atol=1e-12)
    np.testing.assert_allclose(table["std err"], reference["std err"], rtol=1e-10, atol=1e-12)
    # The data's length kept, NaN where a variable of the right-hand side is
    # missing (as in memory); labels and scores need every row.
    probabilities = model.predict_proba(frame, offset=offset).compute()
    np.testing.assert_allclose(
        probabilities, expected.predict_proba(data, offset=offset), rtol=1e-9, atol=1e-12
    )
    np.testing.assert_array_equal(
        np.isnan(model.decision_function(frame, offset=offset).compute()),
        np.isnan(probabilities[:, 1]),
    )
    with pytest.raises(ValueError, match=r"partition \d of the data: predict\(\) needs every row"):
        model.predict(frame, offset=offset).compute()
    with pytest.raises(ValueError, match=r"partition \d of the data: score\(\) needs every row"):
        model.score(frame)
    # A weight given as values (not a column) must be complete on Dask.
    with pytest.raises(
        ValueError, match=r"sample_weight has \d+ missing value\(s\) on rows .* give sample_weight"
    ):
        quorvi.logit(FORMULA, frame.drop(columns="w"), sample_weight=data["w"].to_numpy())


@pytest.mark.parametrize(
    ("formula", "arguments"),
    [
        (FORMULA, {"sample_weight": "w", "offset": True}),
        ("had_affair ~ educ + np.log(age) + C(rel) | occ", {"sample_weight": "w"}),
    ],
    ids=["weights and an offset", "absorbed"],
)
def test_formula_margins_on_dask_are_those_of_the_rows_in_memory(incomplete, formula, arguments):
    # The in-memory margins equal statsmodels' and marginaleffects'
    # (tests/estimator/test_formula_margins.py); on Dask each partition
    # evaluates the terms where it lives, with its incomplete rows left out,
    # and the partitions' weighted sums are added: the same average.
    data, offset = incomplete
    given = {
        "sample_weight": arguments.get("sample_weight"),
        "offset": offset if arguments.get("offset") else None,
    }
    expected = quorvi.logit(formula, data, tol=1e-10, **given)
    frame = dd.from_pandas(data, npartitions=3)
    table = expected.marginal_effects(frame, **given)
    reference = expected.marginal_effects(data, **given)
    assert list(table.index) == list(reference.index)
    # The central differences of np.log(age) take steps of each partition's
    # own scale: with the levels' part of the delta method (the default
    # beside '| occ'), the errors then differ by about 2e-10.
    rtol = 1e-9 if "|" in formula else 1e-10
    np.testing.assert_allclose(table.to_numpy(), reference.to_numpy(), rtol=rtol, atol=1e-13)
