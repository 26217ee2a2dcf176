"""quorvi.LogisticRegression on Dask collections, against a real LocalCluster
with worker processes: the same fit as in memory wherever the data come
from, the same bits whichever worker computed a chunk (a worker killed
mid-fit included), and a bad chunk reported by name with nothing left
running on the cluster."""

import os
import re
import signal
import subprocess
import sys
import time
import warnings

import dask
import dask.array as da
import dask.dataframe as dd
import distributed
import numpy as np
import pandas as pd
import pytest
import zarr
from scipy import sparse
from sklearn.exceptions import ConvergenceWarning

import quorvi
import quorvi._estimator
from problems import logistic_problem, textbook_hc_covariances
from quorvi import CollinearityWarning, LogisticRegression

N, P, CHUNK = 60_000, 6, 7_000  # 9 row chunks, the last one short


@pytest.fixture(scope="module")
def client():
    # Processes, as on a real cluster: every chunk's sums cross a process
    # boundary (pickled, and unaligned on arrival) before they are added. The
    # scheduler's HTTP server on any free port: another cluster on this
    # machine must not make the tests fail.
    with (
        distributed.LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0"
        ) as cluster,
        distributed.Client(cluster) as client,
    ):
        yield client


@pytest.fixture(scope="module")
def data():
    design, y = logistic_problem(N, P + 1, seed=21, scale=1.5)
    weights = np.random.default_rng(4).integers(0, 4, N).astype(np.float64)
    return design[:, 1:], y, weights


def _tasks_added_since(client, before):
    return client.run_on_scheduler(lambda dask_scheduler: set(dask_scheduler.tasks)) - before


def _source(X, source, tmp_path):
    """X as a Dask collection a user may hold: in memory (its columns split
    too), in a Zarr store, in memory-mapped .npy files, or as a Dask
    DataFrame."""
    if source == "npy stack":
        da.to_npy_stack(tmp_path / "X.npy", da.from_array(X, chunks=(CHUNK, P)))
        return da.from_npy_stack(tmp_path / "X.npy", mmap_mode="r")
    if source == "zarr":
        store = tmp_path / "X.zarr"
        zarr.create_array(store, shape=X.shape, chunks=(CHUNK, P), dtype="f8")[:] = X
        return da.from_zarr(str(store))
    if source == "dataframe":
        return dd.from_pandas(pd.DataFrame(X, columns=[f"f{i}" for i in range(P)]), chunksize=CHUNK)
    return da.from_array(X, chunks=(CHUNK, 4))


