"""The IRLS fit on a Spark DataFrame: the engine's loop (the same one that
fits in memory and on Dask), each update's normal equations summed by one
Spark job over the partitions of the formula's persisted design."""

from __future__ import annotations

import contextlib
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, cast

import numpy as np
import numpy.typing as npt
import pandas as pd

from .. import _design, _native
from .._chunk_sums import added_sums, kernel_sums, native_levels
from .._chunked_passes import PassesAfterTheLoop
from .._covariance_types import NONROBUST, CovarianceType
from .._fitted import Fitted
from .._links import link_named
from .._robust import MeatRequest, check_cluster_arguments, check_cluster_count
from . import _executor_designs
from ._frames import SparkFrames, partition_results
from ._levels import level_codes
from ._persisted import (
    BLOB,
    LABEL,
    OFFSET,
    WEIGHT,
    Checked,
    Design,
    _column,
    _names,
    cluster_name,
    codes_name,
    design_blobs,
    design_keys,
    design_table,
    first_pass,
    numeric_name,
    persisted_design,
)

if TYPE_CHECKING:
    from .._fit_spec import FitSpec
    from .._native import NormalEquations as Sums

Progress = Callable[[int, float, float, float, int], None]


@dataclass
class Levels:
    """What a partition's sums with an absorbed column need beyond its rows:
    the column's levels (sorted: a row's code is its label's place among
    them), which are left out (separated: their rows get weight 0), and
    from the engine's plan the levels' effects and, in a robust pass, their
    means of the columns ((L, q)) and, for hat values, their 1 / D."""

    levels: npt.NDArray[Any]
    separated: npt.NDArray[np.bool_] | None = None
    effects: npt.NDArray[np.float64] | None = None
    level_means: npt.NDArray[np.float64] | None = None
    inverse_level_weights: npt.NDArray[np.float64] | None = None


@dataclass
class PassSettings:
    """What a partition's sums need beyond its rows (sent with each job)."""

    design: Design
    layout: _design.FrameLayout
    positive: Any
    fit_intercept: bool
    link: str
    starts: dict[int, int]
    beta: npt.NDArray[np.float64] | None = None
    with_statistics: bool = False
    kind: CovarianceType = NONROBUST  # the robust sums of the pass, if any
    inverse_information: npt.NDArray[np.float64] | None = None
    intercept_only: bool = False
    margins: bool = False
    levels: Levels | None = None
    n_obs: float = 0.0  # the weights' sum: a power by leverage's n (HC4: each row's min(4, n h / k))


def partition_blocks(table: Any, design: Design, layout: _design.FrameLayout) -> _design.Blocks:
    """A partition of the persisted design as the native fit's blocks, as
    _design.frame_blocks makes them of a frame in memory: the numeric
    columns as one dense run, then each categorical's codes of the levels
    the fit kept."""
    n = table.num_rows
    blocks: _design.Blocks = []
    position = {name: j for j, name in enumerate(design.numeric)}
    if layout.numeric:
        dense = np.empty((n, len(layout.numeric)), order="F")
        for k, name in enumerate(layout.numeric):
            dense[:, k] = _column(table, numeric_name(position[name]))
        blocks.append(_native.DenseBlock(values=dense))
    names = list(design.categories)
    for column in layout.categorical:
        table_of_codes = pd.Index(column.levels).get_indexer(design.categories[column.name]).astype(np.int32)
        codes = np.ascontiguousarray(table_of_codes[_column(table, codes_name(names.index(column.name)))])
        if column.multiplier is None:
            blocks.append(
                _native.CategoricalBlock(
                    codes=codes, n_levels=len(column.levels), drop_first=column.drop_first
                )
            )
        else:
            multiplier = np.ascontiguousarray(_column(table, numeric_name(position[column.multiplier])))
            blocks.append(
                _native.VaryingSlopeBlock(
                    codes=codes,
                    n_levels=len(column.levels),
                    drop_first=column.drop_first,
                    multiplier=multiplier,
                )
            )
    return blocks


def level_ranges(settings: PassSettings) -> list[tuple[int, int]]:
    """Where each categorical's parameters are among the coefficients."""
    start = int(settings.fit_intercept) + len(settings.layout.numeric)
    ranges = []
    for column in settings.layout.categorical:
        width = len(column.levels) - int(column.drop_first)
        ranges.append((start, start + width))
        start += width
    return ranges


