"""What a fitted model computes for rows of X, on a NumPy array: the whole
of an in-memory X, or one chunk of a Dask array."""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt


def scores(
    X: npt.NDArray[np.float64], coef: npt.NDArray[np.float64], intercept: float
) -> npt.NDArray[np.float64]:
    """The linear predictor (log-odds of the second class) of every row."""
    result: npt.NDArray[np.float64] = X @ coef
    result += intercept
    return result


def probabilities(scores: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    """(n, 2): the probabilities of the first and the second class. scores is
    used as working memory."""
    # exp(-log(1 + exp(±s))): log(1 + exp(±s)) never overflows, and each
    # probability is computed directly rather than as 1 minus the other,
    # which would lose the smaller one to rounding. In place, so that the
    # result is the only large allocation.
    result = np.empty((len(scores), 2))
    np.logaddexp(0.0, scores, out=result[:, 0])
    np.negative(scores, out=scores)
    np.logaddexp(0.0, scores, out=result[:, 1])
    np.negative(result, out=result)
    np.exp(result, out=result)
    return result


def labels(scores: npt.NDArray[np.float64], classes: npt.NDArray[Any]) -> npt.NDArray[Any]:
    """The more probable of the two classes for every row."""
    chosen: npt.NDArray[Any] = classes[(scores > 0).astype(np.intp)]
    return chosen
