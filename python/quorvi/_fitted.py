"""What a fit hands the estimator, whichever data it ran on."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

if TYPE_CHECKING:
    from ._design import FrameLayout
    from ._native import FitResult
    from ._robust import MeatRequest
    from ._separation import Separation


@dataclass
class Fitted:
    """The native loop's result with the labels, weight sums and columns
    that the fit's results (_results.FitResults) are built from."""

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
    # X's columns as validate_data records them, and the layout of a
    # DataFrame with categorical columns (None for any other X).
    n_features: int = field(default=0, kw_only=True)
    feature_names: npt.NDArray[np.object_] | None = field(default=None, kw_only=True)
    layout: FrameLayout | None = field(default=None, kw_only=True)
    # Whether result's covariance is the inverse observed information (a
    # probit or cloglog fit; _information.py), not the engine's expected one.
    observed_information: bool = field(default=False, kw_only=True)
    # A formula's incomplete rows, when the back end's fit counted them
    # (Spark's first pass); None: the formula's learning did (_fit_spec).
    n_dropped_rows: int | None = field(default=None, kw_only=True)

    def __post_init__(self) -> None:
        if self.layout is not None:
            # A frame's columns as the layout learned them.
            self.n_features = len(self.layout.columns)
            self.feature_names = np.asarray(self.layout.columns, dtype=object)

    def parameter_names(self, fit_intercept: bool) -> list[str]:
        """The names of the parameters, in the order of the coefficients:
        the intercept first (when fitted), then the features by name (x0,
        x1, ... without names; a categorical's levels as "column[level]")."""
        if self.layout is not None:
            names = self.layout.parameter_names()
        elif self.feature_names is not None:
            names = list(self.feature_names)
        else:
            names = [f"x{i}" for i in range(self.n_features)]
        return ["intercept", *names] if fit_intercept else names


def weight_sums(
    y01: npt.NDArray[np.float64],
    weights: npt.NDArray[np.float64] | None,
    counted: npt.NDArray[np.bool_] | None = None,
) -> tuple[float, float]:
    """(n_obs, weighted_positives) of a 0/1 response and its weights, over
    the rows counted (None: all)."""
    if counted is not None:
        if weights is None:
            return float(np.count_nonzero(counted)), float(np.sum(y01, where=counted))
        weights = np.where(counted, weights, 0.0)
    if weights is None:
        return float(len(y01)), float(np.sum(y01))
    return float(np.sum(weights)), float(np.dot(weights, y01))
