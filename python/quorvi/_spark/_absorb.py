"""One absorbed column (the formula's ``| fe``) on a Spark DataFrame, as on
Dask: the first pass (the job that persists the design) also brings each
partition's levels of the column with their weight sums by outcome; the
driver adds them in partition order into the column's levels (sorted) and
finds those whose rows are all of one outcome (left out: weight 0). Then
the engine's absorbed loop asks for each update's sums: one job, whose
tasks code their rows among the levels and run the native chunk sums with
the levels' effects, returning the levels' weights, scores and (L, q) cross
block beside A and b. Several absorbed columns are refused before any job:
the others' level sums with the first column's levels are a block per
partition that the chunked sums do not form."""

from __future__ import annotations

import dataclasses
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt
import pandas as pd

from .. import _absorb, _design, _native
from .._covariance_types import NONROBUST, CovarianceType
from .._fitted import Fitted
from .._robust import MeatRequest, check_cluster_arguments, check_cluster_count
from ._fit import Levels, PassSettings, SparkPasses, checked_design
from ._frames import SparkFrames
from ._levels import LevelTotals
from ._persisted import _names, persisted_design

if TYPE_CHECKING:
    from .._fit_spec import FitSpec


SEVERAL_COLUMNS = (
    "a formula on a Spark DataFrame absorbs one column; {names} are several. Fit them in memory, or "
    "absorb the column of most levels and enter the others as C() terms."
)


def check_absorbed(names: list[str]) -> None:
    """Several absorbed columns refused, before the formula's first job."""
    if len(names) > 1:
        raise ValueError(SEVERAL_COLUMNS.format(names=names))


class AbsorbedPasses(SparkPasses):
    """The engine's absorbed loop's source: each pass at the coefficients
    and the levels' effects the plan gives, one Spark job."""

    def __init__(
        self, persisted: Any, settings: PassSettings, kind: CovarianceType, partitions: list[int]
    ) -> None:
        super().__init__(persisted, settings, kind, partitions)
        # A robust pass's levels, at the step the last update was solved from.
        self.level_means: npt.NDArray[np.float64] | None = None
        self.inverse_level_weights: npt.NDArray[np.float64] | None = None

    def __call__(
        self,
        beta: npt.NDArray[np.float64],
        with_statistics: bool,
        with_meat: bool = False,
        effects: npt.NDArray[np.float64] | None = None,
    ) -> Any:
        robust = with_meat and self.kind.robust
        assert self.settings.levels is not None
        levels = dataclasses.replace(
            self.settings.levels,
            effects=None if effects is None else np.asarray(effects, dtype=np.float64),
            level_means=self.level_means if robust else None,
            inverse_level_weights=self.inverse_level_weights if robust else None,
        )
        total = self.run(
            beta=np.asarray(beta, dtype=np.float64),
            with_statistics=with_statistics,
            kind=self.kind if robust else NONROBUST,
            inverse_information=self.inverse_information if robust else None,
            levels=levels,
            margins=False,
        )
        if robust:
            self._robust_total = total
            if self.kind.clustered:
                self.n_groups = [len(labels) for labels, _ in total["groups"]]
        return total

    def robust_pass(
        self,
        beta: npt.NDArray[np.float64],
        inverse_information: npt.NDArray[np.float64] | None,
        effects: npt.NDArray[np.float64] | None = None,
        level_means: npt.NDArray[np.float64] | None = None,
        inverse_level_weights: npt.NDArray[np.float64] | None = None,
    ) -> Any:
        if inverse_information is not None:
            self.inverse_information = np.asarray(inverse_information)
        self.level_means, self.inverse_level_weights = level_means, inverse_level_weights
        return self(beta, False, True, effects)


class _Without:
    """A partition's design frame without the absorbed column, which the
    persisted design carries as labels of its own (a class, so that a job
    ships it by value)."""

    def __init__(self, function: Any, name: str) -> None:
        self.function, self.name = function, name

    def __call__(self, part: pd.DataFrame) -> Any:
        return self.function(part).drop(columns=[self.name])


