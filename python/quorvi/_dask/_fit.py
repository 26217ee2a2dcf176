"""The IRLS fit on Dask collections: the engine's loop over the chunks'
normal equations."""

from __future__ import annotations

from collections.abc import Callable
from typing import TYPE_CHECKING

import numpy as np

from .. import _native
from .._fitted import Fitted
from .._information import inverse_information
from .._robust import MeatRequest, check_cluster_arguments, check_cluster_count
from ._checks import found_classes
from ._frames import frame_layout, frame_row_chunks
from ._input import feature_names, row_chunks
from ._reduction import ChunkMeat, NormalEquations

Progress = Callable[[int, float, float, float, int], None]


if TYPE_CHECKING:
    from .._fit_spec import FitSpec


def fit_dask(spec: FitSpec) -> Fitted:
    """The IRLS fit on Dask collections: the loop of quorvi._native.fit, with
    each update's normal equations (and, in the pass that needs them, the
    robust sums) summed over the chunks."""
    X, y, sample_weight, clusters, offset = spec.rows.unpacked()
    fit_intercept, tol, max_iter, progress = spec.fit_intercept, spec.tol, spec.max_iter, spec.progress
    kind, penalty, link, observed_information = spec.covariance, spec.penalty, spec.link.name, spec.observed
    check_cluster_arguments(kind, clusters)
    names = feature_names(X)
    layout = frame_layout(X, fit_intercept)
    if layout is None:
        chunks = row_chunks(X, y, sample_weight, offset, clusters)
    else:
        layout, chunks = frame_row_chunks(X, y, sample_weight, layout, fit_intercept, offset, clusters)
    labels = found_classes(chunks)
    normal_equations = NormalEquations(chunks, labels, fit_intercept, ChunkMeat(kind), layout, link)
    n_parameters = chunks.n_features if layout is None else len(layout.parameter_names())
    q = n_parameters + int(fit_intercept)
    # The fit plan (which pass forms the robust sums, the hat values' pass,
    # the null model beside an offset) is the engine's, as in memory: these
    # chunks only supply its passes.
    result = _native.fit_chunked(
        normal_equations,
        n_coefficients=q,
        tol=tol,
        max_iter=max_iter,
        progress=progress,
        penalty=penalty,
        fit_intercept=fit_intercept,
        meat=kind.meat,
        offset=offset is not None,
        # The sums behind marginal_effects() without X: a DataFrame's
        # categorical columns need every row for theirs, and form none.
        margins=layout is None,
    )
    if max_iter <= 0:
        # No update ran, so no graph found the classes: the label checks
        # alone (they read y, not X).
        normal_equations.find_classes()
    observed = False
    if observed_information and result.passes > 0:
        # The bread of every covariance type from the observed information
        # (probit, cloglog), one pass more at the coefficients of the
        # engine's covariance.
        information = normal_equations.observed_information(np.asarray(result.last_pass_coefficients))
        covariance = inverse_information(information, result, penalty, fit_intercept)
        if covariance is not None:
            result = result.replace(covariance=covariance)
            observed = True
    request = MeatRequest(kind, [(np.empty(0, np.int64), g) for g in normal_equations.n_groups])
    if kind.clustered and result.robust is not None:
        check_cluster_count(request.n_groups)
    return Fitted(
        np.asarray(normal_equations.classes),
        result,
        normal_equations.n_obs,
        normal_equations.weighted_positives,
        request,
        result.null_deviance,
        n_features=chunks.n_features,
        feature_names=names,
        layout=layout,
        observed_information=observed,
    )
