"""Predictions on a Spark DataFrame, as pyspark.ml's transform makes them:
the input with a column more (linear_predictor, probability or
prediction), computed batch by batch where the rows are; and the sums of
the average marginal effects, one small result per partition."""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

import numpy as np
import numpy.typing as npt
from sklearn.utils import check_array

from .. import _design, _margins, _prediction
from .._links import link_named
from ._frames import SparkFrames, pandas_partition, partition_results, quoted, spark_frame
from ._persisted import label_type

SCORES, PROBABILITY, LOG_PROBABILITY, PREDICTION = (
    "linear_predictor",
    "probability",
    "log_probability",
    "prediction",
)


def _formula_input(X: Any) -> SparkFrames:
    if not isinstance(X, SparkFrames):
        raise ValueError(
            "predictions on a Spark DataFrame need a model fitted with a formula "
            "(LogisticRegression(formula=...)), which names the columns it reads."
        )
    return X


def _offsets(table: Any, offset: Any) -> npt.NDArray[np.float64] | None:
    if offset is None:
        return None
    values = np.asarray(table.column(offset).to_numpy(zero_copy_only=False), dtype=np.float64)
    if not np.isfinite(values).all():
        raise ValueError(f"offset column {offset!r} has a missing or infinite value: every row needs one.")
    return values


def _check_offset_name(X: SparkFrames, offset: Any) -> None:
    if offset is not None and (not isinstance(offset, str) or offset not in X.source.columns):
        raise ValueError(f"on a Spark DataFrame, offset names a column of the data; got {offset!r}.")


def _design_scores(
    part: Any,
    design_of: Callable[[Any], Any],
    layout: _design.FrameLayout | None,
    coef: npt.NDArray[np.float64],
    intercept: float,
) -> npt.NDArray[np.float64]:
    design = design_of(part)
    if layout is not None:
        return _design.frame_scores(design, layout, coef, intercept)
    values = check_array(design, dtype=np.float64, ensure_min_samples=0, input_name="X")
    return _prediction.scores(values, coef, intercept)


def _with_column(
    frame: Any, name: str, data_type: Any, values_of: Callable[[Any], Any], replaces: str | None = None
) -> Any:
    """frame with the column name (of data_type) that values_of makes of
    each Arrow batch, in place of the column replaces if given."""
    from pyspark.sql import types

    if name in frame.columns:
        raise ValueError(f"the Spark DataFrame has a column {name!r} already: rename or drop it first.")
    kept = [field for field in frame.schema.fields if field.name != replaces]
    schema = types.StructType([*kept, types.StructField(name, data_type)])
    kept_names = [field.name for field in kept]

    def run(batches: Any) -> Any:
        import pyarrow as pa

        for batch in batches:
            values = values_of(batch)
            columns = [batch.column(batch.schema.get_field_index(field)) for field in kept_names]
            yield pa.RecordBatch.from_arrays([*columns, pa.array(values)], names=[*kept_names, name])

    return frame.mapInArrow(run, schema)


def frame_scores(
    X: Any,
    layout: _design.FrameLayout | None,
    coef: npt.NDArray[np.float64],
    intercept: float,
    offset: Any = None,
) -> Any:
    """The input with its rows' linear predictor (with their offsets, a
    column named by offset) as a column linear_predictor."""
    from pyspark.sql import types

    X = _formula_input(X)
    _check_offset_name(X, offset)
    # What the tasks need of X: the function, not the driver's DataFrame.
    design_of = X.function

    def scores(batch: Any) -> npt.NDArray[np.float64]:
        import pyarrow as pa

        table = pa.Table.from_batches([batch])
        values = _design_scores(pandas_partition(table), design_of, layout, coef, intercept)
        offsets = _offsets(table, offset)
        return values if offsets is None else values + offsets

    return _with_column(X.source, SCORES, types.DoubleType(), scores)


def formula_scores(data: Any, scores_of: Callable[[Any], Any], offset: Any = None) -> Any:
    """The input with its rows' linear predictor as a column
    linear_predictor: scores_of (a partition's as pandas, NaN for the rows
    the formula leaves out, missing="drop") of each batch, with the
    offsets of the column offset names."""
    from pyspark.sql import types

    source = spark_frame(data, "a formula's data")
    if offset is not None and (not isinstance(offset, str) or offset not in source.columns):
        raise ValueError(f"on a Spark DataFrame, offset names a column of the data; got {offset!r}.")

    def scores(batch: Any) -> npt.NDArray[np.float64]:
        import pyarrow as pa

        table = pa.Table.from_batches([batch])
        values = np.asarray(scores_of(pandas_partition(table)), dtype=np.float64)
        offsets = _offsets(table, offset)
        return values if offsets is None else values + offsets

    return _with_column(source, SCORES, types.DoubleType(), scores)


def frame_probabilities(scores: Any, link: str) -> Any:
    """The scored input with P(y = classes_[1]) in place of the linear
    predictor, as a column probability."""
    from pyspark.sql import types

    def probability(batch: Any) -> npt.NDArray[np.float64]:
        values = np.array(batch.column(batch.schema.get_field_index(SCORES)).to_numpy(zero_copy_only=False))
        return _prediction.probabilities(values, link_named(link))[:, 1]

    return _with_column(scores, PROBABILITY, types.DoubleType(), probability, replaces=SCORES)


