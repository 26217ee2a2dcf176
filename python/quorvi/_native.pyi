# Types of the compiled entry quorvi._native (src/native/). Its contract:
# X float64, 2-D, C- or F-contiguous at any alignment (read in place), or a list
# of column blocks (DenseBlock, CategoricalBlock, SparseBlock, VaryingSlopeBlock),
# dense ones first (src/bindings/design_blocks.hpp); y float64 1-D of 0.0 and
# 1.0; sample_weight None or float64 1-D, non-negative and finite. Anything
# else raises ValueError (TypeError for an item that is no block). Every
# option after the data is keyword-only.
from collections.abc import Callable
from typing import Any, ClassVar, Protocol, TypedDict

import numpy as np
import numpy.typing as npt

class Link:
    """The link of the binomial model (src/irls/links.hpp), one value per link."""

    __members__: ClassVar[dict[str, Link]]  # every link by name
    logit: ClassVar[Link]
    probit: ClassVar[Link]
    cloglog: ClassVar[Link]
    def __init__(self, value: int) -> None: ...
    def __eq__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...
    def __index__(self) -> int: ...
    def __int__(self) -> int: ...
    @property
    def name(self) -> str: ...
    @property
    def value(self) -> int: ...

class Meat:
    """The robust sums a pass forms beside the normal equations
    (src/irls/robust_sums.hpp), one value per kind."""

    __members__: ClassVar[dict[str, Meat]]  # every kind by name
    none: ClassVar[Meat]
    residual: ClassVar[Meat]  # HC0, HC1
    hat_adjusted: ClassVar[Meat]  # HC2, HC3, HC4 (with hat_power, and hat_rows for HC4)
    cluster: ClassVar[Meat]  # the cluster scores, one set per clustering
    def __init__(self, value: int) -> None: ...
    def __eq__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...
    def __index__(self) -> int: ...
    def __int__(self) -> int: ...
    @property
    def name(self) -> str: ...
    @property
    def value(self) -> int: ...

# The column blocks of a design, each holding the arrays it reads in place.
# A layout the kernel cannot read is refused when the block is made; the
# values (codes and column indices in range, a finite multiplier) each time
# a fit reads it.
class DenseBlock:
    """Dense columns: a 2-D float64 array in C or F order."""

    def __init__(self, values: npt.NDArray[np.float64]) -> None: ...
    @property
    def values(self) -> npt.NDArray[np.float64]: ...
    @property
    def n_rows(self) -> int: ...
    @property
    def n_cols(self) -> int: ...

class CategoricalBlock:
    """One column per level of int8, int16 or int32 codes in [0, n_levels),
    the first left out when drop_first."""

    def __init__(
        self, codes: npt.NDArray[np.signedinteger[Any]], n_levels: int, drop_first: bool
    ) -> None: ...
    @property
    def codes(self) -> npt.NDArray[np.signedinteger[Any]]: ...
    @property
    def n_levels(self) -> int: ...
    @property
    def drop_first(self) -> bool: ...
    @property
    def n_rows(self) -> int: ...
    @property
    def n_cols(self) -> int: ...  # n_levels - drop_first

class VaryingSlopeBlock:
    """A categorical's columns, each row's indicator times its finite
    float64 multiplier."""

    def __init__(
        self,
        codes: npt.NDArray[np.signedinteger[Any]],
        n_levels: int,
        drop_first: bool,
        multiplier: npt.NDArray[np.float64],
    ) -> None: ...
    @property
    def codes(self) -> npt.NDArray[np.signedinteger[Any]]: ...
    @property
    def n_levels(self) -> int: ...
    @property
    def drop_first(self) -> bool: ...
    @property
    def multiplier(self) -> npt.NDArray[np.float64]: ...
    @property
    def n_rows(self) -> int: ...
    @property
    def n_cols(self) -> int: ...

