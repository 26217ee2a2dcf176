"""The source of each update's normal equations: the native kernel on
every row chunk where it lives, and a fixed-order tree of additions."""

from __future__ import annotations

from dataclasses import dataclass, replace
from typing import TYPE_CHECKING, Any, cast

import numpy as np
import numpy.typing as npt
import pandas as pd
from dask.base import compute
from dask.delayed import Delayed, delayed

from .. import _absorb, _design, _native
from .._chunk_checks import checked_design, chunk_name
from .._chunk_sums import added_sums, kernel_sums, native_levels
from .._chunked_passes import PassesAfterTheLoop
from .._covariance_types import NONROBUST, CovarianceType
from .._design import FrameLayout
from .._further_levels import FurtherLevels, indicator_columns
from .._information import observed_information
from .._links import link_named
from .._validation import native_layout
from ._input import RowChunks

if TYPE_CHECKING:
    from .._native import NormalEquations as Sums

# Partial sums added per reduction task: a tree of depth log16(chunks). Each
# level is a hop between workers and costs milliseconds on every update;
# the sums are q x q, so even 16 of them are small beside a chunk of X.
FAN_IN = 16


@dataclass
class ChunkLevels:
    """What a chunk's sums with an absorbed column need beyond its rows: the
    number of levels, the levels' effects and, for the robust sums, each
    level's means of the columns ((L, q)) and, for hat values, each level's
    1 / D. Each is one key of the graph, which every chunk's task reads
    (sent to a worker once, not per task)."""

    n_levels: int
    effects: Any = None
    level_means: Any = None
    inverse_level_weights: Any = None


@dataclass
class ChunkMeat:
    """What a chunk's robust sums need beyond the normal equations."""

    kind: CovarianceType = NONROBUST
    inverse_information: npt.NDArray[np.float64] | None = None
    n_obs: float = 0.0  # the sum of the frequency weights, once known: a power by leverage's n


def chunk_sums(
    X: Any,
    y: Any,
    weights: Any,
    positive: Any,
    beta: npt.NDArray[np.float64],
    *,
    fit_intercept: bool,
    with_statistics: bool,
    check: tuple[int, int | None] | None,
    offset: Any = None,
    labels: list[Any] | None = None,
    meat: ChunkMeat | None = None,
    intercept_only: bool = False,
    first_row: int | None = None,
    layout: FrameLayout | None = None,
    link: str = "logit",
    level_codes: Any = None,
    levels: ChunkLevels | None = None,
    margins: bool = False,
    observed: bool = False,
    further: tuple[list[Any], FurtherLevels] | None = None,
    dummies: bool = False,
) -> Sums:
    """The native kernel on one chunk: its share of A, b and, with
    statistics, of the deviance and the boundary rows. check, on the first
    pass, is the chunk's (index, first row): its X is checked before use.
    With meat, the chunk's robust sums too: the meat, or per clustering the
    chunk's groups as (labels, sums) for merging by label. With level_codes (the
    chunk's absorbed levels, int32) and levels, each row's level effect is
    in its linear predictor, and the sums hold the levels' shares too. With
    margins, the sums of the average marginal effects ("margin_sums").
    With further (the chunk's codes of the absorbed columns after the first,
    and their indicators), the indicator columns come first in the design;
    with dummies, the categorical features are dense dummy columns."""
    y = np.asarray(y)
    design: Any
    if layout is not None:
        design = np.empty((len(y), 0)) if intercept_only else checked_frame(X, layout, len(y), check, dummies)
    else:
        if check is not None:
            X = checked_design(X, len(y), *check)
        elif not _design.is_sparse(X):
            X = np.asarray(X, dtype=np.float64)
        if intercept_only:
            design = np.empty((len(y), 0))
        elif _design.is_sparse(X):
            design = _design.csr_blocks(X)
        else:
            design = native_layout(X)
    if further is not None and not intercept_only:
        design = [_native.DenseBlock(values=indicator_columns(*further)), *design]
    y01 = (y == positive).astype(np.float64)
    if weights is not None:
        weights = np.require(weights, dtype=np.float64, requirements=["C", "A"])
    if offset is not None:
        offset = np.require(offset, dtype=np.float64, requirements=["C", "A"])
        if not np.isfinite(offset).all():
            raise ValueError("offset contains NaN or infinity: every row needs a finite offset.")
    if observed:
        # The observed information of the chunk's rows in place of A (probit
        # and cloglog: _information.py), added over the chunks as A is.
        information = observed_information(
            design, y01, weights, offset, beta, fit_intercept, link_named(link)
        )
        return {"A": information, "b": np.zeros(len(beta)), "deviance": 0.0, "boundary_rows": 0}
    absorbed = None
    if level_codes is not None and levels is not None:
        absorbed = native_levels(level_codes, levels.n_levels, levels)
    common: dict[str, Any] = {
        "fit_intercept": fit_intercept,
        "with_statistics": with_statistics,
        "offset": offset,
        "link": link_named(link).native,
        "margins": margins,
        "levels": absorbed,
    }
    if meat is None or not meat.kind.robust:
        return cast("Sums", kernel_sums(design, y01, weights, beta, **common))
    columns = None
    if meat.kind.clustered:
        columns = [np.asarray(column) for column in labels or []]
        if any(pd.isna(column).any() for column in columns):
            raise ValueError("clusters contains missing labels (NaN or None): every row needs a cluster.")
    sums = kernel_sums(
        design,
        y01,
        weights,
        beta,
        kind=meat.kind,
        n_obs=meat.n_obs,
        inverse_information=meat.inverse_information,
        clusters=columns,
        first_row=first_row or 0,
        **common,
    )
    return cast("Sums", sums)