def packed(A: npt.NDArray[np.float64], ranges: list[tuple[int, int]]) -> dict[str, Any]:
    """A (symmetric) as its structured blocks: the rows of the intercept and
    the numeric columns, each categorical's diagonal (a row has one level
    of it, so its block has nothing off the diagonal) and the cross blocks
    of the categoricals. A categorical of L levels travels as L numbers
    and its cross blocks, not as an L x L matrix."""
    first = ranges[0][0] if ranges else A.shape[0]
    return {
        "dense": np.ascontiguousarray(A[:first]),
        "diagonals": [np.diag(A[a:b, a:b]).copy() for a, b in ranges],
        "cross": [
            np.ascontiguousarray(A[a:b, c:d]) for i, (a, b) in enumerate(ranges) for c, d in ranges[i + 1 :]
        ],
    }


def unpacked(blocks: dict[str, Any], ranges: list[tuple[int, int]], q: int) -> npt.NDArray[np.float64]:
    """The q x q matrix of packed's blocks (its zeros exact, as the kernel
    leaves them)."""
    A = np.zeros((q, q))
    first = blocks["dense"].shape[0]
    A[:first] = blocks["dense"]
    A[first:, :first] = blocks["dense"][:, first:].T
    crosses = iter(blocks["cross"])
    for i, (a, b) in enumerate(ranges):
        A[a:b, a:b][np.diag_indices(b - a)] = blocks["diagonals"][i]
        for c, d in ranges[i + 1 :]:
            cross = next(crosses)
            A[a:b, c:d] = cross
            A[c:d, a:b] = cross.T
    return A


def partition_sums(table: Any, settings: PassSettings, partition: int) -> dict[str, Any]:
    """The native kernel on one partition, as on a Dask chunk: its share of
    A, b and, with statistics, of the deviance; with meat its robust sums
    (per clustering, its groups as (labels, sums) for merging by label)."""
    design = settings.design
    design_blocks: Any = (
        np.empty((table.num_rows, 0))
        if settings.intercept_only
        else partition_blocks(table, design, settings.layout)
    )
    labels = _column(table, LABEL)
    y01 = (labels == settings.positive).astype(np.float64)
    weights = np.ascontiguousarray(_column(table, WEIGHT), dtype=np.float64) if design.weights else None
    offset = np.ascontiguousarray(_column(table, OFFSET), dtype=np.float64) if design.offsets else None
    common: dict[str, Any] = {
        "fit_intercept": settings.fit_intercept,
        "with_statistics": settings.with_statistics,
        "offset": offset,
        "link": link_named(settings.link).native,
        "margins": settings.margins,
    }
    if settings.levels is not None:
        weights, common["levels"] = absorbed_levels(table, settings.levels, weights, settings.intercept_only)
    assert settings.beta is not None
    clusters = None
    if settings.kind.clustered:
        clusters = [_column(table, cluster_name(j)) for j in range(design.n_clusters)]
    sums = kernel_sums(
        design_blocks,
        y01,
        weights,
        settings.beta,
        kind=settings.kind,
        n_obs=settings.n_obs,
        inverse_information=settings.inverse_information,
        clusters=clusters,
        first_row=settings.starts.get(partition, 0),
        **common,
    )
    if not settings.kind.robust and settings.layout.categorical and not settings.intercept_only:
        sums["A"] = packed(sums["A"], level_ranges(settings))
    return sums


def absorbed_levels(
    table: Any, levels: Levels, weights: npt.NDArray[np.float64] | None, intercept_only: bool
) -> tuple[npt.NDArray[np.float64] | None, dict[str, Any] | None]:
    """A partition's weights with the rows of the separated levels at 0 (a
    copy; as in memory and on Dask), and the native kernel's levels: the
    rows' codes, coded afresh each pass (a hash of the labels, a few
    milliseconds beside the sums), with the plan's arrays. The null model
    has no levels."""
    codes = level_codes(table, levels.levels)
    if levels.separated is not None:
        weights = np.ones(len(codes)) if weights is None else weights.copy()
        weights[levels.separated[codes]] = 0.0
    if intercept_only:
        return weights, None
    return weights, native_levels(codes, len(levels.levels), levels)


