"""What a fit hands the estimator, whichever data it ran on."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

if TYPE_CHECKING:
    from ._native import FitResult
    from ._robust import MeatRequest
    from ._separation import Separation


@dataclass
class Fitted:
    """The native loop's result with the labels and weight sums the
    estimator's statistics need."""

    classes: npt.NDArray[Any]
    result: FitResult
    n_obs: float  # the sum of the frequency weights (the row count without weights)
    weighted_positives: float  # the same sum over the rows of classes[1]
    # What the robust covariance is formed from (None: the model-based one).
    meat_request: MeatRequest | None = None
    # The deviance of the null model when it has no closed form (an offset).
    null_deviance: float | None = None
    # What the separation check decided (None: not run; see _separation).
    separation: Separation | None = field(default=None, kw_only=True)


def weight_sums(y01: npt.NDArray[np.float64], weights: npt.NDArray[np.float64] | None) -> tuple[float, float]:
    """(n_obs, weighted_positives) of a 0/1 response and its weights."""
    if weights is None:
        return float(len(y01)), float(np.sum(y01))
    return float(np.sum(weights)), float(np.dot(weights, y01))
