"""Robust covariances: what the native pass must sum for each covariance type,
the cluster labels and offsets checked and coded for it, and the sandwich
formed from its sums. The in-memory and the Dask fit share all of it."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any

import numpy as np
import numpy.typing as npt

from . import _caller, _native
from ._covariance_types import COVARIANCE_TYPES, CovarianceType

COV_TYPES = tuple(COVARIANCE_TYPES)


@dataclass
class MeatRequest:
    """What the native pass sums for a covariance type. clusters holds one
    (codes, n_groups) per clustering: one-way one; two-way A, B and their
    intersection, in that order."""

    kind: CovarianceType
    clusters: list[tuple[npt.NDArray[np.int64], int]] = field(default_factory=list)
    # One-way clusters that are the absorbed levels (by_levels): no codes of
    # their own, the engine's being the levels', and this many clusters (the
    # levels with rows of positive weight).
    by_levels: bool = False
    level_groups: int = 0

    @property
    def cov_type(self) -> str:
        return self.kind.name

    def native(self, n_obs: float, *, in_engine: bool = True) -> _native.Covariance:
        """The request of the native fit: these sums, HC4's n from n_obs;
        none when not in_engine (a covariance that Python forms after the
        fit from sums of its own)."""
        if not in_engine:
            return _native.Covariance()
        return self.kind.native(n_obs, self.clusters, clusters_are_levels=self.by_levels)

    @property
    def n_groups(self) -> list[int]:
        if self.by_levels:
            return [self.level_groups]
        return [groups for _, groups in self.clusters]


def meat_request(
    kind: CovarianceType, clusters: Any, n_rows: int, weights: npt.NDArray[Any] | None = None
) -> MeatRequest:
    """The sums of kind, with clusters (labels of n_rows rows, one or two
    columns of any hashable values) checked and coded 0..G-1 in order of first
    appearance. Only rows of positive weight (or True, for a bool per row)
    count towards G: a row of weight 0 is left out, as if it were not there.
    A ValueError names what is wrong."""
    request = MeatRequest(kind)
    check_cluster_arguments(kind, clusters)
    if not kind.clustered:
        return request
    columns = cluster_columns(clusters, n_rows)
    counted = None if weights is None else weights > 0
    if len(columns) == 1:
        request.clusters = [code_labels(columns[0], counted)]
    else:
        first, second = (code_labels(column, counted) for column in columns)
        # The intersection: the pairs of both labels, coded once more.
        pairs = first[0] * np.int64(second[1]) + second[0]
        request.clusters = [first, second, code_labels(pairs, counted)]
    check_cluster_count(request.n_groups)
    return request


def check_cluster_count(n_groups: list[int]) -> None:
    """Each of the clusterings (one-way, or two-way's first two) has at least
    two groups, as the factor G/(G - 1) needs."""
    if min(n_groups[:2]) < 2:
        raise ValueError(
            "clusters has a single cluster: a cluster-robust covariance needs at least two "
            "(it scales by G/(G - 1))."
        )


def check_cluster_arguments(kind: CovarianceType, clusters: Any) -> None:
    """clusters are given exactly when the covariance type is clustered."""
    if not kind.clustered and clusters is not None:
        raise ValueError(
            f"clusters were given but cov_type={kind.name!r}: clusters are used only with cov_type='cluster'."
        )
    if kind.clustered and clusters is None:
        raise ValueError("cov_type='cluster' needs fit(..., clusters=...): one or two labels per row.")


def cluster_columns(clusters: Any, n_rows: int) -> list[npt.NDArray[Any]]:
    """The one or two label columns of clusters, each of n_rows labels."""
    import pandas as pd

    if isinstance(clusters, pd.DataFrame):
        columns = [clusters.iloc[:, j].to_numpy() for j in range(clusters.shape[1])]
    elif isinstance(clusters, pd.Series):
        columns = [clusters.to_numpy()]
    else:
        array = np.asarray(clusters)
        if array.ndim == 1:
            columns = [array]
        elif array.ndim == 2:
            columns = [array[:, j] for j in range(array.shape[1])]
        else:
            raise ValueError(f"clusters must have one or two columns; it has {array.ndim} dimensions.")
    if len(columns) not in (1, 2):
        raise ValueError(
            f"clusters must have one or two columns (one-way or two-way); it has {len(columns)}."
        )
    for column in columns:
        if len(column) != n_rows:
            raise ValueError(f"clusters has {len(column)} labels; X has {n_rows} rows.")
        if pd.isna(column).any():
            raise ValueError("clusters contains missing labels (NaN or None): every row needs a cluster.")
    return columns


def factorized(labels: Any, counted: npt.NDArray[np.bool_] | None) -> tuple[npt.NDArray[np.int64], Any]:
    """(codes, uniques): labels (an array or a pandas Index) coded in order
    of first appearance among the counted rows (all when counted is None).
    A row not counted (weight 0) is coded 0: its score s r x is exactly 0,
    so it changes no group's sum, and a cluster of rows of weight 0 alone
    is no cluster in G/(G - 1), as when those rows are dropped."""
    import pandas as pd

    if counted is None:
        codes, uniques = pd.factorize(labels, sort=False)
        return np.ascontiguousarray(codes, dtype=np.int64), uniques
    codes = np.zeros(len(labels), dtype=np.int64)
    counted_codes, uniques = pd.factorize(labels[counted], sort=False)
    codes[counted] = counted_codes
    return codes, uniques


def code_labels(
    labels: npt.NDArray[Any], counted: npt.NDArray[np.bool_] | None = None
) -> tuple[npt.NDArray[np.int64], int]:
    """(codes, G): labels coded 0..G-1 (see factorized)."""
    codes, uniques = factorized(labels, counted)
    return codes, len(uniques)


def checked_offset(offset: Any, n_rows: int) -> npt.NDArray[np.float64] | None:
    """offset as a contiguous float64 vector of n_rows finite values (a
    scalar: the same for every row)."""
    if offset is None:
        return None
    if isinstance(offset, str):
        raise ValueError(f"offset={offset!r} names a column of X, but X is not a DataFrame.")
    if np.ndim(offset) == 0:
        # One offset for every row (offset=0: a model fitted with an offset
        # predicted, explicitly, without it).
        offset = np.full(n_rows, offset, dtype=np.float64)
    values = np.ascontiguousarray(np.asarray(offset, dtype=np.float64).reshape(-1))
    if np.ndim(offset) > 1 and np.shape(offset)[1:] != (1,) * (np.ndim(offset) - 1):
        raise ValueError("offset must be one value per row (1-D).")
    if len(values) != n_rows:
        raise ValueError(f"offset has {len(values)} values; X has {n_rows} rows.")
    if not np.isfinite(values).all():
        raise ValueError("offset contains NaN or infinity: every row needs a finite offset.")
    return values


def check_residual_degrees(kind: CovarianceType, n_obs: float, k: int) -> None:
    """HC1 and cluster scale by 1/(n - k), and HC2 to HC4 divide by 1 - h
    where the hat values average k/n: all need n > k, n the sum of the
    frequency weights. Weights that sum to k or less (normalised weights
    sum to 1) would give a covariance of 0, a negative one or a division by
    zero."""
    use = kind.uses_residual_degrees
    if use is not None and n_obs - k <= 0:
        raise ValueError(
            f"cov_type={kind.name!r} is undefined: n - k = {n_obs:.10g} - {k} <= 0, with n = {n_obs:.10g} "
            f"the sum of the frequency weights and k = {k} estimated parameters, and it {use}. "
            "Frequency weights count observations: scale them to the number of rows they stand for "
            "(weights that sum to 1 say there is one observation), or use HC0."
        )


def check_hat_values(hat_one_rows: list[int], cov_type: str) -> None:
    """HC2 to HC4 divide by 1 - h: a hat value of 1 leaves them undefined."""
    if hat_one_rows:
        shown = ", ".join(map(str, hat_one_rows[:10]))
        more = f" and {len(hat_one_rows) - 10} more" if len(hat_one_rows) > 10 else ""
        raise ValueError(
            f"cov_type={cov_type!r} is undefined: row(s) {shown}{more} have a hat value of 1 (each alone "
            f"determines its own fit), and {cov_type} divides by a power of 1 - h. Use HC0 or HC1."
        )


class CovarianceCorrectionWarning(UserWarning):
    """The two-way cluster covariance was not positive semi-definite and was
    corrected.

    V_A + V_B - V_(A and B) is a difference of matrices and can have
    negative eigenvalues (a negative variance of some combination of the
    coefficients), most often when a clustering has few clusters. As
    Cameron, Gelbach and Miller (2011) propose, the matrix is rebuilt from
    an eigen-decomposition with the negative eigenvalues set to 0: that of
    D^-1/2 V D^-1/2, D the diagonal of V_A + V_B + V_(A and B), so that the
    correction does not depend on the features' units (fixest decomposes V
    itself). ``clipped_eigenvalues_`` holds them and ``summary()`` says so.
    """


def robust_covariance(
    result: Any, request: MeatRequest, n_obs: float, k: int
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """The covariance of request.cov_type from a fit's result (its inverse
    information, meats and rows of hat value 1), after the checks that it
    is defined, and the negative eigenvalues set to 0 to make it positive
    semi-definite (a CovarianceCorrectionWarning: two-way clusters only);
    n_obs the sum of the frequency weights, k the estimated parameters."""
    check_residual_degrees(request.kind, n_obs, k)
    robust = result.robust
    check_hat_values(robust.hat_one_rows, request.cov_type)
    covariance, clipped = sandwich(result.covariance, robust.meats, request, n_obs, k)
    if len(clipped):
        _caller.warn(
            f"the two-way cluster covariance V_A + V_B - V_(A and B) is not positive semi-definite: "
            f"its eigenvalue(s) {', '.join(f'{value:.4g}' for value in clipped)} were set to 0 in the "
            "unit-free D^-1/2 V D^-1/2 (D the diagonal of V_A + V_B + V_(A and B)) and the matrix "
            "rebuilt, the correction of Cameron, Gelbach and Miller (2011); the standard errors "
            "and tests are those of the corrected matrix (see clipped_eigenvalues_). Negative "
            "eigenvalues are common when a clustering has few clusters.",
            CovarianceCorrectionWarning,
        )
    return covariance, clipped


# The most negative eigenvalue of a covariance in the scale of its parts
# (see without_negative_eigenvalues) that is taken for rounding: far above
# what sums of products in double precision leave, far below anything that
# changes a standard error.
ROUNDING_EIGENVALUE = 1e-10


def without_negative_eigenvalues(
    covariance: npt.NDArray[np.float64], parts: npt.NDArray[np.float64]
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """(covariance, clipped): covariance as it is when it is positive
    semi-definite, clipped empty; else rebuilt with its negative eigenvalues
    set to 0 (Cameron, Gelbach and Miller 2011), clipped those eigenvalues.

    Both the decision and the correction are made on C = D^-1/2 V D^-1/2,
    D the diagonal of parts (the sum of the positive semi-definite terms V
    was formed from), and the corrected V is D^1/2 Q max(L, 0) Q' D^1/2 from
    C = Q L Q'. C has the signs of V's eigenvalues (Sylvester) and does not
    depend on the units of the features: eigenvalues of V itself do, so
    clipping them would give a feature in thousands of dollars other
    standard errors than in dollars (fixest clips in the parameters' units).
    In C, rounding is told from a negative variance by ROUNDING_EIGENVALUE,
    and clipped holds C's eigenvalues, which are unit-free too."""
    no_eigenvalues = np.empty(0)
    if covariance.size == 0 or not np.isfinite(covariance).all():
        return covariance, no_eigenvalues
    diagonal = np.diag(parts)
    scale = np.sqrt(np.where(diagonal > 0, diagonal, 1.0))
    outer = np.outer(scale, scale)
    values, vectors = np.linalg.eigh(covariance / outer)
    if values[0] >= -ROUNDING_EIGENVALUE:
        return covariance, no_eigenvalues
    corrected = (vectors * np.maximum(values, 0.0)) @ vectors.T
    corrected = 0.5 * (corrected + corrected.T) * outer
    return corrected, values[values < 0]


def sandwich(
    bread: npt.NDArray[np.float64],
    meats: list[npt.NDArray[np.float64]],
    request: MeatRequest,
    n_obs: float,
    k: int,
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """The robust covariance B M B with its small-sample factors, and the
    eigenvalues set to 0 to make a two-way one positive semi-definite. bread
    is the inverse information (NaN for dropped parameters, which stay NaN);
    meats the native sums (one per clustering for cluster)."""
    clipped = np.empty(0)
    kind = request.kind
    if not kind.robust:
        return bread, clipped
    kept = ~np.all(np.isnan(bread), axis=0)
    B = bread[np.ix_(kept, kept)]

    def term(meat: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
        product = B @ meat[np.ix_(kept, kept)] @ B
        return np.asarray(0.5 * (product + product.T))

    if kind.clustered:
        assert kind.small_sample is not None
        common = kind.small_sample(n_obs, k)
        terms = [
            term(meat) * groups / (groups - 1.0) * common
            for meat, groups in zip(meats, request.n_groups, strict=True)
        ]
        if len(terms) == 1:
            kept_covariance = terms[0]
        else:
            # V_A + V_B - V_(A and B), each with its own G/(G - 1): a
            # difference, which need not be positive semi-definite.
            kept_covariance, clipped = without_negative_eigenvalues(
                terms[0] + terms[1] - terms[2], terms[0] + terms[1] + terms[2]
            )
    else:
        kept_covariance = term(meats[0])
        if kind.small_sample is not None:
            kept_covariance *= kind.small_sample(n_obs, k)
    covariance = np.full_like(bread, np.nan)
    covariance[np.ix_(kept, kept)] = kept_covariance
    return covariance, clipped