def frame_log_probabilities(scores: Any, link: str) -> Any:
    """The scored input with log P(y = classes_[1]), as a column
    log_probability."""
    from pyspark.sql import types

    def log_probability(batch: Any) -> npt.NDArray[np.float64]:
        values = np.array(batch.column(batch.schema.get_field_index(SCORES)).to_numpy(zero_copy_only=False))
        return _prediction.log_probabilities(values, link_named(link))[:, 1]

    return _with_column(scores, LOG_PROBABILITY, types.DoubleType(), log_probability, replaces=SCORES)


def frame_labels(scores: Any, classes: npt.NDArray[Any], link: str) -> Any:
    """The scored input with the more probable class, as a column
    prediction (of the labels' type)."""

    def prediction(batch: Any) -> npt.NDArray[Any]:
        values = np.asarray(batch.column(batch.schema.get_field_index(SCORES)).to_numpy(zero_copy_only=False))
        return _prediction.labels(values, classes, link_named(link))

    return _with_column(scores, PREDICTION, label_type(classes), prediction, replaces=SCORES)


def decision_function(X: Any, coef: npt.NDArray[np.float64], intercept: float, offset: Any = None) -> Any:
    return frame_scores(X, None, coef, intercept, offset)


def predict_proba(
    X: Any, coef: npt.NDArray[np.float64], intercept: float, link: str, offset: Any = None
) -> Any:
    return frame_probabilities(decision_function(X, coef, intercept, offset), link)


def predict_log_proba(
    X: Any, coef: npt.NDArray[np.float64], intercept: float, link: str, offset: Any = None
) -> Any:
    return frame_log_probabilities(decision_function(X, coef, intercept, offset), link)


def predict(
    X: Any,
    coef: npt.NDArray[np.float64],
    intercept: float,
    classes: npt.NDArray[Any],
    link: str,
    offset: Any = None,
) -> Any:
    return frame_labels(decision_function(X, coef, intercept, offset), classes, link)


def _weights(table: Any, sample_weight: Any) -> npt.NDArray[np.float64] | None:
    if sample_weight is None:
        return None
    values = np.asarray(table.column(sample_weight).to_numpy(zero_copy_only=False), dtype=np.float64)
    if not (np.isfinite(values).all() and (values >= 0).all()):
        raise ValueError(f"sample_weight column {sample_weight!r} needs finite, non-negative weights.")
    return values


def margin_sums(
    X: Any, sample_weight: Any, offset: Any, coef: npt.NDArray[np.float64], intercept: float, link: str
) -> npt.NDArray[np.float64]:
    """The sums of the average marginal effects over the rows of a
    formula's numeric design: each partition's made where it lives, added
    in partition order."""
    X = _formula_input(X)
    _check_offset_name(X, offset)
    design_of = X.function

    def sums(table: Any) -> npt.NDArray[np.float64]:
        values = check_array(design_of(pandas_partition(table)), dtype=np.float64, input_name="X")
        return _margins.chunk_sums(
            values, _weights(table, sample_weight), coef, intercept, _offsets(table, offset), link_named(link)
        )

    parts = [part for _, part in partition_results(X.source, sums)]
    total: npt.NDArray[np.float64] = np.sum(parts, axis=0) if parts else np.zeros(len(coef) + 3)
    return total


def frame_sums(results: Any, X: Any, sample_weight: Any, offset: Any) -> Any:
    """The margins' sums of a formula's design with categorical columns,
    partition by partition (as for a frame in memory), merged in partition
    order."""
    X = _formula_input(X)
    _check_offset_name(X, offset)
    design_of = X.function

    def sums(table: Any) -> Any:
        return _margins.frame_sums(
            results,
            design_of(pandas_partition(table)),
            _weights(table, sample_weight),
            _offsets(table, offset),
        )

    parts = [part for _, part in partition_results(X.source, sums)]
    if not parts:
        raise ValueError("the Spark DataFrame has no rows.")
    total, *others = parts
    for other in others:
        total.merge(other)
    return total


def formula_margin_sums(
    data: Any, columns: list[str], sums_of: Callable[[Any, Any, Any], Any], sample_weight: Any, offset: Any
) -> list[Any]:
    """sums_of(partition, weights, offsets) of every partition of the Spark
    DataFrame data (columns: those of the formula; the weights and offsets
    name columns of it), run where each partition lives, in partition order:
    a formula model's marginal effects, whose terms are evaluated on each
    partition's rows. A missing weight or offset leaves its row out, as in
    memory."""
    from pyspark.sql import functions as F

    source = spark_frame(data, "marginal_effects()'s data")
    named = {"sample_weight": sample_weight, "offset": offset}
    for role, name in named.items():
        if name is not None and (not isinstance(name, str) or name not in source.columns):
            raise ValueError(f"on a Spark DataFrame, {role} names a column of the data; got {name!r}.")
    read = list(dict.fromkeys([*columns, *(name for name in named.values() if name is not None)]))

    def task(table: Any) -> Any:
        frame = pandas_partition(table)
        vectors = [
            None if name is None else frame[name].to_numpy(dtype=np.float64, na_value=np.nan)
            for name in named.values()
        ]
        return sums_of(frame[columns], *vectors)

    return [
        part for _, part in partition_results(source.select(*(F.col(quoted(name)) for name in read)), task)
    ]
