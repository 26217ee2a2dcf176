"""What every back end's source of passes over its chunks shares, whatever
runs the chunks (Dask, Spark): the passes the engine's plan asks for after
the loop, written once over the back end's own pass at given coefficients,
and a chunk's cluster labels coded for the native sums. Imports no back
end."""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt


class PassesAfterTheLoop:
    """The plan's margin passes over a back end's chunks. A subclass is
    called as source(beta, with_statistics, with_meat, effects) for one pass
    over all chunks (effects: an absorbed column's levels' effects, or
    None), and forms the margin sums in it while margins is set."""

    margins: bool = False

    def __call__(
        self,
        beta: npt.NDArray[np.float64],
        with_statistics: bool,
        with_meat: bool = False,
        effects: npt.NDArray[np.float64] | None = None,
    ) -> Any:
        raise NotImplementedError

    def form_margins(self) -> None:
        """The passes from the next one on also form the margin sums."""
        self.margins = True

    def margin_pass(
        self, beta: npt.NDArray[np.float64], effects: npt.NDArray[np.float64] | None = None
    ) -> Any:
        """The margin sums at beta (with an absorbed column, its levels at
        effects), in a pass after the loop."""
        kept = self.margins
        self.margins = True
        try:
            return self(beta, False, False, effects)
        finally:
            self.margins = kept


def chunk_clusterings(
    columns: list[Any], weights: npt.NDArray[np.float64] | None
) -> tuple[list[tuple[npt.NDArray[np.int64], int]], list[Any]]:
    """A chunk's cluster labels (one or two columns) coded for the native
    cluster sums: per clustering (the columns', and for two their pairs) the
    chunk's codes with their count, and the labels they stand for, which
    the reduction merges by label across chunks. Groups of rows of weight 0
    alone are no clusters (as in memory)."""
    import pandas as pd

    from ._robust import factorized

    keys: list[Any] = [pd.Index(column) for column in columns]
    if len(columns) == 2:
        keys.append(pd.MultiIndex.from_arrays(columns))
    counted = None if weights is None else weights > 0
    codes: list[tuple[npt.NDArray[np.int64], int]] = []
    uniques: list[Any] = []
    for key in keys:
        chunk_codes, chunk_uniques = factorized(key, counted)
        codes.append((chunk_codes, max(len(chunk_uniques), 1)))
        uniques.append(chunk_uniques)
    return codes, uniques
