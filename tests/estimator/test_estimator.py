"""quorvi.LogisticRegression against independent references: _quorvi.irls on
the same design with an explicit column of ones, statsmodels' GLM for the
standard errors and p-values (with and without frequency weights); its input
handling (no copy of X, the caller's arrays never written, a clear ValueError
for every bad input) and its warnings and progress output."""

import pickle
import re
import sys
import tracemalloc
import warnings

import numpy as np
import pandas as pd
import pytest
import scipy.stats
from fit_anes96 import load_design
from scipy import sparse as scipy_sparse
from sklearn.exceptions import ConvergenceWarning, NotFittedError
from sklearn.pipeline import make_pipeline
from sklearn.preprocessing import StandardScaler

import _quorvi
from problems import logistic_problem
from quorvi import CollinearityWarning, LogisticRegression, PerfectSeparationWarning, _native

sm = pytest.importorskip("statsmodels.api")


def _misaligned(X):
    """A C-ordered copy of X one byte past an 8-byte boundary, as chunks that
    arrive over a network often are."""
    buffer = np.zeros(X.nbytes + 1, dtype=np.uint8)
    misaligned = buffer[1:].view(np.float64).reshape(X.shape)
    misaligned[...] = X
    assert not misaligned.flags.aligned
    return misaligned


def _layouts(X):
    """The same values as the ways a caller may hold them."""
    return {
        "C": X.copy(order="C"),
        "F": np.asfortranarray(X),
        "strided view": np.repeat(X, 2, axis=0)[::2],
        "misaligned": _misaligned(X),
        "float32": X.astype(np.float32),
        "DataFrame": pd.DataFrame(X, columns=[f"f{i}" for i in range(X.shape[1])]),
    }


@pytest.mark.parametrize("layout", ["C", "F", "strided view", "misaligned", "float32", "DataFrame"])
@pytest.mark.parametrize("fit_intercept", [True, False])
def test_coefficients_equal_quorvi_irls_with_a_ones_column(layout, fit_intercept):
    design, y01 = logistic_problem(2000, 6, seed=11, scale=1.5)
    features = design[:, 1:]
    X = _layouts(features)[layout]
    # Labels other than 0/1: the second of the sorted labels is the one modelled.
    y = np.where(y01 == 1.0, "yes", "no")
    values = np.asarray(X, dtype=np.float64)
    reference = _quorvi.irls(
        np.column_stack([np.ones(len(values)), values]) if fit_intercept else values, y01, 1e-8, 100
    )
    model = LogisticRegression(fit_intercept=fit_intercept).fit(X, y)
    fitted = np.concatenate([model.intercept_, model.coef_[0]]) if fit_intercept else model.coef_[0]
    # The same loop and stopping rule over the same numbers; the estimator
    # solves each update for its step (from the score) where _quorvi.irls
    # solves for the new coefficients (from X'Wz), and the order of the
    # floating-point sums differs (row blocks, threads), so the coefficients
    # agree to rounding amplified by the conditioning of the weighted normal
    # equations, on every BLAS kernel.
    np.testing.assert_allclose(fitted, reference["coefficients"], rtol=1e-9, atol=1e-12)
    assert (model.n_iter_[0], model.converged_) == (reference["iterations"], reference["converged"])
    assert model.coef_.shape == (1, 5) and model.intercept_.shape == (1,) and model.n_iter_.shape == (1,)
    if not fit_intercept:
        assert model.intercept_[0] == 0.0
    assert list(model.classes_) == ["no", "yes"]
    n_params = 6 if fit_intercept else 5
    assert model.covariance_.shape == (n_params, n_params)
    probabilities = model.predict_proba(X)
    eta = values @ model.coef_[0] + model.intercept_[0]
    np.testing.assert_allclose(probabilities[:, 1], 1.0 / (1.0 + np.exp(-eta)), rtol=1e-12)
    np.testing.assert_allclose(probabilities.sum(axis=1), 1.0, rtol=1e-15)
    np.testing.assert_array_equal(model.predict(X), np.where(eta > 0, "yes", "no"))


def _demo_frame():
    names, X, y = load_design()
    return pd.DataFrame(X[:, 1:], columns=names[1:]), y


