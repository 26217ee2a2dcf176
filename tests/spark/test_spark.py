"""quorvi on Spark DataFrames, in one local session (local[2, 2]: two
cores, and a failed task retried once, as a cluster retries it): formula
fits equal to the in-memory one of the same rows, predictions as columns
of the input, and the same bits after a task was lost. Bad input, and
what every back end must do, are in tests/backends."""

import os
import shutil
import sys

import numpy as np
import pandas as pd
import pytest

import quorvi

pyspark = pytest.importorskip("pyspark")
if shutil.which("java") is None and not os.environ.get("JAVA_HOME"):
    pytest.skip(
        "Spark needs Java (requirements/debian.txt: openjdk-17-jre-headless)", allow_module_level=True
    )

from quorvi._spark import _executor_designs, _fit  # noqa: E402

pytestmark = [
    pytest.mark.spark,
    # pyspark 4.3's notice beside pandas 3, raised where it converts a frame.
    pytest.mark.filterwarnings("ignore:PySpark does not yet fully support pandas:FutureWarning"),
]

N = 4_000


@pytest.fixture(scope="module")
def rows():
    rng = np.random.default_rng(38)
    frame = pd.DataFrame(
        {
            "id": np.arange(N),
            "x1": rng.normal(size=N),
            "x2": rng.normal(size=N),
            "g": rng.choice(["a", "b", "c", "d", "e"], N),
            "w": rng.integers(1, 4, N).astype(float),
            "o": rng.normal(scale=0.2, size=N),
            "firm": rng.integers(0, 40, N),
            "year": rng.choice([f"y{year}" for year in range(30)], N),
        }
    )
    eta = 0.3 + frame.x1 - 0.5 * frame.x2 + 0.4 * (frame.g == "b") + frame.o
    frame["y"] = (rng.random(N) < 1 / (1 + np.exp(-eta))).astype(np.int64)
    return frame


@pytest.fixture(scope="module")
def frame(spark, rows):
    # Three partitions of unequal rows, none of them the whole data.
    return spark.createDataFrame(rows).repartition(3, "firm")


FORMULA = "y ~ x1 + x2 + C(g)"
CLUSTERED = {"sample_weight": "w", "offset": "o", "clusters": "firm", "cov_type": "cluster"}


def in_memory_fit(formula, rows, options):
    """The fit of the same rows in memory, the named columns as arrays."""
    columns = {"sample_weight", "offset", "clusters"}
    return quorvi.logit(
        formula, rows, **{key: rows[value] if key in columns else value for key, value in options.items()}
    )


@pytest.fixture(scope="module")
def clustered(frame):
    return quorvi.logit(FORMULA, frame, **CLUSTERED)


@pytest.mark.parametrize(
    ("formula", "options"),
    [
        # `make test` runs the first fit, `make ci-checks` the others (slow).
        (FORMULA, CLUSTERED),
        # A numeric column read as C(firm): its values are its levels.
        ("y ~ x1 + C(firm)", {"cov_type": "HC1"}),
        pytest.param("y ~ x1 + x2 + x1:x2", {"cov_type": "HC1"}, marks=pytest.mark.slow),
        # Each row's power of 1 - h is min(4, n h / k): the pass needs n.
        pytest.param("y ~ x1 + x2", {"cov_type": "HC4", "sample_weight": "w"}, marks=pytest.mark.slow),
        pytest.param(
            FORMULA + " + x1:C(g)",
            {"clusters": ["firm", "year"], "cov_type": "cluster"},
            # Both fits correct the same indefinite matrix, and say so.
            marks=[
                pytest.mark.slow,
                pytest.mark.filterwarnings("ignore::quorvi.CovarianceCorrectionWarning"),
            ],
        ),
    ],
)
def test_fit_equals_the_fit_in_memory(frame, rows, clustered, formula, options):
    on_spark = clustered if options is CLUSTERED else quorvi.logit(formula, frame, **options)
    in_memory = in_memory_fit(formula, rows, options)
    expected = in_memory.coef_table()
    table = on_spark.coef_table()
    assert list(table.index) == list(expected.index)
    # The same sums added in another order: rounding apart.
    np.testing.assert_allclose(table["coef"], expected["coef"], rtol=1e-9, atol=1e-12)
    np.testing.assert_allclose(table["std err"], expected["std err"], rtol=1e-9)
    terms = [term for term in ("C(g)", "x1:C(g)") if term in on_spark.coef_table().index.str.cat()]
    for term in terms:
        np.testing.assert_allclose(
            on_spark.wald_test(term).statistic, in_memory.wald_test(term).statistic, rtol=1e-8
        )
    # The report reads the fit's results alone: the same table of numbers.
    assert (
        str(on_spark.summary()).splitlines()[-len(table) - 3 :]
        == str(in_memory.summary()).splitlines()[-len(table) - 3 :]
    )


