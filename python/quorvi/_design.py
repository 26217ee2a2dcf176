"""DataFrames with categorical columns and scipy.sparse matrices as the native
fit reads them: a list of column blocks (src/bindings/design_blocks.hpp),
each read in place, never a one-hot or dense copy of X.

A pandas DataFrame is read directly; a DataFrame of another library
(polars, pyarrow, ...) through narwhals, with exactly the pandas coding:
a polars Enum is read as a Categorical with those categories, a polars
Categorical like a string column.

A DataFrame's numeric columns come first, in the frame's order, as dense
blocks (one per run of float64 columns that lie side by side in one pandas
block, so a consolidated frame is one block read in place; a column of
another numeric dtype is converted alone). Its categorical and string
columns follow, in the frame's order, each as its integer codes. The
parameters, and so ``coef_`` and ``coef_table()``, are in that order: the
intercept, the numeric columns, then the levels ``column[level]`` of each
categorical.

A categorical's levels are its declared categories (in their order) that
have rows in fit; a string column's are its sorted distinct values. A level
without rows is dropped, as R's ``glm`` drops unused levels, so the first
level with rows is the reference. Coding is reference coding, as R's
``model.matrix`` makes it: with an intercept, the first level of every
categorical is the reference (no parameter); without one, the first
categorical keeps all its levels and the others drop their first.

A frame made by a formula (python/quorvi/_formula.py) may pair a
categorical column with a numeric one, its multiplier, in its ``attrs``
(under SLOPES, as {categorical: (multiplier, reference level or None)}):
each row's indicator is then multiplied by the row's value, a slope per
level (``x:C(g)``), read as a varying-slope block of the codes and the
multiplier column in place. The multiplier is no parameter of its own, and
the reference coding of such a column is the formula's: its first level is
the reference when it is the named reference level, whatever the
intercept.

A CSR matrix is read in place (its indptr as int32 or int64, its indices as
int32: indices of int64 are copied once, nnz integers); a CSC matrix, or any other format, is converted to CSR once (a
copy of its nonzeros, nnz × 12 bytes plus the row pointers), and a matrix
with duplicate or unsorted indices is copied once into canonical form.
"""

from __future__ import annotations

import os
import sys
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import narwhals.stable.v2 as nw
import numpy as np
import numpy.typing as npt
from scipy import sparse

from . import _native

if TYPE_CHECKING:
    import pandas as pd

# A design as quorvi._native reads it (beside a plain array): its column
# blocks, in the order of the coefficients, the dense ones first.
Block = _native.DenseBlock | _native.CategoricalBlock | _native.SparseBlock | _native.VaryingSlopeBlock
Blocks = list[Block]
# A frame's columns before they are blocks: the numeric ones as (n, k) runs,
# and each categorical as (codes, n_levels, drop_first, multiplier), the
# multiplier None but for a slope per level.
FrameColumns = tuple[
    list[npt.NDArray[np.float64]], list[tuple[npt.NDArray[Any], int, bool, npt.NDArray[np.float64] | None]]
]

# The key of a frame's attrs that pairs its categorical columns with their
# multipliers (a slope per level).
SLOPES = "quorvi.slopes"


@dataclass(frozen=True)
class CategoricalColumn:
    """A categorical column as the fit learned it: its levels in code order
    (those with rows in fit only), whether the first is the reference
    level (no parameter), and the numeric column that multiplies each
    row's indicator (a slope per level), if any."""

    name: str
    levels: npt.NDArray[Any]
    drop_first: bool
    multiplier: str | None = None

    def parameter_names(self) -> list[str]:
        return [f"{self.name}[{level}]" for level in self.levels[int(self.drop_first) :]]


@dataclass(frozen=True)
class FrameLayout:
    """How a DataFrame's columns become parameters: learned in fit, applied
    to every frame given to the fitted model."""

    columns: list[str]  # all, in the frame's order
    numeric: list[str]  # in the frame's order, the multipliers left out
    categorical: list[CategoricalColumn]

    def parameter_names(self) -> list[str]:
        return [*self.numeric, *(name for column in self.categorical for name in column.parameter_names())]