class SparseBlock:
    """CSR columns: float64 data, int32 indices (distinct and increasing
    within each row), int32 or int64 indptr of n_rows + 1."""

    def __init__(
        self,
        data: npt.NDArray[np.float64],
        indices: npt.NDArray[np.int32],
        indptr: npt.NDArray[np.int32] | npt.NDArray[np.int64],
        n_cols: int,
    ) -> None: ...
    @property
    def data(self) -> npt.NDArray[np.float64]: ...
    @property
    def indices(self) -> npt.NDArray[np.int32]: ...
    @property
    def indptr(self) -> npt.NDArray[np.int32] | npt.NDArray[np.int64]: ...
    @property
    def n_rows(self) -> int: ...
    @property
    def n_cols(self) -> int: ...

_Progress = Callable[[int, float, float, float, int], None]
_Design = npt.NDArray[np.float64] | list[DenseBlock | CategoricalBlock | SparseBlock | VaryingSlopeBlock]

class RobustSums:
    """A fit's robust sums at its last_pass_coefficients (FitResult.robust):
    read-only attributes; it pickles."""

    def __init__(self, *, meats: list[npt.NDArray[np.float64]], hat_one_rows: list[int]) -> None: ...
    @property
    def meats(self) -> list[npt.NDArray[np.float64]]: ...  # the meat, or one per clustering
    @property
    def hat_one_rows(self) -> list[int]: ...  # rows whose hat value is 1 (HC2/HC3)
    def replace(self, **changes: Any) -> RobustSums:
        """A copy with the given fields replaced (TypeError for no such field)."""

class AbsorbedEffects:
    """A fit's absorbed levels (FitResult.absorbed): read-only attributes;
    it pickles."""

    # the levels' effects at the final coefficients, and each level's sum
    # of s w in the last pass (0: no weight, no effect)
    @property
    def fixed_effects(self) -> npt.NDArray[np.float64]: ...
    @property
    def level_weights(self) -> npt.NDArray[np.float64]: ...
    # with further_codes only: the further columns' effects (stacked), and
    # the updates whose solve of them missed its tolerance (else 0)
    @property
    def further_effects(self) -> npt.NDArray[np.float64] | None: ...
    @property
    def further_unconverged(self) -> int: ...
    def replace(self, **changes: Any) -> AbsorbedEffects:
        """A copy with the given fields replaced (TypeError for no such field)."""

class FitResult:
    """What fit, fit_chunked and fit_chunked_absorbed return (built in one
    place, src/native/fit_result.cpp): read-only attributes; it pickles."""

    @property
    def coefficients(self) -> npt.NDArray[np.float64]: ...  # q values, the intercept first
    @property
    def iterations(self) -> int: ...
    @property
    def time(self) -> float: ...  # seconds in the loop
    @property
    def converged(self) -> bool: ...
    # (q, q), at the coefficients the last update started from
    @property
    def covariance(self) -> npt.NDArray[np.float64]: ...
    @property
    def deviance(self) -> float: ...  # at the same coefficients; NaN without an update
    # rows of positive weight fitted at exactly 0 or 1, same coefficients
    @property
    def boundary_rows(self) -> int: ...
    # the largest |ηᵢ| (offset and level effects in) of those rows, same
    # coefficients; NaN without an update, or where some ηᵢ is NaN
    @property
    def largest_predictor(self) -> float: ...
    @property
    def dropped(self) -> list[int]: ...  # coefficients held at 0 as linearly dependent
    @property
    def singular_solves(self) -> int: ...  # updates solved by least squares
    @property
    def passes(self) -> int: ...  # normal equations formed: one per update
    @property
    def deviances(self) -> npt.NDArray[np.float64]: ...  # per update, at the coefficients it started from
    @property
    def changes(self) -> npt.NDArray[np.float64]: ...  # per update, the largest coefficient change
    @property
    def halvings(self) -> int: ...  # passes re-formed at a halved step (counted in passes)
    # where covariance, deviance and the robust sums are evaluated
    @property
    def last_pass_coefficients(self) -> npt.NDArray[np.float64]: ...
    # the robust sums, where a covariance asked for them and the loop made
    # a pass without overflowing; None otherwise
    @property
    def robust(self) -> RobustSums | None: ...
    # coefficients whose row of the first system is not finite (then no update)
    @property
    def overflowed(self) -> list[int]: ...
    # the intercept-only model's deviance with the same offset, where the
    # fit plan fitted it (an offset beside an intercept); None otherwise
    @property
    def null_deviance(self) -> float | None: ...
    # a fit in memory, or chunked with margins=True: [Σ sᵢ, Σ sᵢ h'(ηᵢ), Σ sᵢ h''(ηᵢ) xᵢ (q values)]
    # over the rows, h the link's mean, at last_pass_coefficients; with absorb=, ηᵢ with the
    # row's level effects, and Σ sᵢ h'(ηᵢ) carried to the final fixed_effects (to first order)
    @property
    def margin_sums(self) -> npt.NDArray[np.float64] | None: ...
    # fit with absorbed= and fit_chunked_absorbed only; None otherwise
    @property
    def absorbed(self) -> AbsorbedEffects | None: ...
    def replace(self, **changes: Any) -> FitResult:
        """A copy with the given fields replaced (TypeError for no such field)."""

