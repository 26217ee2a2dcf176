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


def log_probabilities(scores: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    """(n, 2): the log-probabilities of the first and the second class,
    -log(1 + exp(±s)). scores is used as working memory."""
    # log(1 + exp(±s)) never overflows, and each log-probability is computed
    # directly from the score: log(expit(s)) = -log1p(exp(-s)) keeps its
    # accuracy where the probability itself rounds to 1 or underflows to 0.
    # In place, so that the result is the only large allocation.
    result = np.empty((len(scores), 2))
    np.logaddexp(0.0, scores, out=result[:, 0])
    np.negative(scores, out=scores)
    np.logaddexp(0.0, scores, out=result[:, 1])
    np.negative(result, out=result)
    return result


def probabilities(scores: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    """(n, 2): the probabilities of the first and the second class. scores is
    used as working memory."""
    # The exponential of each log-probability, computed directly rather than
    # as 1 minus the other, which would lose the smaller one to rounding.
    result = log_probabilities(scores)
    np.exp(result, out=result)
    return result


def labels(scores: npt.NDArray[np.float64], classes: npt.NDArray[Any]) -> npt.NDArray[Any]:
    """The more probable of the two classes for every row."""
    chosen: npt.NDArray[Any] = classes[(scores > 0).astype(np.intp)]
    return chosen
