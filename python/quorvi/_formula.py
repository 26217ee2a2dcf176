"""Formulas (``"y ~ x + C(g) + C(g):C(h)"``) as the estimator's input:
parsed, evaluated and coded by formulaic, with its rules for which columns
each term keeps, and materialized by our materializer (_materializer.py),
which never builds a dummy column.

A term of categorical factors alone becomes categorical columns of the
design frame: each of its parameters is the indicator of one combination of
levels, so the combinations that have no parameter (a reference level in one
of the factors) share a single reference code. That is the frame the
estimator already reads as codes (python/quorvi/_design.py), with reference
coding: no column of n × levels is ever made. A numeric term (``x``,
``I(x ** 2)``, ``np.log(x)``, ``x:z``) is a float64 column of it. A
numeric × categorical term (``x:C(g)``, a slope per level) is the same
categorical column with the product of its numeric factors beside it as
its multiplier: the fit reads the two as one varying-slope block. A
factor coded with other contrasts (``C(g, Sum)``, ``C(g, Poly)``, ...) is
fitted treatment-coded and its parameters mapped to the contrasts'
afterwards (python/quorvi/_contrasts.py).
"""

from __future__ import annotations

import ast
import dataclasses
import functools
from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

import narwhals.stable.v2 as nw
import numpy as np
import numpy.typing as npt

from ._backends import Backend, backend_of
from ._contrasts import ColumnCoding, column_codings
from ._design import SLOPES, slopes_of
from ._validation import is_distributed

if TYPE_CHECKING:
    import pandas as pd

    from ._design import FrameLayout

# The name statsmodels (and formulaic) give the intercept.
INTERCEPT = "Intercept"

# The label of the code that the combinations without a parameter share in a
# categorical term's column of the design frame. Column names of formulaic
# always contain the term's name, so it cannot be one of them.
_REFERENCE = "(reference)"


def _codes_materializer() -> Any:
    """Our materializer (python/quorvi/_materializer.py), imported with
    formulaic on first use."""
    _formulaic()
    from ._materializer import CodesMaterializer

    return CodesMaterializer


def _formulaic() -> Any:
    try:
        import formulaic
    except ImportError as error:  # pragma: no cover - the optional dependency
        raise ImportError(
            "formulas need formulaic: pip install quorvi[formula] (or pip install formulaic)"
        ) from error
    return formulaic


@dataclass
class FormulaDesign:
    """What a formula learned in fit, applied to every frame given to the
    fitted model: formulaic's model spec (transforms, levels, reference
    levels, the columns each term keeps) and how its terms became the
    columns of the design frame the estimator fits."""

    formula: str
    spec: Any  # formulaic's ModelSpec of the right-hand side
    intercept: bool
    numeric: list[str] = field(default_factory=list)  # design-frame columns, in order
    categorical: list[str] = field(default_factory=list)  # design-frame columns (term names)
    terms: dict[str, list[str]] = field(default_factory=dict)  # term -> its column names
    # The columns of the formula's "| fe1 + fe2" part, absorbed as fixed
    # effects (the estimator's absorb=); the design frame carries them last.
    absorbed: list[str] = field(default_factory=list)
    # What a row with a missing value does: "drop" leaves it out of the fit
    # and gives it no prediction; "raise" refuses it.
    missing: str = "drop"
    # The expressions of the formula's offset(...) terms (R's and
    # statsmodels' offset(np.log(t))): known terms of every row's linear
    # predictor, evaluated on every frame given to the fitted model.
    offsets: list[str] = field(default_factory=list)
    # For factors coded with other contrasts than treatment (C(g, Sum),
    # ...): the fitted columns that the map to statsmodels' parameters
    # involves, by name (python/quorvi/_contrasts.py); empty without them.
    contrasts: dict[str, ColumnCoding] = field(default_factory=dict)

    @property
    def written(self) -> str:
        """The formula as written, offsets included (what names its variables)."""
        return self.formula if not self.offsets else f"{self.formula} + {' + '.join(self.offsets)}"

    def offset_of(self, data: Any) -> npt.NDArray[np.float64] | None:
        """The sum of the offset terms on the rows of data (NaN where a
        variable of theirs is missing), or None without any."""
        if not self.offsets:
            return None
        return formula_offsets(self.offsets, _collected(data, self.written, self.absorbed))

    def frame(self, data: Any, caller: str = "predict()") -> Any:
        """The design frame of data for the fitted model (pandas: numeric
        columns, then each categorical term as a Categorical of codes; for a
        Dask DataFrame, that of every partition), refusing rows with a
        missing value (see rows())."""
        backend = backend_of(data)
        if backend is not None:
            # Each partition refuses an incomplete row when it is computed:
            # rows dropped there would no longer line up with offsets chunked
            # like the data, nor a label with its row (the fit cuts the
            # partitions to their complete rows first, learn()).
            meta = _dask_meta(self.formula, data)
            # A back end whose meta holds the formula's variables alone (Spark's)
            # gives the absorbed columns' dtypes apart.
            left_out = [name for name in self.absorbed if name not in meta.columns]
            if left_out and set(left_out) <= set(backend.module().columns(data)):
                meta = meta.join(backend.module().formula_meta(data, set(left_out)))
            meta = self.frame(meta, caller)
            return backend.module().formula_frames(
                data, functools.partial(_partition_frame, self, caller), meta
            )
        frame, complete = self.rows(data)
        if complete is not None:
            count = int(np.count_nonzero(~complete))
            raise ValueError(_incomplete_message(caller, count, len(complete), self.formula))
        return frame

    def rows(self, data: Any) -> tuple[Any, npt.NDArray[np.bool_] | None]:
        """The design frame of data's complete rows, and which rows those
        are (None when all are): a row is incomplete when a variable of the
        right-hand side or an absorbed column is missing there, or a
        transform makes it NaN. With missing="raise", formulaic's error."""
        data = _collected(data, self.written, self.absorbed)
        pandas_data = _pandas_data(data, self.formula)
        matrix = _materialize(self.formula, self.spec, pandas_data, self.missing)
        complete = None
        if self.missing == "drop":
            offset_nulls = None if not self.offsets else np.isnan(formula_offsets(self.offsets, data))
            complete = _complete_rows(matrix.values(), _absorbed_nulls(data, self.absorbed), offset_nulls)
            if complete is not None:
                matrix = _subset(matrix, complete)
        frame, _, _, _ = _design_frame(self.spec, matrix, self.categorical)
        return _with_absorbed(frame, data, self.absorbed, complete), complete

    def partition_scores(self, scores_of: Any, part: Any) -> npt.NDArray[np.float64]:
        """The linear predictor of a partition's rows (scores_of: that of
        a design frame), NaN for its incomplete rows (R's na.exclude): the
        partition's length kept."""
        frame, complete = self.rows(part)
        if complete is None:
            return np.asarray(scores_of(frame), dtype=np.float64)
        scores = np.full(len(complete), np.nan)
        if complete.any():
            scores[complete] = scores_of(frame)
        return scores

    def parameter_names(self, layout: FrameLayout | None, feature_names: Sequence[str]) -> list[str]:
        """The parameter names, in the estimator's order, as statsmodels
        names them for the same formula (``Intercept``, ``C(g)[T.b]``,
        ``x:C(g)[T.b]``, ``I(x ** 2)``)."""
        if layout is None:
            names = list(feature_names)
        else:
            names = [*layout.numeric]
            for column in layout.categorical:
                names.extend(str(level) for level in column.levels[int(column.drop_first) :])
        # With absorbed effects the intercept is among their levels.
        return [INTERCEPT, *names] if self.intercept and not self.absorbed else names

    def term_groups(self, names: Sequence[str]) -> dict[str, list[str]]:
        """Each term and the names of its parameters (those the fit kept):
        what wald_test() tests jointly for the term's name."""
        present = set(names)
        return {term: [name for name in columns if name in present] for term, columns in self.terms.items()}