@pytest.mark.parametrize("weighted", [False, True], ids=["unweighted", "freq_weights"])
def test_inference_equals_statsmodels_glm(weighted):
    frame, y = _demo_frame()
    # Frequency weights 0 to 3, zero included: a row of weight k counts k times.
    weights = np.random.default_rng(5).integers(0, 4, len(y)).astype(np.float64) if weighted else None
    model = LogisticRegression().fit(frame, y, sample_weight=weights)
    glm = sm.GLM(
        y,
        sm.add_constant(frame, prepend=True).rename(columns={"const": "intercept"}),
        family=sm.families.Binomial(),
        freq_weights=weights,
    )
    # statsmodels' IRLS takes the covariance from the weights of its last
    # update, that is at the coefficients that update started from; one more
    # update, started from its solution, puts them at the maximum, as ours are.
    reference = glm.fit(start_params=glm.fit(tol=1e-12, maxiter=100).params, maxiter=1)
    table = model.coef_table()
    assert list(table.index) == list(reference.params.index)
    assert list(table.columns) == ["coef", "std err", "z", "P>|z|", "[0.025", "0.975]"]
    intervals = reference.conf_int(alpha=0.05)
    expected = np.column_stack(
        [reference.params, reference.bse, reference.tvalues, reference.pvalues, intervals[0], intervals[1]]
    )
    # Both fits reach the same maximum of the likelihood; ours stops when no
    # coefficient moves by 1e-8, after which IRLS's quadratic convergence
    # leaves an error far below that, and they differ by about 1e-11 (the
    # design's conditioning times rounding). A p-value's relative error is
    # about z² times that of z (z < 15 here): rtol 1e-8 leaves a margin of a
    # hundred on any BLAS kernel. No value of this fit is zero up to rounding
    # (the smallest is a p-value of 1e-36, compared relatively), so no atol;
    # the covariances' atol is for the off-diagonal ones.
    np.testing.assert_allclose(table.to_numpy(), expected, rtol=1e-8, atol=0)
    np.testing.assert_allclose(model.covariance_, reference.cov_params().to_numpy(), rtol=1e-8, atol=1e-14)
    np.testing.assert_allclose(model.deviance_, reference.deviance, rtol=1e-9)
    if weighted:
        # A weight of k is k copies of the row: the same sums in another
        # order, so the same fit to rounding times the design's conditioning.
        counts = weights.astype(int)
        repeated = LogisticRegression().fit(frame.loc[frame.index.repeat(counts)], y.repeat(counts))
        np.testing.assert_allclose(repeated.coef_table().to_numpy(), table.to_numpy(), rtol=1e-8, atol=1e-12)


def test_coef_table_says_pandas_is_needed(monkeypatch):
    X, y = logistic_problem(100, 3, seed=2)
    model = LogisticRegression().fit(X[:, 1:], y)
    monkeypatch.setitem(sys.modules, "pandas", None)  # import pandas now fails
    with pytest.raises(ImportError, match=r"coef_table\(\) returns a pandas DataFrame and needs pandas"):
        model.coef_table()


def test_works_in_a_pipeline():
    X, y = logistic_problem(300, 4, seed=3, scale=10.0)
    pipeline = make_pipeline(StandardScaler(), LogisticRegression()).fit(X[:, 1:], y)
    assert pipeline.score(X[:, 1:], y) > 0.6
    assert list(pipeline[-1].coef_table().index) == ["intercept", "x0", "x1", "x2"]


_X, _Y = logistic_problem(40, 3, seed=8)
_FEATURES = _X[:, 1:]


def _with(array, index, value):
    changed = np.array(array, dtype=np.float64)
    changed[index] = value
    return changed


BAD_INPUTS = {
    "NaN in X": (_with(_FEATURES, (3, 1), np.nan), _Y, None, "Input X contains NaN"),
    "infinity in X": (_with(_FEATURES, (0, 0), -np.inf), _Y, None, "Input X contains infinity"),
    "NaN in y": (_FEATURES, _with(_Y, 5, np.nan), None, "Input y contains NaN"),
    "infinity in y": (_FEATURES, _with(_Y, 5, np.inf), None, "Input y contains infinity"),
    "NaN weight": (_FEATURES, _Y, _with(np.ones(40), 2, np.nan), "Input sample_weight contains NaN"),
    "infinite weight": (_FEATURES, _Y, _with(np.ones(40), 2, np.inf), "sample_weight contains infinity"),
    "negative weight": (_FEATURES, _Y, _with(np.ones(40), 7, -1.0), "Negative values in data passed to"),
    "all weights zero": (_FEATURES, _Y, np.zeros(40), "at least one non-zero"),
    "weights leave one class": (_FEATURES, _Y, _Y.copy(), "positive weight to the samples of only one class"),
    "weights too short": (_FEATURES, _Y, np.ones(39), r"sample_weight.shape == \(39,\), expected \(40,\)"),
    "y too short": (_FEATURES, _Y[:-1], None, r"inconsistent numbers of samples: \[40, 39\]"),
    "one class": (_FEATURES, np.ones(40), None, "only one class"),
    "three classes": (_FEATURES, np.arange(40) % 3, None, "Only binary classification is supported"),
    "continuous y": (_FEATURES, np.linspace(0, 1, 40), None, "Unknown label type: continuous"),
    "no rows": (np.ones((0, 2)), np.ones(0), None, r"0 sample\(s\)"),
    "no columns": (np.ones((40, 0)), _Y, None, r"0 feature\(s\)"),
    "X 1-D": (_FEATURES[:, 0], _Y, None, "Expected 2D array, got 1D array"),
    "NaN in sparse X": (None, _Y, None, "stored value nan in column 1"),
}


