"""Absorbed columns (``absorb=``) on a Dask DataFrame: their levels learned
and coded partition by partition, the levels of one outcome dropped over
the columns until none is left (_separation), then the engine's absorbed
loop over the chunks' sums, which carry the levels' weights, scores and
cross block (L, L and L x q) of the column of most levels beside A and b,
added in chunk order like them. The columns after the first enter each
chunk's system as dense indicator columns of their levels, made in the
chunk's task (_further_levels): the in-memory fit solves for them by
iterations, each a product over all rows, which on chunks would be a graph
per product. Their levels together are capped (FURTHER_LEVELS), refused
once the levels are known and before any pass over the features."""

from __future__ import annotations

import dataclasses
from typing import TYPE_CHECKING, Any

import dask.array as da
import numpy as np
import numpy.typing as npt
import pandas as pd
from dask.base import compute
from dask.delayed import Delayed, delayed

from .. import _absorb, _design, _native
from .._absorbed_sandwich import meats_of_last
from .._fitted import Fitted
from .._further_levels import check_dummy_columns, check_further_levels, further_columns, further_levels
from .._robust import MeatRequest, check_cluster_arguments, check_cluster_count
from ._checks import found_classes
from ._frames import frame_layout, frame_row_chunks
from ._reduction import ChunkMeat, NormalEquations
from ._separation import kept_weights, separation

if TYPE_CHECKING:
    from .._fit_spec import FitSpec


def check_absorbed(names: list[str]) -> None:
    """What the Dask fit refuses of the absorbed columns' names alone:
    nothing (the cap on their levels needs them counted, fit_absorbed_dask)."""


def check_dask_absorb(X: Any, absorb: Any, penalty: float) -> list[str]:
    """The absorbed columns' names, every check that needs no task made."""
    names = _absorb.check_fit_arguments(absorb, penalty)
    columns = getattr(X, "columns", None)
    if columns is None or not hasattr(X, "to_delayed"):
        raise ValueError(
            f"absorb= names columns of X: on Dask, X must be a Dask DataFrame, not {type(X).__name__}."
        )
    missing = [name for name in names if name not in list(columns)]
    if missing:
        raise ValueError(
            f"absorb names column(s) {missing} that X does not have (its columns: {list(columns)})."
        )
    return names


def _named_clusters(clusters: Any, names: list[str]) -> list[str] | None:
    """The absorbed columns clusters names (one or two), or None for
    clusters given as labels."""
    chosen = [clusters] if isinstance(clusters, str) else clusters
    if not isinstance(chosen, list | tuple) or not chosen or not all(isinstance(c, str) for c in chosen):
        return None
    unknown = [c for c in chosen if c not in names]
    if unknown:
        raise ValueError(f"clusters names {unknown}, which are not absorbed columns (absorb={names}).")
    return list(chosen)