@dataclass
class Learned:
    """What learn() gives the fit: the formula's design, the design frame of
    the data's complete rows with their labels, which rows those are (None
    when all are) and the fit's companions (sample_weight, clusters,
    offset) of the same rows."""

    design: FormulaDesign
    frame: Any
    labels: Any
    complete: npt.NDArray[np.bool_] | None
    companions: dict[str, Any]
    # The rows left out on Dask, where no mask of them is kept (dropped_rows).
    n_dropped_distributed: int = 0

    @property
    def dropped_rows(self) -> npt.NDArray[np.bool_] | None:
        """The rows left out, a mask of the data's length. None on Dask: a
        lazy mask would hold the graph of the training data (on a cluster,
        its persisted partitions) for as long as the model lives, and a
        computed one a value per row in the client's memory."""
        if is_distributed(self.frame):
            return None
        if self.complete is None:
            return np.zeros(len(self.frame), dtype=bool)
        return ~self.complete

    @property
    def n_dropped_rows(self) -> int:
        dropped = self.dropped_rows
        return self.n_dropped_distributed if dropped is None else int(np.count_nonzero(dropped))


def learn(
    formula: str,
    data: Any,
    y: Any,
    fit_intercept: bool,
    missing: str = "drop",
    companions: dict[str, Any] | None = None,
    named: Sequence[str] = (),
) -> Learned:
    """The formula learned on data: its design, the design frame of data
    and the labels of its left-hand side. Every check of the formula and of
    the data it names is made here, before any fitting. With
    missing="drop", a row is left out when a variable of the formula, or a
    companion (weights, offsets, clusters as arrays of the data's length),
    is missing there; the design frame, the labels and the companions are
    then those of the other rows. named: the columns of data that the
    companions were read from (on Dask, a missing value there drops its
    row; an array given as values must be complete)."""
    companions = dict(companions or {})
    formula, absorbed = split_absorbed(formula)
    written = formula
    formula, offsets = split_offsets(formula)
    parsed = _parse(formula)
    data = _collected(data, written, absorbed)
    backend = backend_of(data)
    dask = backend is not None
    if absorbed and backend is not None:
        # What the back end's absorbed fit refuses, before any pass over the data.
        backend.module().check_absorbed(absorbed)
    if offsets and dask:
        raise ValueError(
            f"the formula's offset terms ({', '.join(offsets)}) are evaluated in memory: on a "
            f"{backend.name.capitalize() if backend else ''} DataFrame, give the offset as a column "
            "(offset='name') instead."
        )
    frame = _dask_meta(formula, data, learn=True, missing=missing) if dask else _pandas_data(data, written)
    if offsets:
        known = formula_offsets(offsets, frame)
        given = companions.get("offset")
        companions["offset"] = known if given is None else known + np.asarray(given, dtype=np.float64)
    # On Dask the model spec is learned from the frame's dtypes (an empty
    # frame, nothing to drop); the partitions' incomplete rows are left out
    # where they live, once the model spec is known (below).
    na_action = "raise" if dask else missing
    lhs, lhs_missing = (None, None) if dask else _lhs(formula, parsed, frame, na_action=na_action)
    if y is not None:
        _check_given_labels(formula, y, lhs, lhs_missing, backend or backend_of(y))
    matrix = _materialize(formula, parsed.rhs, frame, na_action)
    spec = matrix.model_spec
    if dask and spec.transform_state:
        raise NotImplementedError(
            f"the formula {formula!r} has transforms that learn from the data "
            f"({', '.join(spec.transform_state)}): on a Dask DataFrame the model spec is learned from "
            "its dtypes alone, so such transforms are not available there."
        )
    complete = None
    if na_action == "drop":
        nulls = [lhs_missing, _absorbed_nulls(data, absorbed)]
        nulls.extend(_companion_nulls(name, value, len(frame)) for name, value in companions.items())
        complete = _complete_rows(matrix.values(), *nulls)
        if complete is not None:
            if not np.any(complete):
                raise ValueError(_nothing_left(len(complete), formula))
            matrix = _subset(matrix, complete)
            assert lhs is not None
            lhs = lhs[complete]
            companions = {name: _rows_of(value, complete) for name, value in companions.items()}
    if lhs is not None:
        _check_two_labels(formula, parsed, lhs)
    intercept = any(_is_intercept(structure) for structure in spec.structure)
    if intercept != bool(fit_intercept):
        has = "has an intercept" if intercept else "has no intercept (0 + or - 1)"
        raise ValueError(
            f"the formula {formula!r} {has}, but fit_intercept={bool(fit_intercept)}: the formula "
            f"decides, so pass fit_intercept={intercept} too (quorvi.logit does this itself)."
        )
    design_frame, numeric, categorical, full = _design_frame(spec, matrix, None, fitting=not dask)
    slopes = slopes_of(design_frame)
    _check_coding(formula, intercept, [name for name in categorical if name not in slopes], full)
    design = FormulaDesign(
        formula, spec, intercept, numeric, categorical, absorbed=absorbed, missing=missing, offsets=offsets
    )
    design.terms = {
        str(structure.term): list(structure.columns)
        for structure in spec.structure
        if not _is_intercept(structure)
    }
    design.contrasts = column_codings(matrix)
    if absorbed and design.contrasts:
        # The absorbed levels carry the intercept, which a contrast's
        # columns mix with the factor's: the map would move the levels'
        # effects too.
        raise NotImplementedError(
            f"the formula {formula!r} codes a factor with contrasts other than treatment beside absorbed "
            "levels ('| fe'), which is not available: use treatment coding there, or the absorbed "
            "columns as terms (C(fe))."
        )
    if absorbed and not intercept:
        raise ValueError(
            f"the formula {formula!r} has no intercept, but its absorbed levels carry one: leave out the "
            "0 + (or - 1)."
        )
    if dask:
        assert backend is not None
        n_dropped = 0
        module = backend.module()
        # A back end without it refuses missing values where it learns the
        # levels.
        complete_rows = getattr(module, "formula_complete_rows", None)
        if missing == "drop" and complete_rows is not None:
            checked = list(dict.fromkeys([*absorbed, *named]))
            names = _variables(written) | set(checked)
            columns = [name for name in module.columns(data) if name in names]
            complete_of = functools.partial(_partition_complete, formula, parsed, spec, checked)
            data, companions, dropped, n_rows = complete_rows(data, columns, complete_of, companions)
            # None: the back end counts them in its fit's first pass (Spark).
            if dropped is not None and dropped == n_rows:
                raise ValueError(_nothing_left(n_rows, formula))
            n_dropped = dropped or 0
        # Each partition's design frame carries its absorbed columns, as in
        # memory: the fit takes them out by name (absorb= on Dask).
        labels = _dask_labels(formula, parsed, data)
        return Learned(design, design.frame(data), labels, None, companions, n_dropped)
    return Learned(design, _with_absorbed(design_frame, data, absorbed, complete), lhs, complete, companions)


