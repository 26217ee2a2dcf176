"""The covariance types, one record each, and their registry.

A record says what a fit needs for its type: the rule by which each row
enters the meat (the engine's per-row sums: none, the residual's sᵢ rᵢ² xᵢxᵢᵀ,
that divided by a power of 1 - hᵢ, or the rows' scores summed per cluster),
whether that rule reads the bread in the pass (the hat values), the
small-sample factor on the sandwich, and whether it is clustered (each
clustering's G/(G - 1), the clusters given with the rows). Every back end
and the sandwich read these fields, never the type's name, so a new type is
its record here, its line in the estimator's docstring, and, when no per-row
rule of the engine serves, one sum unit there."""

from __future__ import annotations

from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Any

from . import _native
from ._native import Meat


@dataclass(frozen=True)
class CovarianceType:
    name: str
    # The engine's per-row sums of the meat.
    meat: Meat = Meat.none
    # The power of 1 - hᵢ that divides a row's share of a hat-adjusted meat.
    hat_power: float = 1.0
    # Each row's power is its own, min(hat_power, n hᵢ / k) (Cribari-Neto
    # 2004): the pass is given n, the frequency weights' sum, and the engine
    # counts k, the trace of the hat matrix.
    power_by_leverage: bool = False
    # The factor on B M B, of n (the frequency weights' sum) and k (the
    # estimated parameters); None for none. A clustered type's factor is
    # the common one, beside each clustering's G/(G - 1).
    small_sample: Callable[[float, int], float] | None = None
    # What the type does with n - k, for the message that refuses n - k <= 0;
    # None when it needs no n > k.
    uses_residual_degrees: str | None = None

    @property
    def robust(self) -> bool:
        """A sandwich: the passes sum a meat."""
        return self.meat != Meat.none

    @property
    def needs_hat_values(self) -> bool:
        """Its meat divides by 1 - hᵢ: the pass that sums it reads the bread."""
        return self.meat == Meat.hat_adjusted

    @property
    def clustered(self) -> bool:
        """Its meat is that of clusters' scores, fit(..., clusters=...) given."""
        return self.meat == Meat.cluster

    def hat_rows(self, n_obs: float) -> float:
        """What the native pass takes as hat_rows: n_obs, the sum of the
        frequency weights, for a power by leverage; 0 for none."""
        return n_obs if self.power_by_leverage else 0.0

    def native(
        self, n_obs: float, clusters: Sequence[tuple[Any, int]] = (), *, clusters_are_levels: bool = False
    ) -> _native.Covariance:
        """The native passes' request of these sums: n_obs the sum of the
        frequency weights (a power by leverage's n), clusters one (int64
        codes, number of groups) per clustering."""
        return _native.Covariance(
            meat=self.meat,
            hat_power=self.hat_power,
            hat_rows=self.hat_rows(n_obs),
            clusters=list(clusters),
            clusters_are_levels=clusters_are_levels,
        )


COVARIANCE_TYPES: dict[str, CovarianceType] = {}


def register(kind: CovarianceType) -> CovarianceType:
    COVARIANCE_TYPES[kind.name] = kind
    return kind


def covariance_type(name: str) -> CovarianceType:
    """The record of cov_type name (validated by the estimator's parameters)."""
    return COVARIANCE_TYPES[name]


def _residual_degrees(n_obs: float, k: int) -> float:
    return n_obs / (n_obs - k)


def _clusters_residual_degrees(n_obs: float, k: int) -> float:
    return (n_obs - 1.0) / (n_obs - k)


_DIVIDES_BY_ONE_LESS_HAT = "divides by 1 - h, and the hat values of n observations average k/n >= 1"

NONROBUST = register(CovarianceType("nonrobust"))
register(CovarianceType("HC0", Meat.residual))
register(
    CovarianceType(
        "HC1", Meat.residual, small_sample=_residual_degrees, uses_residual_degrees="scales HC0 by n/(n - k)"
    )
)
register(CovarianceType("HC2", Meat.hat_adjusted, 1.0, uses_residual_degrees=_DIVIDES_BY_ONE_LESS_HAT))
register(CovarianceType("HC3", Meat.hat_adjusted, 2.0, uses_residual_degrees=_DIVIDES_BY_ONE_LESS_HAT))
register(
    CovarianceType(
        "HC4", Meat.hat_adjusted, 4.0, power_by_leverage=True, uses_residual_degrees=_DIVIDES_BY_ONE_LESS_HAT
    )
)
register(
    CovarianceType(
        "cluster",
        Meat.cluster,
        small_sample=_clusters_residual_degrees,
        uses_residual_degrees="scales by (n - 1)/(n - k)",
    )
)