def _pandas() -> Any:
    import pandas as pd

    return pd


def _missing(name: str, row: int, fitting: bool) -> ValueError:
    when = "in fit" if fitting else "at prediction"
    return ValueError(f"column {name!r} has a missing value (row {row}) {when}.")


def _unseen(column: CategoricalColumn, row: int, value: Any) -> ValueError:
    return ValueError(
        f"column {column.name!r} has the level {value!r} (row {row}), which was not seen in fit; "
        f"the levels are {list(column.levels)}."
    )


def _finite(name: str, values: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    """values, refused naming the column and the row when one is NaN (a
    missing value) or infinite."""
    finite = np.isfinite(values)
    if not finite.all():
        row = int(np.argmin(finite))
        what = "a missing" if np.isnan(values[row]) else "an infinite"
        raise ValueError(f"column {name!r} has {what} value (row {row}).")
    return values


def _narrowest_codes(codes: npt.NDArray[Any], n_levels: int) -> npt.NDArray[Any]:
    # The narrowest width, as pandas chooses it for its own codes.
    width = np.int8 if n_levels < 2**7 else np.int16 if n_levels < 2**15 else np.int32
    return np.ascontiguousarray(codes, dtype=width)


# Codes are counted this many at a time: a temporary of the column's length
# (8 bytes a row) is never made.
_COUNT_SLICE = 1 << 16


def _with_rows(codes: npt.NDArray[Any], n_levels: int) -> npt.NDArray[np.bool_]:
    """Which of the n_levels codes occur in codes (-1, a missing value, is
    not a level)."""
    counts = np.zeros(n_levels + 1, dtype=np.int64)
    for start in range(0, len(codes), _COUNT_SLICE):
        part = codes[start : start + _COUNT_SLICE].astype(np.intp) + 1
        counts += np.bincount(part, minlength=n_levels + 1)
    return counts[1:] > 0


class _PandasColumns:
    """A pandas DataFrame's columns, read in place where they can be: a
    float64 column as a view of the frame's memory, a Categorical's codes
    as they are when its categories are the learned levels."""

    library = "pandas"

    def __init__(self, X: pd.DataFrame) -> None:
        self.frame = X

    def names(self) -> list[Any]:
        return list(self.frame.columns)

    def is_numeric(self, name: str) -> bool:
        return _is_numeric(self.frame[name].dtype)

    def levels(self, name: str) -> tuple[npt.NDArray[Any], npt.NDArray[np.bool_]]:
        """The column's candidate levels in code order, and which have rows:
        a Categorical's declared categories, or a string column's sorted
        distinct values (as R and statsmodels' formulas read strings;
        missing values left out here, and refused with their row later)."""
        pd = _pandas()
        series = self.frame[name]
        dtype = series.dtype
        if isinstance(dtype, pd.CategoricalDtype):
            levels = np.asarray(dtype.categories, dtype=object)
            return levels, _with_rows(series.cat.codes.to_numpy(), len(levels))
        if _is_text(dtype):
            levels = np.asarray(pd.Categorical(series).categories, dtype=object)
            return levels, np.ones(len(levels), dtype=bool)
        raise ValueError(
            f"column {name!r} has dtype {dtype}, which is neither numeric, categorical nor string: "
            "convert it (for example to a number or to pandas' category dtype) before fitting."
        )

    def numeric(self, name: str) -> npt.NDArray[np.float64]:
        """A numeric column as float64: a view of the frame's memory when it
        is float64 already, else a converted copy of this column alone."""
        series = self.frame[name]
        missing = series.isna()
        if missing.any():
            raise ValueError(
                f"column {name!r} has a missing value (row {int(np.argmax(missing.to_numpy()))})."
            )
        return _finite(name, series.to_numpy(dtype=np.float64, copy=False))

    def codes(self, column: CategoricalColumn, fitting: bool) -> npt.NDArray[Any]:
        """The column's codes against the learned levels (the Categorical's
        own codes, in place, when its categories are those levels)."""
        pd = _pandas()
        series = self.frame[column.name]
        dtype = series.dtype
        levels = pd.Index(column.levels)
        if isinstance(dtype, pd.CategoricalDtype):
            own = series.cat.codes.to_numpy()
            if np.array_equal(np.asarray(dtype.categories, dtype=object), column.levels):
                codes = own
            else:
                # The frame's categories as the learned levels' codes (-1:
                # unseen, or unused in fit): categories in another order, or
                # levels that fit dropped for having no rows.
                table = levels.get_indexer(dtype.categories)
                codes = np.where(own >= 0, table[own], -1)
        else:
            codes = levels.get_indexer(series)
        if codes.size and codes.min() < 0:
            row = int(np.argmax(codes < 0))
            value = series.iloc[row]
            raise _missing(column.name, row, fitting) if pd.isna(value) else _unseen(column, row, value)
        return _narrowest_codes(codes, len(levels))


class _NarwhalsColumns:
    """The columns of a DataFrame of another library (polars, pyarrow, ...)
    through narwhals, coded exactly as a pandas frame's: an Enum is a
    Categorical with declared levels, a Categorical or string column has
    its sorted distinct values as levels. Numeric columns are taken as the
    library hands them to NumPy (polars: a view of a float64 column without
    nulls)."""

    def __init__(self, frame: nw.DataFrame[Any]) -> None:
        self.frame = frame
        self.library = nw.get_native_namespace(frame).__name__

    def names(self) -> list[Any]:
        return list(self.frame.columns)

    def is_numeric(self, name: str) -> bool:
        return _is_narwhals_numeric(self.frame.schema[name])

    def levels(self, name: str) -> tuple[npt.NDArray[Any], npt.NDArray[np.bool_]]:
        series = self.frame[name]
        dtype = series.dtype
        if isinstance(dtype, nw.Enum):
            levels = np.asarray(list(dtype.categories), dtype=object)
            present = set(series.drop_nulls().unique().cast(nw.String).to_list())
            return levels, np.array([level in present for level in levels], dtype=bool)
        if dtype in (nw.Categorical, nw.String):
            # The sorted distinct values, as the pandas path reads strings
            # (a polars Categorical declares no order of its own).
            levels = np.asarray(sorted(series.drop_nulls().unique().cast(nw.String).to_list()), dtype=object)
            return levels, np.ones(len(levels), dtype=bool)
        raise ValueError(
            f"column {name!r} of the {self.library} DataFrame has dtype {dtype}, which is neither numeric, "
            "categorical, enum nor string: convert it (for example to a number or to a categorical) "
            "before fitting."
        )

    def numeric(self, name: str) -> npt.NDArray[np.float64]:
        series = self.frame[name]
        if not _is_narwhals_numeric(series.dtype):
            raise ValueError(
                f"column {name!r} of the {self.library} DataFrame has dtype {series.dtype}; the model was "
                "fitted with a numeric column of that name."
            )
        if series.null_count():
            raise ValueError(f"column {name!r} has a missing value (row {series.is_null().arg_true()[0]}).")
        return _finite(name, np.asarray(series.to_numpy(), dtype=np.float64))

    def codes(self, column: CategoricalColumn, fitting: bool) -> npt.NDArray[Any]:
        series = self.frame[column.name]
        if not (isinstance(series.dtype, nw.Enum) or series.dtype in (nw.Categorical, nw.String)):
            raise ValueError(
                f"column {column.name!r} of the {self.library} DataFrame has dtype {series.dtype}; the model "
                "was fitted with a categorical or string column of that name."
            )
        if series.null_count():
            raise _missing(column.name, int(series.is_null().arg_true()[0]), fitting)
        text = series.cast(nw.String)
        levels = [level for level in column.levels.tolist() if isinstance(level, str)]
        known = text.is_in(levels)
        if not known.all():
            row = int((~known).arg_true()[0])
            raise _unseen(column, row, text[row])
        # Each value's position among the learned levels (a hash lookup in
        # the library itself), whatever order its own categories are in.
        positions = {level: code for code, level in enumerate(column.levels.tolist())}
        codes = text.replace_strict(levels, [positions[level] for level in levels], return_dtype=nw.Int32)
        return _narrowest_codes(codes.to_numpy(), len(column.levels))


def _is_narwhals_numeric(dtype: Any) -> bool:
    """As pandas' rule: numbers and booleans."""
    return bool(dtype.is_numeric()) or dtype == nw.Boolean


_Columns = _PandasColumns | _NarwhalsColumns


def _pandas_frame(X: Any) -> bool:
    pd = sys.modules.get("pandas")
    return pd is not None and isinstance(X, pd.DataFrame)


def _other_frame(X: Any) -> nw.DataFrame[Any] | None:
    """X as a narwhals DataFrame when it is a DataFrame of a library other
    than pandas that narwhals reads in memory (polars, pyarrow, ...)."""
    if _pandas_frame(X):
        return None
    frame = nw.from_native(X, eager_only=True, pass_through=True)
    return frame if isinstance(frame, nw.DataFrame) else None


def _columns(X: Any) -> _Columns:
    if _pandas_frame(X):
        return _PandasColumns(X)
    frame = _other_frame(X)
    if frame is None:
        raise ValueError(f"expected a DataFrame, got {type(X).__name__}")
    return _NarwhalsColumns(frame)


def is_frame_with_categories(X: Any) -> bool:
    """True for a DataFrame (pandas, or another library narwhals reads:
    polars, pyarrow, ...) with at least one column that is not numeric
    (categorical, enum, string or another dtype, which fit then refuses by
    name). An all-numeric frame takes the array path, as before."""
    if _pandas_frame(X):
        return any(not _is_numeric(dtype) for dtype in X.dtypes)
    frame = _other_frame(X)
    return frame is not None and any(not _is_narwhals_numeric(dtype) for dtype in frame.schema.values())


def is_numeric_dtype(dtype: Any) -> bool:
    """True for the pandas dtypes read as numbers (bool included)."""
    return _is_numeric(dtype)


def _is_numeric(dtype: Any) -> bool:
    pd = _pandas()
    return bool(pd.api.types.is_numeric_dtype(dtype)) and not isinstance(dtype, pd.CategoricalDtype)


def _is_text(dtype: Any) -> bool:
    pd = _pandas()
    return bool(pd.api.types.is_string_dtype(dtype)) or dtype == np.dtype(object)


def learn_layout(X: Any, fit_intercept: bool, *, count_levels: bool = True) -> FrameLayout:
    """The layout of a frame passed to fit: which columns are numeric and
    the levels of the others, those with rows in X only (as R's ``glm``
    drops unused levels; count_levels=False keeps every declared level, for
    a Dask frame's meta, whose levels are counted in the first pass).
    ValueError, naming the column, for a dtype that is neither numeric,
    categorical nor string, and for a categorical with fewer than two
    levels."""
    frame = _columns(X)
    columns = frame.names()
    if not all(isinstance(name, str) for name in columns):
        raise ValueError("a DataFrame with categorical or string columns must have string column names")
    if len(set(columns)) != len(columns):
        raise ValueError("the DataFrame's column names must be unique")
    slopes = slopes_of(X)
    multipliers = {multiplier for multiplier, _ in slopes.values()}
    numeric: list[str] = []
    categorical: list[tuple[str, npt.NDArray[Any]]] = []
    for name in columns:
        if frame.is_numeric(name):
            if name not in multipliers:
                numeric.append(name)
            continue
        levels, used = frame.levels(name)
        categorical.append((name, levels[used] if count_levels else levels))
    return _layout(columns, numeric, categorical, fit_intercept, slopes)


def slopes_of(X: Any) -> dict[str, tuple[str, Any]]:
    """The categorical columns of a frame that have a multiplier: name ->
    (multiplier column, reference level or None); none for a frame that
    did not come from a formula."""
    return dict(getattr(X, "attrs", {}).get(SLOPES, {})) if _pandas_frame(X) else {}


def used_levels(X: Any, layout: FrameLayout) -> dict[str, npt.NDArray[np.bool_]]:
    """Which of each categorical column's learned levels have rows in X."""
    frame = _columns(X)
    used = {}
    for column in layout.categorical:
        levels, with_rows = frame.levels(column.name)
        present = set(levels[with_rows].tolist())
        used[column.name] = np.array([level in present for level in column.levels.tolist()], dtype=bool)
    return used


def keep_used_levels(
    layout: FrameLayout, used: dict[str, npt.NDArray[np.bool_]], fit_intercept: bool
) -> FrameLayout:
    """The layout with each categorical's levels cut to those with rows
    (used: as used_levels gives it, summed over a Dask frame's partitions)."""
    categorical = [(column.name, column.levels[used[column.name]]) for column in layout.categorical]
    slopes = {
        column.name: (column.multiplier, column.levels[0] if column.drop_first else None)
        for column in layout.categorical
        if column.multiplier is not None
    }
    return _layout(layout.columns, layout.numeric, categorical, fit_intercept, slopes)


def _layout(
    columns: list[str],
    numeric: list[str],
    categorical: list[tuple[str, npt.NDArray[Any]]],
    fit_intercept: bool,
    slopes: dict[str, tuple[str, Any]],
) -> FrameLayout:
    """The layout of these columns and levels, in reference coding: with an
    intercept every categorical's first level is the reference; without
    one, the first categorical keeps all its levels. A column with a
    multiplier (slopes) has the formula's reference level, when it has one
    and that level has rows; its other levels all have slopes."""
    coded: list[CategoricalColumn] = []
    for name, levels in categorical:
        if name in slopes:
            multiplier, reference = slopes[name]
            drop_first = reference is not None and len(levels) > 0 and levels[0] == reference
            if len(levels) <= int(drop_first):
                raise ValueError(
                    f"the term {name!r} has no row outside its reference level: its slopes cannot be "
                    "estimated; leave it out."
                )
            coded.append(CategoricalColumn(name, levels, drop_first, multiplier))
            continue
        if len(levels) < 2:
            only = f"only one level ({levels[0]!r})" if len(levels) else "no level"
            raise ValueError(
                f"categorical column {name!r} has {only} with rows: it is constant, so it cannot "
                "be estimated beside the others; leave it out."
            )
        first = not any(column.multiplier is None for column in coded)
        coded.append(CategoricalColumn(name, levels, fit_intercept or not first))
    return FrameLayout(columns, numeric, coded)


# The q x q matrices a fit of q parameters holds at once: the normal
# equations, the solve's factor, and the covariance.
_SYSTEM_COPIES = 3


def available_memory() -> int:
    """The bytes this machine can still give (MemAvailable; the physical
    memory where /proc/meminfo is not there)."""
    try:
        with open("/proc/meminfo") as meminfo:
            for line in meminfo:
                if line.startswith("MemAvailable:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return int(os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES"))


