import os
import shutil
import sys
from pathlib import Path

import pytest

# Tests in every folder import the shared helpers (helpers/) and the demo's
# loader from here. Test files keep unique basenames across folders: pytest's
# default import mode names each module by its basename alone.
TESTS = Path(__file__).resolve().parent
sys.path.insert(0, str(TESTS / "helpers"))
sys.path.insert(0, str(TESTS.parent / "demo"))

from problems import logistic_problem  # noqa: E402


@pytest.fixture
def problem():
    return logistic_problem(200, 4, seed=1)


@pytest.fixture(scope="session")
def spark():
    """One local Spark session for every test that needs one (local[2, 2]:
    two cores, and a failed task retried once, as a cluster retries it);
    skipped where pyspark or Java is missing."""
    pytest.importorskip("pyspark")
    if shutil.which("java") is None and not os.environ.get("JAVA_HOME"):
        pytest.skip("Spark needs Java (requirements/debian.txt: openjdk-17-jre-headless)")
    from pyspark.sql import SparkSession

    # The executors' Python is this one, which has quorvi (a cluster's is
    # set by spark.pyspark.python).
    os.environ["PYSPARK_PYTHON"] = sys.executable
    session = (
        SparkSession.builder.master("local[2, 2]")
        .appName("quorvi-tests")
        .config("spark.ui.enabled", "false")
        .config("spark.ui.showConsoleProgress", "false")
        .config("spark.sql.shuffle.partitions", "4")
        .getOrCreate()
    )
    session.sparkContext.setLogLevel("ERROR")
    yield session
    session.stop()