# (codes, n_groups): int64 codes in [0, n_groups), one per row.
_Clustering = tuple[npt.NDArray[np.int64], int]

class NormalEquations(TypedDict, total=False):
    """The sums over some rows at given coefficients; meat, groups and
    hat_one_rows only when robust sums were asked for."""

    A: npt.NDArray[np.float64]
    b: npt.NDArray[np.float64]
    deviance: float
    boundary_rows: int
    meat: npt.NDArray[np.float64]
    groups: list[Any]  # per clustering: (n_groups, q) sums (the Dask chunk task pairs them with labels)
    hat_one_rows: list[int]
    # with absorb= (the levels' sums): per level the weight and score, and
    # the (L, q) cross block with the columns
    level_weights: npt.NDArray[np.float64]
    level_scores: npt.NDArray[np.float64]
    level_cross: npt.NDArray[np.float64]
    # with margins=True: [Σ sᵢ, Σ sᵢ h'(ηᵢ), Σ sᵢ h''(ηᵢ) xᵢ (q values)], and with
    # absorb= per level Σ sᵢ h''(ηᵢ) over its rows
    margin_sums: npt.NDArray[np.float64]
    level_margin_curvature: npt.NDArray[np.float64]

class FitOptions:
    """The loop's options of fit."""

    def __init__(
        self,
        *,
        fit_intercept: bool,
        tol: float,
        max_iter: int,
        n_threads: int,
        penalty: float = 0.0,  # 1/C, 0 for none
        link: Link = ...,
    ) -> None: ...
    @property
    def fit_intercept(self) -> bool: ...
    @property
    def tol(self) -> float: ...
    @property
    def max_iter(self) -> int: ...
    @property
    def n_threads(self) -> int: ...
    @property
    def penalty(self) -> float: ...
    @property
    def link(self) -> Link: ...

class Covariance:
    """The robust sums fit forms after its loop."""

    def __init__(
        self,
        *,
        meat: Meat = ...,
        hat_power: float = 1.0,
        hat_rows: float = 0.0,  # HC4: n, and each row's power min(hat_power, n h / k)
        clusters: list[_Clustering] = ...,
        clusters_are_levels: bool = False,  # with absorbed and Meat.cluster: the clusters are the levels
    ) -> None: ...
    @property
    def meat(self) -> Meat: ...
    @property
    def hat_power(self) -> float: ...
    @property
    def hat_rows(self) -> float: ...
    @property
    def clusters(self) -> list[_Clustering]: ...
    @property
    def clusters_are_levels(self) -> bool: ...

