"""The IRLS fit on a Spark DataFrame: the engine's loop (the same one that
fits in memory and on Dask), each update's normal equations summed by one
Spark job over the partitions of the formula's design, persisted for the
fit."""

from __future__ import annotations

import pickle
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, cast

import numpy as np
import numpy.typing as npt
import pandas as pd

from .. import _design, _native
from .._fitted import Fitted
from .._links import link_named
from .._robust import MEAT_OF, MeatRequest, check_cluster_arguments, check_cluster_count, factorized
from .._validation import ONE_WEIGHTED_CLASS, one_class_message
from ._frames import SparkFrames, pandas_partition, partition_results, quoted

if TYPE_CHECKING:
    from .._native import NormalEquations as Sums

Progress = Callable[[int, float, float, float, int], None]

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
    X: SparkFrames, y: SparkFrames, weights: Any, offset: Any, clusters: Any
) -> tuple[Any, Design]:
    """The design of every partition (the formula's frame and labels, with
    the weights, offsets and cluster labels), as a persisted Spark
    DataFrame: every update reads the same rows in the same partitions, and
    the formula runs once per row, not once per update."""
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
    )
    present = list(source.columns)
    extras = {}
    if weights is not None:
        extras[WEIGHT] = F.col(quoted(_names(weights, "sample_weight", present)[0])).cast("double")
    if offset is not None:
        extras[OFFSET] = F.col(quoted(_names(offset, "offset", present)[0])).cast("double")
    for j, name in enumerate(clusters or []):
        extras[cluster_name(j)] = F.col(quoted(name))
    # The formula's columns under their own names, the others renamed so
    # that they cannot meet one of them.
    read = source.select(F.col("*"), *(column.alias(f"__quorvi_{name}") for name, column in extras.items()))
    fields = [types.StructField(numeric_name(j), types.DoubleType()) for j in range(len(numeric))]
    fields += [types.StructField(codes_name(j), types.IntegerType()) for j in range(len(categorical))]
    fields.append(types.StructField(LABEL, label_type(y.meta)))
    fields += [types.StructField(name, read.schema[f"__quorvi_{name}"].dataType) for name in extras]
    schema = types.StructType(fields)
    frame_of, labels_of = X.function, y.function
    extra_names = list(extras)

    def make(batches: Any) -> Any:
        import pyarrow as pa

        parts = list(batches)
        if not parts:
            return
        table = pa.Table.from_batches(parts)
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
        for start in range(0, whole.num_rows, BLOB_ROWS):
            sink = pa.BufferOutputStream()
            with pa.ipc.new_stream(sink, schema_arrow) as writer:
                writer.write_batch(whole.slice(start, BLOB_ROWS))
            yield _design_row(None, sink.getvalue().to_pybytes(), None)
        # The partition's checks beside its design: the first pass is the job
        # that makes and persists the design, and collects these rows alone.
        from pyspark import TaskContext

        context = TaskContext.get()
        checks = _check_partition(pa.Table.from_batches([whole]), design)
        yield _design_row(0 if context is None else context.partitionId(), None, pickle.dumps(checks))

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


