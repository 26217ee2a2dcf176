"""The fit on Spark DataFrames: the same IRLS as in memory and on Dask,
each update's normal equations summed partition by partition where the
partitions live.

A formula is the way in (quorvi.logit("y ~ x1 + C(g)", df), or
LogisticRegression(formula=...).fit(df)); weights, offsets and clusters
are named columns of the same frame. Before the first update: one job of
Spark's own aggregates finds the levels of the formula's string columns
(and with missing="raise" refuses missing values; _frames.formula_meta),
none without string columns; one job leaves out the formula's incomplete
rows (missing="drop"), makes and persists the formula's design of every
partition, leaves a copy of it on the partition's executor
(_executor_designs), and collects, beside it, each partition's checks of
the labels, weights, offsets and cluster labels, the levels it has rows
of and the rows it left out.
Then the engine's loop (quorvi._native.fit_chunked, as on Dask) asks for
each update's sums: one job, mapInArrow over one key row per partition,
each task reading its executor's copy (the partitions without one run
again on their persisted blobs) and running the same native chunk sums
as a Dask chunk (single-threaded BLAS inside the task), returning them as
one pickled row; the driver adds them in partition order, so the same
partitioning gives the same bits on any number of executors, and a
retried task changes nothing. Only those rows are collected. The copies
are removed and the design unpersisted after the fit.

Predictions come back as the input Spark DataFrame with a column more,
computed batch by batch (_prediction). Only DataFrame APIs are used
(mapInArrow, agg, persist), so a Spark Connect DataFrame works the same.

One absorbed column (the formula's "| fe") is fitted the same way: the
first pass also brings each partition's levels of it, and each update is
still one job, whose rows carry their levels' sums (L-sized arrays and an
(L, q) block) beside A and b (_absorb).

Modules, by concern: _frames (formula data, levels, jobs that return a
row per partition), _persisted (the persisted design and its checks),
_executor_designs (the executors' copies of it), _fit
(the partitions' sums and the loop), _levels and _absorb (an absorbed
column), _prediction (predictions as columns, margins). Imported only when a Spark DataFrame is passed
(quorvi/_backends.py)."""

from ._absorb import check_absorbed
from ._absorb import fit_absorbed_spark as fit_absorbed
from ._fit import absorbed_scores
from ._fit import fit_spark as fit
from ._frames import (
    CompleteRows,
    SparkFrames,
    column,
    columns,
    columns_of,
    formula_complete_rows,
    formula_frames,
    formula_meta,
    is_frame,
    without_columns,
)
from ._prediction import (
    decision_function,
    formula_margin_sums,
    formula_scores,
    frame_labels,
    frame_log_probabilities,
    frame_probabilities,
    frame_scores,
    frame_sums,
    margin_sums,
    predict,
    predict_log_proba,
    predict_proba,
)

# The back end's functions, by the names every back end's module gives them
# (quorvi/_backends.py), and the lazy per-partition frames it owns.
__all__ = [
    "CompleteRows",
    "SparkFrames",
    "absorbed_scores",
    "check_absorbed",
    "column",
    "columns",
    "columns_of",
    "decision_function",
    "fit",
    "fit_absorbed",
    "formula_complete_rows",
    "formula_frames",
    "formula_margin_sums",
    "formula_meta",
    "formula_scores",
    "frame_labels",
    "frame_log_probabilities",
    "frame_probabilities",
    "frame_scores",
    "frame_sums",
    "is_frame",
    "margin_sums",
    "predict",
    "predict_log_proba",
    "predict_proba",
    "without_columns",
]
