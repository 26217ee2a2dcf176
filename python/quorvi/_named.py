"""Arguments by column name: sample_weight="w", offset="o" and
clusters="year" (or ["firm", "year"]) name columns of the frame X, in fit
and in every method that takes them. A column so named is no feature
(without a formula it leaves X before the design is read, as an absorbed
column does; a formula decides the features itself), and a model fitted
with an offset column reads it from every frame it predicts."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

import numpy as np

from ._backends import backend_of

# One message for every method that needs the rows' offsets (predictions,
# scores, tables and marginal effects): without them the model would
# predict as another model, one without the offset.
OFFSET_REQUIRED = (
    "the model was fitted with an offset: pass the rows' offsets (offset=, an array or the name of a "
    "column of X; offset=0 to take them as 0), so that the predictions are those of the fitted model."
)


def check_offset_given(fitted_with_offset: bool, offset: Any) -> None:
    """A ValueError when the model was fitted with an offset and none is given."""
    if offset is None and fitted_with_offset:
        raise ValueError(OFFSET_REQUIRED)


@dataclass(frozen=True)
class ArgumentColumns:
    """The columns of the training frame that fit's arguments named: the
    offset's (read again from every frame given to the fitted model), and
    those a frame given to the fitted model loses before its features are
    read. A formula picks its own variables, so a formula's model drops
    none."""

    offset: str | None = None
    not_features: tuple[str, ...] = ()
    formula: bool = False

    def prediction_rows(
        self, X: Any, offset: Any, fitted_with_offset: bool, sample_weight: Any = None
    ) -> tuple[Any, Any, Any]:
        """(X, offset, sample_weight) for a method of the fitted model:
        sample_weight and offset as given, or the values of the columns of X
        they name; without offset, the fit's offset column when X has it; and
        X without the columns so named (a ValueError when the model was
        fitted with an offset and none is there)."""
        named = list(self.not_features)
        if isinstance(sample_weight, str):
            named.append(sample_weight)
            sample_weight = column_of(X, sample_weight, "sample_weight")
        if isinstance(offset, str):
            named.append(offset)
            offset = column_of(X, offset, "offset")
        elif offset is None and self.offset is not None and _has_column(X, self.offset):
            offset = column_of(X, self.offset, "offset")
        check_offset_given(fitted_with_offset, offset)
        present = [] if self.formula else [name for name in dict.fromkeys(named) if _has_column(X, name)]
        return without_columns(X, present), offset, sample_weight


def _names_of(clusters: Any) -> list[str] | None:
    """clusters as the names of one or two columns, or None for labels."""
    if isinstance(clusters, str):
        return [clusters]
    if isinstance(clusters, list | tuple) and clusters and all(isinstance(name, str) for name in clusters):
        return list(clusters)
    return None


def names_in(sample_weight: Any, offset: Any, clusters: Any) -> list[str]:
    """The column names that sample_weight, offset and clusters give (those
    that are names)."""
    named = [value for value in (sample_weight, offset) if isinstance(value, str)]
    return named + (_names_of(clusters) or [])


def fit_arguments(
    data: Any,
    X: Any,
    sample_weight: Any,
    offset: Any,
    clusters: Any,
    *,
    absorbed: list[str],
    formula: bool,
) -> tuple[Any, Any, Any, Any, ArgumentColumns]:
    """(X, sample_weight, offset, clusters, columns) with the arguments that
    name columns of data (the frame fit was given) replaced by their values,
    and without a formula those columns dropped from X (data itself).
    Clusters that name absorbed columns only stay names: the absorbed fit
    reads its own levels as clusters."""
    cluster_names = _names_of(clusters)
    if cluster_names is not None and all(name in absorbed for name in cluster_names):
        cluster_names = None  # the absorbed fit's own
    named = [value for value in (sample_weight, offset) if isinstance(value, str)] + (
        [] if cluster_names is None else cluster_names
    )
    if not named:
        return X, sample_weight, offset, clusters, ArgumentColumns(formula=formula)
    if isinstance(sample_weight, str):
        sample_weight = column_of(data, sample_weight, "sample_weight")
    offset_name = offset if isinstance(offset, str) else None
    if offset_name is not None:
        offset = column_of(data, offset_name, "offset")
    if cluster_names is not None:
        for name in cluster_names:
            _check_column(data, name, "clusters")
        clusters = _label_columns(data, cluster_names)
    if formula:
        return X, sample_weight, offset, clusters, ArgumentColumns(offset_name, formula=True)
    dropped = tuple(dict.fromkeys(name for name in named if name not in absorbed))
    return (
        without_columns(X, list(dropped)),
        sample_weight,
        offset,
        clusters,
        ArgumentColumns(offset_name, dropped),
    )


def _frame_columns(X: Any) -> list[Any] | None:
    """The column names of a DataFrame (pandas, Dask, or another that
    narwhals reads), None for anything else."""
    import pandas as pd

    if isinstance(X, pd.DataFrame):
        return list(X.columns)
    backend = backend_of(X)
    if backend is not None:
        module = backend.module()
        return module.columns(X) if module.is_frame(X) else None
    from ._design import _other_frame

    frame = _other_frame(X)
    return None if frame is None else list(frame.columns)


def _has_column(X: Any, name: str) -> bool:
    columns = _frame_columns(X)
    return columns is not None and name in columns


def _check_column(X: Any, name: str, argument: str) -> None:
    columns = _frame_columns(X)
    if columns is None:
        raise ValueError(
            f"{argument}={name!r} names a column of X, but X is a {type(X).__name__}, not a DataFrame: "
            f"pass the values of {argument} instead."
        )
    if name not in columns:
        raise ValueError(f"{argument}={name!r} names a column that X does not have (its columns: {columns}).")


def column_of(X: Any, name: str, argument: str) -> Any:
    """The values of X's column name: a NumPy array, or a Dask Series for a
    Dask DataFrame (chunked as X's rows)."""
    import pandas as pd

    _check_column(X, name, argument)
    backend = backend_of(X)
    if backend is not None:
        return backend.module().column(X, name)
    if isinstance(X, pd.DataFrame):
        return X[name].to_numpy()
    from ._design import _other_frame

    frame = _other_frame(X)
    assert frame is not None
    return frame[name].to_numpy()


def _label_columns(X: Any, names: list[str]) -> Any:
    """Cluster labels from the columns names: one column's values, or a
    pandas DataFrame of two (each column keeping its own type of labels);
    for a Dask DataFrame, a Dask Series or DataFrame."""
    import pandas as pd

    backend = backend_of(X)
    if backend is not None:
        return backend.module().columns_of(X, names)
    values = [np.asarray(column_of(X, name, "clusters")) for name in names]
    if len(values) == 1:
        return values[0]
    return pd.DataFrame(dict(enumerate(values)))


def without_columns(X: Any, names: list[str]) -> Any:
    """The frame X without the columns names, of X's own library."""
    import narwhals as nw
    import pandas as pd

    if not names:
        return X
    if isinstance(X, pd.DataFrame):
        return X.drop(columns=names)
    backend = backend_of(X)
    if backend is not None:
        return backend.module().without_columns(X, names)
    from ._design import _other_frame

    frame = _other_frame(X)
    assert frame is not None
    return nw.to_native(frame.drop(names))