def fit_absorbed_dask(spec: FitSpec) -> _absorb.AbsorbedFit:
    """The fit of X's other columns with the named columns absorbed, as
    _absorb.fit makes it in memory."""
    X, y, sample_weight, clusters, offset = spec.rows.unpacked()
    absorb, kind, penalty, link = spec.absorb, spec.covariance, spec.penalty, spec.link
    tol, max_iter, progress = spec.tol, spec.max_iter, spec.progress
    names = check_dask_absorb(X, absorb, penalty)
    check_cluster_arguments(kind, clusters)
    named = _named_clusters(clusters, names) if kind.clustered else None
    rest = X.drop(columns=names)
    layout = frame_layout(rest, True) or _design.learn_layout(rest._meta, True, count_levels=False)
    _absorb.check_robust_design(kind, layout, len(names))
    # The robust sums beside absorbed levels are those of dense columns less
    # their levels' means: categorical features become dense dummy columns
    # in each chunk's task (their number checked once the levels are known).
    dummies = kind.robust and bool(layout.categorical)
    _absorb.check_features(len(layout.parameter_names()))

    # The levels of every absorbed column, from its partitions alone (no
    # feature is read): the cap on the further columns' levels is checked
    # before any pass over the features.
    labels_of = {name: X[name].to_delayed() for name in names}
    seen = [
        [
            delayed(_partition_levels, pure=True)(part, name, index)
            for index, part in enumerate(labels_of[name])
        ]
        for name in names
    ]
    levels_of = [np.unique(np.concatenate(parts)) for parts in compute(*seen)]
    if any(len(levels) > np.iinfo(np.int32).max for levels in levels_of):
        raise ValueError("an absorbed column has more levels than 2**31 - 1")
    # The column of most levels is the one eliminated exactly (as in memory).
    order = sorted(range(len(names)), key=lambda j: -len(levels_of[j]))
    check_further_levels([names[j] for j in order], [len(levels_of[j]) for j in order])

    layout, chunks = frame_row_chunks(
        rest, y, sample_weight, layout, True, offset, None if named else clusters
    )
    q = len(layout.parameter_names())
    _absorb.check_features(q)
    if dummies:
        check_dummy_columns(kind.name, q - len(layout.numeric))
    found = found_classes(chunks)
    ((labels, _, _, rows),) = compute(found)
    if None in chunks.starts:
        chunks.starts = [int(start) for start in np.cumsum([0, *rows[:-1]])]

    # Each partition's codes of each column, held by the workers for the fit.
    coded = []
    for j in order:
        known_levels = delayed(levels_of[j], pure=True)
        coded.append(
            da.concatenate(
                [
                    da.from_delayed(
                        delayed(_partition_codes, pure=True)(part, names[j], known_levels),
                        shape=(n,),
                        dtype=np.int32,
                    )
                    for part, n in zip(labels_of[names[j]], rows, strict=True)
                ]
            ).persist()
        )
    code_chunks = [list(codes.to_delayed().ravel()) for codes in coded]

    # The levels whose rows of positive weight are all of one outcome: their
    # rows are left out (weight 0), as in memory, over every column in turn.
    found_out = separation(
        code_chunks, chunks.y, chunks.weights, labels[1], [len(levels_of[j]) for j in order]
    )
    total, positives, _ = found_out.sums[0]
    if not (total > 0).any():
        raise ValueError(_absorb.no_row_left(names))
    sources: list[Any] = list(coded)
    if found_out.any:
        dropped = delayed(found_out.kept, pure=True)
        kept = da.concatenate(
            [
                da.from_delayed(
                    delayed(kept_weights, pure=True)([c[index] for c in code_chunks], w, dropped),
                    shape=(n,),
                    dtype=np.float64,
                )
                for index, (w, n) in enumerate(zip(chunks.weights, rows, strict=True))
            ]
        ).persist()
        chunks.weights = list(kept.to_delayed().ravel())
        sources.append(kept)
    if named:
        chunks.clusters = [[labels_of[name][index] for name in named] for index in range(len(chunks.weights))]
    chunks.sources = [*chunks.sources, *sources]

    # The further columns' indicators, coded over the rows kept: the system's first columns.
    further = further_levels([found_out.sums[rank][0] for rank in range(1, len(order))])
    m = further.width

    # The levels carry the intercept: the layout is learned with one (each
    # categorical's first level its reference), the sums made without it.
    normal_equations = NormalEquations(chunks, found, False, ChunkMeat(kind), layout, link.name)
    normal_equations.classes = labels
    normal_equations.codes = code_chunks[0]
    normal_equations.n_levels = len(levels_of[order[0]])
    normal_equations.dummies = dummies
    if len(order) > 1:
        normal_equations.further_codes = [list(chunk) for chunk in zip(*code_chunks[1:], strict=True)]
        normal_equations.further = further
    # The rows' weight, the levels left out apart: HC4's n.
    normal_equations.n_obs = float(total.sum())
    # The engine's plan makes the robust pass after the loop, at the
    # coefficients and effects the last step was solved from.
    result = _native.fit_chunked_absorbed(
        normal_equations,
        n_coefficients=m + q,
        n_levels=len(levels_of[order[0]]),
        tol=tol,
        max_iter=max_iter,
        progress=progress,
        offset=offset is not None,
        meat=kind.meat,
        # The sums behind marginal_effects() without X, as in memory: a
        # DataFrame's categorical columns need every row for theirs, and the
        # further columns' indicators are parameters here, not levels.
        margins=not layout.categorical and m == 0,
    )
    request = MeatRequest(kind)
    if kind.robust and max_iter > 0 and not result.overflowed:
        request.clusters = [(np.empty(0, np.int64), g) for g in normal_equations.n_groups]
        if kind.clustered:
            check_cluster_count(request.n_groups)
        if m:
            # The features' meats partialled out of the indicators too, so that
            # the sandwich is the features' block of the dummy model's.
            robust = result.robust
            assert robust is not None  # formed after a loop that made an update
            meats = meats_of_last(np.asarray(result.covariance), list(robust.meats), q)
            result = result.replace(robust=robust.replace(meats=meats))

    first = order[0]
    column, intercept = _absorb.eliminated_column(
        names[first], levels_of[first], result, int(np.count_nonzero(~found_out.kept[0]))
    )
    if found_out.limits[0].any():
        column = dataclasses.replace(column, limits=found_out.limits[0])
    columns: list[_absorb.AbsorbedColumn | None] = [None] * len(names)
    columns[first] = column
    coefficients = np.asarray(result.coefficients)
    for j, further_column in zip(
        order[1:],
        further_columns(
            [names[j] for j in order[1:]],
            [levels_of[j] for j in order[1:]],
            further,
            coefficients[:m],
            [d for d in result.dropped if d < m],
            [int(np.count_nonzero(~levels)) for levels in found_out.kept[1:]],
            found_out.limits[1:],
        ),
        strict=True,
    ):
        columns[j] = further_column
    nested: list[str] = []
    if kind.clustered:
        nested = [names[order[rank]] for rank in _nested(code_chunks, chunks.clusters, chunks.weights)]
    absorbed_columns = [c for c in columns if c is not None]
    absorption = _absorb.Absorption(absorbed_columns, found_out.separated_rows, nested)
    if len(names) > 1:
        ordered = [c for j in order if (c := columns[j]) is not None]
        absorption = _ranked(absorption, ordered, m, result, code_chunks, chunks.weights)
    result = _last(result, m, q)
    fitted = Fitted(
        np.asarray(labels),
        result,
        float(total.sum()),
        float(positives.sum()),
        meat_request=request,
        layout=layout,
    )
    fitted.null_deviance = result.null_deviance
    return _absorb.absorbed_fit(fitted, absorption, intercept, q)