def design_blobs(persisted: Any) -> Any:
    """The persisted design's blobs, without its rows of checks."""
    from pyspark.sql import functions as F

    return persisted.filter(F.col(BLOB).isNotNull()).select(BLOB)


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
    return {
        "rows": table.num_rows,
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
    if not parts:
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
    if len(seen) < 2:
        raise ValueError(one_class_message(seen.tolist()))
    positive = np.unique(np.concatenate([part["weighted_labels"] for _, part in parts]))
    if len(positive) == 0:
        raise ValueError("Sample weights must contain at least one non-zero number.")
    if len(positive) < 2:
        raise ValueError(ONE_WEIGHTED_CLASS)
    n_obs = sum(float(part["label_weights"].sum()) for _, part in parts)
    positives = sum(float(part["label_weights"][part["labels"] == seen[1]].sum()) for _, part in parts)
    starts, start = {}, 0
    for index, part in parts:
        starts[index] = start
        start += int(part["rows"])
    used = {
        name: np.logical_or.reduce([part["used"][name] for _, part in parts]) for name in design.categories
    }
    return Checked(seen, n_obs, positives, starts, used)


def _advice(key: str) -> str:
    if key == "sample_weight: negative":
        return "weights must be non-negative."
    if key.startswith("clusters"):
        return "every row needs a cluster (null labels)."
    if key == "labels":
        return "every row needs a label (null labels)."
    return "every row needs a finite value (null, NaN or ±inf found): drop or fill them first."


@dataclass
class PassSettings:
    """What a partition's sums need beyond its rows (sent with each job)."""

    design: Design
    layout: _design.FrameLayout
    positive: Any
    fit_intercept: bool
    link: str
    starts: dict[int, int]
    beta: npt.NDArray[np.float64] | None = None
    with_statistics: bool = False
    meat: _native.Meat = _native.Meat.none
    hat_power: float = 1.0
    inverse_information: npt.NDArray[np.float64] | None = None
    intercept_only: bool = False
    margins: bool = False


def partition_blocks(table: Any, design: Design, layout: _design.FrameLayout) -> _design.Blocks:
    """A partition of the persisted design as the native fit's blocks, as
    _design.frame_blocks makes them of a frame in memory: the numeric
    columns as one dense run, then each categorical's codes of the levels
    the fit kept."""
    n = table.num_rows
    blocks: _design.Blocks = []
    position = {name: j for j, name in enumerate(design.numeric)}
    if layout.numeric:
        dense = np.empty((n, len(layout.numeric)), order="F")
        for k, name in enumerate(layout.numeric):
            dense[:, k] = _column(table, numeric_name(position[name]))
        blocks.append(_native.DenseBlock(values=dense))
    names = list(design.categories)
    for column in layout.categorical:
        table_of_codes = pd.Index(column.levels).get_indexer(design.categories[column.name]).astype(np.int32)
        codes = np.ascontiguousarray(table_of_codes[_column(table, codes_name(names.index(column.name)))])
        if column.multiplier is None:
            blocks.append(
                _native.CategoricalBlock(
                    codes=codes, n_levels=len(column.levels), drop_first=column.drop_first
                )
            )
        else:
            multiplier = np.ascontiguousarray(_column(table, numeric_name(position[column.multiplier])))
            blocks.append(
                _native.VaryingSlopeBlock(
                    codes=codes,
                    n_levels=len(column.levels),
                    drop_first=column.drop_first,
                    multiplier=multiplier,
                )
            )
    return blocks


def level_ranges(settings: PassSettings) -> list[tuple[int, int]]:
    """Where each categorical's parameters are among the coefficients."""
    start = int(settings.fit_intercept) + len(settings.layout.numeric)
    ranges = []
    for column in settings.layout.categorical:
        width = len(column.levels) - int(column.drop_first)
        ranges.append((start, start + width))
        start += width
    return ranges


def packed(A: npt.NDArray[np.float64], ranges: list[tuple[int, int]]) -> dict[str, Any]:
    """A (symmetric) as its structured blocks: the rows of the intercept and
    the numeric columns, each categorical's diagonal (a row has one level
    of it, so its block has nothing off the diagonal) and the cross blocks
    of the categoricals. A categorical of L levels travels as L numbers
    and its cross blocks, not as an L x L matrix."""
    first = ranges[0][0] if ranges else A.shape[0]
    return {
        "dense": np.ascontiguousarray(A[:first]),
        "diagonals": [np.diag(A[a:b, a:b]).copy() for a, b in ranges],
        "cross": [
            np.ascontiguousarray(A[a:b, c:d]) for i, (a, b) in enumerate(ranges) for c, d in ranges[i + 1 :]
        ],
    }


def unpacked(blocks: dict[str, Any], ranges: list[tuple[int, int]], q: int) -> npt.NDArray[np.float64]:
    """The q x q matrix of packed's blocks (its zeros exact, as the kernel
    leaves them)."""
    A = np.zeros((q, q))
    first = blocks["dense"].shape[0]
    A[:first] = blocks["dense"]
    A[first:, :first] = blocks["dense"][:, first:].T
    crosses = iter(blocks["cross"])
    for i, (a, b) in enumerate(ranges):
        A[a:b, a:b][np.diag_indices(b - a)] = blocks["diagonals"][i]
        for c, d in ranges[i + 1 :]:
            cross = next(crosses)
            A[a:b, c:d] = cross
            A[c:d, a:b] = cross.T
    return A


def partition_sums(table: Any, settings: PassSettings, partition: int) -> dict[str, Any]:
    """The native kernel on one partition, as on a Dask chunk: its share of
    A, b and, with statistics, of the deviance; with meat its robust sums
    (per clustering, its groups as (labels, sums) for merging by label)."""
    design = settings.design
    design_blocks: Any = (
        np.empty((table.num_rows, 0))
        if settings.intercept_only
        else partition_blocks(table, design, settings.layout)
    )
    labels = _column(table, LABEL)
    y01 = (labels == settings.positive).astype(np.float64)
    weights = np.ascontiguousarray(_column(table, WEIGHT), dtype=np.float64) if design.weights else None
    offset = np.ascontiguousarray(_column(table, OFFSET), dtype=np.float64) if design.offsets else None
    common: dict[str, Any] = {
        "fit_intercept": settings.fit_intercept,
        "with_statistics": settings.with_statistics,
        "offset": offset,
        "link": link_named(settings.link).native,
        "margins": settings.margins,
    }
    assert settings.beta is not None
    if settings.meat == _native.Meat.none:
        sums: dict[str, Any] = dict(
            _native.normal_equations(design_blocks, y01, weights, settings.beta, **common)
        )
        if settings.layout.categorical and not settings.intercept_only:
            sums["A"] = packed(sums["A"], level_ranges(settings))
        return sums
    codes: list[tuple[npt.NDArray[np.int64], int]] = []
    uniques: list[Any] = []
    if settings.meat == _native.Meat.cluster:
        columns = [_column(table, cluster_name(j)) for j in range(design.n_clusters)]
        keys: list[Any] = [pd.Index(column) for column in columns]
        if len(columns) == 2:
            keys.append(pd.MultiIndex.from_arrays(columns))
        # Groups of rows of weight 0 alone are no clusters (as in memory).
        counted = None if weights is None else weights > 0
        for key in keys:
            chunk_codes, chunk_uniques = factorized(key, counted)
            codes.append((chunk_codes, max(len(chunk_uniques), 1)))
            uniques.append(chunk_uniques)
    sums = dict(
        _native.normal_equations(
            design_blocks,
            y01,
            weights,
            settings.beta,
            meat=settings.meat,
            hat_power=settings.hat_power,
            clusters=codes,
            inverse_information=settings.inverse_information,
            **common,
        )
    )
    first_row = settings.starts.get(partition, 0)
    sums["hat_one_rows"] = [first_row + row for row in sums["hat_one_rows"]]
    if settings.meat == _native.Meat.cluster:
        sums["groups"] = [
            (unique, groups[: len(unique)]) for unique, groups in zip(uniques, sums["groups"], strict=True)
        ]
    return sums


def added(parts: list[dict[str, Any]]) -> dict[str, Any]:
    """The partitions' sums added in partition order (the order alone
    decides the bits, whichever executor made each); each clustering's
    groups merged by label, in order of first appearance."""
    first = parts[0]
    total: dict[str, Any] = {
        "A": _copied(first["A"]),
        "b": np.array(first["b"], copy=True),
        "deviance": first["deviance"],
        "boundary_rows": first["boundary_rows"],
    }
    for key in ("meat", "margin_sums"):
        if key in first:
            total[key] = np.array(first[key], copy=True)
    for part in parts[1:]:
        _add(total["A"], part["A"])
        total["b"] += part["b"]
        total["deviance"] += part["deviance"]
        total["boundary_rows"] += part["boundary_rows"]
        for key in ("meat", "margin_sums"):
            if key in part:
                total[key] += part[key]
    if "hat_one_rows" in first:
        total["hat_one_rows"] = [row for part in parts for row in part["hat_one_rows"]]
    if "groups" in first:
        total["groups"] = []
        for clustering in range(len(first["groups"])):
            labels = first["groups"][clustering][0].append(
                [part["groups"][clustering][0] for part in parts[1:]]
            )
            scores = np.concatenate([part["groups"][clustering][1] for part in parts])
            codes, uniques = pd.factorize(labels, sort=False)
            groups = np.zeros((len(uniques), scores.shape[1]))
            np.add.at(groups, codes, scores)
            total["groups"].append((uniques, groups))
    return total


def _copied(A: Any) -> Any:
    if isinstance(A, dict):
        return {
            key: [np.array(block, copy=True) for block in value]
            if isinstance(value, list)
            else np.array(value, copy=True)
            for key, value in A.items()
        }
    return np.array(A, copy=True)


def _add(total: Any, part: Any) -> None:
    """part's A added into total's, block by block when packed."""
    if isinstance(total, dict):
        total["dense"] += part["dense"]
        for key in ("diagonals", "cross"):
            for mine, theirs in zip(total[key], part[key], strict=True):
                mine += theirs
    else:
        total += part


class SparkPasses:
    """The source of the engine's loop: the normal equations at given
    coefficients, one Spark job per update over the persisted design."""

    def __init__(self, persisted: Any, settings: PassSettings, meat: _native.Meat, hat_power: float) -> None:
        self.persisted = persisted
        self.settings = settings
        self.meat = meat
        self.hat_power = hat_power
        self.inverse_information: npt.NDArray[np.float64] | None = None
        self._robust_total: dict[str, Any] | None = None
        self.n_groups: list[int] = []
        self.margins = False

    def run_sums(self, **changes: Any) -> Sums:
        return cast("Sums", self.run(**changes))

    def run(self, **changes: Any) -> dict[str, Any]:
        import dataclasses

        settings = dataclasses.replace(self.settings, **changes)
        parts = partition_results(design_blobs(self.persisted), _SumsTask(settings))
        total = added([sums for _, sums in parts])
        if isinstance(total["A"], dict):
            total["A"] = unpacked(total["A"], level_ranges(settings), len(total["b"]))
        return total

    def __call__(
        self,
        beta: npt.NDArray[np.float64],
        with_statistics: bool,
        with_meat: bool = False,
        effects: npt.NDArray[np.float64] | None = None,
    ) -> Sums:
        robust = with_meat and self.meat != _native.Meat.none
        total = self.run(
            beta=np.asarray(beta, dtype=np.float64),
            with_statistics=with_statistics,
            meat=self.meat if robust else _native.Meat.none,
            hat_power=self.hat_power,
            inverse_information=self.inverse_information if robust else None,
            margins=self.margins,
        )
        if robust:
            self._robust_total = total
            if self.meat == _native.Meat.cluster:
                self.n_groups = [len(labels) for labels, _ in total["groups"]]
        # What the engine reads of it (it copies each array into memory of
        # its own, whatever came back from the executors).
        return cast("Sums", total)

    def robust_pass(
        self, beta: npt.NDArray[np.float64], inverse_information: npt.NDArray[np.float64] | None
    ) -> Sums:
        if inverse_information is not None:
            self.inverse_information = np.asarray(inverse_information)
        return self(beta, False, True)

    def form_margins(self) -> None:
        self.margins = True

    def margin_pass(self, beta: npt.NDArray[np.float64]) -> Sums:
        kept = self.margins
        self.margins = True
        try:
            return self(beta, False, False)
        finally:
            self.margins = kept

    def null_model(self, beta: npt.NDArray[np.float64], with_statistics: bool) -> Sums:
        return self.run_sums(
            beta=np.asarray(beta, dtype=np.float64),
            with_statistics=with_statistics,
            intercept_only=True,
            fit_intercept=True,
            margins=False,
        )

    @property
    def meats(self) -> list[npt.NDArray[np.float64]]:
        total = self._robust_total
        if total is None:
            return []
        if self.meat == _native.Meat.cluster:
            return [sums.T @ sums for _, sums in total["groups"]]
        return [np.asarray(total["meat"])]


class _SumsTask:
    """partition_sums of a partition, with the partition's index (for the
    rows it names); a class, so that a job ships its settings once."""

    def __init__(self, settings: PassSettings) -> None:
        self.settings = settings

    def __call__(self, blobs: Any) -> dict[str, Any]:
        from pyspark import TaskContext

        context = TaskContext.get()
        partition = 0 if context is None else context.partitionId()
        return partition_sums(design_table(blobs), self.settings, partition)


def fit_spark(
    X: Any,
    y: Any,
    sample_weight: Any,
    *,
    fit_intercept: bool,
    tol: float,
    max_iter: int,
    progress: Progress | None,
    cov_type: str = "nonrobust",
    clusters: Any = None,
    offset: Any = None,
    penalty: float = 0.0,
    link: str = "logit",
) -> Fitted:
    """The fit of a formula's design on a Spark DataFrame: the design made
    and persisted, one job of checks, then the engine's loop with one job
    per update; the design is unpersisted after."""
    if not isinstance(X, SparkFrames) or not isinstance(y, SparkFrames):
        raise ValueError(
            "a Spark DataFrame is fitted through a formula: LogisticRegression(formula='y ~ x1 + C(g)')"
            ".fit(df), or quorvi.logit('y ~ x1 + C(g)', df)."
        )
    check_cluster_arguments(cov_type, clusters)
    present = list(X.source.columns)
    cluster_names = None if clusters is None else _names(clusters, "clusters", present)
    if cluster_names is not None and len(cluster_names) not in (1, 2):
        raise ValueError(
            f"clusters must name one or two columns (one-way or two-way); it names {len(cluster_names)}."
        )
    column_names = {
        "sample_weight: missing or infinite": f"sample_weight column {sample_weight!r}",
        "sample_weight: negative": f"sample_weight column {sample_weight!r}",
        "offset": f"offset column {offset!r}",
        "labels": "the formula's left-hand side (the labels)",
        **{f"clusters {j}": f"clusters column {name!r}" for j, name in enumerate(cluster_names or [])},
    }
    persisted, design = persisted_design(X, y, sample_weight, offset, cluster_names)
    try:
        checked = first_pass(persisted, design, column_names)
        meta = X.meta
        with_categories = bool(design.categories)
        layout = _design.learn_layout(meta, fit_intercept, count_levels=False)
        if with_categories:
            layout = _design.keep_used_levels(layout, checked.used, fit_intercept)
            _design.check_system_fits(layout, fit_intercept)
        meat, hat_power = MEAT_OF[cov_type]
        settings = PassSettings(design, layout, checked.classes[1], fit_intercept, link, checked.starts)
        passes = SparkPasses(persisted, settings, meat, hat_power)
        q = len(layout.parameter_names()) + int(fit_intercept)
        result = _native.fit_chunked(
            passes,
            n_coefficients=q,
            tol=tol,
            max_iter=max_iter,
            progress=progress,
            penalty=penalty,
            fit_intercept=fit_intercept,
            meat=meat,
            offset=offset is not None,
            # The sums behind marginal_effects() without X, as on Dask: a
            # frame's categorical columns need every row for theirs.
            margins=not with_categories,
        )
    finally:
        persisted.unpersist()
    request = MeatRequest(cov_type, meat, hat_power, [(np.empty(0, np.int64), g) for g in passes.n_groups])
    if meat == _native.Meat.cluster and result.meats:
        check_cluster_count(request.n_groups)
    return Fitted(
        checked.classes,
        result,
        checked.n_obs,
        checked.weighted_positives,
        request,
        result.null_deviance,
        n_features=len(layout.columns),
        feature_names=np.asarray(layout.columns, dtype=object),
        layout=layout if with_categories else None,
    )


def fit_absorbed_spark(*args: Any, **kwargs: Any) -> Any:
    raise ValueError(
        "absorb= is not available on a Spark DataFrame yet: enter the effects as C(fe) terms of the "
        "formula, or fit in memory."
    )
