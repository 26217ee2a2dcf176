"""quorvi on a Spark Connect DataFrame (as shared and serverless clusters
give), through a local Connect server (SparkSession.builder.remote): the
same formula fit as in memory, at the tolerance the classic DataFrame's
tests hold (test_spark.py). Not beside a classic DataFrame: once a Connect
session runs, pyspark.sql.functions makes Connect columns in the whole
process. Needs Connect's client (grpcio, grpcio-status,
googleapis-common-protos, zstandard), which pyspark does not install."""

import os
import shutil
import sys

import numpy as np
import pandas as pd
import pytest

import quorvi

pytest.importorskip("pyspark")
for client in ("grpc", "grpc_status", "google.protobuf", "zstandard"):
    pytest.importorskip(client)
if shutil.which("java") is None and not os.environ.get("JAVA_HOME"):
    pytest.skip(
        "Spark needs Java (requirements/debian.txt: openjdk-17-jre-headless)", allow_module_level=True
    )

pytestmark = pytest.mark.filterwarnings("ignore:PySpark does not yet fully support pandas:FutureWarning")


@pytest.fixture(scope="module")
def connect():
    """A local Connect server and a session of it."""
    from pyspark.sql import SparkSession

    if SparkSession.getActiveSession() is not None:
        # A Connect session cannot start beside a classic one, and makes
        # pyspark.sql.functions build Connect columns for the whole process:
        # make test runs this module in a process of its own.
        pytest.skip("a classic Spark session runs in this process (run this module alone)")
    os.environ["PYSPARK_PYTHON"] = sys.executable
    # Static settings (the UI's) cannot be given through a Connect builder.
    session = SparkSession.builder.remote("local[2]").getOrCreate()
    yield session
    session.stop()


def test_a_connect_dataframe_fits_as_in_memory(connect):
    from pyspark.sql.connect.dataframe import DataFrame

    rng = np.random.default_rng(7)
    n = 3_000
    rows = pd.DataFrame(
        {
            "x1": rng.normal(size=n),
            "g": rng.choice(["a", "b", "c"], n),
            "w": rng.integers(1, 4, n).astype(float),
            "firm": rng.integers(0, 30, n),
        }
    )
    rows["y"] = (rng.random(n) < 1 / (1 + np.exp(-(0.2 + rows.x1)))).astype(np.int64)
    options = {"sample_weight": "w", "clusters": "firm", "cov_type": "cluster"}
    frame = connect.createDataFrame(rows).repartition(3, "firm")
    assert isinstance(frame, DataFrame)
    on_connect = quorvi.logit("y ~ x1 + C(g)", frame, **options)
    in_memory = quorvi.logit(
        "y ~ x1 + C(g)", rows, sample_weight=rows["w"], clusters=rows["firm"], cov_type="cluster"
    )
    # The same sums added in another order: rounding apart.
    table, expected = on_connect.coef_table(), in_memory.coef_table()
    np.testing.assert_allclose(table["coef"], expected["coef"], rtol=1e-9, atol=1e-12)
    np.testing.assert_allclose(table["std err"], expected["std err"], rtol=1e-9)
    scored = on_connect.predict_proba(frame)
    assert isinstance(scored, DataFrame) and scored.columns == [*frame.columns, "probability"]
