# Types of the compiled entry quorvi._native (src/native/). Its contract:
# X float64, 2-D, C- or F-contiguous at any alignment (read in place), or a list
# of column blocks ("dense", X) | ("categorical", codes, n_levels, drop_first) |
# ("sparse", data, indices, indptr, n_cols), dense ones first
# (src/bindings/design_blocks.hpp); y float64
# 1-D of 0.0 and 1.0; sample_weight None or float64 1-D, non-negative and
# finite. Anything else raises ValueError.
from collections.abc import Callable
from typing import Any, TypedDict

import numpy as np
import numpy.typing as npt

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

class NormalEquations(TypedDict):
    """The sums over some rows at given coefficients."""

    A: npt.NDArray[np.float64]
    b: npt.NDArray[np.float64]
    deviance: float
    boundary_rows: int

def fit(
    X: _Design,
    y: npt.NDArray[np.float64],
    sample_weight: npt.NDArray[np.float64] | None,
    fit_intercept: bool,
    tol: float,
    max_iter: int,
    n_threads: int,
    progress: _Progress | None,
) -> FitResult: ...
def fit_chunked(
    normal_equations: Callable[[npt.NDArray[np.float64], bool], NormalEquations],
    n_coefficients: int,
    tol: float,
    max_iter: int,
    progress: _Progress | None,
) -> FitResult: ...
def normal_equations(
    X: _Design,
    y: npt.NDArray[np.float64],
    sample_weight: npt.NDArray[np.float64] | None,
    beta: npt.NDArray[np.float64],
    fit_intercept: bool,
    with_statistics: bool,
) -> NormalEquations: ...
def blas_threads() -> int: ...
