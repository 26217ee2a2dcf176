"""Benchmark quorvi's fit on a Spark DataFrame against pyspark.ml, in one
local session (local[2]) on the same cached DataFrame.

1. Speed: seeded logistic data of 1,000,000 x 20, made by Spark itself in
   4 partitions and cached; quorvi.logit("y ~ x1 + ... + x20") against
   pyspark.ml's GeneralizedLinearRegression(family="binomial", tol=1e-8,
   maxIter=25, regParam=0) on the same rows (its features assembled by a
   VectorAssembler, cached too). End-to-end seconds (quorvi's first job,
   which starts the Python workers, included), seconds per update after
   the first, and the largest relative difference of the coefficients.
2. Width: a categorical term of 5,000 levels beside x1 (5,002
   coefficients), which pyspark.ml refuses (more than 4,096 features);
   quorvi's end-to-end seconds.

    python bench/spark_benchmark.py           # the sizes above; results in bench/results/spark.json
    python bench/spark_benchmark.py --quick   # small sizes: a check that it all runs
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import sys
import time
import warnings
from pathlib import Path

import numpy as np

RESULTS = Path(__file__).resolve().parent / "results"


def session(partitions: int):  # type: ignore[no-untyped-def]
    from pyspark.sql import SparkSession

    os.environ["PYSPARK_PYTHON"] = sys.executable
    spark = (
        SparkSession.builder.master("local[2]")
        .appName("quorvi-bench")
        .config("spark.ui.enabled", "false")
        .config("spark.ui.showConsoleProgress", "false")
        .config("spark.sql.shuffle.partitions", str(partitions))
        .config("spark.driver.memory", "3g")
        .getOrCreate()
    )
    spark.sparkContext.setLogLevel("ERROR")
    return spark


def logistic_frame(spark, n: int, p: int, partitions: int, levels: int = 0):  # type: ignore[no-untyped-def]
    """n rows of p standard normal features (and, with levels, a string
    column g of that many levels, of effects ±0.5) and labels of a known
    logistic model, made by Spark in the given partitions and cached."""
    from pyspark.sql import functions as F

    frame = spark.range(0, n, numPartitions=partitions)
    columns = [F.randn(seed=j).alias(f"x{j}") for j in range(1, p + 1)]
    frame = frame.select("id", *columns)
    coefficients = np.random.default_rng(0).normal(scale=0.3, size=p)
    eta = F.lit(0.2)
    for j, beta in enumerate(coefficients, start=1):
        eta = eta + F.lit(float(beta)) * F.col(f"x{j}")
    if levels:
        code = F.floor(F.rand(seed=1000) * levels).cast("int")
        frame = frame.withColumn("g", F.concat(F.lit("l"), code.cast("string")))
        eta = eta + F.when(code % 2 == 0, 0.5).otherwise(-0.5)
    frame = frame.withColumn("y", (F.rand(seed=999) < 1 / (1 + F.exp(-eta))).cast("double"))
    frame = frame.cache()
    frame.count()
    return frame


def timed_quorvi(formula: str, frame):  # type: ignore[no-untyped-def]
    """quorvi's fit, its seconds, and the seconds of each update's job."""
    import quorvi
    from quorvi._spark import _fit

    updates: list[float] = []
    call = _fit.SparkPasses.__call__

    def timed(self, *args, **kwargs):  # type: ignore[no-untyped-def]
        start = time.perf_counter()
        try:
            return call(self, *args, **kwargs)
        finally:
            updates.append(time.perf_counter() - start)

    _fit.SparkPasses.__call__ = timed  # type: ignore[method-assign]
    try:
        start = time.perf_counter()
        model = quorvi.logit(formula, frame)
        seconds = time.perf_counter() - start
    finally:
        _fit.SparkPasses.__call__ = call  # type: ignore[method-assign]
    return model, seconds, updates


def speed(spark, n: int, p: int, partitions: int) -> dict[str, object]:  # type: ignore[no-untyped-def]
    from pyspark.ml.feature import VectorAssembler
    from pyspark.ml.regression import GeneralizedLinearRegression

    start = time.perf_counter()
    frame = logistic_frame(spark, n, p, partitions)
    load = time.perf_counter() - start
    names = [f"x{j}" for j in range(1, p + 1)]
    model, seconds, updates = timed_quorvi("y ~ " + " + ".join(names), frame)
    assembled = VectorAssembler(inputCols=names, outputCol="features").transform(frame).cache()
    assembled.count()
    glr = GeneralizedLinearRegression(
        family="binomial", link="logit", tol=1e-8, maxIter=25, regParam=0.0, labelCol="y"
    )
    start = time.perf_counter()
    fitted = glr.fit(assembled)
    glr_seconds = time.perf_counter() - start
    iterations = fitted.summary.numIterations
    ours = np.concatenate([model.intercept_, model.coef_[0]])
    theirs = np.concatenate([[fitted.intercept], fitted.coefficients.toArray()])
    assembled.unpersist()
    frame.unpersist()
    return {
        "rows": n,
        "features": p,
        "partitions": partitions,
        "load_and_cache_seconds": load,
        "quorvi_seconds": seconds,
        "quorvi_updates": len(updates),
        "quorvi_first_update_seconds": updates[0],
        "quorvi_seconds_per_later_update": float(np.median(updates[1:])) if len(updates) > 1 else None,
        "glr_seconds": glr_seconds,
        "glr_iterations": iterations,
        "glr_seconds_per_iteration": glr_seconds / max(iterations, 1),
        "largest_relative_coefficient_difference": float(np.max(np.abs(ours - theirs) / np.abs(theirs))),
    }


def width(spark, n: int, levels: int, partitions: int) -> dict[str, object]:  # type: ignore[no-untyped-def]
    from pyspark.ml.feature import OneHotEncoder, StringIndexer, VectorAssembler
    from pyspark.ml.regression import GeneralizedLinearRegression

    frame = logistic_frame(spark, n, 1, partitions, levels)
    model, seconds, updates = timed_quorvi("y ~ x1 + C(g)", frame)
    indexed = StringIndexer(inputCol="g", outputCol="g_index").fit(frame).transform(frame)
    encoded = OneHotEncoder(inputCol="g_index", outputCol="g_vector").fit(indexed).transform(indexed)
    assembled = VectorAssembler(inputCols=["x1", "g_vector"], outputCol="features").transform(encoded)
    try:
        GeneralizedLinearRegression(family="binomial", tol=1e-8, maxIter=25, regParam=0.0, labelCol="y").fit(
            assembled
        )
        refusal = None
    except Exception as error:  # pyspark.ml's own refusal, whatever its class
        lines = str(error).strip().splitlines()
        refusal = next((line.strip() for line in lines if "4096" in line), lines[0])[:200]
    frame.unpersist()
    return {
        "rows": n,
        "levels": levels,
        "coefficients": len(model.coef_[0]) + 1,
        "quorvi_seconds": seconds,
        "quorvi_updates": len(updates),
        "quorvi_seconds_per_later_update": float(np.median(updates[1:])) if len(updates) > 1 else None,
        "glr": refusal or "fitted",
    }


def main() -> None:
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--quick", action="store_true", help="small sizes: a check that it all runs")
    arguments = parser.parse_args()
    # Quick: a categorical narrow enough for pyspark.ml, with rows at every level.
    n, p, partitions, levels = (20_000, 5, 4, 50) if arguments.quick else (1_000_000, 20, 4, 5_000)
    warnings.filterwarnings("ignore", message="PySpark does not yet fully support pandas")
    start = time.perf_counter()
    spark = session(partitions)
    started = time.perf_counter() - start
    import pyspark

    results = {
        "machine": platform.processor() or platform.machine(),
        "cpus": os.cpu_count(),
        "pyspark": pyspark.__version__,
        "session_start_seconds": started,
        "speed": speed(spark, n, p, partitions),
        "width": width(spark, n, levels, partitions),
    }
    spark.stop()
    text = json.dumps(results, indent=2)
    print(text)
    if not arguments.quick:
        RESULTS.mkdir(exist_ok=True)
        (RESULTS / "spark.json").write_text(text + "\n")


if __name__ == "__main__":
    main()