@pytest.mark.parametrize("source", ["in memory", "zarr", "npy stack", "dataframe"])
def test_dask_fit_equals_the_in_memory_fit_and_its_bits_do_not_depend_on_the_scheduler(
    client, data, source, tmp_path
):
    X, y, weights = data
    expected = LogisticRegression().fit(X, y, sample_weight=weights)
    X_dask = _source(X, source, tmp_path)
    y_dask = da.from_array(y, chunks=CHUNK // 2)  # rechunked to X's rows by the fit
    # On the cluster, X held in the workers' memory when it comes from memory.
    model = LogisticRegression().fit(
        X_dask.persist() if source == "in memory" else X_dask, y_dask, sample_weight=weights
    )

    # The same loop and stopping rule over the same numbers; only the order in
    # which the rows' products are summed differs (chunks, then blocks), so
    # the coefficients differ by rounding (n ε at most, about 1e-11) times the
    # conditioning of X'WX (under 10 for these standard normal features).
    np.testing.assert_allclose(model.coef_, expected.coef_, rtol=1e-10)
    np.testing.assert_allclose(model.intercept_, expected.intercept_, rtol=1e-10, atol=1e-13)
    assert (model.n_iter_[0], model.converged_) == (expected.n_iter_[0], expected.converged_)
    np.testing.assert_allclose(model.covariance_, expected.covariance_, rtol=1e-9, atol=1e-16)
    np.testing.assert_allclose(model.deviance_, expected.deviance_, rtol=1e-12)
    assert model.n_features_in_ == P
    assert hasattr(model, "feature_names_in_") == (source == "dataframe")

    probabilities = model.predict_proba(X_dask)
    assert isinstance(probabilities, da.Array)
    np.testing.assert_allclose(probabilities.compute(), expected.predict_proba(X), rtol=1e-9)

    # Fixed chunk order in the reduction: the same data and chunking give the
    # same bits from Dask's local threads as from the cluster's processes.
    with dask.config.set(scheduler="threads"):
        local = LogisticRegression().fit(X_dask, y_dask, sample_weight=weights)
    np.testing.assert_array_equal(local.coef_, model.coef_)
    np.testing.assert_array_equal(local.covariance_, model.covariance_)


def test_predictions_with_an_offset_on_a_dask_array_equal_statsmodels(client):
    sm = pytest.importorskip("statsmodels.api")
    data = sm.datasets.fair.load_pandas().data
    X = data[["yrs_married", "children", "religious", "educ", "occupation", "occupation_husb"]].to_numpy()
    y = np.where(data["affairs"] > 0, "yes", "no")
    offset = np.log(data["yrs_married"].to_numpy())
    model = LogisticRegression(tol=1e-10).fit(X, y, offset=offset)
    glm = sm.GLM(y == "yes", sm.add_constant(X), family=sm.families.Binomial(), offset=offset).fit(tol=1e-13)
    expected = glm.predict(sm.add_constant(X), offset=offset)
    # The offsets in chunks unlike X's rows: each meets its own row.
    rows, offsets = da.from_array(X, chunks=(1_000, 6)), da.from_array(offset, chunks=700)
    probabilities = model.predict_proba(rows, offset=offsets)
    labels = model.predict(rows, offset=offsets)
    assert isinstance(probabilities, da.Array) and isinstance(labels, da.Array)
    # The two fits stop within about 1e-9 of each other (tol 1e-10, 1e-13).
    np.testing.assert_allclose(probabilities.compute()[:, 1], expected, rtol=1e-8)
    np.testing.assert_allclose(probabilities.compute()[:, 0], 1.0 - expected, rtol=1e-8)
    # No probability lies within 1e-6 of 1/2 here, so the labels cannot tie.
    assert np.min(np.abs(expected - 0.5)) > 1e-6
    np.testing.assert_array_equal(labels.compute(), np.where(expected > 0.5, "yes", "no"))


def test_a_chunked_fit_of_separated_classes_warns(client):
    # x0 alone decides the class: the classes are separated completely, and
    # within 50 updates rows are fitted at exactly 0 or 1, which the chunks count.
    X, _ = logistic_problem(20_000, 3, seed=6)
    X = X[:, 1:]
    y = (X[:, 0] > 0).astype(np.float64)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        LogisticRegression(max_iter=50).fit(da.from_array(X, chunks=(7_000, 2)), y)
    messages = {record.category: str(record.message) for record in caught}
    assert set(messages) == {ConvergenceWarning, quorvi.PerfectSeparationWarning}
    assert re.match(
        r"perfect separation: \d+ sample\(s\) were fitted with a probability",
        messages[quorvi.PerfectSeparationWarning],
    )


def test_max_iter_zero_makes_no_update_and_spends_no_loop_time(client, data):
    X, y, weights = data
    X_dask = da.from_array(X, chunks=(CHUNK, P))
    with pytest.warns(ConvergenceWarning, match="max_iter=0"):
        expected = LogisticRegression(max_iter=0).fit(X, y, sample_weight=weights)
    with pytest.warns(ConvergenceWarning, match="max_iter=0"):
        model = LogisticRegression(max_iter=0).fit(X_dask, y, sample_weight=weights)
    assert model.n_iter_[0] == 0 and model.converged_ is False and model.time_ == 0.0
    assert not model.coef_.any() and not model.intercept_.any()
    # No update, so no pass over X: no covariance or deviance, as in memory.
    assert np.isnan(model.deviance_) and np.isnan(expected.deviance_)
    assert np.isnan(model.covariance_).all() and model.covariance_.shape == expected.covariance_.shape
    assert (model.n_obs_, list(model.classes_)) == (expected.n_obs_, list(expected.classes_))


def test_a_worker_killed_mid_fit_costs_only_a_recomputation(client, data, monkeypatch):
    X, y, _ = data
    X_dask = da.from_array(X, chunks=(CHUNK, P)).persist()
    y_dask = da.from_array(y, chunks=CHUNK).persist()
    distributed.wait([X_dask, y_dask])
    undisturbed = LogisticRegression().fit(X_dask, y_dask)

    pids = client.run(os.getpid)
    killed = []

    def kill_a_worker_after_the_second_update(iteration, *_):
        if iteration == 2:
            # Half the persisted chunks are lost with it: the next update's
            # tasks must recompute them from their graph.
            victim = max(pids)
            os.kill(pids[victim], signal.SIGKILL)
            killed.append(victim)

    monkeypatch.setattr(quorvi._estimator, "_print_progress", kill_a_worker_after_the_second_update)
    disturbed = LogisticRegression(verbose=1).fit(X_dask, y_dask)
    assert killed
    assert disturbed.n_iter_[0] == undisturbed.n_iter_[0] > 2
    np.testing.assert_array_equal(disturbed.coef_, undisturbed.coef_)
    np.testing.assert_array_equal(disturbed.intercept_, undisturbed.intercept_)
    client.wait_for_workers(2, timeout=60)


def _unknown_lengths(y, short_chunk):
    """y in chunks of unknown size, chunk short_chunk one value short."""
    parts = [y[start : start + CHUNK] for start in range(0, len(y), CHUNK)]
    parts[short_chunk] = parts[short_chunk][:-1]
    return da.concatenate(
        [da.from_delayed(dask.delayed(part), shape=(np.nan,), dtype=y.dtype) for part in parts]
    )


@pytest.mark.parametrize(
    ("fault", "message"),
    [
        ("NaN in X", r"^row chunk 2 \(X.blocks\[2\], rows 14000 to 20999\): Input X contains NaN"),
        (
            "a third label",
            r"^Only binary classification is supported. The type of the target is multiclass: "
            r"row chunk 5 \(X.blocks\[5\], rows 35000 to 41999\) brings labels beyond two",
        ),
        (
            "a short chunk of y",
            r"^row chunk 3 \(X.blocks\[3\], rows 21000 to 27999\): "
            r"Found input variables with inconsistent numbers of samples: \[7000, 6999\]$",
        ),
    ],
)
def test_a_bad_chunk_is_named_and_leaves_no_task_behind(client, data, fault, message):
    X, y, _ = data
    X, y = X.copy(), y.copy()
    if fault == "NaN in X":
        X[15_000, 3] = np.nan
    if fault == "a third label":
        y[40_000] = 2.0
    X_dask = da.from_array(X, chunks=(CHUNK, P)).persist()
    y_dask = _unknown_lengths(y, 3) if fault == "a short chunk of y" else da.from_array(y, chunks=CHUNK)
    distributed.wait(X_dask)
    before = client.run_on_scheduler(lambda dask_scheduler: set(dask_scheduler.tasks))
    with pytest.raises(ValueError, match=message):
        LogisticRegression().fit(X_dask, y_dask)
    # The scheduler forgets the fit's tasks once the client releases them.
    deadline = time.monotonic() + 30
    while _tasks_added_since(client, before) and time.monotonic() < deadline:
        time.sleep(0.05)
    assert not _tasks_added_since(client, before)


def test_the_core_package_does_not_import_dask():
    code = (
        "import sys, numpy as np, quorvi\n"
        "X = np.random.default_rng(0).standard_normal((50, 2)); y = (X[:, 0] > 0).astype(float)\n"
        "quorvi.LogisticRegression().fit(X + np.random.default_rng(1).standard_normal((50, 2)), y)\n"
        "assert not [name for name in sys.modules if name.split('.')[0] in ('dask', 'distributed', 'zarr')]\n"
    )
    subprocess.run([sys.executable, "-c", code], check=True)


def _frame_with_categories(n, seed):
    rng = np.random.default_rng(seed)
    frame = pd.DataFrame(
        {
            "age": rng.normal(size=n),
            # "o" has no rows: the first level with rows is the reference.
            "state": pd.Categorical(rng.choice(list("pqrst"), n), categories=list("opqrst")),
            "city": rng.choice(["east", "north", "west"], n),
        }
    )
    eta = frame.age + 0.3 * frame.state.cat.codes - 0.5 * (frame.city == "north")
    return frame, (rng.random(n) < 1 / (1 + np.exp(-eta))).astype(np.int64)


@pytest.mark.parametrize("cov_type", ["nonrobust", "cluster"])
def test_a_dask_dataframe_with_categories_equals_the_in_memory_fit(client, cov_type):
    frame, y = _frame_with_categories(20_000, seed=12)
    # Cluster labels that cross the partitions: each partition's groups
    # (categorical entries included) are merged by label.
    clusters = np.arange(20_000) % 53 if cov_type == "cluster" else None
    # The Dask page's route: categorize(), persist(), then select the columns
    # (a selection of a frame that is only categorize()d fails in Dask
    # 2026.8 to 2026.11: "'index' is not in list").
    data = dd.from_pandas(frame.assign(y=y), npartitions=5).categorize(columns=["city"]).persist()
    X = data[list(frame.columns)]
    fitted = LogisticRegression(cov_type=cov_type).fit(
        X,
        data["y"],
        clusters=None if clusters is None else dd.from_pandas(pd.Series(clusters), npartitions=4),
    )
    reference = LogisticRegression(cov_type=cov_type).fit(frame, y, clusters=clusters)
    assert list(fitted.coef_table().index) == list(reference.coef_table().index)
    # Five partial sums added in order against one pass over all rows.
    np.testing.assert_allclose(fitted.coef_, reference.coef_, rtol=1e-10, atol=1e-13)
    np.testing.assert_allclose(fitted.covariance_, reference.covariance_, rtol=1e-10, atol=1e-16)
    np.testing.assert_allclose(
        fitted.predict_proba(X).compute(), reference.predict_proba(frame), rtol=1e-12, atol=1e-15
    )
    # Offsets at prediction meet their rows across partitions of another size.
    offset = np.linspace(-1.0, 1.0, 20_000)
    np.testing.assert_allclose(
        fitted.decision_function(X, offset=da.from_array(offset, chunks=7_000)).compute(),
        reference.decision_function(frame) + offset,
        rtol=1e-12,
        atol=1e-12,
    )


def _never_computed(part):
    raise AssertionError("a task ran")


@pytest.mark.parametrize(
    ("change", "message"),
    [
        (lambda X: X, "column 'city' of the Dask DataFrame has dtype .*categorize"),
        (lambda X: X.assign(city=X.city.astype("category")), "column 'city' .* unknown categories: call"),
    ],
)
def test_a_dask_frame_whose_levels_are_unknown_is_refused_before_any_task_runs(change, message):
    frame, y = _frame_with_categories(100, seed=13)
    X = dd.from_pandas(frame, npartitions=2)
    X = change(X.map_partitions(_never_computed, meta=X._meta))
    with pytest.raises(ValueError, match=message):
        LogisticRegression().fit(X, y)


def _small_problem(n=1024, seed=31):
    rng = np.random.default_rng(seed)
    X = rng.normal(size=(n, 3))
    y = (rng.random(n) < 1 / (1 + np.exp(-(X @ [0.5, -1.0, 0.3])))).astype(float)
    return X, y


@pytest.mark.parametrize(
    ("cov_type", "fault", "message"),
    [
        # Frequency weights summing to n = k = 4 (1/256 each: sums exact in any
        # order), where (n - 1)/(n - k) divides by 0; or to 1 < k.
        ("cluster", "weights summing to k", r"n - k = 4 - 4 <= 0, with n = 4 the sum of the frequency"),
        ("HC1", "weights summing to 1", r"n - k = 1 - 4 <= 0"),
        # The second clustering has one group: G/(G - 1) divides by 0.
        ("cluster", "a single second group", "clusters has a single cluster"),
        # Row 300 is row 44 of chunk 2: the error names the row of X, also
        # where Dask does not know the chunks' sizes.
        ("HC3", "a hat value of 1", r"row\(s\) 300 have a hat value of 1"),
        ("HC2", "a hat value of 1, chunks of unknown size", r"row\(s\) 300 have a hat value of 1"),
    ],
)
def test_bad_robust_input_is_refused_on_dask_as_in_memory(client, cov_type, fault, message):
    X, y = _small_problem()
    n = len(y)
    arguments = {"clusters": np.arange(n) % 7} if cov_type == "cluster" else {}
    if fault == "weights summing to k":
        arguments["sample_weight"] = np.full(n, 4 / n)
    if fault == "weights summing to 1":
        arguments["sample_weight"] = np.full(n, 1 / n)
    if fault == "a single second group":
        arguments["clusters"] = np.column_stack([np.arange(n) % 7, np.zeros(n)])
    if fault.startswith("a hat value of 1"):
        # A dummy of one row: that row alone fixes its coefficient, h = 1.
        X = np.column_stack([X, np.arange(n) == 300])
    chunked = {
        name: da.from_array(value, chunks=128) if isinstance(value, np.ndarray) else value
        for name, value in arguments.items()
    }
    chunked_X, chunked_y = da.from_array(X, chunks=(128, X.shape[1])), y
    if fault.endswith("unknown size"):
        chunked_X, chunked_y = _of_unknown_sizes(chunked_X), _of_unknown_sizes(da.from_array(y, chunks=128))
    for design, target, given in [(X, y, arguments), (chunked_X, chunked_y, chunked)]:
        # A row of hat value 1 is separated: few updates (the covariance is
        # refused before the fit would warn that it did not converge).
        model = LogisticRegression(cov_type=cov_type, max_iter=10)
        with pytest.raises(ValueError, match=message):
            model.fit(design, target, **given)
        assert not hasattr(model, "coef_")


def _of_unknown_sizes(array):
    """array's row chunks, each as a task of unknown size."""
    parts = array.to_delayed().ravel()
    return da.concatenate(
        [da.from_delayed(part, shape=(np.nan, *array.shape[1:]), dtype=array.dtype) for part in parts]
    )


@pytest.mark.parametrize("two_way", [False, True], ids=["one-way", "two-way"])
def test_rows_of_weight_zero_are_left_out_of_the_cluster_covariance_on_dask(client, two_way):
    # Weight 0 for whole clusters (all their pairs too) and for every row of
    # the first chunk: the covariance statsmodels gives on the other rows.
    sm = pytest.importorskip("statsmodels.api")
    X, y = _small_problem()
    rng = np.random.default_rng(32)
    groups = np.column_stack([rng.integers(0, 30, len(y)), rng.integers(0, 20, len(y))])
    labels = groups if two_way else groups[:, 0]
    dropped = (groups[:, 0] < 2) | (np.arange(len(y)) < 128)
    model = LogisticRegression(cov_type="cluster", tol=1e-12).fit(
        da.from_array(X, chunks=(128, 3)),
        y,
        sample_weight=da.from_array(np.where(dropped, 0.0, 1.0), chunks=128),
        clusters=da.from_array(labels, chunks=128),
    )
    kept = ~dropped
    glm = sm.GLM(y[kept], sm.add_constant(X[kept]), family=sm.families.Binomial())
    result = glm.fit(tol=1e-13, cov_type="cluster", cov_kwds={"groups": labels[kept]})
    np.testing.assert_allclose(model.covariance_, result.cov_params(), rtol=1e-8, atol=1e-14)


@pytest.mark.parametrize("cov_type", ["HC2", "HC3", "HC4"])
def test_hat_adjusted_covariances_with_a_dependent_column_on_dask_equal_the_textbook_sandwich(
    client, cov_type
):
    # A column equal to the sum of two others is dropped; the hat values are
    # those over the kept columns, so the covariance of the rest is the
    # textbook one of the design without it (not NaN), HC4's k not counting
    # it. Frequency weights of 0 to 3 in chunks: HC4's n is their sum.
    X, y = _small_problem()
    weights = np.random.default_rng(8).integers(0, 4, len(y)).astype(float)
    design = da.from_array(np.column_stack([X, X[:, 0] + X[:, 1]]), chunks=(128, 4))
    with pytest.warns(CollinearityWarning, match="x3"):
        model = LogisticRegression(cov_type=cov_type, tol=1e-12).fit(
            design, y, sample_weight=da.from_array(weights, chunks=128)
        )
    D = np.column_stack([np.ones(len(y)), X])
    expected = textbook_hc_covariances(D, y, model._parameters()[:4], weights)[cov_type]
    np.testing.assert_allclose(model.covariance_[:4, :4], expected, rtol=1e-8)
    assert np.isnan(model.covariance_[4]).all() and np.isnan(model.covariance_[:, 4]).all()


def test_probit_on_dask_equals_in_memory(client, data):
    # HC3 and an offset: the link's weights and residuals reach the hat
    # values, the meat and the null model, each summed chunk by chunk.
    X, y, weights = data
    offset = np.random.default_rng(5).normal(scale=0.3, size=len(y))
    settings = {"link": "probit", "cov_type": "HC3"}
    expected = LogisticRegression(**settings).fit(X, y, sample_weight=weights, offset=offset)
    X_dask = da.from_array(X, chunks=(CHUNK, P))
    offset_dask = da.from_array(offset, chunks=CHUNK // 2)
    model = LogisticRegression(**settings).fit(X_dask, y, sample_weight=weights, offset=offset_dask)
    np.testing.assert_allclose(model.coef_, expected.coef_, rtol=1e-10)
    np.testing.assert_allclose(model.intercept_, expected.intercept_, rtol=1e-10, atol=1e-13)
    # The bread of both is the observed information (the probit's default),
    # formed chunk by chunk in one pass more on Dask: not the expected one.
    np.testing.assert_allclose(model.covariance_, expected.covariance_, rtol=1e-9, atol=1e-16)
    fisher = LogisticRegression(**settings, information="expected").fit(X, y, weights, offset=offset)
    assert not np.allclose(model.covariance_, fisher.covariance_, rtol=1e-4)
    np.testing.assert_allclose(model.null_deviance_, expected.null_deviance_, rtol=1e-12)
    np.testing.assert_allclose(
        model.predict_proba(X_dask, offset=offset_dask).compute(),
        expected.predict_proba(X, offset=offset),
        rtol=1e-9,
    )
    effects = model.marginal_effects(X_dask, sample_weight=weights, offset=offset_dask)
    pd.testing.assert_frame_equal(
        effects, expected.marginal_effects(X, sample_weight=weights, offset=offset), rtol=1e-9
    )


@pytest.mark.parametrize("cov_type", ["HC3", "cluster"])
def test_a_dask_array_of_sparse_chunks_equals_the_in_memory_sparse_fit(client, cov_type):
    rng = np.random.default_rng(8)
    n = 12_000
    X = sparse.random(n, 8, density=0.2, random_state=rng, format="csr")
    X.data = rng.standard_normal(X.nnz)
    y = (rng.random(n) < 1 / (1 + np.exp(-(X @ rng.normal(size=8))))).astype(float)
    weights = rng.integers(0, 3, n).astype(float)
    offset = rng.normal(scale=0.2, size=n)
    clusters = np.arange(n) % 41 if cov_type == "cluster" else None
    # CSC chunks, columns split in two: put back together as whole CSR rows.
    chunked = da.from_array(X.tocsc(), chunks=(2_500, 4), asarray=False)
    on_dask = LogisticRegression(cov_type=cov_type).fit(
        chunked,
        da.from_array(y, chunks=2_500),
        sample_weight=da.from_array(weights, chunks=2_500),
        offset=da.from_array(offset, chunks=2_500),
        clusters=None if clusters is None else da.from_array(clusters, chunks=2_500),
    )
    reference = LogisticRegression(cov_type=cov_type).fit(
        X, y, sample_weight=weights, offset=offset, clusters=clusters
    )
    np.testing.assert_allclose(on_dask.coef_, reference.coef_, rtol=1e-10, atol=1e-13)
    np.testing.assert_allclose(on_dask.covariance_, reference.covariance_, rtol=1e-10, atol=1e-16)
    dask_offset = da.from_array(offset, chunks=3_000)
    np.testing.assert_allclose(
        on_dask.predict_proba(chunked, offset=dask_offset).compute(),
        reference.predict_proba(X, offset=offset),
        rtol=1e-12,
        atol=1e-15,
    )
    np.testing.assert_allclose(
        on_dask.marginal_effects(chunked, offset=dask_offset).to_numpy(dtype=float),
        reference.marginal_effects(X, offset=offset).to_numpy(dtype=float),
        rtol=1e-10,
        atol=1e-14,
    )
    # A stored NaN is named by its chunk and column, as in memory by its column.
    X.data[np.flatnonzero(X.indices == 5)[-1]] = np.nan
    with pytest.raises(ValueError, match=r"row chunk 4 .*stored value nan in column 5"):
        LogisticRegression().fit(da.from_array(X, chunks=(2_500, 8), asarray=False), y)


def _affairs():
    """statsmodels' affairs data with a binary label and two string columns."""
    sm = pytest.importorskip("statsmodels.api")
    data = sm.datasets.fair.load_pandas().data
    return data.assign(
        had_affair=(data["affairs"] > 0).astype(float),
        rel=data["religious"].map({1: "none", 2: "mild", 3: "fairly", 4: "strong"}),
        occ=data["occupation"].astype(int).astype(str),
    )


def test_formula_on_a_dask_frame_equals_statsmodels(client):
    # The model spec is learned from the frame's dtypes (categorize()d
    # columns) and applied partition by partition on the workers; a numeric
    # column read as C(children) has its values found in one pass.
    sm = pytest.importorskip("statsmodels.api")
    smf = pytest.importorskip("statsmodels.formula.api")
    pytest.importorskip("formulaic")
    data = _affairs()
    formula = "had_affair ~ C(rel) * C(occ) + np.log(age) + C(children)"
    reference = smf.glm(formula, data, family=sm.families.Binomial()).fit(tol=1e-13)
    frame = dd.from_pandas(data, npartitions=3).categorize(columns=["rel", "occ"])
    model = quorvi.logit(formula, frame, tol=1e-10)
    table = model.coef_table().loc[reference.params.index]
    np.testing.assert_allclose(table["coef"], reference.params, rtol=1e-8, atol=1e-10)
    np.testing.assert_allclose(table["std err"], reference.bse, rtol=1e-8, atol=1e-12)
    np.testing.assert_allclose(model.predict_proba(frame)[:, 1].compute(), reference.fittedvalues, rtol=1e-8)
    with pytest.raises(ValueError, match=r"column 'rel' of the Dask DataFrame has dtype .*categorize"):
        quorvi.logit(formula, dd.from_pandas(data, npartitions=3))


def test_varying_slopes_on_a_dask_frame_equal_the_in_memory_fit(client):
    # Numeric × categorical terms reach the workers as codes beside their
    # multiplier, and every partition's sums, its robust meat among them,
    # read them as a varying-slope block. The partitions' sums are added in
    # another order than the in-memory fit's chunks: rounding apart, at
    # converged fits of this well-conditioned model.
    pytest.importorskip("formulaic")
    data = _affairs()
    formula = "had_affair ~ yrs_married * C(occ) + np.log(age):C(rel)"
    frame = dd.from_pandas(data, npartitions=4).categorize(columns=["rel", "occ"])
    model = quorvi.logit(formula, frame, tol=1e-10, cov_type="HC1")
    in_memory = quorvi.logit(formula, data, tol=1e-10, cov_type="HC1")
    table, expected = model.coef_table(), in_memory.coef_table()
    assert sorted(table.index) == sorted(expected.index)
    table = table.loc[expected.index]
    np.testing.assert_allclose(table["coef"], expected["coef"], rtol=1e-9, atol=1e-12)
    np.testing.assert_allclose(table["std err"], expected["std err"], rtol=1e-9, atol=1e-12)
    np.testing.assert_allclose(
        model.predict_proba(frame)[:, 1].compute(), in_memory.predict_proba(data)[:, 1], rtol=1e-9
    )


def _frame_with_firms(n, seed):
    """Two numeric features, a categorical one and a string label of 40
    firms, one of which has only positive outcomes."""
    rng = np.random.default_rng(seed)
    firm = rng.integers(0, 40, n)
    frame = pd.DataFrame(
        {
            "x": rng.normal(size=n),
            "z": rng.normal(size=n),
            "firm": np.char.add("f", firm.astype(str)),
        }
    )
    eta = 0.8 * frame.x - 0.4 * frame.z + np.sin(firm)
    y = (rng.random(n) < 1 / (1 + np.exp(-eta))).astype(np.int64)
    y[firm == 7] = 1
    return frame, y


@pytest.mark.parametrize(
    ("cov_type", "extra"),
    [
        ("nonrobust", "a categorical feature"),
        ("HC1", "an offset"),
        # Hat values: each row's leverage in the dummy model, 1/D of its level beside x'Bx.
        ("HC3", "an offset"),
        ("HC4", "no more"),
        # Clusters that cross the firms and the partitions: every level counts in k.
        ("cluster", "clusters"),
        # The same with the rows of one firm inside one cluster: the firms
        # are still not nested in the clusters, and every level still counts.
        ("cluster", "clusters, one firm inside one"),
        # Nested: the firms' levels are not counted in k.
        ("cluster", "clusters by the firm"),
    ],
)
def test_one_absorbed_column_on_a_dask_frame_equals_the_in_memory_absorbed_fit(client, cov_type, extra):
    n = 8_000
    frame, y = _frame_with_firms(n, seed=41)
    weights = np.random.default_rng(5).integers(0, 4, n).astype(np.float64)
    arguments = {}
    if extra == "a categorical feature":
        frame = frame.assign(size=pd.Categorical(np.random.default_rng(6).choice(list("sml"), n)))
    if extra == "an offset":
        arguments["offset"] = np.linspace(-0.5, 0.5, n)
    if extra == "clusters":
        arguments["clusters"] = (np.arange(n) * 7) % 61
    if extra == "clusters, one firm inside one":
        arguments["clusters"] = np.where(frame["firm"] == "f3", 0, (np.arange(n) * 7) % 61)
    if extra == "clusters by the firm":
        arguments["clusters"] = "firm"
    X = dd.from_pandas(frame, npartitions=4)
    if extra == "a categorical feature":
        X = X.categorize(columns=["size"])
    given = dict(arguments)
    if extra in ("clusters", "clusters, one firm inside one"):
        given["clusters"] = da.from_array(arguments["clusters"], chunks=3_000)
    model = LogisticRegression(absorb="firm", cov_type=cov_type)
    reference = LogisticRegression(absorb="firm", cov_type=cov_type)
    with pytest.warns(quorvi.PerfectSeparationWarning, match="1 of 'firm'"):
        model.fit(X.persist(), dd.from_pandas(pd.Series(y), npartitions=4), sample_weight=weights, **given)
    with pytest.warns(quorvi.PerfectSeparationWarning, match="1 of 'firm'"):
        reference.fit(frame, y, sample_weight=weights, **arguments)

    # The same loop over the same sums, added in another order (four
    # partitions' shares against one pass over all rows): rounding apart.
    assert model.n_iter_[0] == reference.n_iter_[0]
    np.testing.assert_allclose(model.coef_, reference.coef_, rtol=1e-10)
    np.testing.assert_allclose(model.intercept_, reference.intercept_, rtol=1e-10, atol=1e-13)
    table, expected = model.coef_table(), reference.coef_table()
    np.testing.assert_allclose(table["std err"], expected["std err"], rtol=1e-10)
    effects, expected_effects = model.fixed_effects_["firm"], reference.fixed_effects_["firm"]
    assert list(effects.index) == list(expected_effects.index)
    # The reference level's effect is 0 and the separated one's NaN in both.
    np.testing.assert_allclose(effects, expected_effects, rtol=1e-10, atol=1e-13)
    assert (model.n_separated_rows_, model.deviance_) == pytest.approx(
        (reference.n_separated_rows_, reference.deviance_), rel=1e-12
    )
    # Predictions on the Dask frame, each partition's labels mapped to the
    # effects where it lives: those of the in-memory fit on the in-memory
    # frame, the separated level's rows at their limit (probability 1).
    offset = arguments.get("offset", 0.0)
    probabilities = model.predict_proba(X, offset=offset).compute()
    np.testing.assert_allclose(
        probabilities, reference.predict_proba(frame, offset=offset), rtol=1e-9, atol=1e-15
    )
    assert (probabilities[frame["firm"] == "f7", 1] == 1.0).all()
    # marginal_effects() without X: from the chunks' sums of the last pass
    # (their curvature per level beside them), those over the training rows
    # with their weights and offset, firm f7's rows left out as in the fit.
    # A categorical feature's discrete changes need every row: refused.
    # A fit on Dask keeps no sums per level for the delta method over the
    # levels (fixed_effects="estimated"): refused, saying why.
    if extra == "a categorical feature":
        with pytest.raises(ValueError, match=r"categorical columns need every row\. Pass X"):
            model.marginal_effects()
    else:
        with pytest.raises(ValueError, match=r"kept no sums per level for it\. Pass fixed_effects='given'"):
            model.marginal_effects()
        table = model.marginal_effects(fixed_effects="given")
        expected = model.marginal_effects(frame, weights, arguments.get("offset"), fixed_effects="given")
        np.testing.assert_allclose(table[["dy/dx", "std err"]], expected[["dy/dx", "std err"]], rtol=1e-8)


def _frame_with_firms_and_cities(n, seed):
    """_frame_with_firms with integer cities beside the firms: city 9's rows
    are all 0 but for those of firm 7 (all 1), so it is dropped for a single
    outcome once firm 7 is, and its rows of firm 7 take firm 7's limit."""
    frame, y = _frame_with_firms(n, seed)
    city = np.random.default_rng(seed + 1).integers(0, 10, n)
    y[(city == 9) & (frame["firm"] != "f7").to_numpy()] = 0
    return frame.assign(city=city), y


@pytest.mark.parametrize("absorb", ["firm", ["firm", "city"]])
def test_predictions_of_an_absorbed_fit_on_a_dask_frame_equal_those_in_memory(client, absorb):
    # A fit in memory, its predictions asked for the Dask version of the same
    # frame: the string labels of the firms (categories in every partition)
    # and the integer ones of the cities are matched to the fitted levels in
    # each partition. Each row's score is made by the same operations as in
    # memory, whatever partition holds it: equal but for rounding.
    frame, y = _frame_with_firms_and_cities(4_000, seed=43)
    with pytest.warns(quorvi.PerfectSeparationWarning):
        model = LogisticRegression(absorb=absorb).fit(frame, y)
    X = dd.from_pandas(frame, npartitions=4)
    offset = np.linspace(-1.0, 1.0, len(frame))
    for method in ("decision_function", "predict_proba", "predict_log_proba"):
        lazy = getattr(model, method)(X, offset=offset)
        assert isinstance(lazy, da.Array)
        np.testing.assert_allclose(
            lazy.compute(), getattr(model, method)(frame, offset=offset), rtol=1e-12, atol=1e-15
        )
    labels = model.predict(X).compute()
    np.testing.assert_array_equal(labels, model.predict(frame))
    # The limits of the dummy model: firm 7's rows (city 9's among them, firm
    # 7 dropped first) are 1, city 9's other rows 0.
    probabilities = model.predict_proba(X)[:, 1].compute()
    firm_7, city_9 = (frame["firm"] == "f7").to_numpy(), frame["city"].to_numpy() == 9
    assert (probabilities[firm_7] == 1.0).all() and (labels[firm_7] == 1).all()
    if absorb != "firm":
        assert (firm_7 & city_9).any()
        assert (probabilities[city_9 & ~firm_7] == 0.0).all() and (labels[city_9 & ~firm_7] == 0).all()


@pytest.mark.parametrize(
    ("change", "method", "message"),
    [
        ("an unseen firm", "predict_proba", r"absorbed column 'firm' has the level 'f99' \(row \d+\)"),
        ("an unseen city", "decision_function", r"absorbed column 'city' has the level 99 \(row \d+\)"),
        # A level whose rows all have weight 0: its effect is not estimated.
        ("a level without weight", "predict", r"\d+ row\(s\) of X have no probability"),
    ],
)
def test_what_a_dask_prediction_of_an_absorbed_fit_refuses_it_refuses_as_in_memory(
    client, change, method, message
):
    frame, y = _frame_with_firms_and_cities(2_000, seed=44)
    weights = np.where(frame["firm"] == "f2", 0.0, 1.0) if change == "a level without weight" else None
    with pytest.warns(quorvi.PerfectSeparationWarning):
        model = LogisticRegression(absorb=["firm", "city"]).fit(frame, y, sample_weight=weights)
    if change == "an unseen firm":
        frame.loc[1_700, "firm"] = "f99"
    if change == "an unseen city":
        frame.loc[1_700, "city"] = 99
    lazy = getattr(model, method)(dd.from_pandas(frame, npartitions=3))  # nothing computed yet
    with pytest.raises(ValueError, match=f"^partition \\d of X: {message}"):
        lazy.compute()
    with pytest.raises(ValueError, match=f"^{message}"):
        getattr(model, method)(frame)


@pytest.mark.parametrize(
    ("parameters", "message"),
    [
        # city, a categorical feature beside the absorbed firm: hat values
        # need entries of the inverse of its levels' block, as in memory.
        ({"absorb": "firm", "cov_type": "HC3"}, "available for numeric features and one absorbed column"),
    ],
)
def test_what_absorb_cannot_do_on_a_dask_frame_is_refused_before_any_task_runs(parameters, message):
    frame, y = _frame_with_firms(100, seed=42)
    frame = frame.assign(city=pd.Categorical(np.where(frame.x > 0, "east", "west")))
    X = dd.from_pandas(frame, npartitions=2)
    X = X.map_partitions(_never_computed, meta=X._meta)
    with pytest.raises(ValueError, match=message):
        LogisticRegression(**parameters).fit(X, y)