def check_system_fits(layout: FrameLayout, fit_intercept: bool) -> None:
    """A ValueError, before anything of the size of the system is made,
    when the dense q x q system of the layout's parameters cannot fit in
    memory: it names the largest categorical column and suggests absorbing
    it (a bare MemoryError would say neither)."""
    q = len(layout.parameter_names()) + int(fit_intercept)
    needed = _SYSTEM_COPIES * 8 * q * q
    available = available_memory()
    if needed <= available or not layout.categorical:
        return
    largest = max(layout.categorical, key=lambda column: len(column.levels))
    raise ValueError(
        f"the model has {q:,} parameters, among them the levels of {largest.name!r} ({len(largest.levels):,}): "
        f"its dense {q:,} x {q:,} system needs {needed / 2**30:.1f} GiB, more than the "
        f"{available / 2**30:.1f} GiB of memory available. To estimate one effect per level without that "
        f"system, absorb the column as a fixed effect: LogisticRegression(absorb=[{largest.name!r}])."
    )


def check_columns(X: Any, layout: FrameLayout) -> None:
    """A frame given to the fitted model has the columns it was fitted on."""
    names = _columns(X).names()
    if names != layout.columns:
        raise ValueError(
            f"X has columns {names}, but the model was fitted on a DataFrame with columns "
            f"{layout.columns} (same names, same order)."
        )


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


