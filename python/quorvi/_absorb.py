"""Fixed effects absorbed instead of estimated as columns (``absorb=``).

A fit with ``absorb=["firm", ...]`` is the model with one dummy per level
of each named column, fitted without those columns in its system. The
first absorbed column (the one of most levels) is eliminated exactly every
update through its diagonal block (the engine's absorbed fit); any others
are solved for every update by the engine's conjugate gradients beside
numeric features and beside categorical ones made dummy columns (its
further absorbed columns), or enter the system as ordinary categorical
blocks where that takes less memory; their level effects are reported
here, not in the coefficient table. So the coefficients,
covariance and tests of the remaining features are the full dummy model's.

Identification: the levels carry the intercept. Each absorbed column's
first level (in sorted order, among those kept) is its reference with
effect 0; ``intercept_`` is the first column's reference effect, so that
ηᵢ = intercept + xᵢᵀβ + Σⱼ effectⱼ[levelᵢⱼ], exactly as the same model fitted
with the levels as a categorical column in reference coding.

A level whose rows are all 0 or all 1 (among those of positive weight) has
no finite effect: its rows are dropped (weight 0), and this is repeated
over the absorbed columns until nothing changes, as fixest does. Its
effect is then NaN in ``fixed_effects_``; a prediction takes it at the
limit the dummy-variable fit tends to, +∞ for a level all of whose rows
are 1 and −∞ for all 0, so that its rows have the probability 1 or 0 and
are labelled by it. A row with levels of both limits takes that of the
level dropped first: the fit's levels tend to their limits at rates
ordered as they were dropped (each later drop is of the rows the earlier
ones left), so a training row has the limit of its own outcome there.
"""

from __future__ import annotations

import dataclasses
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

from . import _absorbed_labels, _bias_correction, _caller, _design, _native
from ._absorbed_labels import Categories
from ._absorbed_sandwich import FURTHER_LIMIT, absorbed_meats
from ._covariance_types import CovarianceType, covariance_type
from ._level_moments import LevelMoments, RowTerms, level_moments, unavailable

# Why a fit has no level moments when no other reason is known (a fit on a
# Dask DataFrame, whose rows are not read again after the fit).
_NOT_FORMED = "the fit read its rows in chunks where they live and kept no sums per level for it"

# An absorbed column's codes: int32 made from its labels, or its int64 (or
# int32) labels or codes themselves, read in place (codes_of).
Codes = npt.NDArray[np.int32] | npt.NDArray[np.int64]
# An absorbed column as split reads it: its labels (integers, or whatever
# else the Dask path and a library without categories give), or codes into
# a table of them.
Labels = npt.NDArray[Any] | Categories


if TYPE_CHECKING:
    from ._fit_spec import FitSpec


@dataclass(frozen=True)
class AbsorbedColumn:
    """One absorbed column as the fit learned it."""

    name: str
    levels: npt.NDArray[Any]  # every label seen in fit, in code order (sorted)
    effects: npt.NDArray[np.float64]  # per level, relative to the reference; NaN where dropped
    reference: int  # the code of the reference level (effect 0)
    separated_levels: int  # levels dropped because their rows were all 0 or all 1
    kept_levels: int  # levels with rows of positive weight in the fit
    # Per level dropped because its rows were all 1 (+k) or all 0 (-k): the
    # sign of the limit its effect tends to in the dummy model, and k the
    # step of drop_separated that dropped it (1 first); 0 for the others.
    # None: no level was so dropped.
    limits: npt.NDArray[np.int32] | None = None

    def series(self) -> Any:
        import pandas as pd

        return pd.Series(self.effects, index=pd.Index(self.levels, name=self.name), name=self.name)


@dataclass(frozen=True)
class Absorption:
    """What a fit with absorbed columns learned: the columns, and the rows
    it dropped for separation."""

    columns: list[AbsorbedColumn]
    separated_rows: int
    nested: list[str] = field(default_factory=list)  # absorbed columns nested in the clusters
    # The rank of the dummy design of every absorbed column (the level
    # parameters, the intercept among them), and of those a small-sample
    # factor counts (level_rank); None: Σ kept levels less one per column
    # after the first, as for levels connected through the rows.
    rank: int | None = None
    counted_rank: int | None = None
    # Whether the ranks are upper bounds (three or more absorbed columns
    # with too many levels beside the first to find the rank of).
    rank_is_bound: bool = False
    # With bias_correction=: its name, and the slopes the fit itself gave
    # (the corrected ones are the fit's coefficients).
    bias_correction: str | None = None
    uncorrected: npt.NDArray[np.float64] | None = None
    # The average partial effects over the training rows, corrected, and
    # their covariance (_bias_correction.partial_effects).
    partial_effects: tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]] | None = None
    # The training rows' sums per level for the marginal effects' delta
    # method over the slopes and the levels both (_level_moments), or why
    # there are none.
    level_moments: LevelMoments = field(default_factory=lambda: unavailable(_NOT_FORMED))

    @property
    def names(self) -> list[str]:
        return [column.name for column in self.columns]

    def summary_note(self, cov_type: str) -> str:
        """What summary() says of the absorbed columns."""
        note = (
            f"The levels of {', '.join(repr(name) for name in self.names)} are absorbed: their effects "
            "(fixed_effects_) and the intercept are estimated but not listed; the model is the one with a "
            "dummy per level."
        )
        if self.separated_rows:
            note += f" {self.separated_rows} row(s) of levels with outcomes all 0 or all 1 were left out."
        if self.rank_is_bound:
            note += (
                " The levels' parameters counted in df_model, AIC, BIC and the small-sample factor are an "
                "upper bound (three or more absorbed columns, with more than 2,000 levels after the first): "
                "with levels in groups that no row links, the dummy model has fewer."
            )
        if covariance_type(cov_type).small_sample is not None:
            counted = [name for name in self.names if name not in self.nested]
            note += (
                " The small-sample factor counts in k the features and the levels of "
                + (
                    ", ".join(repr(name) for name in counted)
                    if counted
                    else "no absorbed column (the intercept only)"
                )
                + (
                    f"; those of {', '.join(repr(name) for name in self.nested)}, nested in the clusters, are "
                    "not counted (reghdfe's and fixest's rule)."
                    if self.nested
                    else "."
                )
            )
        return note

    def separation_message(self) -> str:
        counts = ", ".join(
            f"{column.separated_levels} of {column.name!r}"
            for column in self.columns
            if column.separated_levels
        )
        return (
            f"absorbed levels whose rows are all 0 or all 1 ({counts}) have no finite effect: their "
            f"{self.separated_rows} row(s) were left out of the fit, as if they were not there, and their "
            "effects are NaN (see separated_levels_ and n_separated_rows_); predictions for their rows "
            "take the limit the dummy-variable fit tends to, the probability 1 or 0 of their outcome. The "
            "other estimates are those of the remaining rows."
        )

    def parameter_count(self) -> int:
        """The level parameters of the dummy model (the intercept among them):
        the rank of its dummy design (level_rank), else Σ kept levels less
        one reference for every column after the first."""
        if self.rank is not None:
            return self.rank
        return sum(column.kept_levels for column in self.columns) - (len(self.columns) - 1)

    def counted_parameters(self, nested: list[str]) -> int:
        """The level parameters a small-sample factor counts: those of the
        columns not nested in a clustering (a nested column's levels are
        constant within each cluster, so they take no degree of freedom of
        the clusters' scores; reghdfe's and fixest's rule), and the
        intercept when every column is nested."""
        counted = [column for column in self.columns if column.name not in nested]
        if not counted:
            return 1  # the intercept, which the levels of a counted column would include
        if self.counted_rank is not None:
            return self.counted_rank
        return sum(column.kept_levels for column in counted) - (len(counted) - 1)

    def offsets(self, X: Any) -> tuple[Any, npt.NDArray[np.float64]]:
        """The frame X without its absorbed columns, and each row's Σⱼ
        effectⱼ[level]: the known part of its linear predictor, ±∞ for a
        row of a level dropped for a single outcome (the limit of its
        first-dropped such level), NaN for one of a level whose effect was
        not estimated. A level not seen in fit is a ValueError naming the
        column and the level."""
        from ._validation import is_distributed

        if is_distributed(X):
            raise ValueError("the model was fitted with absorbed columns: pass an in-memory DataFrame.")
        rest, labels = split(X, self.names)
        total = np.zeros(len(labels[0]) if labels else 0)
        # Per row, the step of its first-dropped level (0: none) and the sign of its limit.
        first = np.zeros(len(total), dtype=np.int32)
        sign = np.zeros(len(total))
        for column, values in zip(self.columns, labels, strict=True):
            # Labels of any kind (categories included) become positions among
            # the fit's levels, so that the limits of separated levels apply
            # to each alike.
            if isinstance(values, Categories):
                codes = _absorbed_labels.level_positions(values, column.levels)
            else:
                codes = _label_positions(column, values)
            if column.limits is None:
                total += column.effects[codes]
                continue
            limits = column.limits[codes]
            total += np.where(limits != 0, 0.0, column.effects[codes])
            steps = np.abs(limits)
            earlier = (steps > 0) & ((first == 0) | (steps < first))
            first[earlier] = steps[earlier]
            sign[earlier] = np.sign(limits[earlier])
        # An infinite term outweighs every finite one.
        limited = first > 0
        total[limited] = sign[limited] * np.inf
        return rest, total

    def first_positions(self, X: Any) -> npt.NDArray[np.intp]:
        """The rows' positions among the first column's levels (the one
        absorbed column whose level moments a fit keeps)."""
        _, labels = split(X, self.names)
        column, values = self.columns[0], labels[0]
        if isinstance(values, Categories):
            return np.asarray(_absorbed_labels.level_positions(values, column.levels), dtype=np.intp)
        return np.asarray(_label_positions(column, values), dtype=np.intp)

    def margin_rows(
        self, X: Any, sample_weight: Any, offset: Any, intercept: float
    ) -> tuple[Any, npt.NDArray[np.float64], npt.NDArray[np.float64]]:
        """The rows of X for the average marginal effects with the levels at
        their estimates: the frame of the other columns, the weights (0 for
        a row of a level dropped for separation, which the fit left out as
        well) and each row's known term, intercept + Σⱼ effectⱼ + offset."""
        from ._robust import checked_offset

        rest, effects = self.offsets(X)
        known = np.isfinite(effects)
        if sample_weight is None:
            weights = np.ones(len(effects))
        else:
            weights = np.array(sample_weight, dtype=np.float64, copy=True).reshape(-1)
            if len(weights) != len(effects):
                raise ValueError(f"sample_weight has {len(weights)} elements; X has {len(effects)} rows")
        weights[~known] = 0.0
        total = intercept + np.where(known, effects, 0.0)
        offsets = checked_offset(offset, len(effects))
        if offsets is not None:
            total += offsets
        return rest, weights, total


