"""An absorbed column whose labels are codes into a table of categories.

A pandas Categorical's codes, an Arrow dictionary's indices and polars'
physical codes already number the rows' labels; strings are numbered by one
factorisation. Such a column is read here as those codes and the table of
the labels they stand for, and only the table (one entry per category, not
per row) is compared and sorted. The fit's levels are what coding the rows'
labels themselves would give: the categories some row has, in sorted order
(of their value for numbers, of their text for anything else), so that a
column gives the same fit whatever its label type (the reference level,
the order of fixed_effects_ and every sum over the levels included).
Integer labels are read by _absorb.codes_of instead.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

from . import _design

_INT32_MAX = int(np.iinfo(np.int32).max)


@dataclass(frozen=True)
class Categories:
    """A column as codes into a table of its labels."""

    name: str
    # Per row, 0 <= code < len(labels); maybe the caller's buffer (read only).
    codes: npt.NDArray[np.integer[Any]]
    # The label of each code, as given: repeats or missing entries may be
    # among them (only those some row has count). Numbers (integer, float or
    # bool) as a NumPy array of their type, anything else as objects.
    labels: npt.NDArray[Any]
    # The same labels as an Arrow string array where they are one already
    # (or cheaply become one), which Arrow ranks several times faster than
    # Python sorts them; None to sort them in Python.
    arrow_text: Any = None

    def __len__(self) -> int:
        return len(self.codes)


def missing_message(name: str, row: int) -> str:
    return f"absorbed column {name!r} has a missing value at row {row}: every row needs a level."


def not_integers_message(name: str) -> str:
    return (
        f"absorbed column {name!r} has numbers that are not integers: absorb= takes the labels of "
        "groups (categorical, string or integer), not a measurement."
    )


def _table(labels: Any) -> npt.NDArray[Any]:
    """Labels (a pandas Index or Series, or an array) as Categories holds
    them: anything but numbers as the objects pandas gives (a Timestamp, not
    NumPy's integer of nanoseconds)."""
    values: npt.NDArray[Any] = labels.to_numpy() if hasattr(labels, "to_numpy") else np.asarray(labels)
    if values.dtype.kind in "iubf":
        return values
    return np.asarray(labels.to_numpy(dtype=object)) if hasattr(labels, "to_numpy") else values.astype(object)


def from_codes(name: str, codes: npt.NDArray[Any], labels: Any) -> Categories:
    """Categories of codes where -1 marks a missing label (pandas' sentinel),
    refused by row; labels a pandas Index or an array."""
    if codes.dtype.kind == "i" and len(codes) and int(codes.min()) < 0:
        raise ValueError(missing_message(name, int(np.argmax(codes < 0))))
    return Categories(name, codes, _table(labels), _arrow_text(getattr(labels, "array", None)))


def _arrow_text(values: Any) -> Any:
    """values (an Arrow array, or a pandas array backed by one) as an Arrow
    string array, without a copy of the strings; None for any other, and
    without pyarrow."""
    if values is None or (
        not hasattr(values, "__arrow_array__") and type(values).__module__ != "pyarrow.lib"
    ):
        return None
    try:
        import pyarrow as pa
    except ImportError:  # pragma: no cover - pandas' strings are then Python objects
        return None
    try:
        array = values if isinstance(values, pa.Array | pa.ChunkedArray) else pa.array(values)
    except (pa.ArrowException, TypeError, ValueError):
        return None
    if not (pa.types.is_string(array.type) or pa.types.is_large_string(array.type)):
        return None
    return array.combine_chunks() if isinstance(array, pa.ChunkedArray) else array


def pandas_categories(column: Any, name: str) -> Categories | None:
    """A pandas column as Categories: a Categorical, an Arrow dictionary, or
    strings (factorised once); None for any other dtype."""
    import pandas as pd

    dtype = column.dtype
    if isinstance(dtype, pd.CategoricalDtype):
        values = column.array
        return from_codes(name, values.codes, values.categories)
    if isinstance(dtype, pd.ArrowDtype):
        import pyarrow as pa

        if pa.types.is_dictionary(dtype.pyarrow_dtype):
            # The column's own chunks (its __arrow_array__), not a copy.
            return arrow_categories(name, pa.array(column.array))
    if _design._is_text(dtype):
        # Hashed, not sorted: the sort is of the distinct labels alone.
        codes, uniques = pd.factorize(column)
        return from_codes(name, codes, uniques)
    return None


def native_categories(column: Any, name: str) -> Categories | None:
    """A column of another library (the native object narwhals wraps) as
    Categories: an Arrow dictionary or strings, a polars Categorical, Enum or
    String; None for any other."""
    module = type(column).__module__.split(".")[0]
    if module == "pyarrow":
        import pyarrow as pa

        if isinstance(column, pa.ChunkedArray | pa.Array):
            if pa.types.is_dictionary(column.type):
                return arrow_categories(name, column)
            if pa.types.is_string(column.type) or pa.types.is_large_string(column.type):
                import pyarrow.compute as pc

                # Strings factorised once, by Arrow.
                return arrow_categories(name, pc.dictionary_encode(column))
    if module == "polars":
        return polars_categories(column, name)
    return None


def text_categories(name: str, values: npt.NDArray[Any]) -> Categories | None:
    """A NumPy column of text (object or str) as Categories, factorised once;
    None for any other."""
    if values.dtype.kind not in "OUS":
        return None
    import pandas as pd

    codes, uniques = pd.factorize(values)
    return from_codes(name, codes, np.asarray(uniques, dtype=object))


def arrow_categories(name: str, array: Any) -> Categories:
    """An Arrow dictionary array (chunked or not) as Categories: its
    indices, over one dictionary for all the chunks."""
    import pyarrow as pa

    chunked = array if isinstance(array, pa.ChunkedArray) else pa.chunked_array([array])
    if chunked.null_count:
        raise ValueError(missing_message(name, _first_null(chunked)))
    if chunked.num_chunks > 1:
        # Each chunk may have a dictionary of its own: all are numbered in
        # one, each chunk's indices transposed to it.
        chunked = chunked.unify_dictionaries()
    if chunked.num_chunks == 0:
        return Categories(name, np.zeros(0, dtype=np.int32), np.zeros(0, dtype=object))
    parts = [chunk.indices.to_numpy(zero_copy_only=False) for chunk in chunked.chunks]
    codes = parts[0] if len(parts) == 1 else np.concatenate(parts)
    dictionary = chunked.chunk(0).dictionary
    return Categories(name, codes, _table(dictionary.to_pandas()), _arrow_text(dictionary))


def _first_null(chunked: Any) -> int:
    start = 0
    for chunk in chunked.chunks:
        if chunk.null_count:
            return start + int(np.argmax(chunk.is_null().to_numpy(zero_copy_only=False)))
        start += len(chunk)
    raise AssertionError("no null found")  # pragma: no cover - null_count said there was one


def polars_categories(series: Any, name: str) -> Categories | None:
    """A polars Categorical, Enum or String as codes into its categories: an
    Enum's physical codes index its categories; a Categorical's index a
    mapping shared by every Categorical of the process, and are renumbered
    over the categories of this column. None for other dtypes."""
    import polars as pl

    dtype = series.dtype
    if not isinstance(dtype, pl.Categorical | pl.Enum | pl.String):
        return None
    if series.null_count():
        raise ValueError(missing_message(name, int(series.is_null().arg_max())))
    if isinstance(dtype, pl.String):
        # Factorised once in polars, as an Enum of the strings in sorted
        # order, whose codes are then the levels' own (5 times faster than
        # hashing them as Python strings).
        series = series.cast(pl.Enum(series.unique(maintain_order=True).sort()))
        dtype = series.dtype
    physical = series.to_physical().to_numpy()
    if isinstance(dtype, pl.Enum):
        categories = dtype.categories
        return Categories(name, physical, _table(categories.to_numpy()), _polars_arrow(categories))
    # The shared mapping may be far larger than this column's categories, and
    # polars reads it out one category at a time: the text of each code some
    # row has is read from one of its rows instead.
    size = int(physical.max()) + 1 if len(physical) else 0
    row_of = np.zeros(size, dtype=np.int64)
    counts = np.zeros(size, dtype=np.int64)
    step = 1 << 20
    for start in range(0, len(physical), step):
        part = physical[start : start + step]
        row_of[part] = np.arange(start, start + len(part))
        counts += np.bincount(part, minlength=size)
    used = np.flatnonzero(counts)
    text = series.gather(row_of[used]).cast(pl.String)
    local = np.zeros(size, dtype=np.int32)
    local[used] = np.arange(len(used), dtype=np.int32)
    return Categories(name, local[physical], _table(text.to_numpy()), _polars_arrow(text))


def _polars_arrow(text: Any) -> Any:
    try:
        return _arrow_text(text.to_arrow())
    except ImportError:  # pragma: no cover - polars without pyarrow
        return None


def _signed(codes: npt.NDArray[Any], n_labels: int) -> npt.NDArray[Any]:
    """Unsigned codes that fit the signed type of their width, as a view of
    that type: the same bytes, which the engine reads in place when they are
    of 4 or 8."""
    if codes.dtype.kind == "u" and codes.dtype.itemsize in (4, 8) and n_labels <= _INT32_MAX:
        return codes.view(np.dtype(f"i{codes.dtype.itemsize}"))
    return codes


def _counts(categories: Categories) -> npt.NDArray[np.int64]:
    """The rows of each code. bincount reads its input as a copy in intp:
    in slices, that copy is a slice's."""
    n_labels = len(categories.labels)
    counts = np.zeros(n_labels, dtype=np.int64)
    size = 1 << 20
    for start in range(0, len(categories.codes), size):
        part = np.bincount(categories.codes[start : start + size], minlength=n_labels)
        if len(part) > n_labels:
            raise ValueError(f"absorbed column {categories.name!r} has codes beyond its categories.")
        counts += part
    return counts


def _text(labels: npt.NDArray[np.object_]) -> npt.NDArray[np.object_]:
    """Labels as the text that names their level: strings as they are, any
    other value as str() of it, as the labels of rows are coded."""
    import pandas as pd

    if pd.api.types.infer_dtype(labels, skipna=False) == "string":
        return labels
    return labels.astype(str).astype(object)


def _used(categories: Categories) -> tuple[npt.NDArray[np.intp], npt.NDArray[Any]]:
    """The codes some row has, and their labels as the fit's levels: as a
    column of such labels would give them, integers (a float category must
    be one) or else text. A missing label that a row has is refused by its
    first row."""
    import pandas as pd

    used = np.flatnonzero(_counts(categories))
    labels = categories.labels[used]
    if labels.dtype.kind in "iub":
        return used, labels
    if categories.arrow_text is not None and not categories.arrow_text.take(used).null_count:
        return used, labels  # strings, none missing
    missing = pd.isna(labels)
    if missing.any():
        bad = np.zeros(len(categories.labels), dtype=bool)
        bad[used[missing]] = True
        raise ValueError(missing_message(categories.name, int(np.argmax(bad[categories.codes]))))
    if labels.dtype.kind == "f":
        if not np.all(np.isfinite(labels)) or not np.array_equal(labels, np.round(labels)):
            raise ValueError(not_integers_message(categories.name))
        return used, labels.astype(np.int64)
    return used, _text(labels)


def level_codes(categories: Categories) -> tuple[npt.NDArray[Any], npt.NDArray[Any], bool]:
    """Each row's level code, the levels in code order (sorted), and whether
    those levels may include some no row has (levels the fit then drops,
    _absorb.levels_seen). Codes whose categories are already in sorted order
    with few unused are the codes themselves, read in place; any others are
    renumbered, 4 bytes a row."""
    codes = _signed(categories.codes, len(categories.labels))
    categories = Categories(categories.name, codes, categories.labels, categories.arrow_text)
    used, text = _used(categories)
    n_labels = len(categories.labels)
    if len(text) > _INT32_MAX:
        raise ValueError("an absorbed column has more levels than 2**31 - 1")
    if _increasing(text):
        # The same threshold as integer labels read in place: a code of no
        # rows costs the engine its level sums, and a few are fine.
        if _readable_in_place(codes) and n_labels - len(used) <= len(used) // 16:
            if len(used) == n_labels:
                return codes, text, False
            levels = np.zeros(n_labels, dtype=text.dtype)
            levels[used] = text
            return codes, levels, True
        rank, levels = np.arange(len(text), dtype=np.int32), text
    else:
        # Two categories of the same text (an Arrow dictionary may repeat a
        # value; 1 and "1" among objects) are one level.
        arrow_used = None if categories.arrow_text is None else categories.arrow_text.take(used)
        rank = _dense_rank(text, arrow_used)
        first = np.empty(int(rank.max()) + 1, dtype=np.intp)
        first[rank] = np.arange(len(rank))
        if arrow_used is None:
            levels = text[first]
        else:
            # Made afresh in sorted order, the strings lie in memory in that
            # order: the pandas Index of fixed_effects_ reads them 5 times
            # faster than it reads them scattered in the categories' order.
            levels = np.asarray(arrow_used.take(first).to_numpy(zero_copy_only=False), dtype=object)
    table = np.zeros(n_labels, dtype=np.int32)
    table[used] = rank
    return table[codes], levels, False


def _increasing(text: npt.NDArray[Any]) -> bool:
    """Whether the labels are in strictly increasing order; a short prefix
    first, where labels in no order nearly always show it."""
    head = text[:1024]
    if not bool(np.all(head[1:] > head[:-1])):
        return False
    return bool(np.all(text[1024:] > text[1023:-1]))


def _dense_rank(text: npt.NDArray[Any], arrow_text: Any) -> npt.NDArray[np.int32]:
    """Each label's rank among the distinct labels in sorted order (for text,
    code point order, in which Arrow's byte order of UTF-8 agrees)."""
    if text.dtype.kind in "iub":
        return np.unique(text, return_inverse=True)[1].astype(np.int32)
    if arrow_text is not None:
        import pyarrow.compute as pc

        ranks: npt.NDArray[np.uint64] = pc.rank(
            arrow_text, sort_keys="ascending", tiebreaker="dense"
        ).to_numpy()
        return (ranks - 1).astype(np.int32)
    items = text.tolist()
    order = np.array(sorted(range(len(items)), key=items.__getitem__), dtype=np.intp)
    ordered = text[order]
    first = np.ones(len(ordered), dtype=bool)
    first[1:] = ordered[1:] != ordered[:-1]
    rank = np.empty(len(order), dtype=np.int32)
    rank[order] = np.cumsum(first, dtype=np.int32) - 1
    return rank


def _readable_in_place(codes: npt.NDArray[Any]) -> bool:
    """Whether the engine reads codes in place: int32 or int64, of this
    machine's byte order, contiguous and aligned."""
    return (
        codes.dtype in (np.dtype(np.int32), np.dtype(np.int64))
        and codes.dtype.isnative
        and codes.flags.c_contiguous
        and codes.flags.aligned
    )


def level_positions(categories: Categories, levels: npt.NDArray[Any]) -> npt.NDArray[np.intp]:
    """Each row's position among levels (the fit's, sorted), its category
    matched to the levels by its label, not by its code: a frame whose
    categories are in another order, or are others, is read by what they
    say. A category some row has that is not among the levels is a
    ValueError naming it and its first row."""
    codes = _signed(categories.codes, len(categories.labels))
    categories = Categories(categories.name, codes, categories.labels, categories.arrow_text)
    used, text = _used(categories)
    numbers = "iub"
    if not len(levels) or (levels.dtype.kind in numbers) != (text.dtype.kind in numbers):
        # Text is no level of a fit of numbers, nor a number one of text.
        position = np.zeros(len(text), dtype=np.intp)
        seen = np.zeros(len(text), dtype=bool)
    else:
        position = np.minimum(np.searchsorted(levels, text), len(levels) - 1)
        seen = levels[position] == text
    if not seen.all():
        unseen = np.zeros(len(categories.labels), dtype=bool)
        unseen[used[~seen]] = True
        row = int(np.argmax(unseen[codes]))
        at = int(np.searchsorted(used, codes[row]))
        label = text[at : at + 1].tolist()[0]
        raise ValueError(
            f"absorbed column {categories.name!r} has the level {label!r} (row {row}), which was not seen "
            "in fit: its effect was not estimated."
        )
    # Per category, its level's position (0 for a category no row has).
    table = np.zeros(len(categories.labels), dtype=np.intp)
    table[used] = position
    positions: npt.NDArray[np.intp] = table[codes]
    return positions