@pytest.mark.parametrize("case", list(BAD_INPUTS))
def test_bad_input_is_a_value_error_and_fits_nothing(case):
    X, y, sample_weight, message = BAD_INPUTS[case]
    if case == "NaN in sparse X":
        X = pytest.importorskip("scipy.sparse").csr_matrix(_with(_FEATURES, (3, 1), np.nan))
    snapshots = [np.array(a, copy=True) for a in (X, y, sample_weight) if isinstance(a, np.ndarray)]
    model = LogisticRegression()
    with pytest.raises(ValueError, match=message):
        model.fit(X, y, sample_weight=sample_weight)
    with pytest.raises(NotFittedError):
        model.predict(_FEATURES)
    inputs = [a for a in (X, y, sample_weight) if isinstance(a, np.ndarray)]
    for before, after in zip(snapshots, inputs, strict=True):
        np.testing.assert_array_equal(before, after)


_CONTIGUOUS = np.ascontiguousarray(_FEATURES)
_NO_WORKER = "^n_threads must be at least 1$"
_BETA = "^beta must be a 1-D float64 array of 3 elements$"  # the intercept and two features
_SETTINGS = {"fit_intercept": True, "tol": 1e-8, "max_iter": 100}
_CHUNK = {"fit_intercept": True, "with_statistics": False}


# What the native entries would otherwise misread: a fit with no worker, or
# coefficients that a pass would read past the end of.
@pytest.mark.parametrize(
    ("call", "message"),
    [
        (
            lambda: _native.fit(_CONTIGUOUS, _Y, None, options=_native.FitOptions(**_SETTINGS, n_threads=0)),
            _NO_WORKER,
        ),
        (
            lambda: _native.fit(_CONTIGUOUS, _Y, None, options=_native.FitOptions(**_SETTINGS, n_threads=-1)),
            _NO_WORKER,
        ),
        (lambda: _native.normal_equations(_CONTIGUOUS, _Y, None, np.zeros(2), **_CHUNK), _BETA),
        (lambda: _native.normal_equations(_CONTIGUOUS, _Y, None, np.zeros(4), **_CHUNK), _BETA),
        # A list converted for the call alone would be freed while the fit read it.
        (
            lambda: _native.fit(
                _CONTIGUOUS,
                _Y,
                None,
                options=_native.FitOptions(**_SETTINGS, n_threads=1),
                absorbed=_native.Absorbed(
                    codes=np.zeros(len(_Y), np.int32),
                    n_levels=1,
                    further_codes=[[0] * len(_Y)],
                    further_levels=[1],
                ),
            ),
            "^further_codes must hold int32 or int64 arrays$",
        ),
    ],
    ids=["no worker", "negative workers", "chunk's beta short", "chunk's beta long", "further codes a list"],
)
def test_native_entries_refuse_arguments_they_would_misread(call, message):
    with pytest.raises(ValueError, match=message):
        call()


def _state(record):
    """A native result's fields, its records' fields within, as plain values."""
    if isinstance(record, _native.FitResult | _native.RobustSums | _native.AbsorbedEffects):
        return {name: _state(value) for name, value in record.__getstate__().items()}
    if isinstance(record, list):
        return [_state(item) for item in record]
    return record.tobytes() if isinstance(record, np.ndarray) else record


def test_native_results_pickle_and_replace_through_their_records():
    options = _native.FitOptions(fit_intercept=False, tol=1e-8, max_iter=100, n_threads=1)
    codes = (np.arange(len(_Y)) % 3).astype(np.int32)
    result = _native.fit(
        _CONTIGUOUS,
        _Y,
        None,
        options=options,
        covariance=_native.Covariance(meat=_native.Meat.residual),
        absorbed=_native.Absorbed(codes=codes, n_levels=3),
    )
    assert len(result.robust.meats) == 1 and result.absorbed.further_effects is None
    restored = pickle.loads(pickle.dumps(result))
    assert type(restored.robust) is _native.RobustSums and type(restored.absorbed) is _native.AbsorbedEffects
    assert _state(restored) == _state(result)
    # A record replaced within a copy leaves the result as the fit made it.
    before = _state(result)
    shifted = result.replace(absorbed=result.absorbed.replace(fixed_effects=np.zeros(3)), robust=None)
    assert shifted.robust is None and not shifted.absorbed.fixed_effects.any()
    assert _state(shifted.absorbed)["level_weights"] == before["absorbed"]["level_weights"]
    assert _state(result) == before
    with pytest.raises(TypeError, match=r"^RobustSums has no field meat$"):
        result.robust.replace(meat=np.eye(2))
    # The modes a plain fit has not: no records.
    plain = _native.fit(_CONTIGUOUS, _Y, None, options=options)
    assert plain.robust is None and plain.absorbed is None


def _huge(kind):
    """The Spector data with TUCE times 1e200 (its square overflows), as
    kind: (X, the name the error gives, what fit is given besides)."""
    data = sm.datasets.spector.load_pandas().data
    frame = data[["GPA", "TUCE", "PSI"]].assign(TUCE=data["TUCE"] * 1e200)
    if kind.startswith("Dask"):
        dd = pytest.importorskip("dask.dataframe")
        if kind == "Dask DataFrame":
            return dd.from_pandas(frame, npartitions=3), "'TUCE'", {}
        return pytest.importorskip("dask.array").from_array(frame.to_numpy(), chunks=(10, 3)), "'x1'", {}
    return {
        "array": (frame.to_numpy(), "'x1'", {}),
        "DataFrame": (frame, "'TUCE'", {}),
        "DataFrame with a categorical": (frame.assign(PSI=frame["PSI"].astype(str)), "'TUCE'", {}),
        "sparse": (pytest.importorskip("scipy.sparse").csr_matrix(frame.to_numpy()), "'x1'", {}),
        "penalised, HC3": (frame, "'TUCE'", {"C": 1.0, "cov_type": "HC3"}),
    }[kind]