class Absorbed:
    """The absorbed columns of fit: the first eliminated, the further solved for each update."""

    def __init__(
        self,
        *,
        codes: npt.NDArray[np.int32] | npt.NDArray[np.int64],
        n_levels: int,
        kept_levels: npt.NDArray[np.bool_] | None = None,
        further_codes: list[npt.NDArray[np.int32] | npt.NDArray[np.int64]] = ...,
        further_levels: list[int] = ...,
    ) -> None: ...
    @property
    def codes(self) -> npt.NDArray[np.int32] | npt.NDArray[np.int64]: ...
    @property
    def n_levels(self) -> int: ...
    @property
    def kept_levels(self) -> npt.NDArray[np.bool_] | None: ...
    @property
    def further_codes(self) -> list[npt.NDArray[np.int32] | npt.NDArray[np.int64]]: ...
    @property
    def further_levels(self) -> list[int]: ...

def fit(
    X: _Design,
    y: npt.NDArray[np.float64],
    sample_weight: npt.NDArray[np.float64] | None,
    *,
    options: FitOptions,
    covariance: Covariance = ...,
    absorbed: Absorbed | None = None,
    offset: npt.NDArray[np.float64] | None = None,
    progress: _Progress | None = None,
) -> FitResult: ...

class _ChunkedPasses(Protocol):
    """The passes of a fit over rows held elsewhere (quorvi._dask's
    NormalEquations): the fit plan calls them."""

    def __call__(
        self,
        beta: npt.NDArray[np.float64],
        with_statistics: bool,
        with_meat: bool = ...,
        effects: npt.NDArray[np.float64] | None = ...,
    ) -> NormalEquations: ...
    def robust_pass(
        self, beta: npt.NDArray[np.float64], inverse_information: npt.NDArray[np.float64] | None
    ) -> NormalEquations: ...
    def null_model(self, beta: npt.NDArray[np.float64], with_statistics: bool) -> NormalEquations: ...
    def form_margins(self) -> None: ...  # with margins=True: the passes from the next one on form them
    # the margin sums alone (with absorb=, the levels at effects)
    def margin_pass(
        self, beta: npt.NDArray[np.float64], effects: npt.NDArray[np.float64] | None = None
    ) -> NormalEquations: ...

class _ChunkedAbsorbedPasses(_ChunkedPasses, Protocol):
    """The passes of a fit with an absorbed column over rows held elsewhere:
    the robust pass also takes the levels' effects, their means of the
    columns ((L, q)) and, for hat values, their inverse weights."""

    def robust_pass(
        self,
        beta: npt.NDArray[np.float64],
        inverse_information: npt.NDArray[np.float64] | None,
        effects: npt.NDArray[np.float64] | None = None,
        level_means: npt.NDArray[np.float64] | None = None,
        inverse_level_weights: npt.NDArray[np.float64] | None = None,
    ) -> NormalEquations: ...

def fit_chunked(
    passes: _ChunkedPasses,
    *,
    n_coefficients: int,
    tol: float,
    max_iter: int,
    progress: _Progress | None = None,
    penalty: float = 0.0,
    fit_intercept: bool = False,
    meat: Meat = ...,
    offset: bool = False,
    margins: bool = False,
) -> FitResult: ...
def normal_equations(
    X: _Design,
    y: npt.NDArray[np.float64],
    sample_weight: npt.NDArray[np.float64] | None,
    beta: npt.NDArray[np.float64],
    *,
    fit_intercept: bool,
    with_statistics: bool,
    offset: npt.NDArray[np.float64] | None = None,
    covariance: Covariance = ...,
    inverse_information: npt.NDArray[np.float64] | None = None,
    link: Link = ...,
    levels: dict[str, Any] | None = None,
    margins: bool = False,
) -> NormalEquations: ...
def fit_chunked_absorbed(
    passes: _ChunkedAbsorbedPasses,
    *,
    n_coefficients: int,
    n_levels: int,
    tol: float,
    max_iter: int,
    progress: _Progress | None = None,
    offset: bool = False,
    meat: Meat = ...,
    margins: bool = False,
) -> FitResult: ...
def blas_threads() -> int: ...