class SparkPasses(PassesAfterTheLoop):
    """The source of the engine's loop: the normal equations at given
    coefficients, one Spark job per update over the keys of the persisted
    design's partitions (partitions: those with rows), each task reading
    its executor's copy of its partition; a second job over the persisted
    blobs of the partitions whose copy was missing."""

    def __init__(
        self, persisted: Any, settings: PassSettings, kind: CovarianceType, partitions: list[int]
    ) -> None:
        self.persisted = persisted
        self.partitions = partitions
        # Updates in a row whose every partition found no copy: at two, the
        # executors keep none (a disk they cannot write), and the updates
        # read the blobs at once rather than run a job for nothing first.
        self.updates_without_copies = 0
        self.settings = settings
        self.kind = kind
        self.inverse_information: npt.NDArray[np.float64] | None = None
        self._robust_total: dict[str, Any] | None = None
        self.n_groups: list[int] = []
        self.margins = False

    def run_sums(self, **changes: Any) -> Sums:
        return cast("Sums", self.run(**changes))

    def run(self, **changes: Any) -> dict[str, Any]:
        import dataclasses

        settings = dataclasses.replace(self.settings, **changes)
        task = _SumsTask(settings)
        parts: list[tuple[int, Any]] = []
        if self.updates_without_copies < 2:
            parts = partition_results(design_keys(self.persisted, self.partitions), task)
        found = {index for index, sums in parts if sums is not None}
        # The partitions whose task found no copy (or that no task answered for).
        missing = [index for index in self.partitions if index not in found]
        self.updates_without_copies = self.updates_without_copies + 1 if not found else 0
        if missing:
            parts = sorted(
                [part for part in parts if part[1] is not None]
                + partition_results(design_blobs(self.persisted, missing), task),
                key=lambda part: part[0],
            )
        total = added_sums([sums for _, sums in parts])
        if isinstance(total["A"], dict):
            total["A"] = unpacked(total["A"], level_ranges(settings), len(total["b"]))
        return total

    def __call__(
        self,
        beta: npt.NDArray[np.float64],
        with_statistics: bool,
        with_meat: bool = False,
        effects: npt.NDArray[np.float64] | None = None,
    ) -> Sums:
        robust = with_meat and self.kind.robust
        total = self.run(
            beta=np.asarray(beta, dtype=np.float64),
            with_statistics=with_statistics,
            kind=self.kind if robust else NONROBUST,
            inverse_information=self.inverse_information if robust else None,
            margins=self.margins,
        )
        if robust:
            self._robust_total = total
            if self.kind.clustered:
                self.n_groups = [len(labels) for labels, _ in total["groups"]]
        # What the engine reads of it (it copies each array into memory of
        # its own, whatever came back from the executors).
        return cast("Sums", total)

    def robust_pass(
        self, beta: npt.NDArray[np.float64], inverse_information: npt.NDArray[np.float64] | None
    ) -> Sums:
        if inverse_information is not None:
            self.inverse_information = np.asarray(inverse_information)
        return self(beta, False, True)

    def null_model(self, beta: npt.NDArray[np.float64], with_statistics: bool) -> Sums:
        return self.run_sums(
            beta=np.asarray(beta, dtype=np.float64),
            with_statistics=with_statistics,
            intercept_only=True,
            fit_intercept=True,
            margins=False,
        )

    @property
    def meats(self) -> list[npt.NDArray[np.float64]]:
        total = self._robust_total
        if total is None:
            return []
        if self.kind.clustered:
            return [sums.T @ sums for _, sums in total["groups"]]
        return [np.asarray(total["meat"])]


class _SumsTask:
    """partition_sums of a partition, with the partition's index (for the
    rows it names); a class, so that a job ships its settings once. Given
    the partition's key, it reads the executor's copy of the design (None
    without one); given its blobs, it decodes them and leaves the copy for
    the next job."""

    def __init__(self, settings: PassSettings) -> None:
        self.settings = settings

    def __call__(self, rows: Any) -> dict[str, Any] | None:
        from pyspark import TaskContext

        context = TaskContext.get()
        partition = 0 if context is None else context.partitionId()
        key = self.settings.design.key
        if BLOB in rows.column_names:
            table = design_table(rows)
            _executor_designs.store(key, partition, table)
        else:
            table = _executor_designs.load(key, partition)
            if table is None:
                return None
        return partition_sums(table, self.settings, partition)


class _Forget:
    """A task that removes the fit's copies on its executor."""

    def __init__(self, key: str) -> None:
        self.key = key

    def __call__(self, rows: Any) -> None:
        _executor_designs.forget(self.key)


