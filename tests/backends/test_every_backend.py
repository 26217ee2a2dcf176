"""What every registered back end must do, written once: the in-memory
fit's results on the same rows, its checks and messages for bad rows, and
its warnings, raised as Python warnings at the caller's line. Each back end
is given the rows by its adapter (tests/helpers/backend_adapters.py), which
also lists what it says differently and what it refuses."""

import contextlib
import functools
from dataclasses import replace

import numpy as np
import pytest
from sklearn.exceptions import ConvergenceWarning

import backend_adapters
from backend_adapters import ADAPTERS, TWO_ABSORBED, Rows, each_backend, in_memory_fit
from quorvi import (
    CollinearityWarning,
    CovarianceCorrectionWarning,
    LogisticRegression,
    PerfectSeparationWarning,
)

pytestmark = pytest.mark.filterwarnings(
    # pyspark 4.3's notice beside pandas 3, raised where it converts a frame.
    "ignore:PySpark does not yet fully support pandas:FutureWarning"
)

N = 3_000


@pytest.fixture
def fit_on(request, backend):
    """The adapter of the test's back end, and fit(model, rows) on it."""
    adapter = ADAPTERS[backend]
    session = None if adapter.session is None else request.getfixturevalue(adapter.session)
    return adapter, functools.partial(adapter.fit, session=session)


def _rows(seed=21):
    """Three features, weights of 0 to 3 (a quarter of the rows left out),
    an offset, and two clusterings crossing every chunk and partition: 40
    integers and, for two-way, four letters."""
    rng = np.random.default_rng(seed)
    X = rng.normal(size=(N, 3))
    offset = rng.normal(scale=0.3, size=N)
    y = (rng.random(N) < 1 / (1 + np.exp(-(0.2 + X @ [0.8, -0.5, 0.3] + offset)))).astype(np.float64)
    weights = rng.integers(0, 4, N).astype(np.float64)
    clusters = np.column_stack([rng.integers(0, 40, N), rng.choice(list("abcd"), N)]).astype(object)
    return Rows(X, y, weights, offset, clusters)


# Parameters, and the clusterings used (0, 1 or 2), of each equivalence.
EQUIVALENCES = {
    "nonrobust": ({}, 0),
    "HC1": ({"cov_type": "HC1"}, 0),
    "HC3, penalised": ({"cov_type": "HC3", "C": 0.5}, 0),
    "cluster": ({"cov_type": "cluster"}, 1),
    "two-way cluster": ({"cov_type": "cluster"}, 2),
}


def _messages(records):
    return [str(record.message) for record in records if record.category is CovarianceCorrectionWarning]


def _corrections(expected):
    return pytest.warns(CovarianceCorrectionWarning) if expected else contextlib.nullcontext([])


@pytest.mark.parametrize(("backend", "case"), each_backend(EQUIVALENCES))
def test_the_fit_equals_the_in_memory_fit(fit_on, case):
    _, fit = fit_on
    parameters, n_clusterings = EQUIVALENCES[case]
    rows = _rows()
    rows = replace(rows, clusters=rows.clusters[:, :n_clusterings].squeeze() if n_clusterings else None)
    parameters = {**parameters, "tol": 1e-12}
    given = {name: getattr(rows, name).copy() for name in ("X", "y", "sample_weight", "offset")}
    # Two-way with four letters: V_A + V_B - V_(A and B) has a negative
    # eigenvalue, set to 0 alike on every back end, which says so.
    with _corrections(n_clusterings == 2) as expected_warnings:
        expected = in_memory_fit(parameters, rows)
    with _corrections(n_clusterings == 2) as caught:
        model = fit(LogisticRegression(**parameters), rows)
    assert _messages(caught) == _messages(expected_warnings)
    # The same loop over the same sums, added in another order (chunks or
    # partitions against one pass): rounding apart, about n ε times the
    # conditioning of X'WX (under 10 for these standard normal features).
    assert model.n_iter_[0] == expected.n_iter_[0] and model.converged_
    np.testing.assert_allclose(model.coef_, expected.coef_, rtol=1e-9, atol=1e-12)
    np.testing.assert_allclose(model.intercept_, expected.intercept_, rtol=1e-9, atol=1e-12)
    np.testing.assert_allclose(model.covariance_, expected.covariance_, rtol=1e-9, atol=1e-15)
    np.testing.assert_allclose(model.deviance_, expected.deviance_, rtol=1e-11)
    # The null model beside the offset: a pass of its own.
    np.testing.assert_allclose(model.null_log_likelihood_, expected.null_log_likelihood_, rtol=1e-11)
    assert model.n_obs_ == expected.n_obs_ == rows.sample_weight.sum()
    for name, values in given.items():  # the caller's arrays untouched
        np.testing.assert_array_equal(getattr(rows, name), values)


def _nan_clusters(rows):
    clusters = np.where(np.arange(N) == 700, np.nan, np.arange(N) % 40)
    return replace(rows, clusters=clusters)


def _set(name, value, row=700):
    def change(rows):
        getattr(rows, name)[row] = value
        return rows

    return change


