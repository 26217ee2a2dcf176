"""The IRLS fit on Dask collections: the engine's loop over the chunks'
normal equations."""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt
from dask.delayed import delayed

from .. import _native
from .._fitted import Fitted
from ._checks import check_labels, classes
from ._input import feature_names, row_chunks
from ._reduction import NormalEquations

Progress = Callable[[int, float, float, float], None]


@dataclass
class DaskFit(Fitted):
    """The fit with what validate_data records of an in-memory X."""

    n_features: int = 0
    feature_names: npt.NDArray[np.object_] | None = None


def fit_dask(
    X: Any,
    y: Any,
    sample_weight: Any,
    *,
    fit_intercept: bool,
    tol: float,
    max_iter: int,
    progress: Progress | None,
) -> DaskFit:
    """The IRLS fit on Dask collections: the loop of quorvi._native.fit, with
    each update's normal equations summed over the chunks."""
    names = feature_names(X)
    chunks = row_chunks(X, y, sample_weight)
    check = delayed(check_labels, pure=False)
    checks = [
        check(y_chunk, weights, index, start)
        for index, (y_chunk, weights, start) in enumerate(
            zip(chunks.y, chunks.weights, chunks.starts, strict=True)
        )
    ]
    labels = delayed(classes, pure=False)(chunks.starts, checks)
    normal_equations = NormalEquations(chunks, labels, fit_intercept)
    q = chunks.n_features + int(fit_intercept)
    result = _native.fit_chunked(normal_equations, q, tol, max_iter, progress)
    if max_iter <= 0:
        # No update ran, so no graph found the classes: the label checks
        # alone (they read y, not X).
        normal_equations.find_classes()
    return DaskFit(
        np.asarray(normal_equations.classes),
        result,
        normal_equations.n_obs,
        normal_equations.weighted_positives,
        chunks.n_features,
        names,
    )