def _nothing_left(n: int, formula: str) -> str:
    return (
        f"every one of the {n} rows has a missing value in a variable of the formula {formula!r} (or "
        "of its weights, offsets or clusters): no row is left to fit."
    )


def _partition_complete(
    formula: str, parsed: Any, spec: Any, checked: list[str], part: pd.DataFrame
) -> npt.NDArray[np.bool_]:
    """Which rows of a partition (pandas) are complete for the formula: its
    right-hand side (a transform's NaN too), its label and the checked
    columns (absorbed, or naming weights, offsets or clusters); what
    learn() finds in memory, row for row."""
    matrix = _materialize(formula, spec, part, "drop")
    _, lhs_missing = _lhs(formula, parsed, part, na_action="drop")
    complete = _complete_rows(matrix.values(), lhs_missing, _absorbed_nulls(part, checked))
    return np.ones(len(part), dtype=bool) if complete is None else complete


def _partition_frame(
    design: FormulaDesign, caller: str, part: pd.DataFrame, partition_info: dict[str, Any] | None = None
) -> Any:
    """A partition's design frame (Dask passes partition_info, which names
    the partition in the refusal of an incomplete row)."""
    try:
        return design.frame(part, caller)
    except ValueError as error:
        if partition_info is None:
            raise
        raise ValueError(f"partition {partition_info['number']} of the data: {error}") from None


def _scored_partition(
    design: FormulaDesign, parsed: Any, part: pd.DataFrame, partition_info: dict[str, Any] | None = None
) -> pd.Series:
    """The labels of a partition's left-hand side for score(), which needs
    every row of it complete."""
    import pandas as pd

    labels, missing = _lhs(design.formula, parsed, part, design.missing)
    _, complete = design.rows(part)
    incomplete = np.zeros(len(labels), dtype=bool) if missing is None else missing
    if complete is not None:
        incomplete = incomplete | ~complete
    if incomplete.any():
        where = "" if partition_info is None else f"partition {partition_info['number']} of the data: "
        count = int(incomplete.sum())
        raise ValueError(where + _incomplete_message("score()", count, len(labels), design.formula))
    return pd.Series(labels, index=part.index)


def _incomplete_message(caller: str, count: int, n: int, formula: str) -> str:
    """Why a method that needs every row refuses data with incomplete rows."""
    return (
        f"{caller} needs every row of the data, and {count} of its {n} rows have a missing value (NaN "
        f"or None) in a variable of the formula {formula!r}, or one that a transform makes NaN: drop "
        "or fill them first (predict_proba() and decision_function() give NaN for such rows)."
    )


def _complete_rows(columns: Any, *nulls: npt.NDArray[np.bool_] | None) -> npt.NDArray[np.bool_] | None:
    """Which rows have every column of a materialized matrix (and no null
    among nulls): a numeric column's NaN or a factor's code -1 (a missing
    level) marks an incomplete row. One pass over each distinct array (a
    factor's codes and a numeric factor are shared by its columns). None
    when every row is complete."""
    missing: npt.NDArray[np.bool_] | None = None
    seen: set[int] = set()

    def add(mask: npt.NDArray[np.bool_]) -> None:
        nonlocal missing
        missing = mask if missing is None else np.logical_or(missing, mask, out=missing)

    for column in columns:
        if not hasattr(column, "indicators"):
            continue  # the intercept's ones
        arrays: list[tuple[npt.NDArray[Any], bool]] = [
            (indicator.codes, True) for indicator in column.indicators
        ]
        if column.numeric is not None:
            arrays.append((column.numeric, False))
        for values, codes in arrays:
            if id(values) in seen:
                continue
            seen.add(id(values))
            add(values < 0 if codes else np.isnan(values))
    for mask in nulls:
        if mask is not None:
            add(mask.copy() if missing is None else mask)
    if missing is None or not missing.any():
        return None
    return ~missing


