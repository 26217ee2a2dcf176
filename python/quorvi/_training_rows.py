"""The training rows a formula model keeps for marginal_effects() without
data: a variable's effect through the formula's transforms needs the rows
themselves, not sums of them.

Only a frame whose selected columns share their memory with the caller's
and cannot change under the model is kept: a pandas frame with
copy-on-write (pandas 3's default; a later write by the caller copies the
caller's column, not ours), a polars DataFrame or a pyarrow Table, which
are immutable. So keeping them copies no column. Weights and offsets given
as arrays are copied (one value per row). Anything else is not kept, and
marginal_effects() then asks for the data, as it does after the model is
pickled or copied: the rows are not part of the model's state."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

import numpy as np


@dataclass(frozen=True)
class TrainingRows:
    data: Any
    sample_weight: Any
    offset: Any

    def __reduce__(self) -> tuple[Any, tuple[()]]:
        # Pickled or deep-copied, a model leaves its training rows behind:
        # NoneType() is None, so the copy's field is None.
        return (type(None), ())


def kept_rows(data: Any, columns: list[str], sample_weight: Any, offset: Any) -> TrainingRows | None:
    """The rows of data (its columns named, those the formula and the
    arguments read), or None where keeping them would copy them or let them
    change."""
    selected = _shared_selection(data, columns)
    if selected is None:
        return None
    return TrainingRows(selected, _copied(sample_weight), _copied(offset))


def _copied(value: Any) -> Any:
    """A name or a scalar as it is; values per row as an array of our own."""
    if value is None or isinstance(value, str) or np.ndim(value) == 0:
        return value
    return np.array(value, copy=True)


def _shared_selection(data: Any, columns: list[str]) -> Any:
    module = type(data).__module__.split(".")[0]
    if module == "pandas":
        import pandas as pd

        copy_on_write = int(pd.__version__.split(".")[0]) >= 3 or pd.options.mode.copy_on_write is True
        if isinstance(data, pd.DataFrame) and copy_on_write:
            return data[columns]
        return None
    if module == "polars":
        import polars as pl

        return data.select(columns) if isinstance(data, pl.DataFrame) else None
    if module == "pyarrow":
        import pyarrow as pa

        return data.select(columns) if isinstance(data, pa.Table) else None
    return None
