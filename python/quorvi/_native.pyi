# Types of the compiled entry quorvi._native (src/estimator/). Its contract:
# X float64, 2-D, C- or F-contiguous at any alignment (read in place); y float64
# 1-D of 0.0 and 1.0; sample_weight None or float64 1-D, non-negative and
# finite. Anything else raises ValueError.
from collections.abc import Callable
from typing import Any

import numpy as np
import numpy.typing as npt

def fit(
    X: npt.NDArray[np.float64],
    y: npt.NDArray[np.float64],
    sample_weight: npt.NDArray[np.float64] | None,
    fit_intercept: bool,
    tol: float,
    max_iter: int,
    n_threads: int,
    progress: Callable[[int, float, float, float], None] | None,
) -> dict[str, Any]: ...
def blas_threads() -> int: ...
def normal_equations(
    X: npt.NDArray[np.float64],
    y: npt.NDArray[np.float64],
    sample_weight: npt.NDArray[np.float64] | None,
    beta: npt.NDArray[np.float64],
    fit_intercept: bool,
    with_statistics: bool,
) -> dict[str, Any]: ...
def irls_update(
    A: npt.NDArray[np.float64], b: npt.NDArray[np.float64], beta: npt.NDArray[np.float64], tol: float
) -> tuple[npt.NDArray[np.float64], bool, float]: ...
def covariance(fisher_information: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]: ...