def _subset(matrix: Any, complete: npt.NDArray[np.bool_]) -> dict[str, Any]:
    """The materialized columns of the complete rows, each distinct array
    subset once (a term's columns share their factors' arrays): the one
    copy of the formula's columns that dropping rows costs. The numeric
    arrays are rows of one block, in the matrix's order, so that the fit
    reads neighbouring columns as one dense run (_design._dense_runs), as
    it reads the columns of a pandas block in place."""
    numeric: dict[int, npt.NDArray[np.float64]] = {}
    for column in matrix.values():
        if getattr(column, "numeric", None) is not None:
            numeric.setdefault(id(column.numeric), column.numeric)
    block = np.empty((len(numeric), int(np.count_nonzero(complete))))
    cache: dict[int, npt.NDArray[Any]] = {}
    for row, (key, values) in enumerate(numeric.items()):
        cache[key] = np.compress(complete, values, out=block[row])

    def rows(values: npt.NDArray[Any]) -> npt.NDArray[Any]:
        if id(values) not in cache:
            cache[id(values)] = values[complete]
        return cache[id(values)]

    subset = {}
    for name, column in matrix.items():
        if hasattr(column, "indicators"):
            indicators = tuple(dataclasses.replace(i, codes=rows(i.codes)) for i in column.indicators)
            numeric_values = None if column.numeric is None else rows(column.numeric)
            subset[name] = dataclasses.replace(column, numeric=numeric_values, indicators=indicators)
        else:
            # The intercept's ones, which the design frame leaves out.
            subset[name] = column
    return _Columns(subset, matrix.model_spec)


class _Columns(dict[str, Any]):
    """Materialized columns with the model spec they were materialized by,
    as formulaic's model matrix carries it."""

    def __init__(self, columns: dict[str, Any], model_spec: Any) -> None:
        super().__init__(columns)
        self.model_spec = model_spec


def _absorbed_nulls(data: Any, absorbed: list[str]) -> npt.NDArray[np.bool_] | None:
    """The rows whose absorbed columns (the formula's "| fe" part) are missing."""
    if not absorbed or is_distributed(data):
        return None
    import pandas as pd

    if not isinstance(data, pd.DataFrame):
        data = nw.from_native(data, eager_only=True)
        present = [name for name in absorbed if name in data.columns]
        return np.asarray(data.select(present).to_pandas().isna().any(axis=1)) if present else None
    present = [name for name in absorbed if name in data.columns]
    return np.asarray(data[present].isna().any(axis=1)) if present else None


def _companion_nulls(name: str, value: Any, n: int) -> npt.NDArray[np.bool_] | None:
    """The rows where a companion of the fit (an array of weights, offsets
    or cluster labels of the data's length) is missing; None for a
    companion that is absent or not such an array (a column's name)."""
    import pandas as pd

    if value is None or isinstance(value, str) or is_distributed(value):
        return None
    if isinstance(value, list | tuple) and all(isinstance(item, str) for item in value):
        return None  # names of columns
    table = value if isinstance(value, pd.Series | pd.DataFrame) else pd.DataFrame(np.asarray(value))
    if len(table) != n:
        raise ValueError(
            f"{name} has {len(table)} rows and the data {n}: with a formula, give one value per row of "
            "the data (the rows with a missing value are left out of both)."
        )
    nulls = table.isna()
    return np.asarray(nulls.any(axis=1) if isinstance(nulls, pd.DataFrame) else nulls, dtype=bool)


def rows_of(value: Any, complete: npt.NDArray[np.bool_], name: str) -> Any:
    """An array of the data's length (an offset at prediction) of the
    complete rows only."""
    if value is None:
        return None
    values = np.asarray(value)
    if len(values) != len(complete):
        raise ValueError(f"{name} has {len(values)} rows and the data {len(complete)}")
    return values[complete]


def _rows_of(value: Any, complete: npt.NDArray[np.bool_]) -> Any:
    """A companion of the fit of the complete rows only (names as they are)."""
    import pandas as pd

    if value is None or isinstance(value, str) or is_distributed(value):
        return value
    if isinstance(value, list | tuple) and all(isinstance(item, str) for item in value):
        return value
    if isinstance(value, pd.Series | pd.DataFrame):
        return value.iloc[complete]
    return np.asarray(value)[complete]


def _check_given_labels(formula: str, y: Any, lhs: Any, lhs_missing: Any, backend: Backend | None) -> None:
    """A y given to fit beside a formula must be its left-hand side (as
    scikit-learn's scorers and cross_val_score pass it): refused otherwise,
    and always on a back end (the data's or y's), whose rows y cannot be
    matched to."""
    if backend is not None:
        raise ValueError(
            f"with a formula on a {backend.name.capitalize()} DataFrame, y is its left-hand side: call "
            f"fit(data) without y (the formula {formula!r} names the labels)."
        )
    if not _same_labels(y, lhs, lhs_missing):
        raise ValueError(
            f"with a formula, y is its left-hand side: the y given differs from the labels that the formula "
            f"{formula!r} names in the data; call fit(data) without y."
        )


def _same_labels(y: Any, lhs: npt.NDArray[Any], lhs_missing: npt.NDArray[np.bool_] | None) -> bool:
    """Whether y holds the left-hand side's labels, row for row (where they
    are missing, y may hold anything)."""
    values = np.asarray(y)
    if values.ndim == 2 and values.shape[1] == 1:
        values = values[:, 0]
    if values.shape != lhs.shape:
        return False
    known = slice(None) if lhs_missing is None else ~lhs_missing
    try:
        return bool(np.all(values[known] == lhs[known]))
    except (TypeError, ValueError):
        return False


def split_absorbed(formula: str) -> tuple[str, list[str]]:
    """The formula without its "| fe1 + fe2" part (pyfixest's syntax for
    absorbed fixed effects), and the columns that part names. The part is
    found at the last "|" outside parentheses and parsed by formulaic; each
    of its terms must be a plain column name."""
    if not isinstance(formula, str):
        return formula, []
    depth, bar = 0, -1
    for position, character in enumerate(formula):
        depth += {"(": 1, ")": -1}.get(character, 0)
        if character == "|" and depth == 0:
            bar = position
    if bar < 0:
        return formula, []
    main, part = formula[:bar].rstrip(), formula[bar + 1 :].strip()
    names = []
    for term in (term.strip() for term in part.split("+")):
        if not term.isidentifier():
            raise ValueError(
                f"the absorbed part of the formula {formula!r} must name columns joined by '+' "
                f"(as '| firm + year'); {term!r} is not a column name."
            )
        names.append(term)
    return main, names