def column(frame, name):
    """A column of a Spark DataFrame in the order of its rows' ids."""
    values = dict(frame.select("id", name).collect())
    return np.array([values[row] for row in range(N)])


def test_predictions_are_columns_of_the_input(frame, rows, clustered):
    in_memory = in_memory_fit(FORMULA, rows, CLUSTERED)
    offset = rows["o"]
    np.testing.assert_allclose(
        column(clustered.predict_proba(frame, offset="o"), "probability"),
        in_memory.predict_proba(rows, offset=offset)[:, 1],
        rtol=1e-9,
    )
    np.testing.assert_allclose(
        column(clustered.decision_function(frame, offset="o"), "linear_predictor"),
        in_memory.decision_function(rows, offset=offset),
        rtol=1e-9,
        atol=1e-12,
    )
    labels = clustered.predict(frame, offset="o")
    np.testing.assert_array_equal(column(labels, "prediction"), in_memory.predict(rows, offset=offset))
    # The input's columns, and the label of the type of classes_ (the
    # formula reads a numeric left-hand side as float64).
    assert labels.columns == [*frame.columns, "prediction"]
    assert (dict(labels.dtypes)["prediction"], in_memory.classes_.dtype) == ("double", np.float64)


class _FailingOnce(_fit._SumsTask):
    """The sums of a partition, failing once (while a flag file exists),
    with the executor's copies of the fit's design lost: the task Spark
    then retries, and the next ones, find no copy and fall back to the
    persisted blobs."""

    flag = ""

    def __call__(self, table):
        if os.path.exists(self.flag):
            os.remove(self.flag)
            _executor_designs.forget(self.settings.design.key)
            raise RuntimeError("a task lost once")
        return super().__call__(table)


def test_a_retried_task_gives_the_same_bits(frame, clustered, tmp_path, monkeypatch):
    from pyspark import cloudpickle

    flag = tmp_path / "fail"
    flag.touch()
    failing = type("FailingOnce", (_FailingOnce,), {"flag": str(flag)})
    fallbacks = []
    blobs = _fit.design_blobs
    monkeypatch.setattr(_fit, "design_blobs", lambda *args: fallbacks.append(args[1:]) or blobs(*args))
    # This module is not on the executors' path: its class travels by value.
    cloudpickle.register_pickle_by_value(sys.modules[__name__])
    monkeypatch.setattr(_fit, "_SumsTask", failing)
    try:
        retried = quorvi.logit(FORMULA, frame, **CLUSTERED)
    finally:
        cloudpickle.unregister_pickle_by_value(sys.modules[__name__])
    assert not flag.exists()  # a task failed, and Spark ran it again
    assert fallbacks  # and the partitions without a copy were read from their blobs
    np.testing.assert_array_equal(retried.coef_, clustered.coef_)
    np.testing.assert_array_equal(retried.covariance_, clustered.covariance_)