def _label_positions(column: AbsorbedColumn, values: npt.NDArray[Any]) -> npt.NDArray[np.intp]:
    """Each row's position among the column's levels, from its labels (a
    NumPy array); a label not seen in fit is a ValueError naming the column,
    the label and its first row."""
    if _comparable(column.levels, values):
        codes = np.minimum(np.searchsorted(column.levels, values), len(column.levels) - 1)
    else:
        codes = np.zeros(len(values), dtype=np.intp)
    unseen = column.levels[codes] != values
    if unseen.any():
        row = int(np.flatnonzero(unseen)[0])
        raise ValueError(
            f"absorbed column {column.name!r} has the level {values[row : row + 1].tolist()[0]!r} "
            f"(row {row}), which was not seen in fit: its effect was not estimated."
        )
    return codes


def _comparable(levels: npt.NDArray[Any], values: npt.NDArray[Any]) -> bool:
    """Whether labels can be among the levels: numbers among numbers, other
    labels among others (integers are no level of a fit of text)."""
    return (levels.dtype.kind in "iub") == (values.dtype.kind in "iub")


def check_absorb(absorb: Any) -> list[str]:
    """absorb as a list of column names, each once."""
    names = [absorb] if isinstance(absorb, str) else list(absorb)
    if not names or not all(isinstance(name, str) for name in names):
        raise ValueError(f"absorb must name one or more columns of X, got {absorb!r}.")
    duplicated = sorted({name for name in names if names.count(name) > 1})
    if duplicated:
        raise ValueError(f"absorb names the column(s) {duplicated} more than once.")
    return names


def check_fit_arguments(absorb: Any, penalty: float) -> list[str]:
    """The absorbed columns' names, once the fit's settings are checked."""
    names = check_absorb(absorb)
    if penalty > 0.0:
        raise ValueError(
            "absorb= fits the unpenalised model: C must be inf (a ridge penalty would shrink the levels)."
        )
    return names


def check_robust_design(kind: CovarianceType, layout: _design.FrameLayout, n_absorbed: int) -> None:
    """The hat values of HC2, HC3 and HC4 with absorbed levels are formed
    for numeric features and one absorbed column only: beside several, a
    row's leverage needs entries of the inverse of a level block that is not
    diagonal (pyfixest refuses them too)."""
    if kind.needs_hat_values and (layout.categorical or n_absorbed > 1):
        raise ValueError(
            f"cov_type={kind.name!r} with absorb= is available for numeric features and one absorbed column: "
            "a row's leverage beside several absorbed columns or categorical features needs entries of the "
            "inverse of their levels' block, which is not diagonal (use 'HC0', 'HC1' or 'cluster')."
        )


def check_chunked_robust_design(kind: CovarianceType, layout: _design.FrameLayout, where: str) -> None:
    """Robust sums beside an absorbed column over Spark's chunks are those
    of dense columns less their level's means: a categorical's are formed
    in memory (_absorbed_sandwich.py), from all rows at once (the Dask fit
    makes its dummy columns dense in each chunk's task instead). Checked
    before any task runs."""
    if kind.robust and layout.categorical:
        raise ValueError(
            f"cov_type={kind.name!r} beside an absorbed column is available on a {where} for numeric "
            "features only: a categorical feature's robust sums need its columns less their levels' means, "
            "which the chunks' sums do not form. Use cov_type='nonrobust', or fit in memory."
        )


def partialled_in_python(kind: CovarianceType, layout: _design.FrameLayout, n_absorbed: int) -> bool:
    """Whether the robust sums of an absorbed fit are formed after it from
    its features partialled out of every absorbed column
    (_absorbed_sandwich.py), rather than in the engine's pass (numeric
    features and one absorbed column)."""
    return kind.robust and not kind.needs_hat_values and bool(layout.categorical or n_absorbed > 1)


# The q x q matrices an absorbed fit of q parameters beside categorical
# features holds at its peak (measured: 4.6 of them for 4,004 parameters, the
# pass's two halves' sums, the eliminated system, its factor and the
# covariance).
_SYSTEM_COPIES = 5


def solved_beside_dummies(
    names: list[str], layout: _design.FrameLayout, n_rows: int, n_levels: list[int], kept_secondary: list[int]
) -> bool:
    """Whether the absorbed columns after the first (of n_levels[0] levels;
    n_levels in the fit's order) are solved for by the engine beside the
    categorical features as dense dummy columns, rather than entering the
    system as parameters (of kept_secondary levels, each less its
    reference): whichever takes less memory. A MemoryError, before anything
    of that size is made, when neither fits in the memory available (a
    failed allocation deep in the fit could take the interpreter with it:
    under overcommit, a large one can succeed and the process be killed
    later)."""
    q = len(layout.parameter_names())
    q_system = q + sum(count - 1 for count in kept_secondary)
    system = _SYSTEM_COPIES * 8 * q_system**2
    # The dummies, and the engine's blocks of a row per column by the levels
    # (the levels' means and the solve's right-hand sides, warm starts and
    # products: about four of the first column's levels, eight of the others').
    width = q - len(layout.numeric)
    dummies = 8 * (n_rows * width + (q + 1) * (4 * n_levels[0] + 8 * sum(n_levels[1:])))
    solved = bool(layout.categorical) and len(n_levels) > 1 and dummies <= system
    needed = dummies if solved else system
    available = _design.available_memory()
    if needed > available:
        absorbed = ", ".join(repr(name) for name in names)
        what = (
            f"the dummy columns of its categorical features ({n_rows:,} rows by {width:,}) beside the solve for "
            f"the levels of {absorbed}"
            if solved
            else f"the system of its {q_system:,} parameters"
            + (
                " (the levels of its categorical features and of the absorbed columns after the first)"
                if len(n_levels) > 1 and layout.categorical
                else " (the levels of its categorical features among them)"
                if layout.categorical
                else ""
            )
        )
        raise MemoryError(
            f"the fit absorbing {absorbed} would need {_size(needed)} for {what}, more than the "
            f"{_size(available)} of memory available."
        )
    return solved