def frame_columns(X: Any, layout: FrameLayout, fitting: bool) -> FrameColumns:
    """The frame's columns as the native blocks read them, in place where
    they can be: the numeric ones as dense runs, and each categorical as
    (codes, n_levels, drop_first, multiplier)."""
    frame = _columns(X)
    numeric = _dense_runs([frame.numeric(n) for n in layout.numeric])
    categoricals = [
        (
            frame.codes(column, fitting),
            len(column.levels),
            column.drop_first,
            None if column.multiplier is None else _multiplier(frame, column),
        )
        for column in layout.categorical
    ]
    return numeric, categoricals


def frame_blocks(X: Any, layout: FrameLayout, fitting: bool) -> Blocks:
    """The frame as quorvi._native's list of blocks."""
    numeric, categoricals = frame_columns(X, layout, fitting)
    blocks: Blocks = [_native.DenseBlock(values=run) for run in numeric]
    for codes, n_levels, drop_first, multiplier in categoricals:
        if multiplier is None:
            blocks.append(_native.CategoricalBlock(codes=codes, n_levels=n_levels, drop_first=drop_first))
        else:
            blocks.append(
                _native.VaryingSlopeBlock(
                    codes=codes, n_levels=n_levels, drop_first=drop_first, multiplier=multiplier
                )
            )
    return blocks