@contextlib.contextmanager
def checked_design(persisted: Any, design: Design, column_names: dict[str, str]) -> Iterator[Checked]:
    """The first pass over the persisted design (its checks), and after the
    fit, however it ends, the executors' copies removed and the design
    unpersisted."""
    # The partitions whose copies the executors hold: none until the first
    # pass has made the design, every one if it then refuses the input.
    partitions: list[int] | None = []
    try:
        try:
            checked = first_pass(persisted, design, column_names)
        except ValueError:
            partitions = None
            raise
        partitions = checked.partitions
        yield checked
    finally:
        forget_copies(persisted, design, partitions)
        persisted.unpersist()


def forget_copies(persisted: Any, design: Design, partitions: list[int] | None) -> None:
    """The fit's copies of its partitions removed from the executors: one
    small job, each task on the executor that holds its partition (a copy
    an executor keeps beyond it goes when that executor next stores a fit's
    design, or with the application's files). Left to those if the job
    fails: the fit's results do not depend on it. partitions: None for all."""
    if partitions == []:
        return
    try:
        partition_results(design_keys(persisted, partitions), _Forget(design.key))
    except Exception:  # a clean-up: never the fit's error
        return


def fit_spark(spec: FitSpec) -> Fitted:
    """The fit of a formula's design on a Spark DataFrame: the design made
    and persisted, one job of checks, then the engine's loop with one job
    per update; the design is unpersisted after."""
    X, y, sample_weight, clusters, offset = spec.rows.unpacked()
    fit_intercept, tol, max_iter, progress = spec.fit_intercept, spec.tol, spec.max_iter, spec.progress
    # spec.observed is not read: the observed information (probit, cloglog)
    # is not formed on Spark yet, the covariance stays on the expected one,
    # and summary() says which.
    kind, penalty, link = spec.covariance, spec.penalty, spec.link.name
    if not isinstance(X, SparkFrames) or not isinstance(y, SparkFrames):
        raise ValueError(
            "a Spark DataFrame is fitted through a formula: LogisticRegression(formula='y ~ x1 + C(g)')"
            ".fit(df), or quorvi.logit('y ~ x1 + C(g)', df)."
        )
    check_cluster_arguments(kind, clusters)
    present = list(X.source.columns)
    cluster_names = None if clusters is None else _names(clusters, "clusters", present)
    if cluster_names is not None and len(cluster_names) not in (1, 2):
        raise ValueError(
            f"clusters must name one or two columns (one-way or two-way); it names {len(cluster_names)}."
        )
    column_names = {
        "sample_weight: missing or infinite": f"sample_weight column {sample_weight!r}",
        "sample_weight: negative": f"sample_weight column {sample_weight!r}",
        "offset": f"offset column {offset!r}",
        "labels": "the formula's left-hand side (the labels)",
        **{f"clusters {j}": f"clusters column {name!r}" for j, name in enumerate(cluster_names or [])},
    }
    persisted, design = persisted_design(X, y, sample_weight, offset, cluster_names)
    with checked_design(persisted, design, column_names) as checked:
        meta = X.meta
        with_categories = bool(design.categories)
        layout = _design.learn_layout(meta, fit_intercept, count_levels=False)
        if with_categories:
            layout = _design.keep_used_levels(layout, checked.used, fit_intercept)
            _design.check_system_fits(layout, fit_intercept)
        settings = PassSettings(
            design,
            layout,
            checked.classes[1],
            fit_intercept,
            link,
            checked.starts,
            n_obs=checked.n_obs,
        )
        passes = SparkPasses(persisted, settings, kind, checked.partitions)
        q = len(layout.parameter_names()) + int(fit_intercept)
        result = _native.fit_chunked(
            passes,
            n_coefficients=q,
            tol=tol,
            max_iter=max_iter,
            progress=progress,
            penalty=penalty,
            fit_intercept=fit_intercept,
            meat=kind.meat,
            offset=offset is not None,
            # The sums behind marginal_effects() without X, as on Dask: a
            # frame's categorical columns need every row for theirs.
            margins=not with_categories,
        )
    request = MeatRequest(kind, [(np.empty(0, np.int64), g) for g in passes.n_groups])
    if kind.clustered and result.robust is not None:
        check_cluster_count(request.n_groups)
    return Fitted(
        checked.classes,
        result,
        checked.n_obs,
        checked.weighted_positives,
        request,
        result.null_deviance,
        n_features=len(layout.columns),
        feature_names=np.asarray(layout.columns, dtype=object),
        layout=layout if with_categories else None,
        n_dropped_rows=checked.n_dropped,
    )


def absorbed_scores(*args: Any, **kwargs: Any) -> Any:
    raise ValueError(
        "the model was fitted with absorbed columns: its predictions take an in-memory or a Dask "
        "DataFrame, not a Spark one."
    )