def _size(n_bytes: int) -> str:
    return f"{n_bytes / 2**30:.1f} GiB" if n_bytes >= 2**30 else f"{n_bytes / 2**20:.1f} MiB"


def dummy_columns(X: Any, layout: _design.FrameLayout) -> npt.NDArray[np.float64]:
    """The categorical features of the frame X as the dense columns of their
    parameters, in the layout's order (each level's dummy, times the row's
    multiplier for a column of slopes; none for a reference level)."""
    _, categoricals = _design.frame_columns(X, layout, fitting=True)
    n_rows = len(categoricals[0][0])
    width = sum(n_levels - int(drop_first) for _, n_levels, drop_first, _ in categoricals)
    columns = np.zeros((n_rows, width), order="F")
    start = 0
    rows = np.arange(n_rows)
    for codes, n_levels, drop_first, multiplier in categoricals:
        position = codes.astype(np.intp) - int(drop_first)
        present = position >= 0
        columns[rows[present], start + position[present]] = 1.0 if multiplier is None else multiplier[present]
        start += n_levels - int(drop_first)
    return columns


def split(X: Any, names: list[str]) -> tuple[Any, list[Labels]]:
    """The frame X without the columns names, and their labels: a NumPy
    array of integer labels, or Categories for a Categorical, an Arrow
    dictionary, a polars Categorical or Enum and strings. ValueError for an
    X that is not a DataFrame, a column it lacks, missing values, and
    non-integer numbers."""
    import narwhals as nw
    import pandas as pd

    if isinstance(X, pd.DataFrame):
        present = list(X.columns)
    else:
        frame = _design._other_frame(X)
        if frame is None:
            raise ValueError(
                "absorb= names columns of X: X must be a DataFrame (pandas, polars or another that "
                f"narwhals reads), not {type(X).__name__}."
            )
        present = list(frame.columns)
    missing = [name for name in names if name not in present]
    if missing:
        raise ValueError(f"absorb names column(s) {missing} that X does not have (its columns: {present}).")
    if isinstance(X, pd.DataFrame):
        labels = [_pandas_column(X[name], name) for name in names]
        return X.drop(columns=names), labels
    frame = _design._other_frame(X)
    assert frame is not None
    labels = [_other_column(frame[name], name) for name in names]
    return nw.to_native(frame.drop(names)), labels


def _pandas_column(column: Any, name: str) -> Labels:
    categories = _absorbed_labels.pandas_categories(column, name)
    return pandas_labels(column, name) if categories is None else categories


def _other_column(column: Any, name: str) -> Labels:
    """A column of another library (a narwhals Series) as split reads it."""
    import narwhals as nw

    categories = _absorbed_labels.native_categories(nw.to_native(column), name)
    if categories is not None:
        return categories
    values = column.to_numpy()
    categories = _absorbed_labels.text_categories(name, values)
    return _labels(name, values) if categories is None else categories


def pandas_labels(column: Any, name: str) -> npt.NDArray[Any]:
    """A pandas column's labels, checked (as _labels)."""
    return _labels(name, column.to_numpy(dtype=object if _is_text(column) else None))


def _is_text(column: Any) -> bool:
    return not _design.is_numeric_dtype(column.dtype)


def _labels(name: str, values: npt.NDArray[Any]) -> npt.NDArray[Any]:
    """A column's labels, checked: no missing value, and numbers that are
    integers (a float level would be a measurement, not a group)."""
    import pandas as pd

    missing = pd.isna(values)
    if missing.any():
        raise ValueError(
            f"absorbed column {name!r} has a missing value at row {int(np.flatnonzero(missing)[0])}: "
            "every row needs a level."
        )
    if values.dtype.kind == "f":
        if not np.all(np.isfinite(values)) or not np.array_equal(values, np.round(values)):
            raise ValueError(_absorbed_labels.not_integers_message(name))
        return values.astype(np.int64)
    if values.dtype.kind in "iub":
        return values
    return values.astype(str)


def check_features(q: int) -> None:
    if q == 0:
        raise ValueError("absorb= needs at least one feature besides the absorbed columns.")


def codes_of(labels: Labels) -> tuple[Codes, npt.NDArray[Any], bool]:
    """Each row's code, the levels in code order (sorted), and whether the
    levels may hold some that no row has (codes read in place: levels_seen
    cuts them after the fit). pandas' factorize hashes the labels (np.unique
    would sort a copy of all of them: several times the time and the memory
    at 10⁶ rows). Integer labels that number their levels from 0, nearly all
    of them present, are their own codes, read in place, and so are the
    codes of categories in sorted order (_absorbed_labels)."""
    import pandas as pd

    if isinstance(labels, Categories):
        return _absorbed_labels.level_codes(labels)
    if labels.dtype.kind in "iu" and len(labels):
        table = _table_codes(labels)
        if table is not None:
            codes, levels = table
            return codes, levels, codes is labels
    codes, levels = pd.factorize(labels, sort=True)
    if len(levels) > np.iinfo(np.int32).max:
        raise ValueError("an absorbed column has more levels than 2**31 - 1")
    return codes.astype(np.int32), np.asarray(levels), False


def _table_codes(
    labels: npt.NDArray[Any],
) -> tuple[Codes, npt.NDArray[Any]] | None:
    """codes_of for integer labels of a range no wider than twice the rows:
    the labels themselves where they can be (see codes_of), else a table of
    the values present, and each value's rank among them, read by the
    labels themselves. No hashing, and 4 bytes a row rather than
    factorize's 8 and its table (a fifth of the time, and 41 MB less at
    10⁶ rows); None for a wider range."""
    low, high = int(labels.min()), int(labels.max())
    if high - low >= max(2 * len(labels), 1 << 16):
        return None
    if low >= 0 and high < np.iinfo(np.int32).max and _readable_in_place(labels):
        # Counted in slices: bincount would read all the labels as a copy in intp.
        size = 1 << 20
        counts = np.zeros(high + 1, dtype=np.int64)
        for start in range(0, len(labels), size):
            counts += np.bincount(labels[start : start + size], minlength=high + 1)
        n_present = int(np.count_nonzero(counts))
        # A code of no rows costs the engine its level sums: a few are fine.
        if high + 1 - n_present <= n_present // 16:
            return labels, np.arange(high + 1, dtype=labels.dtype)
    # Labels of 0 or more index a table from 0 in place, with no shifted copy.
    offset = min(low, 0)
    index = labels if offset == 0 else np.subtract(labels, offset, dtype=np.int64)
    present = np.zeros(high - offset + 1, dtype=bool)
    present[index] = True
    if int(np.count_nonzero(present)) > np.iinfo(np.int32).max:
        raise ValueError("an absorbed column has more levels than 2**31 - 1")
    rank = np.cumsum(present, dtype=np.int32)
    rank -= 1
    levels = (np.flatnonzero(present) + offset).astype(labels.dtype)
    return rank[index], levels


_readable_in_place = _absorbed_labels._readable_in_place