def split_offsets(formula: str) -> tuple[str, list[str]]:
    """The formula without its offset(...) terms on the right-hand side, and
    their expressions (the text inside each offset(...)). A right-hand
    side of offsets alone becomes "1" (the intercept, as R reads it)."""
    if not isinstance(formula, str) or "offset" not in formula:
        return formula, []
    tilde = formula.find("~")
    head, rhs = formula[: tilde + 1], formula[tilde + 1 :]
    expressions: list[str] = []
    kept: list[str] = []
    for term in _top_level_terms(rhs):
        stripped = term.strip()
        if (
            stripped.startswith("offset(")
            and stripped.endswith(")")
            and _balanced(stripped[len("offset(") : -1])
        ):
            expressions.append(stripped[len("offset(") : -1].strip())
        else:
            kept.append(stripped)
    if not expressions:
        return formula, []
    kept = [term for term in kept if term]
    return f"{head} {' + '.join(kept) if kept else '1'}", expressions


def _top_level_terms(rhs: str) -> list[str]:
    """rhs split at its "+" outside parentheses."""
    terms, depth, start = [], 0, 0
    for position, character in enumerate(rhs):
        depth += {"(": 1, ")": -1}.get(character, 0)
        if character == "+" and depth == 0:
            terms.append(rhs[start:position])
            start = position + 1
    terms.append(rhs[start:])
    return terms


def _balanced(text: str) -> bool:
    depth = 0
    for character in text:
        depth += {"(": 1, ")": -1}.get(character, 0)
        if depth < 0:
            return False
    return depth == 0


def formula_offsets(expressions: list[str], data: Any) -> npt.NDArray[np.float64]:
    """The sum of the offset expressions evaluated on data by formulaic (as
    the formula's other terms are), NaN where one of their variables is
    missing; a ValueError for an expression that is not one numeric value a
    row."""
    formulaic = _formulaic()
    frame = _pandas_data(data, " + ".join(expressions))
    total = np.zeros(len(frame))
    for expression in expressions:
        with np.errstate(invalid="ignore", divide="ignore"):
            matrix = formulaic.model_matrix(f"0 + {expression}", frame, na_action="ignore")
        values = np.asarray(matrix, dtype=np.float64)
        if values.ndim != 2 or values.shape[1] != 1:
            raise ValueError(
                f"offset({expression}) must be one number per row; it has {values.shape[1]} columns "
                "(a categorical variable?)."
            )
        total += values[:, 0]
    return total


def _with_absorbed(
    frame: Any, data: Any, absorbed: list[str], complete: npt.NDArray[np.bool_] | None = None
) -> Any:
    """The design frame with data's absorbed columns (of the complete rows,
    when given) after its own (the estimator takes them out again by name)."""
    if not absorbed:
        return frame
    import pandas as pd

    present = (
        list(data.columns)
        if isinstance(data, pd.DataFrame)
        else nw.from_native(data, eager_only=True).columns
    )
    missing = [name for name in absorbed if name not in present]
    if missing:
        raise ValueError(
            f"the formula's absorbed part names column(s) {missing} that the data does not have."
        )
    clash = [name for name in absorbed if name in frame.columns]
    if clash:
        raise ValueError(
            f"the column(s) {clash} are both absorbed and terms of the formula: use one or the other."
        )
    if isinstance(data, pd.DataFrame):
        columns = data[absorbed]
    else:
        columns = nw.from_native(data, eager_only=True).select(absorbed).to_pandas()
    if complete is not None:
        columns = columns.iloc[complete]
    joined = pd.concat([frame, columns.set_axis(frame.index, axis=0)], axis=1)
    joined.attrs = frame.attrs  # how the frame's slope columns pair up (slopes_of)
    return joined


def _is_intercept(structure: Any) -> bool:
    """Whether a term of the model spec is the intercept (a term of no
    factors once scoped), which the estimator fits as its own."""
    return all(not scoped.factors for scoped in structure.scoped_terms)


def _parse(formula: str) -> Any:
    """The formula parsed by formulaic, refused with a ValueError naming it
    for a syntax error, and with NotImplementedError for absorbed fixed
    effects (``| fe``) and formulas of other shapes."""
    formulaic = _formulaic()
    from formulaic.errors import FormulaicError

    if not isinstance(formula, str):
        raise TypeError(f"formula must be a string such as 'y ~ x + C(g)', got {type(formula).__name__}")
    try:
        parsed = formulaic.Formula(formula)
    except FormulaicError as error:
        raise ValueError(f"the formula {formula!r} cannot be parsed: {error}") from None
    if not hasattr(parsed, "lhs") or not hasattr(parsed, "rhs"):
        raise ValueError(f"the formula {formula!r} has no left-hand side: write it as 'y ~ x + ...'")
    if isinstance(parsed.rhs, tuple):
        raise ValueError(
            f"the formula {formula!r} has more than one '|' part: write it as 'y ~ x | fe1 + fe2'."
        )
    if len(list(parsed.lhs)) != 1:
        raise ValueError(f"the formula {formula!r} must have one term on its left-hand side, the labels")
    return parsed


def _dask_meta(formula: str, data: Any, learn: bool = False, missing: str = "drop") -> pd.DataFrame:
    """The empty pandas frame of a Dask DataFrame's dtypes, on which the
    model spec is learned: every partition must code its levels alike, so a
    categorical column the formula names must have known categories (as
    the Dask fit of a frame requires), and a string column is refused.
    learn: the model spec is learned on it (a back end that finds the levels in
    a pass over the rows, as Spark's, makes that pass only then; a fitted
    model spec has its levels; with missing="raise", it refuses missing
    values there too)."""
    backend = backend_of(data)
    assert backend is not None
    names = {str(variable) for variable in _formulaic().Formula(formula).required_variables}
    # A numeric column that enters only as a factor (C(rel)) has no levels
    # in an empty frame: the back end finds its values in the pass that
    # learns the rest, and the meta holds them as categories.
    factors = factor_only_variables(formula, names) if learn else set()
    meta: pd.DataFrame = backend.module().formula_meta(
        data, names, learn=learn, missing=missing, levels_of=factors
    )
    return meta