@pytest.mark.parametrize(
    "kind",
    [
        "array",
        "DataFrame",
        "DataFrame with a categorical",
        "sparse",
        "penalised, HC3",
        "Dask array",
        "Dask DataFrame",
    ],
)
def test_a_finite_x_whose_sum_of_squares_overflows_is_a_value_error_naming_the_column(kind, capfd):
    X, name, params = _huge(kind)
    y = sm.datasets.spector.load_pandas().data["GRADE"].to_numpy()
    model = LogisticRegression(**params)
    # (1e200)² exceeds float64's largest value, 1.8e308: not the solver's
    # "solve(): solution not found", but the column and what to do.
    with pytest.raises(ValueError, match=rf"weighted sum of squares of {name} overflows float64.*Rescale"):
        model.fit(X, y)
    assert not [attribute for attribute in vars(model) if attribute.endswith("_")]
    assert capfd.readouterr().err == ""


def test_a_failed_refit_leaves_the_estimator_unfitted():
    model = LogisticRegression().fit(_FEATURES, _Y)
    with pytest.raises(ValueError, match="Only binary"):
        model.fit(_FEATURES, np.arange(40) % 3)
    assert not [name for name in vars(model) if name.endswith("_")]


@pytest.mark.parametrize("kind", ["array", "Dask array"])
def test_a_refit_failing_after_its_results_are_built_leaves_nothing_of_either_fit(kind, monkeypatch):
    data = sm.datasets.spector.load_pandas().data
    frame, y = data[["GPA", "TUCE", "PSI"]], data["GRADE"].to_numpy()
    X = frame.to_numpy()
    if kind == "Dask array":
        X = pytest.importorskip("dask.array").from_array(X, chunks=(10, 3))
    # A frame with a categorical: the fit with the most state of its own.
    with_categorical = frame.assign(PSI=frame["PSI"].astype(str))
    model = LogisticRegression(cov_type="HC1").fit(with_categorical, y)
    fresh = LogisticRegression(cov_type="HC1").fit(X, y)
    # A refit that succeeds keeps nothing of the frame fit (its categories_).
    assert vars(model.fit(X, y)).keys() == vars(fresh).keys()
    model.fit(with_categorical, y)

    def fail_late(self, results, *_):
        # The results are complete (statistics, robust covariance), only
        # not yet set on the estimator.
        assert np.isfinite(results.statistics.lr_pvalue)
        raise RuntimeError("injected")

    with monkeypatch.context() as patch:
        patch.setattr(LogisticRegression, "_warn_about", fail_late)
        with pytest.raises(RuntimeError, match="injected"):
            model.fit(X, y)
    assert not [name for name in vars(model) if name.endswith("_")]
    with pytest.raises(NotFittedError):
        model.coef_table()
    # Nothing of the frame fit or of the failed one lingers: the next fit is
    # a fresh estimator's, bit for bit, and survives a pickle.
    refitted = pickle.loads(pickle.dumps(model.fit(X, y)))
    assert vars(refitted).keys() == vars(fresh).keys()
    pd.testing.assert_frame_equal(refitted.coef_table(), fresh.coef_table(), check_exact=True)
    pd.testing.assert_frame_equal(refitted.marginal_effects(X), fresh.marginal_effects(X), check_exact=True)
    assert str(refitted.summary()) == str(fresh.summary())


@pytest.mark.parametrize("fit_intercept", [True, False])
def test_max_iter_zero_makes_no_update_and_spends_no_loop_time(fit_intercept):
    weights = np.random.default_rng(5).integers(1, 4, 40).astype(np.float64)
    with pytest.warns(ConvergenceWarning, match="max_iter=0"):
        model = LogisticRegression(fit_intercept=fit_intercept, max_iter=0).fit(_FEATURES, _Y, weights)
    assert model.n_iter_[0] == 0 and model.converged_ is False and model.time_ == 0.0
    assert not model.coef_.any() and not model.intercept_.any()
    # A fit reads X once per update and takes its covariance and deviance
    # from the last update's pass: without an update there are none.
    assert np.isnan(model.deviance_) and np.isnan(model.covariance_).all()
    n_params = 3 if fit_intercept else 2
    assert model.covariance_.shape == (n_params, n_params)


def test_predict_agrees_with_predict_proba_where_the_classes_tie():
    # Without an intercept a row of zeros scores exactly 0: both probabilities
    # are exactly 1/2, and predict takes the first class there, as argmax does
    # (and as scikit-learn's linear classifiers do).
    model = LogisticRegression(fit_intercept=False).fit(_FEATURES, np.where(_Y == 1, "yes", "no"))
    X = np.vstack([np.zeros((2, 2)), _FEATURES[:6]])
    probabilities = model.predict_proba(X)
    np.testing.assert_array_equal(probabilities[:2], 0.5)
    np.testing.assert_array_equal(model.predict(X), model.classes_[probabilities.argmax(axis=1)])


