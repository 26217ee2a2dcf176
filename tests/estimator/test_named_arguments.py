"""Arguments by column name (sample_weight="w", offset="o", clusters="g")
against the same fit given their values, and the offsets a model fitted
with them needs at prediction, in cross-validation against a loop written
by hand."""

import re

import numpy as np
import pandas as pd
import pytest
from sklearn.model_selection import KFold, cross_val_score

from quorvi import LogisticRegression

OFFSET_REQUIRED = (
    "the model was fitted with an offset: pass the rows' offsets (offset=, an array or the name of a "
    "column of X; offset=0 to take them as 0), so that the predictions are those of the fitted model."
)


def _data(n=1200, seed=4):
    """Features a, b, c (and firm, for absorb=) with the named columns beside them."""
    rng = np.random.default_rng(seed)
    features = pd.DataFrame(rng.normal(size=(n, 3)), columns=["a", "b", "c"])
    firm = rng.integers(0, 40, n)
    o = 0.4 * rng.normal(size=n)
    eta = features.to_numpy() @ [0.5, -1.0, 0.3] + o + (firm % 5 - 2) / 4
    y = (rng.random(n) < 1 / (1 + np.exp(-eta))).astype(float)
    named = {"w": rng.integers(1, 4, n).astype(float), "o": o, "g": rng.integers(0, 25, n)}
    return features, firm, named, y


def _frame(kind, frame):
    if kind == "polars":
        return pytest.importorskip("polars").from_pandas(frame)
    if kind == "dask":
        return pytest.importorskip("dask.dataframe").from_pandas(frame, npartitions=3)
    return frame


@pytest.mark.parametrize(
    ("kind", "absorb", "clusters"),
    [
        ("pandas", None, "g"),
        ("polars", None, "g"),
        ("dask", None, "g"),
        ("pandas", "firm", "g"),  # clusters that are not the absorbed column
        ("pandas", "firm", ["firm", "g"]),  # two-way: the absorbed column and another
        ("polars", "firm", "firm"),  # the absorbed levels themselves
        ("formula", None, "g"),
    ],
)
def test_arguments_by_name_equal_the_fit_given_their_values(kind, absorb, clusters):
    features, firm, named, y = _data()
    X = features if absorb is None else features.assign(firm=firm)
    labels = {"g": named["g"], "firm": firm}
    values = labels[clusters] if isinstance(clusters, str) else np.column_stack([labels[c] for c in clusters])
    settings = {"cov_type": "cluster", "tol": 1e-12, "absorb": absorb}
    expected = LogisticRegression(**settings).fit(
        X, y, sample_weight=named["w"], offset=named["o"], clusters=values
    )
    frame = X.assign(w=named["w"], o=named["o"], **({"g": named["g"]} if "g" in clusters else {}))
    if kind == "formula":
        # The formula decides the features: the named columns are read, not used as features.
        model = LogisticRegression(formula="y ~ a + b + c", **settings)
        model.fit(frame.assign(y=y), sample_weight="w", offset="o", clusters=clusters)
    else:
        model = LogisticRegression(**settings)
        model.fit(_frame(kind, frame), y, sample_weight="w", offset="o", clusters=clusters)
        # A named column is no feature, as an absorbed one is not.
        assert list(model.feature_names_in_) == list(X.columns)
    np.testing.assert_allclose(model.coef_, expected.coef_, rtol=1e-13, atol=1e-15)
    np.testing.assert_allclose(model.covariance_, expected.covariance_, rtol=1e-13, atol=1e-17)
    # The frame's own offset column at prediction, as the rows' offsets.
    given = frame.assign(y=y) if kind == "formula" else _frame(kind, frame)
    probabilities = model.predict_proba(given)
    if kind == "dask":
        probabilities = probabilities.compute()
    np.testing.assert_allclose(
        probabilities, expected.predict_proba(X, offset=named["o"]), rtol=1e-12, atol=1e-15
    )


@pytest.mark.parametrize(
    "method",
    [
        "predict_proba",
        "predict_log_proba",
        "decision_function",
        "predict",
        "score",
        "prediction_table",
        "marginal_effects",
    ],
)
def test_a_model_fitted_with_an_offset_needs_the_offsets_to_predict(method):
    features, _, named, y = _data(n=400)
    model = LogisticRegression().fit(features, y, offset=named["o"])
    call = {"score": lambda **kwds: model.score(features, y, **kwds)}.get(
        method, lambda **kwds: getattr(model, method)(features, **kwds)
    )
    with pytest.raises(ValueError, match=re.escape(OFFSET_REQUIRED)):
        call()
    if method == "score":
        return
    # offset=0 says so explicitly: the same as an offset of 0 for every row.
    explicit, zeros = call(offset=0), call(offset=np.zeros(len(y)))
    if isinstance(explicit, pd.DataFrame):
        pd.testing.assert_frame_equal(explicit, zeros)
    else:
        np.testing.assert_array_equal(explicit, zeros)
    model.fit(features.assign(o=named["o"]), y, offset="o")
    with pytest.raises(ValueError, match=re.escape(OFFSET_REQUIRED)):
        call()  # a frame without the offset column


def test_cross_validation_of_an_offset_by_name_equals_a_loop_by_hand():
    # The offset column travels with its rows into fit and into the scorer.
    features, _, named, y = _data(n=900, seed=7)
    frame = features.assign(o=named["o"], w=named["w"])
    folds = KFold(4, shuffle=True, random_state=0)
    model = LogisticRegression(tol=1e-12)
    scores = cross_val_score(model, frame, y, cv=folds, params={"offset": "o", "sample_weight": "w"})
    by_hand = []
    for train, test in folds.split(frame):
        fitted = LogisticRegression(tol=1e-12).fit(
            features.iloc[train], y[train], sample_weight=named["w"][train], offset=named["o"][train]
        )
        predicted = fitted.predict(features.iloc[test], offset=named["o"][test])
        by_hand.append(np.mean(predicted == y[test]))
    np.testing.assert_allclose(scores, by_hand, rtol=0, atol=0)
    # And the log loss, which reads predict_proba of each test fold.
    log_losses = cross_val_score(model, frame, y, cv=folds, scoring="neg_log_loss", params={"offset": "o"})
    assert np.all(np.isfinite(log_losses)) and len(log_losses) == 4


@pytest.mark.parametrize(
    ("X", "arguments", "message"),
    [
        (
            "array",
            {"sample_weight": "w"},
            "sample_weight='w' names a column of X, but X is a ndarray, not a DataFrame: pass the values of "
            "sample_weight instead.",
        ),
        (
            "frame",
            {"offset": "exposure"},
            "offset='exposure' names a column that X does not have (its columns: ['a', 'b', 'c', 'o', 'w']).",
        ),
        (
            "frame",
            {"clusters": ["a", "year"], "cov_type": "cluster"},
            "clusters='year' names a column that X does not have (its columns: ['a', 'b', 'c', 'o', 'w']).",
        ),
    ],
)
def test_a_name_that_names_no_column_is_a_clear_error(X, arguments, message):
    features, _, named, y = _data(n=200)
    data = features.to_numpy() if X == "array" else features.assign(o=named["o"], w=named["w"])
    settings = {"cov_type": arguments.pop("cov_type")} if "cov_type" in arguments else {}
    with pytest.raises(ValueError, match=re.escape(message)):
        LogisticRegression(**settings).fit(data, y, **arguments)
