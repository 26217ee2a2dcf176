"""What every back end's source of passes over its chunks shares, whatever
runs the chunks (Dask, Spark): the passes the engine's plan asks for after
the loop, written once over the back end's own pass at given coefficients.
Imports no back end."""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt


class PassesAfterTheLoop:
    """The plan's margin passes over a back end's chunks. A subclass is
    called as source(beta, with_statistics, with_meat) for one pass over all
    chunks, and forms the margin sums in it while margins is set."""

    margins: bool = False

    def __call__(self, beta: npt.NDArray[np.float64], with_statistics: bool, with_meat: bool = False) -> Any:
        raise NotImplementedError

    def form_margins(self) -> None:
        """The passes from the next one on also form the margin sums."""
        self.margins = True

    def margin_pass(self, beta: npt.NDArray[np.float64]) -> Any:
        """The margin sums at beta, in a pass after the loop."""
        kept = self.margins
        self.margins = True
        try:
            return self(beta, False, False)
        finally:
            self.margins = kept