# (layout, float64 copies of X that the layer before the native fit may make,
# and that prediction may make: NumPy's matrix product copies misaligned data
# before it calls the BLAS)
MEMORY_CASES = [("C", 0, 0), ("F", 0, 0), ("misaligned", 0, 1), ("strided view", 1, 1), ("float32", 1, 1)]


@pytest.mark.parametrize(("layout", "copies", "predict_copies"), MEMORY_CASES)
def test_x_is_read_in_place_or_converted_once_and_never_written(layout, copies, predict_copies):
    design, y = logistic_problem(20000, 26, seed=4)
    X = _layouts(design[:, 1:])[layout]
    weights = np.random.default_rng(1).random(len(y))
    arrays = [X, y, weights]
    for array in arrays:
        # Read-only: any write into the caller's memory raises.
        array.flags.writeable = False
    before = [array.tobytes() for array in arrays]
    float64_bytes, vector_bytes = 20000 * 25 * 8, 20000 * 8
    model = LogisticRegression()
    model.fit(X[:100], y[:100])  # first-call allocations (caches, imports) out of the way
    tracemalloc.start()
    try:
        model.fit(X, y, sample_weight=weights)
        _, peak_fit = tracemalloc.get_traced_memory()
        tracemalloc.reset_peak()
        model.predict_proba(X)
        _, peak_predict = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    # NumPy reports its allocations to tracemalloc, so any copy of X made on
    # the Python side shows in the peak. Beside it the fit may hold y as 0/1
    # and a little more (boolean masks): two vectors of length n, 8 % of X
    # here; predict_proba its (n, 2) result and the scores.
    assert peak_fit < copies * float64_bytes + 2 * vector_bytes, peak_fit / vector_bytes
    assert peak_predict < predict_copies * float64_bytes + 4 * vector_bytes, peak_predict / vector_bytes
    assert [array.tobytes() for array in arrays] == before


def _separated():
    X, y = logistic_problem(200, 3, seed=6)
    y = (X[:, 1] > 0).astype(np.float64)  # the first feature alone decides the class
    return X[:, 1:], y


def _one_row_at_the_boundary():
    # A column that is zero but on two rows of class 1, where it is 1 and 3:
    # the likelihood grows without bound along its coefficient, and the
    # linear predictor of the second row is about three times that of the
    # first. Within max_iter it passes 37, where the probability rounds to
    # exactly 1 (exp(-37) < ε / 2), while the first row's stays near 25.
    X, y = logistic_problem(200, 3, seed=6)
    column = np.zeros(200)
    column[:2] = [1.0, 3.0]
    y[:2] = 1.0
    return np.column_stack([X[:, 1:], column]), y


def _complete_separation_of_spector():
    # A column equal to 2 GRADE - 1 plus a small trend separates the classes
    # completely by itself (statsmodels' GLM warns PerfectSeparationWarning
    # too); after 100 updates |η| is only about 27, no probability is 0 or 1.
    data = sm.datasets.spector.load_pandas()
    y = data.endog.to_numpy()
    return data.exog.assign(sep=2.0 * y - 1.0 + 1e-3 * np.arange(len(y))), y


def _ties_at_zero():
    # x ≥ 0 on class 1, x ≤ 0 on class 0, and both classes at x = 0: quasi-
    # complete separation along x alone (statsmodels does not warn).
    return np.array([[-3.0, -2.0, -1.0, 0.0, 0.0, 1.0, 2.0, 3.0]]).T, np.array([0, 0, 0, 0, 1, 1, 1, 1.0])


def _a_level_of_one_class():
    # Level "c" holds only rows of class 1: its coefficient grows without end.
    X, y = logistic_problem(300, 3, seed=2)
    city = np.where(X[:, 1] > 0.5, "a", "b").astype(object)
    city[np.flatnonzero(y == 1)[:4]] = "c"
    return pd.DataFrame({"x": X[:, 2], "city": pd.Categorical(city)}), y


def _separated_but_for_rows_of_weight_0():
    # Five rows on the wrong side of x0 = 0 break the separation; with a
    # weight of 0 they are not in the fit, and the rest are separated.
    X, y = _separated()
    y[:5] = 1.0 - y[:5]
    return (X, y), {"sample_weight": np.where(np.arange(len(y)) < 5, 0.0, 1.0)}


def _one_far_row():
    # One row of class 1 far out along x0 is fitted at a probability of
    # exactly 1 (|η| ≈ 65), but the classes overlap: the maximum exists.
    X, y = logistic_problem(500, 3, seed=3)
    X = X[:, 1:].copy()
    X[0], y[0] = [200.0, 0.0], 1.0
    return X, y


_NOT_CONVERGED = "did not converge in max_iter=100"