def factor_only_variables(formula: str, names: set[str]) -> set[str]:
    """The variables (of names) that the formula's terms use only as the
    first argument of C(): their values are its levels, and no term reads
    them as numbers."""
    as_factor: set[str] = set()
    as_number: set[str] = set()
    for term in _terms(getattr(_formulaic().Formula(formula), "rhs", ())):
        for factor in term.factors:
            try:
                tree = ast.parse(str(factor.expr), mode="eval").body
            except SyntaxError:
                continue
            if (
                isinstance(tree, ast.Call)
                and isinstance(tree.func, ast.Name)
                and tree.func.id == "C"
                and tree.args
            ):
                first = tree.args[0]
                if isinstance(first, ast.Name):
                    as_factor.add(first.id)
                rest = [*tree.args[1:], *(keyword.value for keyword in tree.keywords)]
                as_number |= {node.id for arg in rest for node in ast.walk(arg) if isinstance(node, ast.Name)}
                continue
            as_number |= {node.id for node in ast.walk(tree) if isinstance(node, ast.Name)}
    return (as_factor - as_number) & names


def _terms(structure: Any) -> Any:
    """The terms of a formula's right-hand side, its '| fe' part included
    (formulaic gives a structure of parts, each of terms)."""
    if hasattr(structure, "factors"):
        yield structure
        return
    for item in structure:
        yield from _terms(item)


def _dask_labels(formula: str, parsed: Any, data: Any) -> Any:
    """The labels of a Dask DataFrame's left-hand side, partition by
    partition, as a Dask Series (the fit checks that there are two)."""
    import pandas as pd

    def labels(part: pd.DataFrame) -> pd.Series:
        return pd.Series(_lhs(formula, parsed, part)[0])

    backend = backend_of(data)
    assert backend is not None
    meta = labels(_dask_meta(formula, data))
    return backend.module().formula_frames(data, labels, meta)


def _variables(formula: str) -> set[str]:
    """The names of the variables a formula uses."""
    return {str(variable) for variable in _formulaic().Formula(formula).required_variables}


def is_lazy(data: Any) -> bool:
    """Whether data is a lazy frame narwhals reads (a polars LazyFrame, ...)."""
    return not is_distributed(data) and isinstance(nw.from_native(data, pass_through=True), nw.LazyFrame)


def collected_columns(
    data: Any, formula: str, absorbed: Sequence[str], named: Sequence[str] = ()
) -> list[str]:
    """The columns of a lazy frame that a formula's fit or prediction
    collects: the variables of the formula, its absorbed columns and the
    columns named by sample_weight, offset and clusters (named), in the
    frame's order."""
    frame = nw.from_native(data)
    names = _variables(formula) | set(absorbed) | set(named)
    return [name for name in frame.collect_schema().names() if name in names]


def collect(data: Any, columns: list[str]) -> Any:
    """The lazy frame data collected, the columns named only."""
    return nw.from_native(data).select(columns).collect().to_native()


def _collected(data: Any, formula: str, absorbed: Sequence[str], named: Sequence[str] = ()) -> Any:
    """A lazy frame (a polars LazyFrame, ...) collected: its
    collected_columns() and no other; any other data as it is."""
    if not is_lazy(data):
        return data  # in memory, or evaluated partition by partition, never collected
    return collect(data, collected_columns(data, formula, absorbed, named))


def _pandas_data(data: Any, formula: str) -> pd.DataFrame:
    """data as a pandas DataFrame: a pandas frame as it is; a frame of
    another library (polars, pyarrow, ...) through narwhals, the columns the
    formula names only, with a polars Categorical read as strings (sorted
    levels, as the estimator reads it)."""
    import pandas as pd

    if isinstance(data, pd.DataFrame):
        return data
    frame = nw.from_native(data, eager_only=True, pass_through=True)
    if not isinstance(frame, nw.DataFrame):
        raise TypeError(
            f"a formula needs a DataFrame (pandas, polars, ...) for its data, got {type(data).__name__}"
        )
    names = {str(variable) for variable in _formulaic().Formula(formula).required_variables}
    used = [name for name in frame.columns if name in names]
    frame = frame.select(used).with_columns(
        nw.col(name).cast(nw.String) for name in used if frame.schema[name] == nw.Categorical
    )
    return frame.to_pandas()


def _materialize(
    formula: str,
    spec: Any,
    frame: pd.DataFrame,
    missing: str = "raise",
    factors: dict[str, Any] | None = None,
) -> Any:
    """The columns of spec (a parsed right-hand side, or the ModelSpec of a
    fit) on frame, with the formula's errors in our words: the term that
    could not be evaluated, a missing value (missing="raise"). With
    missing="drop" the missing values are kept (NaN, or a factor's code -1)
    for _complete_rows to find in one pass, and a transform's NaN (np.log
    of a negative number) is such a value, not a warning: the fit counts
    the rows it leaves out. factors, when given, receives the values of the
    numeric factors as formulaic evaluated them (by expression), which the
    margins' derivatives read without evaluating the terms again."""
    from formulaic.errors import FormulaicError

    try:
        materializer = _codes_materializer()(frame)
        if missing == "drop":
            with np.errstate(invalid="ignore"):
                matrix = materializer.get_model_matrix(spec, na_action="ignore")
        else:
            matrix = materializer.get_model_matrix(spec, na_action="raise")
        if factors is not None:
            from formulaic.parser.types import Factor

            for expression, evaluated in materializer.factor_cache.items():
                if evaluated.metadata.kind is Factor.Kind.NUMERICAL:
                    factors[expression] = evaluated.values
        return matrix
    except FormulaicError as error:
        raise ValueError(f"the formula {formula!r}: {error}") from None
    except ValueError as error:
        if "null values" in str(error):
            raise ValueError(
                f"the formula {formula!r}: {error} Drop or fill the missing values first."
            ) from None
        raise