def _multiplier(frame: _Columns, column: CategoricalColumn) -> npt.NDArray[np.float64]:
    """The multiplier of a categorical column with one, as the native
    varying-slope block reads it: float64, contiguous and aligned (a
    partition unpickled on a Dask worker may hold it at any address), finite
    (refused naming the column)."""
    assert column.multiplier is not None
    return np.require(frame.numeric(column.multiplier), dtype=np.float64, requirements=["C", "A"])


def frame_scores(
    X: Any, layout: FrameLayout, coef: npt.NDArray[np.float64], intercept: float
) -> npt.NDArray[np.float64]:
    """The linear predictor of every row: X_numeric β + β_level[code] for
    each categorical (times the row's multiplier for one with a slope per
    level), column by column (no one-hot, no dense copy)."""
    check_columns(X, layout)
    frame = _columns(X)
    scores = np.full(len(X), intercept)
    position = 0
    for name in layout.numeric:
        scores += coef[position] * frame.numeric(name)
        position += 1
    for column in layout.categorical:
        width = len(column.levels) - int(column.drop_first)
        table = coef[position : position + width]
        if column.drop_first:
            table = np.concatenate([[0.0], table])
        part = table[frame.codes(column, False)]
        if column.multiplier is not None:
            part *= _multiplier(frame, column)
        scores += part
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
    # Aligned as well as contiguous: a chunk unpickled on a Dask worker may
    # hold its arrays at any address, and the native block refuses those.
    indices = np.require(csr.indices, dtype=np.int32, requirements=["C", "A"])
    indptr_type = csr.indptr.dtype if csr.indptr.dtype in (np.int32, np.int64) else np.int64
    indptr = np.require(csr.indptr, dtype=indptr_type, requirements=["C", "A"])
    data = np.require(csr.data, dtype=np.float64, requirements=["C", "A"])
    return [_native.SparseBlock(data=data, indices=indices, indptr=indptr, n_cols=int(csr.shape[1]))]


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
