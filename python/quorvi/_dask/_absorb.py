"""One absorbed column (``absorb=``) on a Dask DataFrame: its levels learned
and coded partition by partition, the levels of one outcome dropped, then
the engine's absorbed loop over the chunks' sums, which carry the levels'
weights, scores and cross block (L, L and L x q) beside A and b, added in
chunk order like them. Several absorbed columns are refused before any task
runs: the others would enter the system as categorical blocks, whose level
sums with the first column's levels are a q x L block per chunk of another
kind, which the chunked sums do not form."""

from __future__ import annotations

import dataclasses
from typing import TYPE_CHECKING, Any

import dask.array as da
import numpy as np
import numpy.typing as npt
from dask.base import compute
from dask.delayed import Delayed, delayed

from .. import _absorb, _design, _native
from .._fitted import Fitted
from .._robust import MEAT_OF, POWER_BY_LEVERAGE, MeatRequest, check_cluster_arguments, check_cluster_count
from ._checks import found_classes
from ._frames import frame_layout, frame_row_chunks
from ._reduction import FAN_IN, ChunkMeat, NormalEquations

if TYPE_CHECKING:
    from .._fit_spec import FitSpec


SEVERAL_COLUMNS = (
    "absorb= on a Dask DataFrame takes one column; {names} are several. Fit them in memory, or absorb "
    "the column of most levels and pass the others as categorical columns."
)


def check_absorbed(names: list[str]) -> None:
    """Several absorbed columns refused (see the module's docstring)."""
    if len(names) > 1:
        raise ValueError(SEVERAL_COLUMNS.format(names=names))


def check_dask_absorb(X: Any, absorb: Any, penalty: float, cov_type: str) -> list[str]:
    """The one absorbed column's name, every check that needs no task made."""
    names = _absorb.check_fit_arguments(absorb, penalty)
    check_absorbed(names)
    columns = getattr(X, "columns", None)
    if columns is None or not hasattr(X, "to_delayed"):
        raise ValueError(
            f"absorb= names columns of X: on Dask, X must be a Dask DataFrame, not {type(X).__name__}."
        )
    if names[0] not in list(columns):
        raise ValueError(
            f"absorb names column(s) {names} that X does not have (its columns: {list(columns)})."
        )
    return names


def fit_absorbed_dask(spec: FitSpec) -> _absorb.AbsorbedFit:
    """The fit of X's other columns with one column absorbed, as
    _absorb.fit makes it in memory."""
    X, y, sample_weight, clusters, offset = spec.rows.unpacked()
    absorb, cov_type, penalty, link = spec.absorb, spec.cov_type, spec.penalty, spec.link
    tol, max_iter, progress = spec.tol, spec.max_iter, spec.progress
    (name,) = check_dask_absorb(X, absorb, penalty, cov_type)
    check_cluster_arguments(cov_type, clusters)
    by_level = isinstance(clusters, str)
    if by_level and clusters != name:
        raise ValueError(f"clusters names {[clusters]}, which are not absorbed columns (absorb={[name]}).")
    meat, hat_power = MEAT_OF[cov_type]
    rest = X.drop(columns=[name])
    layout = frame_layout(rest, True) or _design.learn_layout(rest._meta, True, count_levels=False)
    _absorb.check_robust_design(meat, cov_type, layout, 1)
    _absorb.check_chunked_robust_design(meat, cov_type, layout, "Dask DataFrame")
    _absorb.check_features(len(layout.parameter_names()))

    labels_of = X[name].to_delayed()
    layout, chunks = frame_row_chunks(
        rest, y, sample_weight, layout, True, offset, None if by_level else clusters
    )
    q = len(layout.parameter_names())
    _absorb.check_features(q)
    found = found_classes(chunks)
    seen = [delayed(_partition_levels, pure=True)(part, name, index) for index, part in enumerate(labels_of)]
    (labels, _, _, rows), *partition_levels = compute(found, *seen)
    levels = np.unique(np.concatenate(partition_levels))
    if len(levels) > np.iinfo(np.int32).max:
        raise ValueError("an absorbed column has more levels than 2**31 - 1")
    if None in chunks.starts:
        chunks.starts = [int(start) for start in np.cumsum([0, *rows[:-1]])]

    # Each partition's codes, held by the workers for the fit.
    known_levels = delayed(levels, pure=True)
    codes = da.concatenate(
        [
            da.from_delayed(
                delayed(_partition_codes, pure=True)(part, name, known_levels), shape=(n,), dtype=np.int32
            )
            for part, n in zip(labels_of, rows, strict=True)
        ]
    ).persist()
    code_chunks = list(codes.to_delayed().ravel())

    # The levels whose rows of positive weight are all of one outcome: their
    # rows are left out (weight 0), as in memory. With one column one round
    # settles it: the other levels' sums do not change.
    positive = labels[1]
    level_sums = _tree(
        [
            delayed(_level_sums, pure=True)(c, y_chunk, w, positive, len(levels))
            for c, y_chunk, w in zip(code_chunks, chunks.y, chunks.weights, strict=True)
        ]
    )
    ((total, positives, counted),) = compute(level_sums)
    separated = (total > 0) & ((positives == 0) | (positives == total))
    if not (total[~separated] > 0).any():
        raise ValueError(_absorb.no_row_left([name]))
    separated_rows = int(counted[separated].sum())
    sources: list[Any] = [codes]
    if separated.any():
        dropped = delayed(separated, pure=True)
        kept = da.concatenate(
            [
                da.from_delayed(
                    delayed(_kept_weights, pure=True)(c, w, dropped), shape=(n,), dtype=np.float64
                )
                for c, w, n in zip(code_chunks, chunks.weights, rows, strict=True)
            ]
        ).persist()
        chunks.weights = list(kept.to_delayed().ravel())
        sources.append(kept)
    if by_level:
        chunks.clusters = [[part] for part in labels_of]
    chunks.sources = [*chunks.sources, *sources]

    # The levels carry the intercept: the layout is learned with one (each
    # categorical's first level its reference), the sums made without it.
    chunk_meat = ChunkMeat(meat, hat_power, by_leverage=cov_type in POWER_BY_LEVERAGE)
    normal_equations = NormalEquations(chunks, found, False, chunk_meat, layout, link.name)
    normal_equations.classes = labels
    normal_equations.codes = code_chunks
    normal_equations.n_levels = len(levels)
    # The rows' weight, the levels left out apart: HC4's n.
    normal_equations.n_obs = float(total[~separated].sum())
    # The engine's plan makes the robust pass after the loop, at the
    # coefficients and effects the last step was solved from.
    result = _native.fit_chunked_absorbed(
        normal_equations,
        n_coefficients=q,
        n_levels=len(levels),
        tol=tol,
        max_iter=max_iter,
        progress=progress,
        offset=offset is not None,
        meat=meat,
        # The sums behind marginal_effects() without X, as in memory: a
        # DataFrame's categorical columns need every row for theirs.
        margins=not layout.categorical,
    )
    request = MeatRequest(cov_type, meat, hat_power)
    if meat != _native.Meat.none and max_iter > 0 and not result.overflowed:
        request.clusters = [(np.empty(0, np.int64), g) for g in normal_equations.n_groups]
        if meat == _native.Meat.cluster:
            check_cluster_count(request.n_groups)

    column, intercept = _absorb.eliminated_column(name, levels, result, int(separated.sum()))
    if separated.any():
        column = dataclasses.replace(column, limits=_absorb.limits_of(total, positives))
    nested = []
    if meat == _native.Meat.cluster and (by_level or _nested(code_chunks, chunks.clusters, chunks.weights)):
        nested = [name]
    absorption = _absorb.Absorption([column], separated_rows, nested)
    result = _absorb.cut_to_features(result, q)
    keep = ~separated
    fitted = Fitted(
        np.asarray(labels),
        result,
        float(total[keep].sum()),
        float(positives[keep].sum()),
        meat_request=request,
        layout=layout,
    )
    fitted.null_deviance = result.null_deviance
    return _absorb.absorbed_fit(fitted, absorption, intercept, q)


