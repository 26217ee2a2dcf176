"""The IRLS fit on Dask collections: the engine's loop over the chunks'
normal equations."""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

import numpy as np
from dask.delayed import delayed

from .. import _native
from .._fitted import Fitted
from .._robust import MEAT_OF, MeatRequest, check_cluster_arguments
from ._checks import check_labels, classes
from ._frames import frame_layout, frame_row_chunks
from ._input import feature_names, row_chunks
from ._reduction import ChunkMeat, NormalEquations

Progress = Callable[[int, float, float, float], None]


def fit_dask(
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
    """The IRLS fit on Dask collections: the loop of quorvi._native.fit, with
    each update's normal equations (and, in the pass that needs them, the
    robust sums) summed over the chunks."""
    check_cluster_arguments(cov_type, clusters)
    names = feature_names(X)
    layout = frame_layout(X, fit_intercept)
    if layout is None:
        chunks = row_chunks(X, y, sample_weight, offset, clusters)
    else:
        layout, chunks = frame_row_chunks(X, y, sample_weight, layout, fit_intercept, offset, clusters)
    check = delayed(check_labels, pure=False)
    checks = [
        check(y_chunk, weights, index, start)
        for index, (y_chunk, weights, start) in enumerate(
            zip(chunks.y, chunks.weights, chunks.starts, strict=True)
        )
    ]
    labels = delayed(classes, pure=False)(chunks.starts, checks)
    meat, hat_power = MEAT_OF[cov_type]
    in_loop = meat in ("residual", "cluster")
    normal_equations = NormalEquations(
        chunks, labels, fit_intercept, ChunkMeat(meat, hat_power) if in_loop else None, layout, link
    )
    n_parameters = chunks.n_features if layout is None else len(layout.parameter_names())
    q = n_parameters + int(fit_intercept)
    result = _native.fit_chunked(
        normal_equations,
        q,
        tol,
        max_iter,
        progress,
        penalty=penalty,
        fit_intercept=fit_intercept,
        meat_in_loop=in_loop,
    )
    # Overflowing normal equations end the fit before its first update: no
    # pass more (the estimator names the columns).
    overflowed = bool(result["overflowed"])
    if max_iter <= 0:
        # No update ran, so no graph found the classes: the label checks
        # alone (they read y, not X).
        normal_equations.find_classes()
    elif meat == "hat_adjusted" and not overflowed:
        # Hat values need the inverse information of the last pass: one more
        # pass at its coefficients.
        bread = np.nan_to_num(np.asarray(result["covariance"]), nan=0.0)
        normal_equations.meat = ChunkMeat(meat, hat_power, bread)
        normal_equations(np.asarray(result["last_pass_coefficients"]), True, True)
        result["passes"] += 1
    result["meats"] = normal_equations.meats
    result["hat_one_rows"] = normal_equations.hat_one_rows
    request = MeatRequest(
        cov_type, meat, hat_power, [(np.empty(0, np.int64), g) for g in normal_equations.n_groups]
    )
    if meat == "cluster" and max_iter > 0 and not overflowed and min(request.n_groups[:2]) < 2:
        raise ValueError(
            "clusters has a single cluster: a cluster-robust covariance needs at least two "
            "(it scales by G/(G - 1))."
        )
    null_deviance = None
    if offset is not None and fit_intercept and max_iter > 0 and not overflowed:
        # The null model with an offset: the intercept alone, same offset.
        normal_equations.meat = ChunkMeat()
        normal_equations.intercept_only = True
        null = _native.fit_chunked(normal_equations, 1, tol, max_iter, None, fit_intercept=True)
        null_deviance = float(null["deviance"])
    return Fitted(
        np.asarray(normal_equations.classes),
        result,
        normal_equations.n_obs,
        normal_equations.weighted_positives,
        request,
        null_deviance,
        n_features=chunks.n_features,
        feature_names=names,
        layout=layout,
    )