def levels_seen(column: AbsorbedColumn, codes: Codes) -> AbsorbedColumn:
    """The column with only the levels some row has, when its codes were
    its labels read in place (whose range may hold numbers no row has):
    every label seen in fit, as a column coded from its labels has."""
    counts = np.zeros(len(column.levels), dtype=np.int64)
    size = 1 << 20
    for start in range(0, len(codes), size):
        counts += np.bincount(codes[start : start + size], minlength=len(column.levels))
    seen = counts > 0
    if seen.all():
        return column
    return AbsorbedColumn(
        column.name,
        column.levels[seen],
        column.effects[seen],
        int(np.count_nonzero(seen[: column.reference])),
        column.separated_levels,
        column.kept_levels,
        None if column.limits is None else column.limits[seen],
    )


def limits_of(
    total: npt.NDArray[np.float64], positive: npt.NDArray[np.float64], step: int = 1
) -> npt.NDArray[np.int32]:
    """Per level, the sign of its effect's limit from its sums over the rows
    it had when it was dropped at step: +step for rows all 1, -step for
    rows all 0, 0 for a level not dropped (or without rows)."""
    limits = np.zeros(len(total), dtype=np.int32)
    has_rows = total > 0
    limits[has_rows & (positive == total)] = step
    limits[has_rows & (positive == 0)] = -step
    return limits


def drop_separated(
    y01: npt.NDArray[np.float64], weights: npt.NDArray[np.float64] | None, codes: list[Codes]
) -> tuple[npt.NDArray[np.bool_] | None, list[npt.NDArray[np.bool_]], list[npt.NDArray[np.int32]]]:
    """The rows kept and, per column, the levels kept and the limits of
    those dropped (limits_of), once the levels whose
    rows of positive weight are all 0 or all 1 are dropped, repeated over
    the columns until no such level is left. Rows kept is None when no
    level is dropped. Nothing of n floats is made (the caller's weights are
    never written). The sums are exact in the cases that matter: a level is
    separated when Σ s y is 0 or equals Σ s, sums of the same terms in the
    same order."""
    n_levels = [int(c.max()) + 1 if len(c) else 0 for c in codes]
    kept = [np.ones(count, dtype=bool) for count in n_levels]
    limits = [np.zeros(count, dtype=np.int32) for count in n_levels]
    rows_kept: npt.NDArray[np.bool_] | None = None
    step = 0
    changed = True
    while changed:
        changed = False
        for j, column in enumerate(codes):
            total, positive = _level_sums(column, n_levels[j], weights, y01, rows_kept)
            separated = (total > 0) & ((positive == 0) | (positive == total))
            if separated.any():
                kept[j] &= ~separated
                step += 1
                limits[j][separated] = limits_of(total, positive, step)[separated]
                rows_kept = kept[j][column] if rows_kept is None else rows_kept & kept[j][column]
                changed = True
    return rows_kept, kept, limits