def _partition_levels(part: Any, name: str, index: int) -> npt.NDArray[Any]:
    """The sorted distinct labels of one partition's absorbed column."""
    try:
        return np.unique(_absorb.pandas_labels(part, name))
    except ValueError as error:
        raise ValueError(f"partition {index} of X: {error}") from None


def _partition_codes(part: Any, name: str, levels: npt.NDArray[Any]) -> npt.NDArray[np.int32]:
    """Each row's code among levels (which hold every label of the column)."""
    return np.searchsorted(levels, _absorb.pandas_labels(part, name)).astype(np.int32)


def _level_sums(
    codes: npt.NDArray[np.int32], y: Any, weights: Any, positive: Any, n_levels: int
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """Per level: the sum of the weights, that of the positive rows, and the
    number of rows of positive weight."""
    w = np.ones(len(codes)) if weights is None else np.asarray(weights, dtype=np.float64)
    y01 = (np.asarray(y) == positive).astype(np.float64)
    return (
        np.bincount(codes, weights=w, minlength=n_levels).astype(np.float64, copy=False),
        np.bincount(codes, weights=w * y01, minlength=n_levels).astype(np.float64, copy=False),
        np.bincount(codes, weights=(w > 0).astype(np.float64), minlength=n_levels).astype(
            np.float64, copy=False
        ),
    )


def _add_level_sums(*parts: Any) -> Any:
    """Level sums added left to right: the same order on every run."""
    total = [np.array(array, copy=True) for array in parts[0]]
    for part in parts[1:]:
        for mine, theirs in zip(total, part, strict=True):
            mine += theirs
    return tuple(total)


def _tree(parts: list[Delayed]) -> Delayed:
    while len(parts) > 1:
        parts = [
            delayed(_add_level_sums, pure=True)(*parts[first : first + FAN_IN])
            for first in range(0, len(parts), FAN_IN)
        ]
    return parts[0]


def _kept_weights(codes: npt.NDArray[np.int32], weights: Any, separated: npt.NDArray[np.bool_]) -> Any:
    w = np.ones(len(codes)) if weights is None else np.array(weights, dtype=np.float64, copy=True)
    w[separated[codes]] = 0.0
    return w


def _nested(codes: list[Delayed], clusters: list[list[Delayed]], weights: list[Any]) -> bool:
    """Whether every level's rows (of positive weight) lie in one cluster of
    the first or the second clustering: from each chunk's distinct (level,
    label) pairs."""
    pairs = [
        delayed(_level_cluster_pairs, pure=True)(c, labels, w)
        for c, labels, w in zip(codes, clusters, weights, strict=True)
    ]
    (chunk_pairs,) = compute(pairs)
    import pandas as pd

    for j in range(min(2, len(chunk_pairs[0]))):
        frame = pd.concat([chunk[j] for chunk in chunk_pairs]).drop_duplicates()
        if frame.groupby("level")["label"].nunique().max() <= 1:
            return True
    return False


def _level_cluster_pairs(codes: Any, labels: list[Any], weights: Any) -> list[Any]:
    import pandas as pd

    counted = np.ones(len(codes), dtype=bool) if weights is None else np.asarray(weights) > 0
    return [
        pd.DataFrame({"level": codes[counted], "label": np.asarray(column)[counted]}).drop_duplicates()
        for column in labels
    ]