@pytest.mark.parametrize(
    ("data", "params", "expected"),
    [
        (lambda: (_FEATURES, _Y), {"max_iter": 2}, {ConvergenceWarning: "did not converge in max_iter=2"}),
        (
            _complete_separation_of_spector,
            {},
            {
                ConvergenceWarning: _NOT_CONVERGED,
                PerfectSeparationWarning: r"perfect separation: the features separate the classes completely, "
                r"so .* in the coefficients of sep \(.*the coefficients and standard errors are not meaningful",
            },
        ),
        (
            _separated,
            {"max_iter": 50},
            {
                ConvergenceWarning: "did not converge in max_iter=50",
                PerfectSeparationWarning: r"classes completely, .* coefficients of x0 \(",
            },
        ),
        (
            _ties_at_zero,
            {},
            {ConvergenceWarning: _NOT_CONVERGED, PerfectSeparationWarning: r"quasi-completely .* of x0 \("},
        ),
        (
            _one_row_at_the_boundary,
            {"max_iter": 50},
            {
                ConvergenceWarning: "did not converge in max_iter=50",
                PerfectSeparationWarning: r"quasi-completely .* coefficients of x2 \(",
            },
        ),
        (
            lambda: (scipy_sparse.csr_matrix(_one_row_at_the_boundary()[0]), _one_row_at_the_boundary()[1]),
            {"max_iter": 50},
            {
                ConvergenceWarning: "did not converge in max_iter=50",
                PerfectSeparationWarning: r"quasi-completely .* coefficients of x2 \(",
            },
        ),
        (
            _a_level_of_one_class,
            {},
            {
                ConvergenceWarning: _NOT_CONVERGED,
                PerfectSeparationWarning: r"quasi-completely .* of city\[c\] \(",
            },
        ),
        (
            lambda: _separated_but_for_rows_of_weight_0()[0],
            {"fit": _separated_but_for_rows_of_weight_0()[1]},
            {
                ConvergenceWarning: _NOT_CONVERGED,
                PerfectSeparationWarning: r"classes completely, .* of x0 \(",
            },
        ),
        # Rows fitted at exactly 0 or 1 are no separation by themselves.
        (_one_far_row, {}, {}),
    ],
    ids=[
        "max_iter reached",
        "complete separation",
        "separated classes",
        "quasi-complete, ties",
        "quasi-complete, one column",
        "quasi-complete, sparse",
        "quasi-complete, a level",
        "separated but for rows of weight 0",
        "a row at 1, no separation",
    ],
)
def test_warnings_name_the_cause(data, params, expected):
    X, y = data()
    params = dict(params)
    fit_arguments = params.pop("fit", {})
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        LogisticRegression(**params).fit(X, y, **fit_arguments)
    assert {record.category for record in caught} == set(expected)
    for record in caught:
        assert re.search(expected[record.category], str(record.message)), record.message
        # The warning points at the caller's line, not into the package.
        assert record.filename == __file__


def test_the_certificate_reads_the_signed_design_in_blocks_as_the_linear_program_does():
    # The certificate of no separation reads X a block of rows at a time;
    # the blocks, put together, must be the linear program's signed design
    # exactly (rows of weight 0 left out, a dropped column too, every
    # column scaled by its largest value over the rows kept).
    from quorvi import _separation

    rng = np.random.default_rng(4)
    n = 2 * _separation._BLOCK_ROWS + 17
    X = rng.standard_normal((n, 3)) * [1.0, 5.0, 0.1]
    X[3, 1] = 50.0  # the largest value, in a row of weight 0: not the scale
    y = (rng.random(n) < 0.5).astype(float)
    weights = rng.integers(0, 3, n).astype(float)
    weights[3] = 0.0
    for kept in (np.array([True, True, False, True]), np.ones(4, dtype=bool)):
        signed = _separation._SignedRows(X, y, weights, True, kept)
        parts = list(signed.blocks())
        positions = np.concatenate([np.arange(signed.n_rows)[part] for part, _ in parts])
        np.testing.assert_array_equal(positions, np.arange(signed.n_rows))
        expected = _separation.signed_design(X, y, weights, True)[:, kept]
        np.testing.assert_array_equal(np.vstack([block for _, block in parts]), expected)


def _strongly_predicted(kind):
    """A well-posed problem whose linear predictor passes 30 on some rows
    (the separation check's trigger) without any separation: the strong
    feature's classes overlap around 0. As a dense array, a CSR, or a frame
    with a categorical column."""
    rng = np.random.default_rng(21)
    n = 4_000
    strong = 4.0 * rng.standard_normal(n)
    other = rng.standard_normal((n, 3))
    groups = rng.integers(0, 6, n)
    eta = 2.5 * strong + other @ [0.4, -0.3, 0.2] + 0.3 * groups - 0.5
    y = (rng.random(n) < 1 / (1 + np.exp(-eta))).astype(float)
    X = np.column_stack([strong, other])
    if kind == "sparse":
        X[np.abs(X) < 0.3] = 0.0
        return scipy_sparse.csr_matrix(X), y
    if kind == "categorical":
        frame = pd.DataFrame(X, columns=["strong", "a", "b", "c"])
        frame["g"] = pd.Categorical.from_codes(groups, [f"g{k}" for k in range(6)])
        return frame, y
    return X, y