def _level_sums(
    codes: Codes,
    n_levels: int,
    weights: npt.NDArray[np.float64] | None,
    y01: npt.NDArray[np.float64],
    rows_kept: npt.NDArray[np.bool_] | None,
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """Per level, Σ s and Σ s y over the rows kept (None: all), s the
    weights (None: 1). bincount reads its labels as a copy in intp, 8 bytes
    a row: in slices of rows, that copy is a slice's, not all rows'."""
    size = max(1 << 16, 2 * n_levels)
    total = np.zeros(n_levels)
    positive = np.zeros(n_levels)
    for start in range(0, len(codes), size):
        part = slice(start, start + size)
        s = None if weights is None else weights[part]
        if rows_kept is not None:
            s = rows_kept[part].astype(np.float64) if s is None else np.where(rows_kept[part], s, 0.0)
        total += np.bincount(codes[part], weights=s, minlength=n_levels)
        positive += np.bincount(
            codes[part], weights=y01[part] if s is None else s * y01[part], minlength=n_levels
        )
    return total, positive


def no_row_left(names: list[str]) -> str:
    return (
        f"every level of the absorbed column(s) {names} has outcomes all 0 or all 1: no row is left to fit."
    )


def clusters_are_levels(clusters: Any, name: str, labels: Labels) -> bool:
    """Whether clusters are one-way and the absorbed column name's own:
    clusters naming it, or integer labels equal to its integer labels (a
    Series or an array of it). Any other clusters are coded as given."""
    from ._robust import check_cluster_arguments

    check_cluster_arguments(covariance_type("cluster"), clusters)
    if isinstance(clusters, list | tuple) and len(clusters) == 1 and isinstance(clusters[0], str):
        clusters = clusters[0]
    if isinstance(clusters, str):
        return clusters == name
    if (
        not hasattr(clusters, "dtype")
        or getattr(clusters, "ndim", 0) != 1
        or isinstance(labels, Categories)
        or labels.dtype.kind not in "iu"
    ):
        return False
    values = np.asarray(clusters)
    return values.dtype.kind in "iu" and bool(np.array_equal(values, labels))


def nested_in(codes: Codes, clusters: npt.NDArray[np.int64], counted: npt.NDArray[np.bool_] | None) -> bool:
    """Whether every level's rows (those counted; None: all) lie in one
    cluster: each row's cluster is the one a row of its level last wrote."""
    if counted is not None:
        codes, clusters = codes[counted], clusters[counted]
    if not len(codes):
        return True
    cluster_of_level = np.zeros(int(codes.max()) + 1, dtype=clusters.dtype)
    cluster_of_level[codes] = clusters
    return bool(np.array_equal(cluster_of_level[codes], clusters))


# Rows per slice of level_rank's passes over the codes: each slice's
# temporaries (its pairs of levels, int64) stay near half a MiB apiece, far
# below the fit's own memory (at 1 << 19 they took 38 MiB at a million rows).
_RANK_SLICE = 1 << 16
# The most levels beside the first absorbed column for which level_rank
# forms their eliminated Gram (dense, 8 · m² bytes) to find its rank.
_RANK_LEVELS = 2000


def level_rank(
    codes: list[Codes], n_levels: list[int], counted: npt.NDArray[np.bool_] | None
) -> tuple[int, bool]:
    """The rank of the dummy design of the absorbed columns whose codes are
    given (the column of most levels first), over the rows counted (None:
    all), and whether it is exact (else an upper bound).

    One column: its levels with rows. Two: the levels less one per
    connected group of the graph whose nodes are the levels and whose
    edges are the rows (a shift of one column's effects against the
    other's within a group leaves every row's predictor as it was). More:
    the first column's levels plus the rank of the others' Gram with the
    first eliminated, D₂ᵀD₂ − D₂ᵀD₁ (D₁ᵀD₁)⁻¹ D₁ᵀD₂ (formed over the pairs of
    levels that share a row), when the others have at most _RANK_LEVELS
    levels; beyond that, the rank of the first two plus each further
    column's levels less one, a bound."""
    present = [_levels_with_rows(c, n, counted) for c, n in zip(codes, n_levels, strict=True)]
    if len(codes) == 1:
        return int(present[0].sum()), True
    first_two = int(present[0].sum() + present[1].sum()) - _groups(
        codes[:2], n_levels[:2], present[:2], counted
    )
    if len(codes) == 2:
        return first_two, True
    others = sum(int(p.sum()) for p in present[1:])
    if others > _RANK_LEVELS:
        return first_two + sum(int(p.sum()) - 1 for p in present[2:]), False
    return int(present[0].sum()) + _eliminated_rank(codes, n_levels, present, counted), True


def _level_counts(codes: Codes, n: int, counted: npt.NDArray[np.bool_] | None) -> npt.NDArray[np.float64]:
    """Per level, its rows counted (None: all)."""
    counts = np.zeros(n)
    for part in range(0, len(codes), _RANK_SLICE):
        rows = slice(part, part + _RANK_SLICE)
        chunk = codes[rows] if counted is None else codes[rows][counted[rows]]
        counts += np.bincount(chunk, minlength=n)
    return counts


def _levels_with_rows(codes: Codes, n: int, counted: npt.NDArray[np.bool_] | None) -> npt.NDArray[np.bool_]:
    return _level_counts(codes, n, counted) > 0


def _groups(
    codes: list[Codes],
    n_levels: list[int],
    present: list[npt.NDArray[np.bool_]],
    counted: npt.NDArray[np.bool_] | None,
) -> int:
    """The connected groups of the levels of two columns (with rows; the
    second of fewer levels), linked by the rows. Each level of the first
    joins the group of the second's level of one of its rows, so the groups
    are those of the graph of the second's levels alone, an edge wherever a
    row's level differs from the one its first level joined."""
    from scipy.sparse import coo_array
    from scipy.sparse.csgraph import connected_components

    first, second = codes
    n_second = n_levels[1]
    joined = np.zeros(n_levels[0], dtype=np.int64)
    slices = [slice(part, part + _RANK_SLICE) for part in range(0, len(first), _RANK_SLICE)]

    def rows_of(rows: slice) -> tuple[Codes, Codes]:
        if counted is None:
            return first[rows], second[rows]
        return first[rows][counted[rows]], second[rows][counted[rows]]

    for rows in slices:
        a, b = rows_of(rows)
        joined[a] = b
    # The edges as a table of every pair where it is small (years, say),
    # else as the distinct pairs of each slice.
    table = n_second * n_second <= 1 << 22
    linked = np.zeros(n_second * n_second if table else 0, dtype=bool)
    edges: list[npt.NDArray[np.int64]] = []
    for rows in slices:
        a, b = rows_of(rows)
        level = joined[a]
        keys = (level * n_second + b)[level != b]
        if table:
            linked[keys] = True
        else:
            edges.append(np.unique(keys))
    if table:
        # The table itself is the graph: its groups by a search over its
        # rows, in its n_second² bytes (a sparse graph of every pair would
        # take 34 bytes a pair, 34 MiB for a thousand levels of a second
        # column linked all to all).
        adjacency = linked.reshape(n_second, n_second)
        adjacency |= adjacency.T
        group = _dense_groups(adjacency)
        return len(np.unique(group[present[1]]))
    keys = np.unique(np.concatenate(edges)) if edges else np.empty(0, dtype=np.int64)
    graph = coo_array(
        (np.ones(len(keys), dtype=np.int8), (keys // n_second, keys % n_second)), shape=(n_second, n_second)
    )
    _, group = connected_components(graph, directed=False)
    return len(np.unique(group[present[1]]))


def _dense_groups(adjacency: npt.NDArray[np.bool_]) -> npt.NDArray[np.int64]:
    """Each node's group in the graph of a symmetric boolean adjacency
    matrix, by a breadth-first search from each node not yet reached."""
    n = len(adjacency)
    group = np.full(n, -1, dtype=np.int64)
    count = 0
    for start in range(n):
        if group[start] >= 0:
            continue
        reached = np.zeros(n, dtype=bool)
        reached[start] = True
        frontier = reached.copy()
        while frontier.any():
            frontier = adjacency[frontier].any(axis=0) & ~reached
            reached |= frontier
        group[reached] = count
        count += 1
    return group


def _eliminated_rank(
    codes: list[Codes],
    n_levels: list[int],
    present: list[npt.NDArray[np.bool_]],
    counted: npt.NDArray[np.bool_] | None,
) -> int:
    """The rank of the Gram of the dummies of the columns after the first,
    their levels with rows only, once the first column's are eliminated:
    D₂ᵀD₂ from the pairs of levels of each row, D₁ᵀD₂ from the distinct
    pairs of a first level and another level, with their counts."""
    from scipy.sparse import csr_array

    index = []
    start = 0
    for p in present[1:]:
        position = np.full(len(p), -1, dtype=np.int64)
        position[p] = np.arange(start, start + int(p.sum()))
        index.append(position)
        start += int(p.sum())
    m, n_first = start, n_levels[0]
    gram = np.zeros(m * m)
    pairs: list[tuple[npt.NDArray[np.int64], npt.NDArray[np.int64]]] = []
    for part in range(0, len(codes[0]), _RANK_SLICE):
        rows = slice(part, part + _RANK_SLICE)
        keep = None if counted is None else counted[rows]
        columns = [c[rows] if keep is None else c[rows][keep] for c in codes]
        others = [position[c] for position, c in zip(index, columns[1:], strict=True)]
        for one in others:
            for other in others:
                gram += np.bincount(one * m + other, minlength=m * m)
        keys = np.concatenate([columns[0].astype(np.int64) * m + one for one in others])
        distinct, counts = np.unique(keys, return_counts=True)
        pairs.append((distinct, counts))
    distinct, inverse = np.unique(np.concatenate([d for d, _ in pairs]), return_inverse=True)
    counts = np.bincount(inverse, weights=np.concatenate([c for _, c in pairs]).astype(np.float64))
    cross = csr_array((counts, (distinct // m, distinct % m)), shape=(n_first, m))
    level_rows = _level_counts(codes[0], n_first, counted)
    scale = np.divide(1.0, level_rows, out=np.zeros(n_first), where=level_rows > 0)
    schur = gram.reshape(m, m)
    # Σ_f c_f c_fᵀ / n_f over the first column's levels, in dense blocks of
    # them (a sparse product of the two would cost several times more).
    block = max(1, (1 << 20) // max(m, 1))
    for low in range(0, n_first, block):
        part = cross[low : low + block].toarray()
        schur -= part.T @ (part * scale[low : low + block, None])
    # A zero eigenvalue comes out as rounding of sums of up to n counts (far
    # below 1e-12 of the largest); a real one of weakly linked levels is of
    # the order of 1/(rows of a level), far above it.
    eigenvalues = np.linalg.eigvalsh(schur)
    return int(np.count_nonzero(eigenvalues > 1e-12 * m * max(float(eigenvalues[-1]), 1.0)))


@dataclass
class AbsorbedFit:
    """What fit() hands the estimator: the fit of the remaining features
    (its result cut to their parameters), what was absorbed, and the
    parameters the small-sample factors and statistics count."""

    fitted: Any  # _fitted.Fitted
    absorption: Absorption
    intercept: float
    k_robust: int  # parameters counted by the robust covariance's factor
    k_statistics: int  # parameters of the dummy model (AIC, the LR test's degrees of freedom)


def fit(spec: FitSpec) -> AbsorbedFit:
    """The fit of X's other columns with the columns absorb names absorbed,
    its passes on n_threads threads (at most two are used); with
    bias_correction, its slopes corrected (corrected_fit)."""
    from sklearn.utils.validation import check_array

    from ._fitted import Fitted, weight_sums
    from ._robust import MeatRequest, check_cluster_count, checked_offset, meat_request
    from ._validation import encode_binary_target, frequency_weights

    X, y, sample_weight, clusters, offset = spec.rows.unpacked()
    absorb, kind, penalty, link = spec.absorb, spec.covariance, spec.penalty, spec.link
    tol, max_iter, progress = spec.tol, spec.max_iter, spec.progress
    n_threads = _native.blas_threads() if spec.n_threads is None else spec.n_threads
    bias_correction = spec.bias_correction

    names = check_fit_arguments(absorb, penalty)
    rest, labels = split(X, names)
    y = check_array(y, ensure_2d=False, dtype=None, input_name="y")
    if y.ndim != 1 or len(y) != len(labels[0]):
        raise ValueError(
            f"Found input variables with inconsistent numbers of samples: [{len(labels[0])}, {len(y)}]"
        )
    classes, y01 = encode_binary_target(y)
    n_rows = len(y01)
    weights = frequency_weights(sample_weight, np.empty((n_rows, 0)), y01)
    coded = []
    sparse = []
    for values in labels:
        codes, levels, may_be_unused = codes_of(values)
        coded.append((codes, levels))
        sparse.append(may_be_unused)
    # The column of most levels is the one eliminated exactly.
    order = sorted(range(len(names)), key=lambda j: -len(coded[j][1]))
    rows_kept, kept_levels, level_limits = drop_separated(y01, weights, [coded[j][0] for j in order])
    separated = [int(np.count_nonzero(~levels)) for levels in kept_levels]
    # The rows that count (positive weight, not dropped); None for all.
    counted = None if weights is None else weights > 0
    separated_rows = 0
    if rows_kept is not None:
        separated_rows = int(np.count_nonzero(~rows_kept if counted is None else ~rows_kept & counted))
        counted = rows_kept if counted is None else rows_kept & counted
    if counted is not None and not counted.any():
        raise ValueError(no_row_left(names))
    # Levels dropped from the eliminated column alone leave out their rows
    # in the engine, by a flag per level; others by weights of 0.
    flagged = rows_kept is not None and all(levels.all() for levels in kept_levels[1:])
    fit_weights = weights
    if rows_kept is not None and not flagged:
        fit_weights = np.where(rows_kept, 1.0 if weights is None else weights, 0.0)
    by_levels = kind.clustered and len(names) == 1 and clusters_are_levels(clusters, names[0], labels[0])
    # Codes of categories that were renumbered (an Arrow column's indices,
    # strings' factorisation) are not held through the fit.
    del labels, values
    if by_levels:
        # The clusters are the eliminated levels: the engine forms their
        # scores from its level sums, with no codes of their own.
        request = MeatRequest(kind, by_levels=True)
    else:
        if isinstance(clusters, str) or (
            isinstance(clusters, list | tuple) and clusters and all(isinstance(c, str) for c in clusters)
        ):
            chosen = [clusters] if isinstance(clusters, str) else list(clusters)
            unknown = [c for c in chosen if c not in names]
            if unknown:
                raise ValueError(
                    f"clusters names {unknown}, which are not absorbed columns (absorb={names})."
                )
            clusters = np.column_stack([coded[names.index(c)][0] for c in chosen])
            if clusters.shape[1] == 1:
                clusters = clusters[:, 0]
        request = meat_request(kind, clusters, n_rows, counted)
    layout = _design.learn_layout(rest, True)
    if bias_correction is not None:
        _bias_correction.check_features(bool(layout.categorical))
        _bias_correction.check_levels([len(levels) for _, levels in coded])
    check_robust_design(kind, layout, len(names))
    in_python = partialled_in_python(kind, layout, len(names))
    if in_python and by_levels:
        # The clusters are the levels, read as their codes by the sums formed here.
        by_levels = False
        request = meat_request(kind, coded[0][0], n_rows, counted)
    q = len(layout.parameter_names())
    check_features(q)
    primary_codes, primary_levels = coded[order[0]]
    # The other absorbed columns: solved for each update by the engine (its
    # further absorbed columns), read in place, beside numeric features and
    # beside categorical ones made dense dummy columns; or, when those
    # columns would take more memory than the system of all the levels, as
    # categorical blocks of the design, coded afresh over the rows kept so
    # that the first kept level is the reference (code 0).
    present_levels = {
        j: np.flatnonzero(
            np.bincount(coded[j][0] if counted is None else coded[j][0][counted], minlength=len(coded[j][1]))
        )
        for j in (order[1:] if layout.categorical else [])
    }
    as_dummies = solved_beside_dummies(
        names,
        layout,
        n_rows,
        [len(coded[j][1]) for j in order],
        [len(present) for present in present_levels.values()],
    )
    if as_dummies:
        numeric, _ = _design.frame_columns(rest, layout, fitting=True)
        blocks: _design.Blocks = [_native.DenseBlock(values=run) for run in numeric]
        blocks.append(_native.DenseBlock(values=dummy_columns(rest, layout)))
    else:
        blocks = _design.frame_blocks(rest, layout, fitting=True)
    further = order[1:] if as_dummies or not layout.categorical else []
    secondary = []
    for j in order[1:] if not further else []:
        codes, levels = coded[j]
        present = present_levels[j]
        recode = np.zeros(len(levels), dtype=np.int32)
        recode[present] = np.arange(len(present), dtype=np.int32)
        blocks.append(_native.CategoricalBlock(codes=recode[codes], n_levels=len(present), drop_first=True))
        secondary.append((j, present))
    if in_python:
        further_levels = sum(len(coded[j][1]) for j in order[1:])
        if further_levels > FURTHER_LIMIT:
            raise ValueError(
                f"cov_type={kind.name!r} with absorb= needs the absorbed columns after the first to have at "
                f"most {FURTHER_LIMIT:,} levels together (their system is formed whole); "
                f"{', '.join(repr(names[j]) for j in order[1:])} have {further_levels:,}. Absorb the column of "
                "most levels first, or use cov_type='nonrobust'."
            )
    checked = checked_offset(offset, n_rows)
    covariance = request.native(weight_sums(y01, weights, counted)[0], in_engine=not in_python)
    if flagged:
        # Not held during the fit (a byte a row, at its peak): made again
        # from the flags after it.
        del rows_kept
        counted = None
    result = _native.fit(
        blocks,
        y01,
        fit_weights,
        options=_native.FitOptions(
            fit_intercept=False,
            tol=tol,
            max_iter=max_iter,
            n_threads=max(int(n_threads), 1),
            link=link.native,
        ),
        covariance=covariance,
        absorbed=_native.Absorbed(
            codes=primary_codes,
            n_levels=len(primary_levels),
            kept_levels=kept_levels[0] if flagged else None,
            further_codes=[coded[j][0] for j in further],
            further_levels=[len(coded[j][1]) for j in further],
        ),
        offset=checked,
        progress=progress,
    )
    if flagged:
        counted = kept_levels[0][primary_codes]
        if weights is not None:
            counted &= weights > 0
    coefficients = np.asarray(result.coefficients)
    if in_python and result.passes > 0:
        absorbed = result.absorbed
        assert absorbed is not None  # a fit given absorbed= has them
        features = features_of(blocks, rest, layout, as_dummies)
        scores = features @ coefficients[:q] + np.asarray(absorbed.fixed_effects)[primary_codes]
        start_level = 0
        for j in further:
            count = len(coded[j][1])
            scores += np.asarray(absorbed.further_effects)[start_level : start_level + count][coded[j][0]]
            start_level += count
        # The columns after the first that entered the system as categorical
        # blocks: their levels' coefficients follow the features'. The
        # features are partialled out of them too (the features' rows of the
        # system's inverse give the same influence as their Schur complement).
        partial_codes = [(coded[j][0], len(coded[j][1])) for j in further]
        position = q
        for j, present in secondary:
            recode = np.full(len(coded[j][1]), -1, dtype=np.intp)
            recode[present] = np.arange(len(present))
            codes = recode[coded[j][0]]
            levels = np.concatenate([[0.0], coefficients[position : position + len(present) - 1], [0.0]])
            scores += levels[codes]  # -1, a level without rows: the appended 0
            partial_codes.append((np.where(codes >= 0, codes, len(present)), len(present) + 1))
            position += len(present) - 1
        if checked is not None:
            scores += checked
        frequencies = np.ones(n_rows) if weights is None else np.array(weights, dtype=np.float64)
        if counted is not None:
            frequencies[~counted] = 0.0
        meats = absorbed_meats(
            features,
            y01,
            frequencies,
            scores,
            (primary_codes, len(primary_levels)),
            partial_codes,
            link,
            request.clusters if kind.clustered else None,
        )
        del features, scores
        # Rows of hat value 1 matter to HC2 and HC3 alone, whose sums the
        # engine forms (partialled_in_python).
        result = result.replace(robust=_native.RobustSums(meats=meats, hat_one_rows=[]))
    uncorrected = None
    if bias_correction is not None and _bias_correction.correctable(result):
        frequencies = np.ones(n_rows) if weights is None else np.array(weights, dtype=np.float64)
        if counted is not None:
            frequencies[~counted] = 0.0
        corrected = corrected_fit(
            result,
            features_of(blocks, rest, layout, as_dummies),
            y01,
            frequencies,
            checked,
            coded,
            order,
            link,
            n_total=float(n_rows if weights is None else np.sum(weights)),
            tol=tol,
            max_iter=max_iter,
        )
        if corrected is not None:
            uncorrected = np.asarray(result.coefficients)[:q].copy()
            result, partial_effects = corrected
    columns: list[AbsorbedColumn | None] = [None] * len(names)
    if further:
        result = further_columns(result, names, coded, further, separated, counted, columns)
    columns[order[0]], intercept = eliminated_column(names[order[0]], primary_levels, result, separated[0])
    start = q
    for rank, (j, present) in enumerate(secondary, start=1):
        levels = coded[j][1]
        level_effects = np.full(len(levels), np.nan)
        level_effects[present[0]] = 0.0
        level_effects[present[1:]] = coefficients[start : start + len(present) - 1]
        # A level dropped as dependent (levels in groups that no row links)
        # has the coefficient 0 in the fit, as any dropped parameter: a
        # normalisation of its group, with which the rows were predicted.
        dropped_here = [d - start for d in result.dropped if start <= d < start + len(present) - 1]
        level_effects[present[1:][dropped_here]] = 0.0
        columns[j] = AbsorbedColumn(
            names[j], levels, level_effects, int(present[0]), separated[rank], len(present)
        )
        start += len(present) - 1
    for rank, j in enumerate(order):
        column = columns[j]
        if column is not None and level_limits[rank].any():
            columns[j] = column = dataclasses.replace(column, limits=level_limits[rank])
        if column is not None and sparse[j]:
            columns[j] = levels_seen(column, coded[j][0])
    absorption = Absorption([c for c in columns if c is not None], separated_rows)
    result = cut_to_features(result, q)
    nested = []
    if by_levels:
        request.level_groups = absorption.columns[0].kept_levels
        check_cluster_count(request.n_groups)
        # A column is nested in itself.
        absorption = Absorption(absorption.columns, separated_rows, names)
    elif kind.clustered:
        nested = [
            column.name
            for column, values in zip(
                absorption.columns, [coded[names.index(c.name)][0] for c in absorption.columns], strict=True
            )
            if any(nested_in(values, codes, counted) for codes, _ in request.clusters[:2])
        ]
        absorption = Absorption(absorption.columns, separated_rows, nested)
    if len(names) > 1:
        absorption = ranked(absorption, names, [(j, coded[j]) for j in order], counted)
    if uncorrected is not None:
        absorption = dataclasses.replace(
            absorption,
            bias_correction=bias_correction,
            uncorrected=uncorrected,
            partial_effects=partial_effects,
        )
    one_way_nested = kind.clustered and len(request.n_groups) == 1 and names[0] in absorption.nested
    moments = margin_moments(
        names,
        kind,
        blocks,
        rest,
        layout,
        as_dummies,
        result,
        q,
        y01,
        weights,
        counted,
        checked,
        primary_codes,
        link,
        uncorrected is not None,
        one_way_nested,
    )
    fitted = Fitted(classes, result, *weight_sums(y01, weights, counted), meat_request=request, layout=layout)
    fitted.null_deviance = result.null_deviance
    handed = absorbed_fit(fitted, absorption, intercept, q)
    if moments.reason is None and moments.meat == "rows" and kind.small_sample is not None:
        moments = dataclasses.replace(moments, factor=kind.small_sample(fitted.n_obs, handed.k_robust))
    if moments.reason is None and sparse[order[0]]:
        # The column keeps the levels some row has (levels_seen).
        moments = moments.compacted(np.bincount(primary_codes, minlength=len(primary_levels)) > 0)
    handed.absorption = dataclasses.replace(handed.absorption, level_moments=moments)
    return handed


def corrected_fit(
    result: _native.FitResult,
    features: npt.NDArray[np.float64],
    y01: npt.NDArray[np.float64],
    frequencies: npt.NDArray[np.float64],
    offset: npt.NDArray[np.float64] | None,
    coded: list[tuple[Codes, npt.NDArray[Any]]],
    order: list[int],
    link: Any,
    *,
    n_total: float,
    tol: float,
    max_iter: int,
) -> tuple[_native.FitResult, tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]] | None:
    """The absorbed fit's result with its slopes bias-corrected
    (_bias_correction) and its levels solved again given them, with X β̃
    (and the caller's offset) a known term of each row; and the average
    partial effects, corrected, with their covariance (NaN for dropped
    features). frequencies are the rows' weights, 0 for those left out;
    n_total the sum of them all, those of rows left out for a single
    outcome among them. None, with a warning, where the correction is not
    finite (_bias_correction.not_corrected). coded holds every absorbed
    column's (codes, levels) in the order absorb= named them, order the
    engine's (the eliminated column first, then those it solved beside
    it, further_effects stacked in that order)."""
    coefficients = np.array(result.coefficients, dtype=np.float64, copy=True)
    q = features.shape[1]
    codes = [c for c, _ in coded]
    absorbed = result.absorbed
    assert absorbed is not None  # a fit given absorbed= has them
    # The effects as absorb= ordered the columns.
    effects: list[npt.NDArray[np.float64]] = [np.empty(0)] * len(coded)
    effects[order[0]] = np.asarray(absorbed.fixed_effects)
    if len(order) > 1:
        stacked = np.asarray(absorbed.further_effects)
        ends = np.cumsum([len(coded[j][1]) for j in order[1:]])
        for rank, j in enumerate(order[1:]):
            effects[j] = stacked[ends[rank] - len(coded[j][1]) : ends[rank]]
    scores = features @ coefficients[:q] + sum(e[c] for e, c in zip(effects, codes, strict=True))
    if offset is not None:
        scores += offset
    kept = np.ones(q, dtype=bool)
    kept[[d for d in result.dropped if d < q]] = False
    try:
        shift, projection = _bias_correction.correction(
            features[:, kept], scores, frequencies, codes, [len(levels) for _, levels in coded], link.name
        )
    except np.linalg.LinAlgError:
        shift = np.full(int(kept.sum()), np.nan)
    del scores
    if not np.all(np.isfinite(shift)):
        _bias_correction.not_corrected("its terms are not finite (the information is singular)")
        return None
    coefficients[np.flatnonzero(kept)] += shift
    known = features @ coefficients[:q]
    if offset is not None:
        known += offset
    # The engine's absorbed fit moves its slopes: the levels given fixed
    # ones are solved here, from the uncorrected fit's effects moved by
    # their first-order response to the slopes' change (minus the
    # projection of X δ on the levels).
    effects, settled = _bias_correction.solve_levels(
        known,
        y01,
        frequencies,
        codes,
        [e - p @ shift for e, p in zip(effects, projection, strict=True)],
        link.name,
        tol,
        max_iter,
    )
    if not settled:
        from sklearn.exceptions import ConvergenceWarning

        _caller.warn(
            "the levels' effects given the bias-corrected slopes did not settle in max_iter updates: "
            "fixed_effects_ and the predictions are those of the last update.",
            ConvergenceWarning,
        )
    known += sum(e[c] for e, c in zip(effects, codes, strict=True))
    values, covariance = _bias_correction.partial_effects(
        features[:, kept],
        coefficients[:q][kept],
        known,
        y01,
        frequencies,
        codes,
        [len(levels) for _, levels in coded],
        link.name,
        n_total,
    )
    effects_of_all = np.full(q, np.nan)
    effects_of_all[kept] = values
    covariance_of_all = np.full((q, q), np.nan)
    covariance_of_all[np.ix_(kept, kept)] = covariance
    return result.replace(
        coefficients=coefficients,
        absorbed=absorbed.replace(
            fixed_effects=effects[order[0]],
            further_effects=np.concatenate([effects[j] for j in order[1:]])
            if len(order) > 1
            else absorbed.further_effects,
        ),
    ), (effects_of_all, covariance_of_all)


def margin_moments(
    names: list[str],
    kind: CovarianceType,
    blocks: _design.Blocks,
    rest: Any,
    layout: _design.FrameLayout,
    as_dummies: bool,
    result: _native.FitResult,
    q: int,
    y01: npt.NDArray[np.float64],
    weights: npt.NDArray[np.float64] | None,
    counted: npt.NDArray[np.bool_] | None,
    offset: npt.NDArray[np.float64] | None,
    codes: Codes,
    link: Any,
    corrected: bool,
    nested: bool,
) -> LevelMoments:
    """The sums per level that the marginal effects' delta method over the
    slopes and the levels needs (_level_moments), formed over the training
    rows at the fit's estimates, or why they are not formed. One pass over
    the rows, O(L · q) kept."""
    if len(names) > 1:
        return unavailable(
            "with several absorbed columns the levels' covariance with the slopes needs the inverse of "
            "the levels' non-diagonal block, which is not formed"
        )
    if result.passes == 0 or result.absorbed is None:
        return unavailable("the fit made no update")
    if corrected:
        return unavailable("the slopes were bias-corrected")
    if not all(isinstance(block, _native.DenseBlock | _native.CategoricalBlock) for block in blocks):
        return unavailable("it is formed for dense numeric and categorical features (not sparse ones)")
    if kind.needs_hat_values:
        return unavailable(f"cov_type={kind.name!r} would need every row's leverage in the dummy model")
    if kind.clustered and not nested:
        return unavailable(
            "it is formed for one clustering in which the absorbed levels are nested (the levels "
            "themselves, or coarser groups), where the levels' scores vanish from the clusters' sums"
        )
    n = len(y01)
    if as_dummies or not layout.categorical:
        # The numeric runs (and dummy columns) the fit read, in blocks of rows: no copy of X.
        runs = [block.values for block in blocks if isinstance(block, _native.DenseBlock)]

        def rows_of(rows: slice) -> npt.NDArray[np.float64]:
            if len(runs) == 1 and runs[0].ndim == 2:
                return runs[0][rows]  # a view
            return np.column_stack([run[rows] for run in runs])

    else:
        # The categorical features' dummy columns beside the numeric ones,
        # dense, as the robust sums of such a fit form them.
        whole = features_of(blocks, rest, layout, as_dummies).reshape(n, -1)

        def rows_of(rows: slice) -> npt.NDArray[np.float64]:
            return whole[rows]

    if rows_of(slice(0, 1)).shape[1] != q:
        return unavailable("it is formed for numeric and categorical features (not slopes per level)")
    rows = RowTerms(
        y01,
        codes,
        np.asarray(result.absorbed.fixed_effects),
        np.asarray(result.coefficients)[:q],
        offset,
        weights,
        counted,
    )
    return level_moments(
        rows_of,
        q,
        rows,
        len(result.absorbed.fixed_effects),
        link,
        "clusters" if kind.clustered else "rows" if kind.robust else "nonrobust",
        np.asarray(result.covariance)[:q, :q],
    )


def ranked(
    absorption: Absorption,
    names: list[str],
    coded: list[tuple[int, tuple[Codes, npt.NDArray[Any]]]],
    counted: npt.NDArray[np.bool_] | None,
) -> Absorption:
    """The absorption with the ranks of its dummy designs (level_rank), of
    every column and of those not nested in the clusters; coded holds
    (index, (codes, levels)) of each column, that of most levels first."""
    rank, exact = level_rank([c for _, (c, _) in coded], [len(levels) for _, (_, levels) in coded], counted)
    counted_rank = rank
    chosen = [(c, levels) for j, (c, levels) in coded if names[j] not in absorption.nested]
    if chosen and len(chosen) < len(coded):
        counted_rank, counted_exact = level_rank(
            [c for c, _ in chosen], [len(lv) for _, lv in chosen], counted
        )
        exact = exact and counted_exact
    return dataclasses.replace(absorption, rank=rank, counted_rank=counted_rank, rank_is_bound=not exact)


def further_columns(
    result: Any,
    names: list[str],
    coded: list[tuple[Codes, npt.NDArray[Any]]],
    further: list[int],
    separated: list[int],
    counted: npt.NDArray[np.bool_] | None,
    columns: list[AbsorbedColumn | None],
) -> Any:
    """The absorbed columns the engine solved for after the first, into
    columns, each normalised so that its first level with rows has effect 0
    (the difference added to the first column's effects, which leaves every
    row's predictor as it was); the result with the first column's effects
    so shifted. A ConvergenceWarning when the solve missed its tolerance."""
    absorbed = result.absorbed
    if absorbed.further_unconverged:
        from sklearn.exceptions import ConvergenceWarning

        _caller.warn(
            f"the solve for the levels of {[names[j] for j in further]} missed its tolerance in "
            f"{absorbed.further_unconverged} update(s): their levels are poorly connected through the rows "
            "(the estimates may be less accurate than tol).",
            ConvergenceWarning,
        )
    stacked = np.asarray(absorbed.further_effects)
    shift = 0.0
    start = 0
    for rank, j in enumerate(further, start=1):
        codes, levels = coded[j]
        has_rows = np.bincount(codes if counted is None else codes[counted], minlength=len(levels)) > 0
        reference = int(np.argmax(has_rows))
        effects = stacked[start : start + len(levels)]
        shift += float(effects[reference])
        columns[j] = AbsorbedColumn(
            names[j],
            levels,
            np.where(has_rows, effects - effects[reference], np.nan),
            reference,
            separated[rank],
            int(has_rows.sum()),
        )
        start += len(levels)
    return result.replace(absorbed=absorbed.replace(fixed_effects=np.asarray(absorbed.fixed_effects) + shift))


def eliminated_column(
    name: str, levels: npt.NDArray[Any], result: Any, separated_levels: int
) -> tuple[AbsorbedColumn, float]:
    """The column whose levels the engine eliminated, from its result's
    effects and level weights, and the intercept: its first level with rows
    is the reference, and the others' effects are relative to it."""
    has_rows = np.asarray(result.absorbed.level_weights) > 0
    reference = int(np.argmax(has_rows))
    alpha = np.asarray(result.absorbed.fixed_effects)
    intercept = float(alpha[reference])
    effects = np.where(has_rows, alpha - intercept, np.nan)
    return AbsorbedColumn(name, levels, effects, reference, separated_levels, int(has_rows.sum())), intercept


def features_of(
    blocks: _design.Blocks, rest: Any, layout: _design.FrameLayout, as_dummies: bool
) -> npt.NDArray[np.float64]:
    """The features as one dense array in the order of their parameters:
    the blocks' own when all are dense (numeric runs, and the dummy columns
    of categorical features when the fit was given them), else the numeric
    runs beside the categorical features' dummy columns made here."""
    if as_dummies or not layout.categorical:
        return np.column_stack([block.values for block in blocks if isinstance(block, _native.DenseBlock)])
    numeric, _ = _design.frame_columns(rest, layout, fitting=True)
    return np.column_stack([*numeric, dummy_columns(rest, layout)])


def cut_to_features(result: _native.FitResult, q: int) -> _native.FitResult:
    """The result of the remaining features alone (its first q parameters).
    Its margin sums go with parameters beyond the features' (the levels of
    further absorbed columns as categorical blocks, beside categorical
    features, whose effects need every row): their slope was not carried
    to those levels' final coefficients, so they are dropped."""
    margins = {} if len(result.coefficients) == q else {"margin_sums": None}
    return result.replace(
        coefficients=np.asarray(result.coefficients)[:q],
        covariance=np.asarray(result.covariance)[:q, :q],
        last_pass_coefficients=np.asarray(result.last_pass_coefficients)[:q],
        dropped=[d for d in result.dropped if d < q],
        **margins,
    )


def absorbed_fit(fitted: Any, absorption: Absorption, intercept: float, q: int) -> AbsorbedFit:
    """The fit handed to the estimator, with the parameters its small-sample
    factors (the levels of columns nested in the clusters left out) and its
    statistics count."""
    n_slopes = q - len(fitted.result.dropped)
    return AbsorbedFit(
        fitted,
        absorption,
        intercept,
        n_slopes + absorption.counted_parameters(absorption.nested),
        n_slopes + absorption.parameter_count(),
    )