def _lhs(
    formula: str, parsed: Any, frame: pd.DataFrame, na_action: str = "raise"
) -> tuple[npt.NDArray[Any], npt.NDArray[np.bool_] | None]:
    """The labels of the left-hand side, one column (numeric, boolean,
    categorical or string), of every row of frame, and which of them are
    missing (None when none is; with na_action="raise", a missing label is
    formulaic's error)."""
    term = str(next(iter(parsed.lhs)))
    from formulaic.errors import FormulaicError

    try:
        matrix = _codes_materializer()(frame).get_model_matrix(
            parsed.lhs, ensure_full_rank=False, na_action="ignore" if na_action == "drop" else "raise"
        )
    except (FormulaicError, ValueError) as error:
        raise ValueError(f"the left-hand side {term!r} of {formula!r}: {error}") from None
    columns = list(matrix.values())
    labels: npt.NDArray[Any]
    if columns[0].indicators:
        # A categorical label: the level of each row, from its codes (-1
        # for a missing one).
        indicator = columns[0].indicators[0]
        levels = matrix.model_spec.encoder_state[indicator.factor][1]["categories"]
        missing = indicator.codes < 0
        labels = np.asarray([*levels, None], dtype=object)[indicator.codes]
    elif len(columns) == 1:
        labels = np.asarray(columns[0].numeric)
        missing = np.isnan(labels)
    else:
        raise ValueError(f"the left-hand side {term!r} of {formula!r} must be one column, the labels")
    return labels, (missing if missing.any() else None)


def _check_two_labels(formula: str, parsed: Any, labels: npt.NDArray[Any]) -> None:
    """The labels of the whole data (not a Dask partition: the Dask fit
    checks the labels of all its chunks) must have two distinct values."""
    distinct = np.unique(labels)
    if len(distinct) != 2:
        term = str(next(iter(parsed.lhs)))
        shown = ", ".join(map(repr, distinct[:5].tolist())) + (", ..." if len(distinct) > 5 else "")
        raise ValueError(
            f"the left-hand side {term!r} of {formula!r} has {len(distinct)} distinct value(s) "
            f"({shown}); a logistic regression needs exactly two."
        )


def _design_frame(
    spec: Any, matrix: dict[str, Any], order: list[str] | None, fitting: bool = False
) -> tuple[pd.DataFrame, list[str], list[str], list[str]]:
    """The design frame of materialized columns: each numeric term's columns
    as float64 columns, then each categorical term as one Categorical column
    (named by the term) whose categories are its parameters' names, after
    the shared reference code when the term has one. A term without a
    reference (all combinations kept: the first categorical term of a
    formula without an intercept) comes first among them, where the
    estimator gives the first categorical all its levels. A numeric ×
    categorical term (x:C(g)) is such a Categorical column and, among the
    numeric columns, its multiplier (the product of its numeric factors),
    paired in the frame's attrs (python/quorvi/_design.py): those come
    last, with the formula's reference whatever their place.

    Returns the frame, its numeric columns (multipliers included), its
    categorical columns in order (slopes included) and those of them
    without a reference (slopes left out: their coding is the formula's
    whatever the intercept)."""
    import pandas as pd

    numeric: dict[str, npt.NDArray[np.float64]] = {}
    categorical: dict[str, pd.Categorical] = {}
    slopes: dict[str, tuple[str, str | None]] = {}
    full: list[str] = []
    for structure in spec.structure:
        term = structure.term
        if _is_intercept(structure):
            continue
        columns = [matrix[name] for name in structure.columns]
        # The columns of one scoped term (one set of factors, each in full
        # or with its reference left out, times one product of numeric
        # columns) mark disjoint combinations of levels: one categorical
        # column each. A term has several when formulaic codes it so
        # (C(a):C(b) without the main effects: C(b) with a reference, then
        # C(a) with one within each level of C(b)).
        groups: dict[tuple[tuple[str, ...], tuple[str, ...]], list[int]] = {}
        for position, column in enumerate(columns):
            key = (tuple(i.factor for i in column.indicators), column.numeric_names)
            groups.setdefault(key, []).append(position)
        with_levels = [positions for (factors, _), positions in groups.items() if factors]
        for positions in (positions for (factors, _), positions in groups.items() if not factors):
            for p in positions:
                numeric[structure.columns[p]] = np.ascontiguousarray(columns[p].numeric, dtype=np.float64)
        for number, positions in enumerate(with_levels):
            name = str(term) if len(with_levels) == 1 else f"{term} [{number}]"
            codes, has_reference = _term_codes(str(term), [columns[p] for p in positions], fitting)
            labels = [structure.columns[p] for p in positions]
            categories = [*([_REFERENCE] if has_reference else []), *labels]
            categorical[name] = pd.Categorical.from_codes(codes, categories=pd.Index(categories))
            multiplier = columns[positions[0]].numeric
            if multiplier is not None:
                # Every column of the group has this product: the same
                # numeric columns multiplied.
                product = ":".join(columns[positions[0]].numeric_names)
                multiplier_name = f"{product} (in {name})"
                numeric[multiplier_name] = np.ascontiguousarray(multiplier, dtype=np.float64)
                slopes[name] = (multiplier_name, _REFERENCE if has_reference else None)
            elif not has_reference:
                full.append(name)
    plain = [name for name in categorical if name not in slopes]
    names = order if order is not None else [*full, *(n for n in plain if n not in full), *slopes]
    frame = pd.DataFrame({**numeric, **{name: categorical[name] for name in names}}, copy=False)
    if slopes:
        frame.attrs[SLOPES] = slopes
    return frame, list(numeric), list(names), full


def _term_codes(term: str, columns: list[Any], fitting: bool) -> tuple[npt.NDArray[np.int32], bool]:
    """Each row's code in a term of categorical factors: 1 + the index of
    the column (the combination of levels) it falls in, 0 for the rows in
    none of them (the shared reference); without such rows the codes are
    the column indices themselves."""
    factors = columns[0].indicators
    sizes = [indicator.n_levels for indicator in factors]
    strides = np.cumprod([1, *sizes[:-1]])
    # One entry per combination of levels: the code of its rows.
    table = np.zeros(int(np.prod(sizes)), dtype=np.int32)
    for position, column in enumerate(columns):
        key = sum(
            int(stride) * indicator.level
            for stride, indicator in zip(strides, column.indicators, strict=True)
        )
        table[key] = position + 1
    keys = np.zeros(len(factors[0].codes), dtype=np.int64)
    for stride, indicator in zip(strides, factors, strict=True):
        keys += int(stride) * indicator.codes.astype(np.int64)
    codes = table[keys]
    if np.all(table > 0):
        return codes - 1, False
    if fitting and not np.any(codes == 0):
        raise ValueError(
            f"the term {term!r} has no row at its reference levels; choose a reference level with "
            "rows (C(g, Treatment(reference=...)))."
        )
    return codes, True