@pytest.mark.parametrize("link", ["logit", "probit"])
@pytest.mark.parametrize("kind", ["dense", "sparse", "categorical"])
def test_a_well_posed_fit_of_large_scores_is_cleared_by_its_own_sums(monkeypatch, kind, link):
    # The proof of no separation from the engine's covariance and the final
    # score (one pass over X) must suffice here: neither the p x p sums of
    # the rows nor the linear program may run, which at a million rows cost
    # many times the fit. Weights with zeros and an offset move the sums.
    # The trigger reads the engine's largest |η| of the rows of positive
    # weight, the offset in: a row of weight 0 must not count.
    from quorvi import _separation

    def must_not_run(*arguments, **keywords):
        raise AssertionError("a costlier proof ran")

    monkeypatch.setattr(_separation, "_certified_not_separated", must_not_run)
    monkeypatch.setattr(_separation, "find_separation", must_not_run)
    largest = []
    monkeypatch.setattr(
        _separation, "_near_the_boundary", lambda value, result: largest.append(value) or True
    )
    X, y = _strongly_predicted(kind)
    rng = np.random.default_rng(5)
    weights = rng.integers(0, 3, len(y)).astype(float)
    strong = (
        X["strong"].to_numpy()
        if kind == "categorical"
        else X[:, [0]].toarray().ravel()
        if kind == "sparse"
        else X[:, 0]
    )
    weights[np.argsort(-np.abs(strong))[:5]] = 0.0  # the largest scores, out of the fit
    offset = 0.1 * rng.standard_normal(len(y))
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        model = LogisticRegression(link=link).fit(X, y, sample_weight=weights, offset=offset)
    scores = np.abs(model.decision_function(X, offset=offset))
    assert scores.max() > 20 and scores[weights == 0].max() > scores[weights > 0].max()
    # At the coefficients the last update started from, which a converged
    # fit's last step moved by less than its tolerance.
    np.testing.assert_allclose(largest, [scores[weights > 0].max()], rtol=1e-6)


def test_verbose_prints_a_line_per_iteration(capsys):
    X, y = logistic_problem(500, 4, seed=9)
    weights = np.random.default_rng(2).integers(1, 3, 500).astype(np.float64)
    model = LogisticRegression(verbose=1).fit(X[:, 1:], y, sample_weight=weights)
    lines = capsys.readouterr().out.splitlines()
    pattern = re.compile(r"iteration +(\d+)  deviance (\S+)  max \|change\| (\S+)  (\S+) s")
    rows = [pattern.fullmatch(line) for line in lines]
    assert all(rows) and len(rows) == model.n_iter_[0]
    iterations, deviances, changes, seconds = (np.array([float(r[k]) for r in rows]) for k in (1, 2, 3, 4))
    np.testing.assert_array_equal(iterations, np.arange(1, len(rows) + 1))
    # The first update starts from zero coefficients, where every probability
    # is 1/2: the deviance is 2 log 2 per unit of weight.
    np.testing.assert_allclose(deviances[0], 2 * np.log(2) * weights.sum(), rtol=1e-9)
    assert np.all(np.diff(deviances) <= 1e-9 * deviances[0]) and np.all(np.diff(seconds) >= 0)
    assert changes[-1] <= model.tol < changes[-2]


def _dependent_designs():
    """Designs with columns that are combinations of earlier ones, or close
    to it: (X, the columns R's lm drops, the tol the fit needs)."""
    rng = np.random.default_rng(30)
    n = 3000
    x = pd.DataFrame(rng.standard_normal((n, 3)), columns=["a", "b", "c"])
    levels = pd.get_dummies(pd.Series(rng.integers(0, 4, n)).astype(str), prefix="g").astype(float)
    return {
        "duplicate": (x.assign(b_again=x["b"]), ["b_again"], 1e-8),
        "three times another": (x.assign(c3=3.0 * x["c"]), ["c3"], 1e-8),
        # What pd.get_dummies gives by default: every level beside the intercept.
        "all dummies": (pd.concat([x, levels], axis=1), ["g_3"], 1e-8),
        # 0.1 is not a binary fraction: the rounding of the normal equations
        # leaves this exact dependence a 1 - R² of about 1e-14, not 0.
        "a tenth of every dummy": (pd.concat([x, 0.1 * levels], axis=1), ["g_3"], 1e-8),
        "a constant beside the intercept": (x.assign(seven=7.3), ["seven"], 1e-8),
        "sum of two": (x.assign(ab=x["a"] + x["b"], zero=0.0), ["ab", "zero"], 1e-8),
        # 1 - R² of 1e-10 on the intercept: R's lm keeps it (norm ratio 1e-5
        # > 1e-7), and so does quorvi. Its condition (about 1e10) leaves the
        # coefficients jittering at the rounding level, hence the wider tol.
        "far from zero, kept": (x.assign(near=1e5 + rng.standard_normal(n)), [], 1e-3),
    }


