"""The formula's design of every partition of a Spark DataFrame, made
once and persisted for the fit as Arrow blobs, with each partition's
checks of its labels, weights, offsets and cluster labels beside it: the
first pass, whose check rows alone are collected."""

from __future__ import annotations

import pickle
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import numpy.typing as npt
import pandas as pd

from .. import _design
from .._chunk_checks import class_totals
from . import _executor_designs
from ._frames import SparkFrames, pandas_partition, quoted
from ._levels import ABSORBED, bad_labels, partition_levels, spark_labels

# The design's columns, by position (a formula's column names, "C(g)" or
# "I(x ** 2)", are no names Spark should have to read).
LABEL, WEIGHT, OFFSET = "label", "weight", "offset"


def numeric_name(j: int) -> str:
    return f"n{j}"


def codes_name(j: int) -> str:
    return f"c{j}"


def cluster_name(j: int) -> str:
    return f"g{j}"


@dataclass
class Design:
    """What a partition of the persisted design holds, by position: the
    design frame's numeric columns (float64), its categorical columns as
    codes of their categories (int32), the label, and the weights, offsets
    and cluster labels when given."""

    numeric: list[str]  # the design frame's numeric columns (multipliers included)
    categories: dict[str, npt.NDArray[Any]]  # each categorical column's categories
    slopes: dict[str, tuple[str, Any]]
    weights: bool
    offsets: bool
    n_clusters: int
    absorbed: bool = False  # an absorbed column's labels (_levels)
    # The fit's key of its partitions' copies on the executors (_executor_designs).
    key: str = ""


def _names(value: Any, role: str, columns: list[str]) -> list[str]:
    """The column names that value gives (one name, or for clusters a list
    of one or two)."""
    names = [value] if isinstance(value, str) else list(value) if isinstance(value, (list, tuple)) else None
    if names is None or not all(isinstance(name, str) for name in names):
        raise ValueError(
            f"on a Spark DataFrame, {role} names a column of the data ({role}='w'), not "
            f"{type(value).__name__}: the rows of a Spark DataFrame have no order to match an array to."
        )
    missing = [name for name in names if name not in columns]
    if missing:
        raise ValueError(f"{role} names column(s) {missing} that the Spark DataFrame does not have.")
    return names


def label_type(meta: Any) -> Any:
    from pyspark.sql import types

    kind = np.asarray(meta).dtype.kind
    return {
        "b": types.BooleanType(),
        "i": types.LongType(),
        "u": types.LongType(),
        "f": types.DoubleType(),
    }.get(kind, types.StringType())


def persisted_design(
    X: SparkFrames, y: SparkFrames, weights: Any, offset: Any, clusters: Any, absorbed: str | None = None
) -> tuple[Any, Design]:
    """The design of every partition (the formula's frame and labels, with
    the weights, offsets, cluster labels and an absorbed column's labels),
    as a persisted Spark DataFrame: every update reads the same rows in the
    same partitions, and the formula runs once per row, not once per
    update."""
    from pyspark import StorageLevel
    from pyspark.sql import functions as F
    from pyspark.sql import types

    source = X.source
    if y.source is not source:
        raise ValueError("the labels come from another Spark DataFrame than the features.")
    meta = X.meta
    numeric = [name for name in meta.columns if not isinstance(meta[name].dtype, pd.CategoricalDtype)]
    categorical = [name for name in meta.columns if isinstance(meta[name].dtype, pd.CategoricalDtype)]
    design = Design(
        numeric,
        {name: np.asarray(meta[name].cat.categories, dtype=object) for name in categorical},
        _design.slopes_of(meta),
        weights is not None,
        offset is not None,
        0 if clusters is None else len(clusters),
        absorbed is not None,
        _executor_designs.new_key(),
    )
    present = list(source.columns)
    extras = {}
    if weights is not None:
        extras[WEIGHT] = F.col(quoted(_names(weights, "sample_weight", present)[0])).cast("double")
    if offset is not None:
        extras[OFFSET] = F.col(quoted(_names(offset, "offset", present)[0])).cast("double")
    for j, name in enumerate(clusters or []):
        extras[cluster_name(j)] = F.col(quoted(name))
    if absorbed is not None:
        extras[ABSORBED] = spark_labels(source, absorbed)
    # The formula's columns under their own names, the others renamed so
    # that they cannot meet one of them.
    read = source.select(F.col("*"), *(column.alias(f"__quorvi_{name}") for name, column in extras.items()))
    fields = [types.StructField(numeric_name(j), types.DoubleType()) for j in range(len(numeric))]
    fields += [types.StructField(codes_name(j), types.IntegerType()) for j in range(len(categorical))]
    fields.append(types.StructField(LABEL, label_type(y.meta)))
    fields += [types.StructField(name, read.schema[f"__quorvi_{name}"].dataType) for name in extras]
    schema = types.StructType(fields)
    frame_of, labels_of, complete_of = X.function, y.function, X.complete_of
    extra_names = list(extras)

    def make(batches: Any) -> Any:
        import pyarrow as pa

        parts = list(batches)
        if not parts:
            return
        table = pa.Table.from_batches(parts)
        part = pandas_partition(table)
        dropped = 0
        if complete_of is not None:
            # The formula's incomplete rows left out here, once: the
            # persisted design holds the complete rows alone.
            complete = np.asarray(complete_of(part), dtype=bool)
            dropped = len(complete) - int(np.count_nonzero(complete))
            if dropped:
                table = table.filter(pa.array(complete))
                part = pandas_partition(table)
        frame = frame_of(part)
        labels = np.asarray(labels_of(part))
        arrays = [pa.array(frame[name].to_numpy(dtype=np.float64), pa.float64()) for name in numeric]
        arrays += [
            pa.array(frame[name].cat.codes.to_numpy().astype(np.int32), pa.int32()) for name in categorical
        ]
        arrays.append(pa.array(labels, schema_arrow[len(arrays)].type))
        arrays += [table.column(f"__quorvi_{name}").combine_chunks() for name in extra_names]
        whole = pa.RecordBatch.from_arrays(arrays, schema=schema_arrow)
        from pyspark import TaskContext

        context = TaskContext.get()
        partition = 0 if context is None else context.partitionId()
        # The executor's copy for the updates' jobs, the blobs for Spark's
        # cache (read again only where the copy is missing).
        _executor_designs.store(design.key, partition, pa.Table.from_batches([whole]))
        for start in range(0, whole.num_rows, BLOB_ROWS):
            sink = pa.BufferOutputStream()
            with pa.ipc.new_stream(sink, schema_arrow) as writer:
                writer.write_batch(whole.slice(start, BLOB_ROWS))
            yield _design_row(partition, sink.getvalue().to_pybytes(), None)
        # The partition's checks beside its design: the first pass is the job
        # that makes and persists the design, and collects these rows alone.
        checks = _check_partition(pa.Table.from_batches([whole]), design)
        checks["dropped"] = dropped
        yield _design_row(partition, None, pickle.dumps(checks))

    from pyspark.sql.pandas.types import to_arrow_schema

    schema_arrow = to_arrow_schema(schema)
    persisted = read.mapInArrow(
        make,
        types.StructType(
            [
                types.StructField(PARTITION, types.IntegerType()),
                types.StructField(BLOB, types.BinaryType()),
                types.StructField(CHECKS, types.BinaryType()),
            ]
        ),
    )
    return persisted.persist(StorageLevel.MEMORY_AND_DISK), design