# Each fault of the rows, the message of each back end in its adapter.
FAULTS = {
    "NaN in X": _set("X", np.nan, (700, 1)),
    "NaN in y": _set("y", np.nan),
    "a third label": _set("y", 2.0),
    "a negative weight": _set("sample_weight", -1.0),
    "an infinite offset": _set("offset", np.inf),
    "a NaN cluster label": _nan_clusters,
    "one class": lambda rows: replace(rows, y=np.zeros(N)),
    "y one row short": lambda rows: replace(rows, y=rows.y[:-1]),
    "weights one row short": lambda rows: replace(rows, sample_weight=rows.sample_weight[:-1]),
}


@pytest.mark.parametrize(("backend", "fault"), each_backend(FAULTS))
def test_bad_rows_are_refused_with_the_back_ends_message_and_leave_the_model_unfitted(fit_on, fault):
    adapter, fit = fit_on
    rows = FAULTS[fault](replace(_rows(), clusters=None))
    model = LogisticRegression(cov_type="cluster" if rows.clusters is not None else "nonrobust")
    with pytest.raises(ValueError, match=adapter.messages[fault]):
        fit(model, rows)
    assert not hasattr(model, "coef_")


def _dependent(rows):
    # x3 = x0 - 2 x2: dropped, and named, on every back end.
    X = np.column_stack([rows.X, rows.X[:, 0] - 2.0 * rows.X[:, 2]])
    return replace(rows, X=X, clusters=None)


# Parameters, rows, and the warnings every back end must raise.
WARNINGS = {
    "max_iter=2": (
        {"max_iter": 2},
        lambda rows: replace(rows, offset=None, clusters=None),
        ConvergenceWarning,
    ),
    "a dependent column": ({}, _dependent, CollinearityWarning),
}


@pytest.mark.parametrize(("backend", "case"), each_backend(WARNINGS))
def test_warnings_are_the_in_memory_fits_at_the_callers_line(fit_on, case):
    _, fit = fit_on
    parameters, make_rows, category = WARNINGS[case]
    rows = make_rows(_rows())
    with pytest.warns(category) as expected_warnings:
        expected = in_memory_fit(parameters, rows)
    with pytest.warns(category) as caught:
        model = fit(LogisticRegression(**parameters), rows)
    (warning,) = [record for record in caught if record.category is category]
    (expected_warning,) = [record for record in expected_warnings if record.category is category]
    assert str(warning.message) == str(expected_warning.message)
    # The user's call is the adapter's fit.
    assert warning.filename == backend_adapters.__file__
    assert list(model.dropped_features_) == list(expected.dropped_features_)
    np.testing.assert_allclose(model.coef_, expected.coef_, rtol=1e-9, atol=1e-12)
    np.testing.assert_array_equal(np.isnan(model.covariance_), np.isnan(expected.covariance_))


def _absorbed_rows(absorb):
    """Two features and the labels of 30 firms and of 7 years (those of
    absorb), weights and an offset; every outcome of firm f3 is 1, a level
    the fit leaves out."""
    rows = _rows(seed=41)
    rng = np.random.default_rng(42)
    firm = np.char.add("f", rng.integers(0, 30, N).astype(str))
    year = rng.integers(2000, 2007, N)
    y = np.where(firm == "f3", 1.0, rows.y)
    levels = {name: {"firm": firm, "year": year}[name] for name in absorb}
    return replace(rows, X=rows.X[:, :2], y=y, clusters=None, levels=levels)


ABSORBED = {"one absorbed column": ["firm"], TWO_ABSORBED: ["firm", "year"]}


@pytest.mark.parametrize(("backend", "case"), each_backend(ABSORBED))
def test_absorbed_columns_equal_the_in_memory_absorbed_fit(fit_on, case):
    adapter, fit = fit_on
    rows = _absorbed_rows(ABSORBED[case])
    parameters = {"absorb": ABSORBED[case], "cov_type": "HC1"}
    model = LogisticRegression(**parameters)
    if case in adapter.refuses:
        with pytest.raises(ValueError, match=adapter.refuses[case]):
            fit(model, rows)
        return
    with pytest.warns(PerfectSeparationWarning, match="1 of 'firm'"):
        expected = in_memory_fit(parameters, rows)
    with pytest.warns(PerfectSeparationWarning, match="1 of 'firm'"):
        fit(model, rows)
    assert model.n_iter_[0] == expected.n_iter_[0]
    np.testing.assert_allclose(model.coef_, expected.coef_, rtol=1e-9, atol=1e-12)
    np.testing.assert_allclose(model.covariance_, expected.covariance_, rtol=1e-9, atol=1e-15)
    effects, expected_effects = model.fixed_effects_["firm"], expected.fixed_effects_["firm"]
    assert list(effects.index) == list(expected_effects.index)
    # The reference level's effect is 0 and the separated one's NaN on all.
    np.testing.assert_allclose(effects, expected_effects, rtol=1e-9, atol=1e-12)
    assert model.n_separated_rows_ == expected.n_separated_rows_ > 0
