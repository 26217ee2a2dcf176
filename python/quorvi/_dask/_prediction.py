"""Predictions on a Dask X: the in-memory code on every row chunk."""

from __future__ import annotations

from typing import Any

import dask.array as da
import numpy as np
import numpy.typing as npt
from sklearn.utils import check_array

from .. import _prediction
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


def _chunk_scores(X: Any, coef: npt.NDArray[np.float64], intercept: float) -> npt.NDArray[np.float64]:
    X = check_array(
        X, dtype=np.float64, order=None, ensure_min_samples=0, estimator=ESTIMATOR_NAME, input_name="X"
    )
    return _prediction.scores(X, coef, intercept)


def _chunk_probabilities(X: Any, coef: npt.NDArray[np.float64], intercept: float) -> npt.NDArray[np.float64]:
    return _prediction.probabilities(_chunk_scores(X, coef, intercept))


def _chunk_labels(
    X: Any, coef: npt.NDArray[np.float64], intercept: float, classes: npt.NDArray[Any]
) -> npt.NDArray[Any]:
    return _prediction.labels(_chunk_scores(X, coef, intercept), classes)


def decision_function(X: Any, coef: npt.NDArray[np.float64], intercept: float) -> da.Array:
    X = _prediction_input(X, len(coef))
    return X.map_blocks(_chunk_scores, coef, intercept, drop_axis=1, dtype=np.float64)


def predict_proba(X: Any, coef: npt.NDArray[np.float64], intercept: float) -> da.Array:
    X = _prediction_input(X, len(coef))
    return X.map_blocks(_chunk_probabilities, coef, intercept, chunks=(X.chunks[0], (2,)), dtype=np.float64)


def predict(X: Any, coef: npt.NDArray[np.float64], intercept: float, classes: npt.NDArray[Any]) -> da.Array:
    X = _prediction_input(X, len(coef))
    return X.map_blocks(_chunk_labels, coef, intercept, classes, drop_axis=1, dtype=classes.dtype)
