"""What every back end's source of passes over its chunks shares, whatever
runs the chunks (Dask, Spark): the passes the engine's plan asks for after
the loop, written once over the back end's own pass at given coefficients
(what a task does with its chunk is _chunk_sums'). Imports no back end."""

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