def fit_absorbed_spark(spec: FitSpec) -> _absorb.AbsorbedFit:
    """The fit of a formula's terms with its absorbed column eliminated, as
    _absorb.fit makes it in memory; every check that needs no job first."""
    X, y, sample_weight, clusters, offset = spec.rows.unpacked()
    absorb, kind, penalty, link = spec.absorb, spec.covariance, spec.penalty, spec.link
    tol, max_iter, progress = spec.tol, spec.max_iter, spec.progress
    names = _absorb.check_fit_arguments(absorb, penalty)
    check_absorbed(names)
    if not isinstance(X, SparkFrames) or not isinstance(y, SparkFrames):
        raise ValueError(
            "a Spark DataFrame's absorbed levels are its formula's '| fe' part: "
            "LogisticRegression(formula='y ~ x1 + x2 | firm').fit(df), or quorvi.logit('y ~ x1 + x2 | firm', df)."
        )
    (name,) = names
    check_cluster_arguments(kind, clusters)
    cluster_names = None if clusters is None else _names(clusters, "clusters", list(X.source.columns))
    if cluster_names is not None and len(cluster_names) not in (1, 2):
        raise ValueError(
            f"clusters must name one or two columns (one-way or two-way); it names {len(cluster_names)}."
        )
    rest = SparkFrames(X.source, _Without(X.function, name), X.meta.drop(columns=[name]))
    # The levels carry the intercept: the layout is learned with one (each
    # categorical's first level its reference), the sums made without it.
    layout = _design.learn_layout(rest.meta, True, count_levels=False)
    _absorb.check_robust_design(kind, layout, 1)
    _absorb.check_chunked_robust_design(kind, layout, "Spark DataFrame")
    _absorb.check_features(len(layout.parameter_names()))
    column_names = {
        "sample_weight: missing or infinite": f"sample_weight column {sample_weight!r}",
        "sample_weight: negative": f"sample_weight column {sample_weight!r}",
        "offset": f"offset column {offset!r}",
        "labels": "the formula's left-hand side (the labels)",
        "absorbed: missing": f"absorbed column {name!r}",
        "absorbed: not integers": f"absorbed column {name!r}",
        **{f"clusters {j}": f"clusters column {column!r}" for j, column in enumerate(cluster_names or [])},
    }
    persisted, design = persisted_design(rest, y, sample_weight, offset, cluster_names, absorbed=name)
    with checked_design(persisted, design, column_names) as checked:
        if design.categories:
            layout = _design.keep_used_levels(layout, checked.used, True)
            _design.check_system_fits(layout, True)
        q = len(layout.parameter_names())
        _absorb.check_features(q)
        positive = checked.classes[1]
        totals = LevelTotals.added(checked.levels, positive)
        total, positives = totals.total, totals.positives
        # The levels whose rows of positive weight are all of one outcome: their
        # rows are left out (weight 0), as in memory. With one column one round
        # settles it: the other levels' sums do not change.
        separated = (total > 0) & ((positives == 0) | (positives == total))
        if not (total[~separated] > 0).any():
            raise ValueError(_absorb.no_row_left([name]))
        n_obs = float(total[~separated].sum())
        settings = PassSettings(
            design,
            layout,
            positive,
            False,
            link.name,
            checked.starts,
            levels=Levels(totals.levels, separated if separated.any() else None),
            # The rows' weight, the levels left out apart.
            n_obs=n_obs,
        )
        passes = AbsorbedPasses(persisted, settings, kind, checked.partitions)
        # The engine's plan makes the robust pass after the loop, at the
        # coefficients and effects the last step was solved from.
        result = _native.fit_chunked_absorbed(
            passes,
            n_coefficients=q,
            n_levels=len(totals.levels),
            tol=tol,
            max_iter=max_iter,
            progress=progress,
            offset=offset is not None,
            meat=kind.meat,
        )
    request = MeatRequest(kind)
    if kind.robust and max_iter > 0 and not result.overflowed:
        request.clusters = [(np.empty(0, np.int64), g) for g in passes.n_groups]
        if kind.clustered:
            check_cluster_count(request.n_groups)

    column, intercept = _absorb.eliminated_column(name, totals.levels, result, int(separated.sum()))
    if separated.any():
        column = dataclasses.replace(column, limits=_absorb.limits_of(total, positives))
    # The levels nested in the clusters (the absorbed column's own, or
    # each level's rows in one cluster of either clustering) are no
    # parameters of the small-sample factor.
    nested = []
    if kind.clustered and any(
        clustering == name or totals.nested(j, separated) for j, clustering in enumerate(cluster_names or [])
    ):
        nested = [name]
    absorption = _absorb.Absorption([column], int(totals.counted[separated].sum()), nested)
    keep = ~separated
    fitted = Fitted(
        np.asarray(checked.classes),
        _absorb.cut_to_features(result, q),
        float(total[keep].sum()),
        float(positives[keep].sum()),
        meat_request=request,
        layout=layout,
        n_dropped_rows=checked.n_dropped,
    )
    fitted.null_deviance = result.null_deviance
    return _absorb.absorbed_fit(fitted, absorption, intercept, q)
