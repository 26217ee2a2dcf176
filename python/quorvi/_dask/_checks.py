"""The first update's checks of every chunk's labels and weights, in its
graph (the checks themselves: _chunk_checks)."""

from __future__ import annotations

from typing import Any

from dask.delayed import delayed

from .._chunk_checks import check_labels, classes


def found_classes(chunks: Any) -> Any:
    """A Delayed of classes() over the label checks of every chunk of y (and
    its weights): the classes, weight sums and row counts, computed in the
    graph of a fit's first pass."""
    check = delayed(check_labels, pure=False)
    checks = [
        check(y_chunk, weights, index, start)
        for index, (y_chunk, weights, start) in enumerate(
            zip(chunks.y, chunks.weights, chunks.starts, strict=True)
        )
    ]
    return delayed(classes, pure=False)(chunks.starts, checks)