def _check_coding(formula: str, intercept: bool, categorical: list[str], full: list[str]) -> None:
    """The estimator's reference coding is formulaic's for this formula:
    with an intercept every categorical term has a reference; without one,
    the first (and only the first) keeps all its combinations."""
    if intercept and not full:
        return
    if not intercept and (not categorical or full == categorical[:1]):
        return
    raise NotImplementedError(
        f"the formula {formula!r} codes its categorical terms in a way the estimator cannot take "
        f"(terms without a reference level: {full}); add the intercept or the main effects."
    )


def scored_rows(design: FormulaDesign, data: Any, y: Any) -> tuple[npt.NDArray[Any], Any]:
    """The labels of the formula's left-hand side in data and the design
    frame of data, for score(): every row must be complete, and a y given
    must be the left-hand side (as scikit-learn's scorers pass it)."""
    formula = design.formula
    data = _collected(data, formula, design.absorbed)
    labels, missing = _lhs(formula, _parse(formula), _pandas_data(data, formula), design.missing)
    if y is not None and not _same_labels(y, labels, missing):
        raise ValueError(
            "with a formula, y is its left-hand side: the y given differs from the labels that the "
            f"formula {formula!r} names in the data; call score(data) without y."
        )
    frame, complete = design.rows(data)
    incomplete = np.zeros(len(labels), dtype=bool) if missing is None else missing
    if complete is not None:
        incomplete = incomplete | ~complete
    if incomplete.any():
        raise ValueError(_incomplete_message("score()", int(incomplete.sum()), len(labels), formula))
    return labels, frame


def partitioned_scored_labels(design: FormulaDesign, data: Any, y: Any) -> Any | None:
    """The labels of the formula's left-hand side for score(), where the
    back end of data computes them partition by partition (its module's
    formula_labels): lazily, each partition refusing an incomplete row when
    computed, to be compared with predict()'s labels of the same partitions.
    None for data in memory, or on a back end whose score() reads the
    formula's columns on the driver (scored_rows)."""
    backend = backend_of(data)
    labels_of = None if backend is None else getattr(backend.module(), "formula_labels", None)
    if backend is None or labels_of is None:
        return None
    if y is not None:
        raise ValueError(
            f"with a formula on a {backend.name.capitalize()} DataFrame, y is its left-hand side: call "
            "score(data) without y."
        )
    parsed = _parse(design.formula)
    meta = _scored_partition(design, parsed, _dask_meta(design.written, data))
    return labels_of(data, functools.partial(_scored_partition, design, parsed), meta)


def logit(
    formula: str,
    data: Any,
    *,
    sample_weight: Any = None,
    clusters: Any = None,
    offset: Any = None,
    **parameters: Any,
) -> Any:
    """A ``LogisticRegression`` fitted to data with the formula, as
    statsmodels' ``smf.logit(formula, data).fit()`` and R's ``glm(formula,
    data, family = binomial)``.

    The formula is formulaic's (patsy's) grammar: ``"y ~ x + C(g) + x:C(g)
    + np.log(z) + I(z ** 2)"``, ``C(g, Treatment(reference="b"))`` for a
    reference level, ``0 +`` or ``- 1`` to leave out the intercept (the
    formula decides it: ``fit_intercept`` is set from it), and
    ``y ~ x | fe1 + fe2`` to absorb the levels of ``fe1`` and ``fe2`` as
    fixed effects (pyfixest's syntax; the estimator's ``absorb=``).
    Categorical terms enter the fit as codes, never as dummy columns, and
    the parameters are named as statsmodels names them.

    Rows with a missing value in a variable of the formula (or a value a
    transform makes NaN, or a missing weight, offset or cluster) are left
    out, as statsmodels' ``missing="drop"`` and R's ``na.omit`` do:
    ``n_dropped_rows_`` counts them, ``dropped_rows_`` marks them and
    ``summary()`` reports them; ``missing="raise"`` refuses them instead.

    Parameters
    ----------
    formula : str
        ``"y ~ terms"`` or ``"y ~ terms | absorbed columns"``; the left-hand
        side is the labels, a column of two distinct values.
    data : DataFrame
        pandas, polars (a LazyFrame is collected: the formula's columns and
        those that sample_weight, clusters or offset name) or another frame
        narwhals reads, or a Dask DataFrame (incomplete rows left out
        partition by partition).
    sample_weight, clusters, offset : array-like or None
        As for ``LogisticRegression.fit``, one value per row of data.
    **parameters
        The estimator's parameters, below (``cov_type="HC1"``,
        ``link="probit"``, ``missing="raise"``, ...).

    Returns
    -------
    LogisticRegression
        Fitted: ``coef_table()``, ``summary()``, ``wald_test("C(g)")``,
        ``predict_proba(new_data)`` (the same transforms, levels and
        references; NaN for a row with a missing value).

    Examples
    --------
    >>> import statsmodels.api as sm, quorvi
    >>> data = sm.datasets.fair.load_pandas().data
    >>> data["had_affair"] = (data.affairs > 0).astype(float)
    >>> model = quorvi.logit("had_affair ~ age + np.log(yrs_married) + C(religious)", data)
    >>> model.coef_table(exponentiate=True)            # odds ratios, as Stata's logit, or
    >>> quorvi.logit("had_affair ~ age + educ | occupation", data).summary()   # absorbed levels
    >>> quorvi.logit("had_affair ~ age + C(religious)", data, cov_type="cluster",
    ...              clusters=data.occupation)
    >>> model.n_dropped_rows_                          # rows left out for a missing value

    Other Parameters
    ----------------
    """
    from ._estimator import LogisticRegression

    parsed = _parse(split_absorbed(formula)[0])
    parameters.setdefault("fit_intercept", any(str(term) == "1" for term in parsed.rhs))
    model = LogisticRegression(formula=formula, **parameters)
    return model.fit(data, sample_weight=sample_weight, clusters=clusters, offset=offset)


def document_logit(estimator_doc: str | None) -> None:
    """logit's docstring completed by the estimator's parameters (those of
    its class docstring), so that help(quorvi.logit) shows them all."""
    if logit.__doc__ is None or estimator_doc is None or "Parameters\n    ----------\n" not in estimator_doc:
        return  # python -OO strips docstrings
    section = estimator_doc.split("Parameters\n    ----------\n", 1)[1].split("\n    Attributes\n", 1)[0]
    logit.__doc__ = logit.__doc__.rstrip() + "\n" + section.rstrip() + "\n"