@pytest.mark.parametrize("case", list(_dependent_designs()))
def test_dependent_columns_are_dropped_as_r_does_and_the_rest_fitted(case, capfd):
    X, dropped, tol = _dependent_designs()[case]
    kept = [name for name in X.columns if name not in dropped]
    eta = 0.3 + X["a"] - 0.5 * X["b"]
    y = (np.random.default_rng(31).random(len(X)) < 1 / (1 + np.exp(-eta))).astype(float)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        model = LogisticRegression(tol=tol).fit(X, y)
    messages = [str(record.message) for record in caught]
    if dropped:
        assert len(messages) == 1 and f"left out of the fit: {', '.join(dropped)}." in messages[0]
    else:
        assert messages == []
    assert list(model.dropped_features_) == dropped
    # The independent reference: statsmodels on the design without them.
    design = sm.add_constant(X[kept])
    reference = sm.GLM(y, design, family=sm.families.Binomial()).fit(tol=1e-12)
    table = model.coef_table()
    rtol = 1e-8 if tol <= 1e-8 else 1e-5
    np.testing.assert_allclose(table.loc[["intercept", *kept], "coef"], reference.params, rtol=rtol)
    np.testing.assert_allclose(table.loc[["intercept", *kept], "std err"], reference.bse, rtol=rtol)
    # R's summary.glm prints NA in every column of an aliased coefficient's
    # row (coef() is NA too); coef_ keeps 0, so that predictions work.
    assert table.loc[dropped].isna().all(axis=None)
    assert (model.coef_[0][[list(X.columns).index(name) for name in dropped]] == 0).all()
    np.testing.assert_allclose(model.predict_proba(X)[:, 1], reference.predict(design), rtol=min(rtol, 1e-6))
    # The fit statistics count the kept parameters only (k in AIC and BIC,
    # the degrees of freedom of the model, the residuals and the LR test).
    assert (model.df_model_, model.df_resid_) == (reference.df_model, reference.df_resid)
    np.testing.assert_allclose([model.aic_, model.bic_], [reference.aic, reference.bic_llf], rtol=1e-9)
    # A p-value near 1e-138 carries the statistic's rounding a hundredfold;
    # one degree of freedom more or less moves it by orders of magnitude.
    lr_pvalue = scipy.stats.chi2.sf(2 * (reference.llf - reference.llnull), reference.df_model)
    np.testing.assert_allclose(model.lr_pvalue_, lr_pvalue, rtol=1e-5)
    # Nothing on the native standard error, where Python cannot catch it.
    assert capfd.readouterr().err == ""


def test_a_real_predictor_far_from_zero_is_kept_as_statsmodels_keeps_it():
    # The Spector data with PSI coded as a year: 1 - R² of year on the
    # intercept is about 6e-8, far from dependence to working precision.
    data = sm.datasets.spector.load_pandas().data
    X = data[["GPA", "TUCE"]].assign(year=2020 + data["PSI"])
    # At this condition (about 1e8, the intercept near -4818) the updates
    # settle to about 1e-9: each solves for its step from the score, whose
    # rounding is relative to the step (not to the coefficients, as that
    # of X'Wz is, 1e-5 per update here), so the default tol is reached.
    model = LogisticRegression().fit(X, data["GRADE"])
    assert model.converged_
    reference = sm.Logit(data["GRADE"], sm.add_constant(X)).fit(disp=0)
    table = model.coef_table()
    assert len(model.dropped_features_) == 0
    np.testing.assert_allclose(table["coef"], reference.params, rtol=1e-6)
    np.testing.assert_allclose(table["std err"], reference.bse, rtol=1e-6)
    np.testing.assert_allclose(table["P>|z|"], reference.pvalues, rtol=1e-6)
    # The published figures: 2.3787 (standard error 1.0646, p = 0.0255).
    np.testing.assert_allclose(
        table.loc["year", ["coef", "std err", "P>|z|"]], [2.3787, 1.0646, 0.0255], atol=1e-4
    )


def test_a_design_wider_than_long_keeps_as_many_columns_as_rows(capfd):
    rng = np.random.default_rng(32)
    X = rng.standard_normal((12, 20))
    y = np.r_[np.zeros(6), np.ones(6)]
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        model = LogisticRegression().fit(X, y)
    # 12 rows span 12 dimensions: the intercept and the first 11 features.
    assert list(model.dropped_features_) == [f"x{j}" for j in range(11, 20)]
    assert CollinearityWarning in {record.category for record in caught}
    assert capfd.readouterr().err == ""


def test_a_tol_below_the_designs_rounding_is_named_as_such():
    # The Spector data with PSI coded as a year: condition number about 1e8,
    # the intercept near -4818. The rounding of the score moves the
    # coefficients by 2e-10 to 3e-9 per update, two orders of magnitude
    # above tol 1e-12, whatever order the BLAS kernel sums in, while the
    # deviance stands still (to 1e-13): more iterations cannot help, and
    # the warning says so.
    data = sm.datasets.spector.load_pandas().data
    X = data[["GPA", "TUCE"]].assign(year=2020 + data["PSI"])
    with pytest.warns(ConvergenceWarning, match=r"tol is below what the conditioning of this design allows"):
        LogisticRegression(tol=1e-12, max_iter=30).fit(X, data["GRADE"])
