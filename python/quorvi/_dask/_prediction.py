"""Predictions on a Dask X: the in-memory code on every row chunk."""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

import dask.array as da
import numpy as np
import numpy.typing as npt

from .. import _prediction
from .._chunk_checks import ESTIMATOR_NAME, checked_values
from .._links import link_named
from ._input import as_dask_array


def _prediction_input(X: Any, n_features: int) -> da.Array:
    # Prediction needs no row counts: a DataFrame's chunks are not measured.
    X = X.to_dask_array() if hasattr(X, "to_dask_array") else as_dask_array(X)
    if X.ndim != 2:
        raise ValueError(f"Expected a 2-dimensional Dask array for X, got shape {X.shape} instead.")
    if X.shape[1] != n_features:
        raise ValueError(
            f"X has {X.shape[1]} features, but {ESTIMATOR_NAME} is expecting {n_features} features as input."
        )
    return X.rechunk({1: -1}) if X.numblocks[1] > 1 else X


def _chunk_scores(
    X: Any, offset: Any, coef: npt.NDArray[np.float64], intercept: float
) -> npt.NDArray[np.float64]:
    X = checked_values(X)
    scores = _prediction.scores(X, coef, intercept)
    return scores if offset is None else scores + np.asarray(offset, dtype=np.float64)


def _offset_chunks(offset: Any, X: da.Array) -> Any:
    """offset in X's row chunks, for map_blocks beside X; None passes through."""
    if offset is None:
        return None
    from ._input import rows_chunked_as

    return rows_chunked_as(offset, "offset", X)[:, None]


def _map_scores(
    X: Any,
    coef: npt.NDArray[np.float64],
    intercept: float,
    offset: Any,
    of_scores: Callable[[npt.NDArray[np.float64]], Any],
    columns: int | None,
    dtype: Any,
) -> da.Array:
    """of_scores of each row chunk's linear predictor (with its offsets), one
    map_blocks task a chunk: a vector a row (columns None) or columns values."""
    X = _prediction_input(X, len(coef))
    offsets = _offset_chunks(offset, X)
    layout: dict[str, Any] = {"drop_axis": 1} if columns is None else {"chunks": (X.chunks[0], (columns,))}
    return da.map_blocks(
        lambda x, o: of_scores(_chunk_scores(x, None if o is None else o[:, 0], coef, intercept)),
        X,
        offsets,
        dtype=dtype,
        **layout,
    )


def decision_function(
    X: Any, coef: npt.NDArray[np.float64], intercept: float, offset: Any = None
) -> da.Array:
    return _map_scores(X, coef, intercept, offset, lambda scores: scores, None, np.float64)


def predict_proba(
    X: Any, coef: npt.NDArray[np.float64], intercept: float, link: str, offset: Any = None
) -> da.Array:
    return _map_scores(
        X,
        coef,
        intercept,
        offset,
        lambda scores: _prediction.probabilities(scores, link_named(link)),
        2,
        np.float64,
    )


def predict_log_proba(
    X: Any, coef: npt.NDArray[np.float64], intercept: float, link: str, offset: Any = None
) -> da.Array:
    return _map_scores(
        X,
        coef,
        intercept,
        offset,
        lambda scores: _prediction.log_probabilities(scores, link_named(link)),
        2,
        np.float64,
    )


def predict(
    X: Any,
    coef: npt.NDArray[np.float64],
    intercept: float,
    classes: npt.NDArray[Any],
    link: str,
    offset: Any = None,
) -> da.Array:
    return _map_scores(
        X,
        coef,
        intercept,
        offset,
        lambda scores: _prediction.labels(scores, classes, link_named(link)),
        None,
        classes.dtype,
    )
