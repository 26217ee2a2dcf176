"""An absorbed column on Spark, partition by partition: its labels as the
persisted design carries them, each row's code among the fit's levels, and
the first pass's share of a partition (its levels, their weight sums by
outcome, whether each lies in one cluster), which the driver adds in
partition order. Nothing here is L x L: a partition's level sums are arrays
of its own levels."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

# The absorbed column's labels in the persisted design.
ABSORBED = "level"


def spark_labels(source: Any, name: str) -> Any:
    """The absorbed column as the persisted design holds it: integers as
    longs (one type of label whatever the column's width), numbers of
    other kinds as doubles (checked to be integers by the first pass, as in
    memory: a float level would be a measurement), strings and booleans as
    they are."""
    from pyspark.sql import functions as F
    from pyspark.sql import types

    from ._frames import quoted

    column = F.col(quoted(name))
    kind = source.schema[name].dataType
    if isinstance(kind, (types.ByteType, types.ShortType, types.IntegerType, types.LongType)):
        return column.cast("long")
    if isinstance(kind, (types.FloatType, types.DoubleType, types.DecimalType)):
        return column.cast("double")
    return column


def arrow_labels(table: Any) -> Any:
    """A partition's labels as one Arrow array, doubles as int64 (the first
    pass has checked that they are integers)."""
    import pyarrow as pa

    column = table.column(ABSORBED).combine_chunks()
    if pa.types.is_floating(column.type):
        column = column.cast(pa.int64())
    return column


def level_codes(table: Any, levels: npt.NDArray[Any]) -> npt.NDArray[np.int32]:
    """Each row's code among levels (sorted; every label of the column is
    one of them). Arrow hashes the labels: sorting or searching strings in
    Python would cost more than the update's sums."""
    import pyarrow as pa
    import pyarrow.compute as pc

    labels = arrow_labels(table)
    codes = pc.index_in(labels, value_set=pa.array(levels, type=labels.type))
    return np.ascontiguousarray(codes.to_numpy(zero_copy_only=False), dtype=np.int32)


def bad_labels(table: Any) -> dict[str, int]:
    """A partition's count of missing labels (null, NaN) and, for a column
    of doubles, of labels that are not integers (±inf among them)."""
    import pyarrow as pa

    column = table.column(ABSORBED)
    bad = {"absorbed: missing": int(column.null_count), "absorbed: not integers": 0}
    if pa.types.is_floating(column.type):
        # Nulls come out as NaN: counted once, with the NaNs.
        values = np.asarray(column.to_numpy(zero_copy_only=False), dtype=np.float64)
        missing = np.isnan(values)
        bad["absorbed: missing"] = int(missing.sum())
        kept = values[~missing]
        bad["absorbed: not integers"] = int((~np.isfinite(kept) | (kept != np.round(kept))).sum())
    return bad


def partition_levels(
    table: Any,
    labels: npt.NDArray[Any],
    found: npt.NDArray[Any],
    weights: npt.NDArray[np.float64] | None,
    clusters: list[npt.NDArray[Any]],
) -> dict[str, Any]:
    """A partition's share of the first pass: its levels (sorted), per level
    the sum of the weights, that over the rows of each of the partition's
    outcomes (found), and the count of rows of positive weight; per
    clustering, for each level whose rows of positive weight it has, whether
    they lie in one cluster and which. The sums are those of the Dask
    chunks' and of the in-memory fit's check of separated levels: a level
    whose rows are all of one outcome has that outcome's sum equal to its
    total, bit for bit (the same terms in the same order)."""
    import pandas as pd
    import pyarrow.compute as pc

    values = arrow_labels(table)
    levels = np.asarray(pc.unique(values).to_numpy(zero_copy_only=False))
    levels = np.unique(levels)  # sorted
    codes = level_codes(table, levels)
    n = len(levels)
    w = np.ones(len(codes)) if weights is None else np.asarray(weights, dtype=np.float64)
    outcomes = (
        np.stack([np.bincount(codes, weights=w * (labels == label), minlength=n) for label in found])
        if len(found) <= 2
        else np.zeros((0, n))
    )
    counted = w > 0
    nesting = []
    for column in clusters:
        groups = pd.DataFrame({"level": codes[counted], "cluster": np.asarray(column)[counted]}).groupby(
            "level", sort=True
        )["cluster"]
        one = groups.agg(["nunique", "first"])
        nesting.append(
            (levels[one.index.to_numpy()], one["nunique"].to_numpy() == 1, one["first"].to_numpy())
        )
    return {
        "levels": levels,
        "weights": np.bincount(codes, weights=w, minlength=n).astype(np.float64, copy=False),
        "outcomes": found,
        "outcome_weights": outcomes,
        "counted": np.bincount(codes, weights=counted.astype(np.float64), minlength=n),
        "nesting": nesting,
    }


@dataclass
class LevelTotals:
    """The partitions' shares added in partition order: the levels of the
    column (sorted, every partition's), and per level the sum of the
    weights, that of the positive rows and the rows of positive weight."""

    levels: npt.NDArray[Any]
    total: npt.NDArray[np.float64]
    positives: npt.NDArray[np.float64]
    counted: npt.NDArray[np.float64]
    parts: list[dict[str, Any]]

    @classmethod
    def added(cls, parts: list[dict[str, Any]], positive: Any) -> LevelTotals:
        levels = np.unique(np.concatenate([part["levels"] for part in parts]))
        if len(levels) > np.iinfo(np.int32).max:
            raise ValueError("an absorbed column has more levels than 2**31 - 1")
        total, positives, counted = (np.zeros(len(levels)) for _ in range(3))
        for part in parts:
            where = np.searchsorted(levels, part["levels"])
            total[where] += part["weights"]
            counted[where] += part["counted"]
            (row,) = np.flatnonzero(part["outcomes"] == positive)[:1].tolist() or [None]
            if row is not None:
                positives[where] += part["outcome_weights"][row]
        return cls(levels, total, positives, counted, parts)

    def nested(self, clustering: int, separated: npt.NDArray[np.bool_]) -> bool:
        """Whether every level kept (not separated) has its rows of positive
        weight in one cluster of the clustering."""
        import pandas as pd

        frames = []
        for part in self.parts:
            levels, single, first = part["nesting"][clustering]
            if not single.all():
                codes = np.searchsorted(self.levels, levels[~single])
                if (~separated[codes]).any():
                    return False
            frames.append(pd.DataFrame({"level": np.searchsorted(self.levels, levels), "cluster": first}))
        pairs = pd.concat(frames).drop_duplicates()
        pairs = pairs[~separated[pairs["level"].to_numpy()]]
        return bool(pairs.empty or pairs.groupby("level")["cluster"].nunique().max() <= 1)
