"""Spark DataFrames as a formula's data: the pass that learns the levels
and finds missing values, the per-partition design a formula makes of a
frame, and the jobs that run a function on every partition and bring its
small result back in partition order."""

from __future__ import annotations

import math
import pickle
from collections.abc import Callable, Collection, Iterator
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np
import pandas as pd

if TYPE_CHECKING:
    import pyarrow as pa

# What every job returns: one row per partition, its result pickled. Only
# these rows reach the driver (sums of q x q, levels, counts), never rows
# of the data.
RESULT_SCHEMA = "partition int, payload binary"


@dataclass
class SparkFrames:
    """function applied to every partition (as pandas) of the Spark
    DataFrame source: a formula's design frame or its labels, made where
    the partition lives. meta is the result's empty frame or series."""

    source: Any
    function: Callable[[pd.DataFrame], Any]
    meta: Any
    # Which rows of a partition the formula keeps (missing="drop"), a mask
    # of its length; None: every row (the fit refuses missing values).
    complete_of: Callable[[pd.DataFrame], Any] | None = None

    @property
    def columns(self) -> list[str]:
        return list(self.meta.columns) if hasattr(self.meta, "columns") else []


@dataclass
class CompleteRows:
    """A Spark DataFrame whose incomplete rows a formula's fit leaves out
    (missing="drop"): complete_of marks a partition's complete rows. They
    are found where the rows are, in the job that makes the fit's design,
    which counts the others (no job of its own, unlike Dask's)."""

    source: Any
    complete_of: Callable[[pd.DataFrame], Any]


def formula_complete_rows(
    data: Any, columns: list[str], complete_of: Callable[[pd.DataFrame], Any], companions: dict[str, Any]
) -> tuple[CompleteRows, dict[str, Any], None, None]:
    """data with the rule of its complete rows, and the companions as they
    are (on Spark they name columns, whose missing values complete_of
    reads); the rows dropped are counted by the fit's first pass (None
    here)."""
    return CompleteRows(spark_frame(data, "a formula's data"), complete_of), companions, None, None


def spark_frame(value: Any, role: str) -> Any:
    """value as the Spark DataFrame it is, or a clear error."""
    from pyspark.sql import DataFrame

    if isinstance(value, CompleteRows):
        return value.source
    if not isinstance(value, DataFrame):
        raise TypeError(f"{role} must be a Spark DataFrame, got {type(value).__name__}")
    return value


def quoted(name: str) -> str:
    # Column names with dots or spaces, as Spark reads them.
    return "`" + name.replace("`", "``") + "`"


def _kind(data_type: Any) -> str:
    """A Spark type as the formula reads it: 'float', 'integer', 'text'
    (categorical), or 'other' (refused)."""
    from pyspark.sql import types

    if isinstance(data_type, (types.FloatType, types.DoubleType, types.DecimalType)):
        return "float"
    if isinstance(data_type, (types.ByteType, types.ShortType, types.IntegerType, types.LongType)):
        return "integer"
    if isinstance(data_type, types.BooleanType):
        return "boolean"
    if isinstance(data_type, types.StringType):
        return "text"
    return "other"