def _design_row(partition: int | None, blob: bytes | None, checks: bytes | None) -> Any:
    import pyarrow as pa

    return pa.RecordBatch.from_arrays(
        [pa.array([partition], pa.int32()), pa.array([blob], pa.binary()), pa.array([checks], pa.binary())],
        names=[PARTITION, BLOB, CHECKS],
    )


def design_blobs(persisted: Any, partitions: list[int] | None = None) -> Any:
    """The persisted design's blobs (of the given partitions only, if
    given: each blob row carries its partition, so that Spark's cache skips
    the others' batches), without its rows of checks."""
    from pyspark.sql import functions as F

    rows = F.col(BLOB).isNotNull()
    if partitions is not None:
        rows = rows & F.col(PARTITION).isin(partitions)
    return persisted.filter(rows).select(BLOB)


def design_keys(persisted: Any, partitions: list[int] | None) -> Any:
    """One small row per partition of the persisted design (its index, from
    its row of checks), of the given partitions (None: all): what an
    update's job reads when the executors hold the partitions' designs."""
    from pyspark.sql import functions as F

    rows = F.col(CHECKS).isNotNull()
    if partitions is not None:
        rows = rows & F.col(PARTITION).isin(partitions)
    return persisted.filter(rows).select(PARTITION)


# The persisted design holds each partition's columns as Arrow IPC blobs of
# this many rows, one row of Spark's each: a pass then moves a few large
# values per partition from Spark's cache to the task, where cached rows of
# numbers would be converted value by value into Arrow again on every pass
# (1 s of a 1.2 s update at 1,000,000 x 20 on two cores).
BLOB, BLOB_ROWS = "design", 1 << 16
PARTITION, CHECKS = "partition", "checks"


def design_table(blobs: Any) -> Any:
    """A partition of the persisted design (its blobs) as one Arrow table."""
    import pyarrow as pa

    tables = [pa.ipc.open_stream(blob.as_buffer()).read_all() for blob in blobs.column(BLOB)]
    return pa.concat_tables(tables).combine_chunks()


@dataclass
class Checked:
    """The first pass over the design, added over the partitions."""

    classes: npt.NDArray[Any]
    n_obs: float
    weighted_positives: float
    starts: dict[int, int]
    used: dict[str, npt.NDArray[np.bool_]] = field(default_factory=dict)
    # The partitions that have rows, in order.
    partitions: list[int] = field(default_factory=list)
    # The formula's incomplete rows left out (missing="drop").
    n_dropped: int = 0
    # An absorbed column's share of each partition, in partition order.
    levels: list[dict[str, Any]] = field(default_factory=list)


