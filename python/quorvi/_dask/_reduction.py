"""The source of each update's normal equations: the native kernel on
every row chunk where it lives, and a fixed-order tree of additions."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt
from dask.base import compute
from dask.delayed import Delayed, delayed

from .. import _design, _native
from .._design import FrameLayout
from .._validation import native_layout
from ._checks import checked_design
from ._input import RowChunks, chunk_name

if TYPE_CHECKING:
    from .._native import NormalEquations as Sums

# Partial sums added per reduction task: a tree of depth log16(chunks). Each
# level is a hop between workers and costs milliseconds on every update;
# the sums are q x q, so even 16 of them are small beside a chunk of X.
FAN_IN = 16


def chunk_sums(
    X: Any,
    y: Any,
    weights: Any,
    positive: Any,
    beta: npt.NDArray[np.float64],
    fit_intercept: bool,
    with_statistics: bool,
    check: tuple[int, int | None] | None,
    layout: FrameLayout | None = None,
) -> Sums:
    """The native kernel on one chunk: its share of A, b and, with
    statistics, of the deviance and the boundary rows. check, on the first
    pass, is the chunk's (index, first row): its X is checked before use."""
    y = np.asarray(y)
    design: Any
    if layout is not None:
        design = checked_frame(X, layout, len(y), check)
    else:
        X = np.asarray(X, dtype=np.float64) if check is None else checked_design(X, len(y), *check)
        design = native_layout(X)
    y01 = (y == positive).astype(np.float64)
    if weights is not None:
        weights = np.require(weights, dtype=np.float64, requirements=["C", "A"])
    return _native.normal_equations(design, y01, weights, beta, fit_intercept, with_statistics)


def checked_frame(
    X: Any, layout: FrameLayout, rows: int, check: tuple[int, int | None] | None
) -> _design.Blocks:
    """A partition of a Dask DataFrame as the native fit's blocks; on the
    first pass a problem names the chunk as well as the column."""
    try:
        if len(X) != rows:
            raise ValueError(
                f"Found input variables with inconsistent numbers of samples: [{len(X)}, {rows}]"
            )
        return _design.frame_blocks(X, layout, fitting=True)
    except ValueError as error:
        if check is None:
            raise
        raise ValueError(f"{chunk_name(check[0], check[1], len(X))}: {error}") from None


def add_sums(*parts: Sums) -> Sums:
    """The sums of parts, added left to right: the same order on every run."""
    first = parts[0]
    total: Sums = {
        "A": np.array(first["A"], copy=True),
        "b": np.array(first["b"], copy=True),
        "deviance": first["deviance"],
        "boundary_rows": first["boundary_rows"],
    }
    for part in parts[1:]:
        total["A"] += part["A"]
        total["b"] += part["b"]
        total["deviance"] += part["deviance"]
        total["boundary_rows"] += part["boundary_rows"]
    return total


def tree_sum(parts: list[Delayed]) -> Delayed:
    while len(parts) > 1:
        parts = [
            delayed(add_sums, pure=False)(*parts[first : first + FAN_IN])
            for first in range(0, len(parts), FAN_IN)
        ]
    return parts[0]


class NormalEquations:
    """The source of the engine's loop: sums the normal equations over all
    chunks at given coefficients, one graph per update. The first pass also
    checks the chunks and finds the classes and the weight sums, in the same
    graph, so that a fit makes one round trip to the cluster per update. Its
    checks of the labels read y alone; each chunk of X is checked by the task
    that sums it, so X is still read one chunk at a time."""

    def __init__(
        self, chunks: RowChunks, classes: Delayed, fit_intercept: bool, layout: FrameLayout | None = None
    ) -> None:
        self.chunks = chunks
        self.layout = layout
        # A Delayed until the first pass computes it, then the two labels.
        self.classes: Any = classes
        self.fit_intercept = fit_intercept
        self.n_obs = 0.0
        self.weighted_positives = 0.0

    def find_classes(self) -> None:
        """The classes and weight sums without a pass over X (for a fit that
        makes no update)."""
        if isinstance(self.classes, Delayed):
            ((self.classes, self.n_obs, self.weighted_positives),) = compute(self.classes)

    def __call__(self, beta: npt.NDArray[np.float64], with_statistics: bool) -> Sums:
        chunk_task = delayed(chunk_sums, pure=False)
        first_pass = isinstance(self.classes, Delayed)
        positive = self.classes[0][1] if first_pass else self.classes[1]
        chunks = self.chunks
        parts = [
            chunk_task(
                X,
                y,
                weights,
                positive,
                beta,
                self.fit_intercept,
                with_statistics,
                (index, start) if first_pass else None,
                self.layout,
            )
            for index, (X, y, weights, start) in enumerate(
                zip(chunks.X, chunks.y, chunks.weights, chunks.starts, strict=True)
            )
        ]
        if first_pass:
            total, (self.classes, self.n_obs, self.weighted_positives) = compute(
                tree_sum(parts), self.classes
            )
        else:
            (total,) = compute(tree_sum(parts))
        # What comes back from a worker may be read-only or unaligned: the
        # engine copies it element by element into memory of its own.
        result: Sums = total
        return result
