"""pandas DataFrames with categorical columns and scipy.sparse matrices as the
native fit reads them: a list of column blocks (src/bindings/design_blocks.hpp),
each read in place, never a one-hot or dense copy of X.

A DataFrame's numeric columns come first, in the frame's order, as dense
blocks (one per run of float64 columns that lie side by side in one pandas
block, so a consolidated frame is one block read in place; a column of
another numeric dtype is converted alone). Its categorical and string
columns follow, in the frame's order, each as its integer codes. The
parameters, and so ``coef_`` and ``coef_table()``, are in that order: the
intercept, the numeric columns, then the levels ``column[level]`` of each
categorical.

Coding is reference coding, as R's ``model.matrix`` makes it: with an
intercept, the first level of every categorical is the reference (no
parameter); without one, the first categorical keeps all its levels and the
others drop their first.

A CSR matrix is read in place (its indptr as int32 or int64, its indices as
int32: indices of int64 are copied once, nnz integers); a CSC matrix, or any other format, is converted to CSR once (a
copy of its nonzeros, nnz × 12 bytes plus the row pointers), and a matrix
with duplicate or unsorted indices is copied once into canonical form.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt
from scipy import sparse

if TYPE_CHECKING:
    import pandas as pd

# What quorvi._native takes for X: an array, or a list of block tuples.
Blocks = list[tuple[Any, ...]]


@dataclass(frozen=True)
class CategoricalColumn:
    """A categorical column as the fit learned it: its levels in code order,
    and whether the first is the reference level (no parameter)."""

    name: str
    levels: npt.NDArray[Any]
    drop_first: bool

    def parameter_names(self) -> list[str]:
        return [f"{self.name}[{level}]" for level in self.levels[int(self.drop_first) :]]


@dataclass(frozen=True)
class FrameLayout:
    """How a DataFrame's columns become parameters: learned in fit, applied
    to every frame given to the fitted model."""

    columns: list[str]  # all, in the frame's order
    numeric: list[str]  # in the frame's order
    categorical: list[CategoricalColumn]

    def parameter_names(self) -> list[str]:
        return [*self.numeric, *(name for column in self.categorical for name in column.parameter_names())]


def _pandas() -> Any:
    import pandas as pd

    return pd


def is_frame_with_categories(X: Any) -> bool:
    """True for a pandas DataFrame with at least one column that is not
    numeric (categorical, string or another dtype, which fit then refuses
    by name). An all-numeric frame takes the array path, as before."""
    import sys

    pd = sys.modules.get("pandas")
    if pd is None or not isinstance(X, pd.DataFrame):
        return False
    return any(not _is_numeric(dtype) for dtype in X.dtypes)


def is_numeric_dtype(dtype: Any) -> bool:
    """True for the dtypes read as numbers (bool included)."""
    return _is_numeric(dtype)


def _is_numeric(dtype: Any) -> bool:
    pd = _pandas()
    return bool(pd.api.types.is_numeric_dtype(dtype)) and not isinstance(dtype, pd.CategoricalDtype)


def _is_text(dtype: Any) -> bool:
    pd = _pandas()
    return bool(pd.api.types.is_string_dtype(dtype)) or dtype == np.dtype(object)


def learn_layout(X: pd.DataFrame, fit_intercept: bool) -> FrameLayout:
    """The layout of a frame passed to fit: which columns are numeric and
    the levels of the others. ValueError, naming the column, for a dtype
    that is neither numeric, categorical nor string, and for a categorical
    with fewer than two levels."""
    pd = _pandas()
    columns = list(X.columns)
    if not all(isinstance(name, str) for name in columns):
        raise ValueError("a DataFrame with categorical or string columns must have string column names")
    if len(set(columns)) != len(columns):
        raise ValueError("the DataFrame's column names must be unique")
    numeric: list[str] = []
    categorical: list[CategoricalColumn] = []
    for name in columns:
        dtype = X[name].dtype
        if _is_numeric(dtype):
            numeric.append(name)
            continue
        if isinstance(dtype, pd.CategoricalDtype):
            levels = np.asarray(dtype.categories, dtype=object)
        elif _is_text(dtype):
            # Read as categories, as R and statsmodels' formulas read
            # strings: the sorted distinct values (missing ones left out
            # here, and refused below with their row).
            levels = np.asarray(pd.Categorical(X[name]).categories, dtype=object)
        else:
            raise ValueError(
                f"column {name!r} has dtype {dtype}, which is neither numeric, categorical nor string: "
                "convert it (for example to a number or to pandas' category dtype) before fitting."
            )
        if len(levels) < 2:
            only = f" ({levels[0]!r})" if len(levels) else ""
            raise ValueError(
                f"categorical column {name!r} has only one level{only}: it is constant, so it cannot "
                "be estimated beside the others; leave it out."
            )
        drop_first = fit_intercept or bool(categorical)
        categorical.append(CategoricalColumn(name, levels, drop_first))
    return FrameLayout(columns, numeric, categorical)


def check_columns(X: pd.DataFrame, layout: FrameLayout) -> None:
    """A frame given to the fitted model has the columns it was fitted on."""
    if list(X.columns) != layout.columns:
        raise ValueError(
            f"X has columns {list(X.columns)}, but the model was fitted on a DataFrame with columns "
            f"{layout.columns} (same names, same order)."
        )


def _numeric_column(X: pd.DataFrame, name: str) -> npt.NDArray[np.float64]:
    """A numeric column as float64: a view of the frame's memory when it is
    float64 already, else a converted copy of this column alone."""
    series = X[name]
    if series.isna().any():
        row = int(np.argmax(series.isna().to_numpy()))
        raise ValueError(f"column {name!r} has a missing value (row {row}).")
    values: npt.NDArray[np.float64] = series.to_numpy(dtype=np.float64, copy=False)
    if not np.isfinite(values).all():
        row = int(np.argmin(np.isfinite(values)))
        raise ValueError(f"column {name!r} has an infinite value (row {row}).")
    return values


def _dense_runs(columns: list[npt.NDArray[np.float64]]) -> list[npt.NDArray[np.float64]]:
    """The columns as (n, k) views: neighbouring columns that lie one after
    another in memory (a pandas block holds its columns so) become one
    F-ordered view of that memory, read by the kernel eight at a time."""
    runs: list[npt.NDArray[np.float64]] = []
    start = 0
    for end in range(1, len(columns) + 1):
        if end < len(columns):
            previous, current = columns[end - 1], columns[end]
            n = len(previous)
            if (
                previous.flags.c_contiguous
                and current.flags.c_contiguous
                and current.__array_interface__["data"][0] == previous.__array_interface__["data"][0] + 8 * n
            ):
                continue
        first = columns[start]
        if end - start == 1:
            runs.append(first.reshape(-1, 1))
        else:
            n = len(first)
            runs.append(
                np.lib.stride_tricks.as_strided(
                    first, shape=(n, end - start), strides=(8, 8 * n), writeable=False
                )
            )
        start = end
    return runs


def _codes(X: pd.DataFrame, column: CategoricalColumn, fitting: bool) -> npt.NDArray[Any]:
    """The column's codes against the learned levels (the Categorical's own
    codes, in place, when its categories are those levels). ValueError
    naming the column and the value for a missing value or an unseen level."""
    pd = _pandas()
    series = X[column.name]
    dtype = series.dtype
    levels = pd.Index(column.levels)
    if isinstance(dtype, pd.CategoricalDtype):
        own = series.cat.codes.to_numpy()
        if np.array_equal(np.asarray(dtype.categories, dtype=object), column.levels):
            codes = own
        else:
            # The frame's categories as the learned levels' codes (-1: unseen).
            table = levels.get_indexer(dtype.categories)
            codes = np.where(own >= 0, table[own], -1)
    else:
        codes = levels.get_indexer(series)
    if codes.size and codes.min() < 0:
        row = int(np.argmax(codes < 0))
        value = series.iloc[row]
        when = "in fit" if fitting else "at prediction"
        if pd.isna(value):
            raise ValueError(f"column {column.name!r} has a missing value (row {row}) {when}.")
        raise ValueError(
            f"column {column.name!r} has the level {value!r} (row {row}), which was not seen in fit; "
            f"the levels are {list(column.levels)}."
        )
    # The narrowest width, as pandas chooses it for its own codes.
    width = np.int8 if len(levels) < 2**7 else np.int16 if len(levels) < 2**15 else np.int32
    return np.ascontiguousarray(codes, dtype=width)


def frame_blocks(X: pd.DataFrame, layout: FrameLayout, fitting: bool) -> Blocks:
    """The frame as quorvi._native's list of blocks."""
    blocks: Blocks = [("dense", run) for run in _dense_runs([_numeric_column(X, n) for n in layout.numeric])]
    for column in layout.categorical:
        codes = _codes(X, column, fitting)
        blocks.append(("categorical", codes, len(column.levels), column.drop_first))
    return blocks