def _ranked(
    absorption: _absorb.Absorption,
    ordered: list[_absorb.AbsorbedColumn],
    m: int,
    result: Any,
    codes: list[list[Delayed]],
    weights: list[Any],
) -> _absorb.Absorption:
    """The absorption with the rank of its dummy design: the first column's
    levels kept and the indicators the solve kept (those it dropped depend
    on the others: levels in groups that no row links). Of the columns not
    nested in the clusters, for a small-sample factor: the same when none is
    nested, one column's levels kept when one is counted; for two or more
    of three or more, the in-memory rank (_absorb.level_rank) of their
    distinct rows of levels, gathered from the chunks (a row's copies add
    nothing to the rank)."""
    rank = ordered[0].kept_levels + m - len([d for d in result.dropped if d < m])
    chosen = [rank for rank, column in enumerate(ordered) if column.name not in absorption.nested]
    counted_rank = rank
    exact = True
    if len(chosen) == 1:
        counted_rank = ordered[chosen[0]].kept_levels
    elif chosen and len(chosen) < len(ordered):
        parts = [
            delayed(_distinct_rows, pure=True)([codes[rank][index] for rank in chosen], w)
            for index, w in enumerate(weights)
        ]
        (distinct,) = compute(parts)
        rows = pd.DataFrame(np.concatenate(distinct)).drop_duplicates().to_numpy()
        counted_rank, exact = _absorb.level_rank(
            [rows[:, j] for j in range(len(chosen))], [len(ordered[rank].levels) for rank in chosen], None
        )
    return dataclasses.replace(absorption, rank=rank, counted_rank=counted_rank, rank_is_bound=not exact)


def _distinct_rows(codes: list[Any], weights: Any) -> npt.NDArray[np.int64]:
    """A chunk's distinct rows of levels (of positive weight) of the columns codes."""
    stacked = np.column_stack([np.asarray(column, dtype=np.int64) for column in codes])
    if weights is not None:
        stacked = stacked[np.asarray(weights) > 0]
    distinct: npt.NDArray[np.int64] = pd.DataFrame(stacked).drop_duplicates().to_numpy()
    return distinct


def _last(result: _native.FitResult, m: int, q: int) -> _native.FitResult:
    """The result of the features alone: the system's last q parameters
    (its first m are the further columns' indicators)."""
    if m == 0:
        return _absorb.cut_to_features(result, q)
    return result.replace(
        coefficients=np.asarray(result.coefficients)[m:],
        covariance=np.asarray(result.covariance)[m:, m:],
        last_pass_coefficients=np.asarray(result.last_pass_coefficients)[m:],
        dropped=[d - m for d in result.dropped if d >= m],
    )


def _partition_levels(part: Any, name: str, index: int) -> npt.NDArray[Any]:
    """The sorted distinct labels of one partition's absorbed column."""
    try:
        return np.unique(_absorb.pandas_labels(part, name))
    except ValueError as error:
        raise ValueError(f"partition {index} of X: {error}") from None


def _partition_codes(part: Any, name: str, levels: npt.NDArray[Any]) -> npt.NDArray[np.int32]:
    """Each row's code among levels (which hold every label of the column)."""
    return np.searchsorted(levels, _absorb.pandas_labels(part, name)).astype(np.int32)


def _nested(codes: list[list[Delayed]], clusters: list[list[Delayed]], weights: list[Any]) -> list[int]:
    """The columns (their ranks in codes) every level of which has its rows
    (of positive weight) in one cluster of the first or the second
    clustering: from each chunk's distinct (level, label) pairs."""
    pairs = [
        delayed(_level_cluster_pairs, pure=True)([column[index] for column in codes], labels, w)
        for index, (labels, w) in enumerate(zip(clusters, weights, strict=True))
    ]
    (chunk_pairs,) = compute(pairs)
    nested = []
    for rank in range(len(codes)):
        for j in range(min(2, len(chunk_pairs[0][rank]))):
            frame = pd.concat([chunk[rank][j] for chunk in chunk_pairs]).drop_duplicates()
            if frame.groupby("level")["label"].nunique().max() <= 1:
                nested.append(rank)
                break
    return nested


def _level_cluster_pairs(codes: list[Any], labels: list[Any], weights: Any) -> list[list[Any]]:

    counted = np.ones(len(codes[0]), dtype=bool) if weights is None else np.asarray(weights) > 0
    return [
        [
            pd.DataFrame({"level": column[counted], "label": np.asarray(cluster)[counted]}).drop_duplicates()
            for cluster in labels
        ]
        for column in codes
    ]
