"""The fit on Dask arrays: the same IRLS as in memory, with each update's
normal equations summed chunk by chunk where the chunks live.

The update loop is the engine's own (quorvi._native.fit_chunked), the one
that also runs the fit in memory; what this package gives it is the source of
each update's normal equations: one task per row chunk, which calls the
native kernel on that chunk (the interpreter lock released) and returns its
partial sums (q x q, tiny), then a tree of additions over the chunks in
their order. Only the coefficients go out to the workers and only the sums
come back; X is read where it is (in a worker's memory, or streamed from a
Zarr store or a memory-mapped file each iteration) and never gathered.

The reduction adds the chunks' sums in a fixed order whichever worker made
them, so the same data and chunking give the same bits on any cluster,
after a worker was lost, and with Dask's local scheduler. The tasks run with
the active dask.distributed client, or with Dask's default scheduler.

Modules, by concern: _input (Dask collections as row chunks), _checks (the
first update's checks of every chunk, in its graph), _reduction (the normal
equations summed over the chunks), _fit (the fit), _prediction (predictions
as Dask arrays), _frames (Dask DataFrames with categorical columns), _absorb
(absorbed columns; _separation, their levels of one outcome), _formula_rows
(a formula's incomplete rows left out, partition by partition), _margins
(the margins' sums). What a task does with its chunk, which any chunked
back end needs, imports no back end and lives in the package: _chunk_sums,
_chunk_checks, _further_levels (the absorbed columns after the first as
indicators). Imported only when a Dask collection is passed (the back end's
registration, quorvi/_backends.py): the core package does not need Dask."""

from ._absorb import check_absorbed
from ._absorb import fit_absorbed_dask as fit_absorbed
from ._absorbed_prediction import absorbed_scores
from ._fit import fit_dask as fit
from ._formula_rows import formula_complete_rows, formula_scores
from ._frames import (
    column,
    columns,
    columns_of,
    formula_frames,
    formula_labels,
    formula_meta,
    frame_labels,
    frame_log_probabilities,
    frame_probabilities,
    frame_scores,
    is_frame,
    without_columns,
)
from ._margins import dask_frame_sums as frame_sums
from ._margins import dask_margin_sums as margin_sums
from ._margins import formula_margin_sums
from ._prediction import decision_function, predict, predict_log_proba, predict_proba

# The back end's functions, by the names every back end's module gives them
# (quorvi/_backends.py).
__all__ = [
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
    "formula_labels",
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
