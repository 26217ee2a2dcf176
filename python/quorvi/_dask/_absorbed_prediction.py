"""Predictions of a model fitted with absorbed columns (absorb=, or a
formula's ``| fe``; in memory or on Dask) for the rows of a Dask DataFrame:
each partition maps its labels to their levels' effects where it lives, by
the in-memory code (Absorption.offsets: the limits of levels dropped for a
single outcome, a refusal of labels not seen in fit), beside the features'
part of its linear predictor."""

from __future__ import annotations

from typing import Any

import dask.array as da
import numpy as np
import numpy.typing as npt
from dask.delayed import delayed

from .. import _design
from .._absorb import Absorption
from ._frames import partition_scores


def absorbed_scores(
    X: Any,
    layout: _design.FrameLayout,
    absorption: Absorption,
    coef: npt.NDArray[np.float64],
    intercept: float,
    offset: Any = None,
) -> da.Array:
    """The linear predictor of the Dask DataFrame X's rows, its absorbed
    columns' effects among its terms, as a Dask array of a chunk per
    partition; with offset, the offsets added. A frame without the absorbed
    columns or the features is refused before any task runs (its empty
    frame is read as the partitions will be); a label not seen in fit, when
    its partition is computed."""
    meta = getattr(X, "_meta", None)
    rest, _ = absorption.offsets(meta if meta is not None else X)
    _design.check_columns(rest, layout)
    # The levels and their effects: one key of the graph, which every
    # partition's task reads (sent to each worker once, not in every task).
    fitted = delayed(absorption, pure=True)
    score = delayed(_partition_scores, pure=True)
    parts = [score(part, index, fitted, layout, coef, intercept) for index, part in enumerate(X.to_delayed())]
    return partition_scores(X, parts, offset)


def _partition_scores(
    part: Any,
    index: int,
    absorption: Absorption,
    layout: _design.FrameLayout,
    coef: npt.NDArray[np.float64],
    intercept: float,
) -> npt.NDArray[np.float64]:
    """One partition's linear predictor, as an in-memory frame's is formed."""
    try:
        rest, effects = absorption.offsets(part)
    except ValueError as error:
        # The row the message names is the partition's.
        raise ValueError(f"partition {index} of X: {error}") from None
    return _design.frame_scores(rest, layout, coef, intercept) + effects
