# Types of the compiled entry quorvi._native (src/native/). Its contract:
# X float64, 2-D, C- or F-contiguous at any alignment (read in place), or a list
# of column blocks ("dense", X) | ("categorical", codes, n_levels, drop_first) |
# ("sparse", data, indices, indptr, n_cols) (indices int32, distinct and
# increasing within each row; indptr int32 or int64) |
# ("varying_slope", codes, n_levels, drop_first, multiplier) (a categorical's
# codes, each row's indicator times its finite float64 multiplier), dense ones first
# (src/bindings/design_blocks.hpp); y float64
# 1-D of 0.0 and 1.0; sample_weight None or float64 1-D, non-negative and
# finite. Anything else raises ValueError.
from collections.abc import Callable
from typing import Any, ClassVar, NotRequired, Protocol, TypedDict

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

_Progress = Callable[[int, float, float, float], None]
_Design = npt.NDArray[np.float64] | list[tuple[Any, ...]]

class FitResult(TypedDict):
    """What fit and fit_chunked return (built in one place, src/native/fit_result.cpp)."""

    coefficients: npt.NDArray[np.float64]  # q values, the intercept first
    iterations: int
    time: float  # seconds in the loop
    converged: bool
    covariance: npt.NDArray[np.float64]  # (q, q), at the coefficients the last update started from
    deviance: float  # at the same coefficients; NaN without an update
    boundary_rows: int  # rows of positive weight fitted at exactly 0 or 1, same coefficients
    dropped: list[int]  # coefficients held at 0 as linearly dependent
    singular_solves: int  # updates solved by least squares
    passes: int  # normal equations formed: one per update
    deviances: npt.NDArray[np.float64]  # per update, at the coefficients it started from
    changes: npt.NDArray[np.float64]  # per update, the largest coefficient change
    halvings: int  # passes re-formed at a halved step (counted in passes)
    last_pass_coefficients: npt.NDArray[np.float64]  # where covariance, deviance and meats are evaluated
    meats: list[npt.NDArray[np.float64]]  # the robust sums: one, or one per clustering
    hat_one_rows: list[int]  # rows whose hat value is 1 (HC2/HC3)
    overflowed: list[int]  # coefficients whose row of the first system is not finite (then no update)
    # the intercept-only model's deviance with the same offset, where the
    # fit plan fitted it (an offset beside an intercept); None otherwise
    null_deviance: float | None
    # fit of an in-memory X without absorb= only: [Σ sᵢ, Σ sᵢ h'(ηᵢ), Σ sᵢ h''(ηᵢ) xᵢ (q values)]
    # over the rows, h the link's mean, at last_pass_coefficients
    margin_sums: NotRequired[npt.NDArray[np.float64]]
    # fit with absorb= only: the levels' effects at the final coefficients,
    # and each level's sum of s w in the last pass (0: no weight, no effect)
    fixed_effects: NotRequired[npt.NDArray[np.float64]]
    level_weights: NotRequired[npt.NDArray[np.float64]]
    # fit_chunked_absorbed only: where a pass of robust sums is formed (the
    # coefficients and effects of the sums the last step was solved from,
    # and each level's means of the columns, (L, q))
    solved_coefficients: NotRequired[npt.NDArray[np.float64]]
    solved_effects: NotRequired[npt.NDArray[np.float64]]
    level_means: NotRequired[npt.NDArray[np.float64]]

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

def fit(
    X: _Design,
    y: npt.NDArray[np.float64],
    sample_weight: npt.NDArray[np.float64] | None,
    fit_intercept: bool,
    tol: float,
    max_iter: int,
    n_threads: int,
    progress: _Progress | None,
    offset: npt.NDArray[np.float64] | None = None,
    penalty: float = 0.0,
    meat: str = "none",
    hat_power: float = 1.0,
    clusters: list[_Clustering] = ...,
    link: Link = ...,
    absorb: npt.NDArray[np.int32] | None = None,
    n_levels: int = 0,
    kept_levels: npt.NDArray[np.bool_] | None = None,
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

def fit_chunked(
    passes: _ChunkedPasses,
    n_coefficients: int,
    tol: float,
    max_iter: int,
    progress: _Progress | None,
    penalty: float = 0.0,
    fit_intercept: bool = False,
    meat: str = "none",
    offset: bool = False,
) -> FitResult: ...
def normal_equations(
    X: _Design,
    y: npt.NDArray[np.float64],
    sample_weight: npt.NDArray[np.float64] | None,
    beta: npt.NDArray[np.float64],
    fit_intercept: bool,
    with_statistics: bool,
    offset: npt.NDArray[np.float64] | None = None,
    meat: str = "none",
    hat_power: float = 1.0,
    clusters: list[_Clustering] = ...,
    inverse_information: npt.NDArray[np.float64] | None = None,
    link: Link = ...,
    absorb: npt.NDArray[np.int32] | None = None,
    n_levels: int = 0,
    effects: npt.NDArray[np.float64] | None = None,
    level_means: npt.NDArray[np.float64] | None = None,
) -> NormalEquations: ...
def fit_chunked_absorbed(
    passes: _ChunkedPasses,
    n_coefficients: int,
    n_levels: int,
    tol: float,
    max_iter: int,
    progress: _Progress | None,
    offset: bool = False,
) -> FitResult: ...
def blas_threads() -> int: ...