def checked_frame(
    X: Any, layout: FrameLayout, rows: int, check: tuple[int, int | None] | None, dummies: bool = False
) -> _design.Blocks:
    """A partition of a Dask DataFrame as the native fit's blocks (with
    dummies, its categorical features as dense dummy columns, as the robust
    sums beside absorbed levels need them); on the first pass a problem
    names the chunk as well as the column."""
    try:
        if len(X) != rows:
            raise ValueError(
                f"Found input variables with inconsistent numbers of samples: [{len(X)}, {rows}]"
            )
        if not dummies:
            return _design.frame_blocks(X, layout, fitting=True)
        numeric, _ = _design.frame_columns(X, layout, fitting=True)
        return [
            *(_native.DenseBlock(values=run) for run in numeric),
            _native.DenseBlock(values=_absorb.dummy_columns(X, layout)),
        ]
    except ValueError as error:
        if check is None:
            raise
        raise ValueError(f"{chunk_name(check[0], check[1], len(X))}: {error}") from None


def tree_sum(parts: list[Delayed]) -> Delayed:
    while len(parts) > 1:
        parts = [
            delayed(added_sums, pure=False)(parts[first : first + FAN_IN])
            for first in range(0, len(parts), FAN_IN)
        ]
    return parts[0]


class NormalEquations(PassesAfterTheLoop):
    """The source of the engine's loop: sums the normal equations over all
    chunks at given coefficients, one graph per update. The first pass also
    checks the chunks and finds the classes and the weight sums, in the same
    graph, so that a fit makes one round trip to the cluster per update. Its
    checks of the labels read y alone; each chunk of X is checked by the task
    that sums it, so X is still read one chunk at a time."""

    def __init__(
        self,
        chunks: RowChunks,
        classes: Delayed,
        fit_intercept: bool,
        meat: ChunkMeat | None = None,
        layout: FrameLayout | None = None,
        link: str = "logit",
    ) -> None:
        self.chunks = chunks
        self.link = link
        self.layout = layout
        self.meat = meat or ChunkMeat()
        self.intercept_only = False
        # The robust sums of the latest pass that formed them, at its
        # coefficients (the engine's fit plan reads them from that pass's
        # result; meats forms them for the absorbed fit's own pass): the
        # groups per clustering and the rows whose hat value is 1.
        self._robust_total: Any = None
        self.n_groups: list[int] = []
        self.hat_one_rows: list[int] = []
        # A Delayed until the first pass computes it, then the two labels.
        self.classes: Any = classes
        self.fit_intercept = fit_intercept
        self.n_obs = 0.0
        self.weighted_positives = 0.0
        # An absorbed column: each chunk's codes (persisted) and its number
        # of levels; None for none.
        self.codes: list[Delayed] | None = None
        self.n_levels = 0
        # The absorbed columns after the first: each chunk's codes of them,
        # and their indicators (_further_levels); None for none.
        self.further_codes: list[list[Delayed]] | None = None
        self.further: FurtherLevels | None = None
        # Whether the categorical features enter the sums as dense dummy columns.
        self.dummies = False
        # A robust pass's levels, at the step the last update was solved from.
        self.level_means: npt.NDArray[np.float64] | None = None
        self.inverse_level_weights: npt.NDArray[np.float64] | None = None
        # Whether the passes form the margin sums (the engine's plan switches
        # them on for the passes predicted to be the last).
        self.margins = False
        # Whether the pass forms the observed information in place of A.
        self.observed = False

    def find_classes(self) -> None:
        """The classes and weight sums without a pass over X (for a fit that
        makes no update)."""
        if isinstance(self.classes, Delayed):
            ((self.classes, self.n_obs, self.weighted_positives, rows),) = compute(self.classes)
            self._learn_starts(rows)

    def __call__(
        self,
        beta: npt.NDArray[np.float64],
        with_statistics: bool,
        with_meat: bool = False,
        effects: npt.NDArray[np.float64] | None = None,
    ) -> Sums:
        """The sums at beta; with an absorbed column, with its levels at
        effects (and, in a pass of robust sums, at level_means)."""
        chunk_task = delayed(chunk_sums, pure=False)
        first_pass = isinstance(self.classes, Delayed)
        positive = self.classes[0][1] if first_pass else self.classes[1]
        chunks = self.chunks
        absorbed = self.codes is not None and not self.intercept_only
        levels = (
            delayed(
                ChunkLevels(
                    self.n_levels,
                    effects,
                    self.level_means if with_meat else None,
                    self.inverse_level_weights if with_meat else None,
                ),
                pure=True,
            )
            if absorbed
            else None
        )
        codes = self.codes if absorbed and self.codes is not None else [None] * len(chunks.X)
        further: list[Any] = [None] * len(chunks.X)
        if absorbed and self.further_codes is not None:
            indicators = delayed(self.further, pure=True)
            further = [(chunk_codes, indicators) for chunk_codes in self.further_codes]
        parts = [
            chunk_task(
                X,
                y,
                weights,
                positive,
                beta,
                fit_intercept=self.fit_intercept,
                with_statistics=with_statistics,
                check=(index, start) if first_pass else None,
                offset=offset,
                labels=labels if with_meat else None,
                meat=self.meat if with_meat else None,
                intercept_only=self.intercept_only,
                first_row=start,
                layout=self.layout,
                link=self.link,
                level_codes=chunk_codes,
                levels=levels,
                # Beside absorbed levels, formed with the normal equations
                # (not in the robust pass after the loop).
                margins=self.margins and not self.intercept_only and not (absorbed and with_meat),
                observed=self.observed,
                further=chunk_further,
                dummies=self.dummies,
            )
            for index, (X, y, weights, start, offset, labels, chunk_codes, chunk_further) in enumerate(
                zip(
                    chunks.X,
                    chunks.y,
                    chunks.weights,
                    chunks.starts,
                    chunks.offsets,
                    chunks.clusters,
                    codes,
                    further,
                    strict=True,
                )
            )
        ]
        if first_pass:
            total, (self.classes, self.n_obs, self.weighted_positives, rows) = compute(
                tree_sum(parts), self.classes
            )
            self._learn_starts(rows)
        else:
            (total,) = compute(tree_sum(parts))
        if with_meat and self.meat.kind.robust:
            self._keep_meat(total)
        # What comes back from a worker may be read-only or unaligned: the
        # engine copies it element by element into memory of its own.
        result: Sums = total
        return result

    def robust_pass(
        self,
        beta: npt.NDArray[np.float64],
        inverse_information: npt.NDArray[np.float64] | None,
        effects: npt.NDArray[np.float64] | None = None,
        level_means: npt.NDArray[np.float64] | None = None,
        inverse_level_weights: npt.NDArray[np.float64] | None = None,
    ) -> Sums:
        """The robust sums at beta, in a pass after the loop: for hat values
        with the inverse information of the loop's last pass. With an
        absorbed column, at the levels' effects, with their means of the
        columns and, for hat values, their inverse weights."""
        if inverse_information is not None:
            self.meat = replace(
                self.meat,
                inverse_information=inverse_information,
                n_obs=self.n_obs,
            )
        self.level_means, self.inverse_level_weights = level_means, inverse_level_weights
        return self(beta, False, True, effects)

    def observed_information(self, beta: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
        """The observed information at beta, in a pass after the loop."""
        self.observed = True
        try:
            information: npt.NDArray[np.float64] = np.asarray(self(beta, False, False)["A"])
            return information
        finally:
            self.observed = False

    def null_model(self, beta: npt.NDArray[np.float64], with_statistics: bool) -> Sums:
        """The normal equations of the intercept-only model at beta: the
        same rows, weights and offsets, the intercept alone."""
        kept = self.intercept_only, self.fit_intercept
        self.intercept_only = self.fit_intercept = True
        try:
            return self(beta, with_statistics, False)
        finally:
            self.intercept_only, self.fit_intercept = kept

    def _learn_starts(self, rows: list[int]) -> None:
        """Where each chunk starts, from the row counts of the first pass,
        where Dask did not know them: later passes then name the rows of X
        (rows whose hat value is 1) rather than rows within a chunk."""
        if None in self.chunks.starts:
            self.chunks.starts = [int(start) for start in np.cumsum([0, *rows[:-1]])]

    def _keep_meat(self, total: Any) -> None:
        self._robust_total = total
        if self.meat.kind.clustered:
            self.n_groups = [len(labels) for labels, _ in total["groups"]]
        self.hat_one_rows = list(total.get("hat_one_rows", []))

    @property
    def meats(self) -> list[npt.NDArray[np.float64]]:
        """The meats of the latest robust sums (one per clustering: U'U of
        its group scores); formed when read, since the engine's plan forms
        its own from the same sums."""
        total = self._robust_total
        if total is None:
            return []
        if self.meat.kind.clustered:
            return [sums.T @ sums for _, sums in total["groups"]]
        return [np.asarray(total["meat"])]