def formula_meta(
    data: Any,
    names: set[str],
    *,
    learn: bool = False,
    missing: str = "drop",
    levels_of: Collection[str] = (),
) -> pd.DataFrame:
    """The empty pandas frame of the columns of data a formula names, on
    which its spec is learned. With learn, one job (Spark's own aggregates,
    no Python worker) collects the distinct values of each string column and
    of each numeric one of levels_of (those the formula reads only as C(x)):
    their levels, sorted (as a pandas column's are in memory); with
    missing="raise" it also counts each column's missing values, a
    ValueError naming the first column that has any (with "drop" the fit's
    first pass leaves such rows out). No job when there is nothing to
    learn. Without learn, the dtypes alone (a fitted model spec has its levels)."""
    from pyspark.sql import functions as F

    data = spark_frame(data, "a formula's data")
    fields = [field for field in data.schema.fields if field.name in names]
    for field in fields:
        if _kind(field.dataType) == "other":
            raise ValueError(
                f"column {field.name!r} of the Spark DataFrame has type {field.dataType.simpleString()}: a "
                "formula takes numeric, boolean and string columns; cast it first."
            )
    levels: dict[str, list[Any]] = {}
    counted = missing != "drop"

    def has_levels(field: Any) -> bool:
        return _kind(field.dataType) == "text" or field.name in levels_of

    if learn and fields and (counted or any(has_levels(field) for field in fields)):
        aggregates = []
        for position, field in enumerate(fields):
            column = F.col(quoted(field.name))
            if counted:
                nulls = column.isNull()
                if _kind(field.dataType) == "float":
                    nulls = nulls | F.isnan(column) | column.isin(math.inf, -math.inf)
                aggregates.append(F.sum(F.when(nulls, 1).otherwise(0)).alias(f"missing{position}"))
            if has_levels(field):
                aggregates.append(F.collect_set(column).alias(f"levels{position}"))
        (row,) = data.agg(*aggregates).collect()
        for position, field in enumerate(fields):
            count = (row[f"missing{position}"] or 0) if counted else 0
            if count:
                raise ValueError(
                    f"column {field.name!r} of the Spark DataFrame has {count} missing or infinite value(s) "
                    f"(null, NaN or ±inf): drop or fill them first (df.dropna(subset=[{field.name!r}]))."
                )
            if has_levels(field):
                # Nulls are no value of collect_set; a NaN is, and is a
                # missing value the fit's first pass leaves out.
                levels[field.name] = sorted(value for value in row[f"levels{position}"] if value == value)
    columns: dict[str, pd.Series] = {}
    for field in fields:
        kind = _kind(field.dataType)
        if field.name in levels and kind != "text":
            # Numbers read as C(x): their values as the categories, of the
            # column's own type (as formulaic finds them in memory).
            numbers = {"float": np.float64, "integer": np.int64, "boolean": bool}[kind]
            dtype: Any = pd.CategoricalDtype(pd.Index(np.asarray(levels[field.name], dtype=numbers)))
        elif kind == "text":
            dtype = pd.CategoricalDtype(levels[field.name]) if learn else object
        else:
            dtype = {"float": np.float64, "integer": np.int64, "boolean": bool}[kind]
        columns[field.name] = pd.Series([], dtype=dtype)
    return pd.DataFrame(columns)


def formula_frames(data: Any, function: Callable[[pd.DataFrame], Any], meta: Any) -> SparkFrames:
    """function applied to every partition of the Spark DataFrame data
    (its complete rows, for CompleteRows), lazily: the fit, the predictions
    and the margins run it in their own jobs."""
    complete_of = data.complete_of if isinstance(data, CompleteRows) else None
    return SparkFrames(spark_frame(data, "a formula's data"), function, meta, complete_of)


def is_frame(X: Any) -> bool:
    return True


def columns(X: Any) -> list[str]:
    return list(X.source.columns if isinstance(X, (SparkFrames, CompleteRows)) else X.columns)


# The fit's arguments that name columns stay names on Spark: the partitions
# read those columns where they live (nothing is collected to the driver).
def column(X: Any, name: str) -> str:
    return name


def columns_of(X: Any, names: list[str]) -> str | list[str]:
    return names[0] if len(names) == 1 else list(names)


def without_columns(X: Any, names: list[str]) -> Any:
    return X.drop(*names)


def pandas_partition(table: pa.Table) -> pd.DataFrame:
    """A partition's Arrow table as the pandas frame a formula reads: its
    string columns as Categoricals (coded by Arrow: converting strings to
    Python objects and categorizing them costs ten times more), numeric
    ones in place."""
    import pyarrow as pa
    import pyarrow.compute as pc

    columns = {}
    for name, column in zip(table.column_names, table.columns, strict=True):
        if pa.types.is_string(column.type) or pa.types.is_large_string(column.type):
            column = pc.dictionary_encode(column.combine_chunks())
        columns[name] = column
    frame: pd.DataFrame = pa.table(columns).to_pandas()
    return frame


def partition_results(frame: Any, task: Callable[[pa.Table], Any]) -> list[tuple[int, Any]]:
    """task of every non-empty partition of frame (the partition's rows as
    one Arrow table), run where the partition lives: (partition index,
    result) in partition order. One Spark job; a task that Spark retries
    gives the same result again, so the order alone decides the bits."""
    rows = frame.mapInArrow(_partition_task(task), RESULT_SCHEMA).collect()
    return sorted(((row.partition, pickle.loads(row.payload)) for row in rows), key=lambda part: part[0])


def _partition_task(task: Callable[[pa.Table], Any]) -> Callable[[Iterator[pa.RecordBatch]], Any]:
    def run(batches: Iterator[pa.RecordBatch]) -> Iterator[pa.RecordBatch]:
        import pyarrow as pa
        from pyspark import TaskContext

        parts = list(batches)
        if not parts or not sum(batch.num_rows for batch in parts):
            return
        context = TaskContext.get()
        partition = 0 if context is None else context.partitionId()
        payload = pickle.dumps(task(pa.Table.from_batches(parts)), protocol=pickle.HIGHEST_PROTOCOL)
        yield pa.RecordBatch.from_arrays(
            [pa.array([partition], pa.int32()), pa.array([payload], pa.binary())],
            names=["partition", "payload"],
        )

    return run