def _column(table: Any, name: str) -> npt.NDArray[Any]:
    return np.asarray(table.column(name).to_numpy(zero_copy_only=False))


def _check_partition(table: Any, design: Design) -> dict[str, Any]:
    """A partition's share of the first pass: its labels and their weights,
    the levels its rows use, and its count of each kind of bad value."""
    labels = _column(table, LABEL)
    weights = _column(table, WEIGHT) if design.weights else None
    bad: dict[str, int] = {}
    for j, name in enumerate(design.numeric):
        bad[f"column {name!r} of the formula's design"] = int(
            (~np.isfinite(_column(table, numeric_name(j)))).sum()
        )
    if weights is not None:
        bad["sample_weight: missing or infinite"] = int((~np.isfinite(weights)).sum())
        bad["sample_weight: negative"] = int((weights < 0).sum())
    if design.offsets:
        bad["offset"] = int((~np.isfinite(_column(table, OFFSET))).sum())
    for j in range(design.n_clusters):
        bad[f"clusters {j}"] = int(table.column(cluster_name(j)).null_count)
    bad["labels"] = int(pd.isna(labels).sum())
    if design.absorbed:
        bad.update(bad_labels(table))
    kept = labels if weights is None else labels[weights > 0]
    found, codes = (
        np.unique(labels[~pd.isna(labels)], return_inverse=True) if bad["labels"] == 0 else (labels[:0], None)
    )
    sums = (
        np.bincount(codes.reshape(-1), weights=weights, minlength=len(found)).astype(np.float64)
        if codes is not None
        else np.zeros(0)
    )
    used = {
        name: np.bincount(_column(table, codes_name(j)), minlength=len(levels)) > 0
        for j, (name, levels) in enumerate(design.categories.items())
    }
    levels = None
    if design.absorbed and not any(bad.values()):
        clusters = [_column(table, cluster_name(j)) for j in range(design.n_clusters)]
        levels = partition_levels(table, labels, found, weights, clusters)
    return {
        "rows": table.num_rows,
        "levels": levels,
        "labels": found,
        "weighted_labels": np.unique(kept[~pd.isna(kept)]) if bad["labels"] == 0 else kept[:0],
        "label_weights": sums,
        "bad": bad,
        "used": used,
    }


def first_pass(persisted: Any, design: Design, column_names: dict[str, str]) -> Checked:
    """The labels, weights and levels over all partitions, and every check
    of them: a ValueError naming the column, before any update runs."""
    from pyspark.sql import functions as F

    rows = persisted.filter(F.col(CHECKS).isNotNull()).select(PARTITION, CHECKS).collect()
    parts = sorted(((row[PARTITION], pickle.loads(row[CHECKS])) for row in rows), key=lambda part: part[0])
    n_dropped = sum(int(part["dropped"]) for _, part in parts)
    if not any(part["rows"] for _, part in parts):
        if n_dropped:
            raise ValueError(
                f"every one of the {n_dropped} rows of the Spark DataFrame has a missing value in a variable "
                "of the formula (or in its weights, offsets or clusters): no row is left to fit."
            )
        raise ValueError("the Spark DataFrame has no rows.")
    totals: dict[str, int] = {}
    for _, part in parts:
        for key, count in part["bad"].items():
            totals[key] = totals.get(key, 0) + count
    for key, count in totals.items():
        if count:
            what = column_names.get(key, key)
            raise ValueError(f"{what} has {count} bad value(s) in the Spark DataFrame: {_advice(key)}")
    seen = np.unique(np.concatenate([part["labels"] for _, part in parts]))
    if len(seen) > 2:
        shown = ", ".join(map(repr, seen[:5].tolist())) + (", ..." if len(seen) > 5 else "")
        raise ValueError(
            f"{column_names['labels']} has {len(seen)} distinct values ({shown}); a logistic regression "
            "needs exactly two."
        )
    seen, n_obs, positives = class_totals(
        [part["labels"] for _, part in parts],
        [part["weighted_labels"] for _, part in parts],
        [part["label_weights"] for _, part in parts],
    )
    starts, start = {}, 0
    for index, part in parts:
        starts[index] = start
        start += int(part["rows"])
    used = {
        name: np.logical_or.reduce([part["used"][name] for _, part in parts]) for name in design.categories
    }
    levels = [part["levels"] for _, part in parts] if design.absorbed else []
    partitions = [index for index, part in parts if part["rows"]]
    return Checked(seen, n_obs, positives, starts, used, partitions, n_dropped, levels)


def _advice(key: str) -> str:
    if key == "sample_weight: negative":
        return "weights must be non-negative."
    if key == "absorbed: missing":
        return "every row needs a level (null or NaN labels)."
    if key == "absorbed: not integers":
        return "absorb= takes the labels of groups (categorical, string or integer), not a measurement."
    if key.startswith("clusters"):
        return "every row needs a cluster (null labels)."
    if key == "labels":
        return "every row needs a label (null labels)."
    return "every row needs a finite value (null, NaN or ±inf found): drop or fill them first."