def test_incomplete_rows_are_dropped_as_pandas_drops_them(spark, rows):
    # A NaN feature, a NaN label, a null level and a null weight: each
    # leaves its row out, on Spark in the job that makes the design.
    holes = rows.assign(
        x2=rows.x2.where(rows.id % 97 != 1),
        y=rows.y.where(rows.id % 89 != 2),
        g=rows.g.where(rows.id % 83 != 3),
        w=rows.w.where(rows.id % 79 != 4),
    )
    frame = spark.createDataFrame(holes).repartition(3, "firm")
    options = {"sample_weight": "w", "cov_type": "HC1"}
    on_spark = quorvi.logit(FORMULA, frame, **options)
    complete = holes.dropna(subset=["x2", "y", "g", "w"])
    reference = quorvi.logit(FORMULA, complete, sample_weight=complete["w"], cov_type="HC1")
    # The same sums added in another order: rounding apart.
    table, expected = on_spark.coef_table(), reference.coef_table()
    np.testing.assert_allclose(table["coef"], expected["coef"], rtol=1e-9, atol=1e-12)
    np.testing.assert_allclose(table["std err"], expected["std err"], rtol=1e-9, atol=1e-12)
    assert on_spark.n_dropped_rows_ == len(holes) - len(complete) > 0
    assert not hasattr(on_spark, "dropped_rows_")  # no mask of a Spark DataFrame's rows, as on Dask
    summary = " ".join(str(on_spark.summary()).split())
    assert f"Rows dropped (missing values): {on_spark.n_dropped_rows_}" in summary
    # Predictions keep every row of the input: NaN where the formula has no value.
    probability = column(on_spark.predict_proba(frame), "probability")
    incomplete = holes[["x2", "g"]].isna().any(axis=1).to_numpy()
    assert np.isnan(probability[incomplete]).all()
    np.testing.assert_allclose(
        probability[~incomplete], reference.predict_proba(holes[~incomplete])[:, 1], rtol=1e-9, atol=1e-12
    )
    # The formula's marginal effects, each partition's terms evaluated where
    # it lives and its incomplete rows (a missing weight's too) left out.
    np.testing.assert_allclose(
        reference.marginal_effects(frame, sample_weight="w").to_numpy(),
        reference.marginal_effects(holes, sample_weight=holes["w"]).to_numpy(),
        rtol=1e-10,
        atol=1e-13,
    )


@pytest.fixture(scope="module")
def firms(spark, rows):
    """The rows with every outcome of firm 3 set to 1 (a level the fit leaves
    out), in three partitions that each hold whole firms."""
    changed = rows.assign(y=np.where(rows.firm == 3, 1, rows.y))
    return changed, spark.createDataFrame(changed).repartition(3, "firm")


@pytest.mark.parametrize(
    "options",
    [
        {"sample_weight": "w"},
        # The clusters are the absorbed levels: nested, so no level counts in k.
        {"sample_weight": "w", "clusters": "firm", "cov_type": "cluster"},
    ],
)
def test_an_absorbed_column_equals_the_absorbed_fit_in_memory(firms, options):
    changed, frame = firms
    formula = "y ~ x1 + x2 | firm"
    with pytest.warns(quorvi.PerfectSeparationWarning, match="1 of 'firm'"):
        on_spark = quorvi.logit(formula, frame, **options)
    with pytest.warns(quorvi.PerfectSeparationWarning, match="1 of 'firm'"):
        in_memory = in_memory_fit(formula, changed, options)
    # The same sums added in another order: rounding apart.
    np.testing.assert_allclose(on_spark.coef_, in_memory.coef_, rtol=1e-9)
    table, expected = on_spark.coef_table(), in_memory.coef_table()
    assert list(table.index) == list(expected.index)
    np.testing.assert_allclose(table["std err"], expected["std err"], rtol=1e-9)
    effects, expected_effects = on_spark.fixed_effects_["firm"], in_memory.fixed_effects_["firm"]
    assert list(effects.index) == list(expected_effects.index)
    # The reference level's effect is 0 and the separated one's NaN in both.
    np.testing.assert_allclose(effects, expected_effects, rtol=1e-9, atol=1e-12)
    assert on_spark.n_separated_rows_ == in_memory.n_separated_rows_