def frame_scores(
    X: pd.DataFrame, layout: FrameLayout, coef: npt.NDArray[np.float64], intercept: float
) -> npt.NDArray[np.float64]:
    """The linear predictor of every row: X_numeric β + β_level[code] for
    each categorical, column by column (no one-hot, no dense copy)."""
    check_columns(X, layout)
    scores = np.full(len(X), intercept)
    position = 0
    for name in layout.numeric:
        scores += coef[position] * _numeric_column(X, name)
        position += 1
    for column in layout.categorical:
        width = len(column.levels) - int(column.drop_first)
        table = coef[position : position + width]
        if column.drop_first:
            table = np.concatenate([[0.0], table])
        scores += table[_codes(X, column, False)]
        position += width
    return scores


def csr_blocks(X: Any) -> Blocks:
    """A scipy.sparse matrix or array of float64 values as one sparse block.
    ValueError, naming the column, for a stored value that is not finite."""
    csr = X.tocsr() if X.format != "csr" else X
    if not csr.has_canonical_format:
        csr = csr.copy()
        csr.sum_duplicates()
    check_stored_values(csr)
    if csr.shape[1] > np.iinfo(np.int32).max:
        raise ValueError(
            f"X has {csr.shape[1]} columns; a sparse X may have at most {np.iinfo(np.int32).max}."
        )
    indices = csr.indices.astype(np.int32, copy=False)
    indptr = csr.indptr if csr.indptr.dtype in (np.int32, np.int64) else csr.indptr.astype(np.int64)
    data = np.ascontiguousarray(csr.data, dtype=np.float64)
    return [("sparse", data, np.ascontiguousarray(indices), np.ascontiguousarray(indptr), int(csr.shape[1]))]


def check_stored_values(X: Any) -> None:
    """ValueError, naming the column, when a CSR or CSC matrix stores a NaN
    or an infinity."""
    finite = np.isfinite(X.data)
    if not finite.all():
        at = int(np.argmin(finite))
        if X.format == "csr":
            column = int(X.indices[at])
        else:
            column = int(np.searchsorted(X.indptr, at, side="right") - 1)
        raise ValueError(
            f"X has a stored value {X.data[at]} in column {column}: a sparse X must hold finite values only."
        )


def is_sparse(X: Any) -> bool:
    return bool(sparse.issparse(X))
