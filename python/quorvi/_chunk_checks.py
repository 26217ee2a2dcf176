"""What a chunked back end's first pass learns from every chunk's labels,
added over the chunks the same way whichever back end ran them (a Dask
chunk, a Spark partition): the two classes, and the weight sums the fit
needs. Imports no back end."""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

from ._validation import ONE_WEIGHTED_CLASS, one_class_message


def class_totals(
    labels: Sequence[npt.NDArray[Any]],
    weighted_labels: Sequence[npt.NDArray[Any]],
    label_weights: Sequence[npt.NDArray[np.float64]],
) -> tuple[npt.NDArray[Any], float, float]:
    """The two sorted labels over the chunks (each chunk's sorted labels,
    those of its rows of positive weight, and each label's weight sum), the
    sum of all weights and that of the second label's rows. Fewer than two
    labels, or fewer than two among the rows of positive weight, are the
    in-memory fit's ValueErrors; more than two the caller has refused, naming
    where they are."""
    seen = np.unique(np.concatenate(labels))
    if len(seen) < 2:
        raise ValueError(one_class_message(seen.tolist()))
    positive = np.unique(np.concatenate(weighted_labels))
    if len(positive) == 0:
        raise ValueError("Sample weights must contain at least one non-zero number.")
    if len(positive) < 2:
        raise ValueError(ONE_WEIGHTED_CLASS)
    n_obs = sum(float(weights.sum()) for weights in label_weights)
    positives = sum(
        float(weights[chunk == seen[1]].sum()) for chunk, weights in zip(labels, label_weights, strict=True)
    )
    return seen, n_obs, positives
