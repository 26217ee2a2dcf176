"""Predictions on a Dask X: the in-memory code on every row chunk."""

from __future__ import annotations

from typing import Any

import dask.array as da
import numpy as np
import numpy.typing as npt
from sklearn.utils import check_array

from .. import _prediction
from .._links import link_named
from ._input import ESTIMATOR_NAME, as_dask_array


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
    X = check_array(
        X, dtype=np.float64, order=None, ensure_min_samples=0, estimator=ESTIMATOR_NAME, input_name="X"
    )
    scores = _prediction.scores(X, coef, intercept)
    return scores if offset is None else scores + np.asarray(offset, dtype=np.float64)


def _chunk_probabilities(
    X: Any, offset: Any, coef: npt.NDArray[np.float64], intercept: float, link: str
) -> npt.NDArray[np.float64]:
    return _prediction.probabilities(_chunk_scores(X, offset, coef, intercept), link_named(link))


def _chunk_log_probabilities(
    X: Any, offset: Any, coef: npt.NDArray[np.float64], intercept: float, link: str
) -> npt.NDArray[np.float64]:
    return _prediction.log_probabilities(_chunk_scores(X, offset, coef, intercept), link_named(link))


def _chunk_labels(
    X: Any, offset: Any, coef: npt.NDArray[np.float64], intercept: float, classes: npt.NDArray[Any], link: str
) -> npt.NDArray[Any]:
    return _prediction.labels(_chunk_scores(X, offset, coef, intercept), classes, link_named(link))


def _offset_chunks(offset: Any, X: da.Array) -> Any:
    """offset in X's row chunks, for map_blocks beside X; None passes through."""
    if offset is None:
        return None
    from ._input import rows_chunked_as

    return rows_chunked_as(offset, "offset", X)[:, None]


def decision_function(
    X: Any, coef: npt.NDArray[np.float64], intercept: float, offset: Any = None
) -> da.Array:
    X = _prediction_input(X, len(coef))
    offsets = _offset_chunks(offset, X)
    return da.map_blocks(
        lambda x, o: _chunk_scores(x, None if o is None else o[:, 0], coef, intercept),
        X,
        offsets,
        drop_axis=1,
        dtype=np.float64,
    )


def predict_proba(
    X: Any, coef: npt.NDArray[np.float64], intercept: float, link: str, offset: Any = None
) -> da.Array:
    X = _prediction_input(X, len(coef))
    offsets = _offset_chunks(offset, X)
    return da.map_blocks(
        lambda x, o: _chunk_probabilities(x, None if o is None else o[:, 0], coef, intercept, link),
        X,
        offsets,
        chunks=(X.chunks[0], (2,)),
        dtype=np.float64,
    )


def predict_log_proba(
    X: Any, coef: npt.NDArray[np.float64], intercept: float, link: str, offset: Any = None
) -> da.Array:
    X = _prediction_input(X, len(coef))
    offsets = _offset_chunks(offset, X)
    return da.map_blocks(
        lambda x, o: _chunk_log_probabilities(x, None if o is None else o[:, 0], coef, intercept, link),
        X,
        offsets,
        chunks=(X.chunks[0], (2,)),
        dtype=np.float64,
    )


def predict(
    X: Any,
    coef: npt.NDArray[np.float64],
    intercept: float,
    classes: npt.NDArray[Any],
    link: str,
    offset: Any = None,
) -> da.Array:
    X = _prediction_input(X, len(coef))
    offsets = _offset_chunks(offset, X)
    return da.map_blocks(
        lambda x, o: _chunk_labels(x, None if o is None else o[:, 0], coef, intercept, classes, link),
        X,
        offsets,
        drop_axis=1,
        dtype=classes.dtype,
    )
