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
its multiplier: the fit reads the two as one varying-slope block.
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

import narwhals.stable.v2 as nw
import numpy as np
import numpy.typing as npt

from ._backends import backend_of
from ._design import SLOPES, slopes_of

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

    def frame(self, data: Any) -> Any:
        """The design frame of data for the fitted model (pandas: numeric
        columns, then each categorical term as a Categorical of codes; for a
        Dask DataFrame, that of every partition)."""
        backend = backend_of(data)
        if backend is not None:
            meta = self.frame(_dask_meta(self.formula, data))
            return backend.module().formula_frames(data, self.frame, meta)
        matrix = _materialize(self.formula, self.spec, _pandas_data(data, self.formula))
        frame, _, _, _ = _design_frame(self.spec, matrix, self.categorical)
        return _with_absorbed(frame, data, self.absorbed)

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


def learn(formula: str, data: Any, y: Any, fit_intercept: bool) -> tuple[FormulaDesign, Any, Any]:
    """The formula learned on data: its design, the design frame of data
    and the labels of its left-hand side. Every check of the formula and of
    the data it names is made here, before any fitting."""
    if y is not None:
        raise ValueError(
            "with a formula, y is its left-hand side: call fit(data) without y (the formula "
            f"{formula!r} names the labels)."
        )
    formula, absorbed = split_absorbed(formula)
    parsed = _parse(formula)
    backend = backend_of(data)
    dask = backend is not None
    if dask and absorbed:
        raise ValueError(
            f"the formula's absorbed part ({' + '.join(absorbed)}) is not available for Dask DataFrames yet: "
            "enter the effects as C(fe) terms, or compute the frame first."
        )
    frame = _dask_meta(formula, data, learn=True) if dask else _pandas_data(data, formula)
    lhs = None if dask else _lhs(formula, parsed, frame)
    matrix = _materialize(formula, parsed.rhs, frame)
    spec = matrix.model_spec
    if dask and spec.transform_state:
        raise NotImplementedError(
            f"the formula {formula!r} has transforms that learn from the data "
            f"({', '.join(spec.transform_state)}): on a Dask DataFrame the model spec is learned from "
            "its dtypes alone, so such transforms are not available there."
        )
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
    design = FormulaDesign(formula, spec, intercept, numeric, categorical, absorbed=absorbed)
    design.terms = {
        str(structure.term): list(structure.columns)
        for structure in spec.structure
        if not _is_intercept(structure)
    }
    if dask:
        return design, design.frame(data), _dask_labels(formula, parsed, data)
    if absorbed and not intercept:
        raise ValueError(
            f"the formula {formula!r} has no intercept, but its absorbed levels carry one: leave out the "
            "0 + (or - 1)."
        )
    return design, _with_absorbed(design_frame, data, absorbed), lhs


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


def _with_absorbed(frame: Any, data: Any, absorbed: list[str]) -> Any:
    """The design frame with data's absorbed columns after its own (the
    estimator takes them out again by name)."""
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


def _dask_meta(formula: str, data: Any, learn: bool = False) -> pd.DataFrame:
    """The empty pandas frame of a Dask DataFrame's dtypes, on which the
    model spec is learned: every partition must code its levels alike, so a
    categorical column the formula names must have known categories (as
    the Dask fit of a frame requires), and a string column is refused.
    learn: the spec is learned on it (a back end that finds the levels in
    a pass over the rows, as Spark's, makes that pass only then; a fitted
    spec has its levels)."""
    backend = backend_of(data)
    assert backend is not None
    names = {str(variable) for variable in _formulaic().Formula(formula).required_variables}
    meta: pd.DataFrame = backend.module().formula_meta(data, names, learn=learn)
    return meta


def _dask_labels(formula: str, parsed: Any, data: Any) -> Any:
    """The labels of a Dask DataFrame's left-hand side, partition by
    partition, as a Dask Series (the fit checks that there are two)."""
    import pandas as pd

    def labels(part: pd.DataFrame) -> pd.Series:
        return pd.Series(_lhs(formula, parsed, part, whole=False))

    backend = backend_of(data)
    assert backend is not None
    meta = labels(_dask_meta(formula, data))
    return backend.module().formula_frames(data, labels, meta)


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


def _materialize(formula: str, spec: Any, frame: pd.DataFrame) -> Any:
    """The columns of spec (a parsed right-hand side, or the ModelSpec of a
    fit) on frame, with the formula's errors in our words: the term that
    could not be evaluated, a missing value."""
    from formulaic.errors import FormulaicError

    try:
        return _codes_materializer()(frame).get_model_matrix(spec, na_action="raise")
    except FormulaicError as error:
        raise ValueError(f"the formula {formula!r}: {error}") from None
    except ValueError as error:
        if "null values" in str(error):
            raise ValueError(
                f"the formula {formula!r}: {error} Drop or fill the missing values first."
            ) from None
        raise


def _lhs(formula: str, parsed: Any, frame: pd.DataFrame, whole: bool = True) -> npt.NDArray[Any]:
    """The labels of the left-hand side: one column (numeric, boolean,
    categorical or string) of exactly two distinct values (checked when
    frame is the whole data, not a Dask partition: the Dask fit checks the
    labels of all its chunks)."""
    term = str(next(iter(parsed.lhs)))
    from formulaic.errors import FormulaicError

    try:
        matrix = _codes_materializer()(frame).get_model_matrix(
            parsed.lhs, ensure_full_rank=False, na_action="raise"
        )
    except (FormulaicError, ValueError) as error:
        raise ValueError(f"the left-hand side {term!r} of {formula!r}: {error}") from None
    columns = list(matrix.values())
    labels: npt.NDArray[Any]
    if columns[0].indicators:
        # A categorical label: the level of each row, from its codes.
        indicator = columns[0].indicators[0]
        levels = matrix.model_spec.encoder_state[indicator.factor][1]["categories"]
        labels = np.asarray(levels, dtype=object)[indicator.codes]
    elif len(columns) == 1:
        labels = np.asarray(columns[0].numeric)
    else:
        raise ValueError(f"the left-hand side {term!r} of {formula!r} must be one column, the labels")
    distinct = np.unique(labels)
    if whole and len(distinct) != 2:
        shown = ", ".join(map(repr, distinct[:5].tolist())) + (", ..." if len(distinct) > 5 else "")
        raise ValueError(
            f"the left-hand side {term!r} of {formula!r} has {len(distinct)} distinct value(s) "
            f"({shown}); a logistic regression needs exactly two."
        )
    return labels


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


def labels(design: FormulaDesign, data: Any) -> npt.NDArray[Any]:
    """The labels of the formula's left-hand side in data (for score())."""
    return _lhs(design.formula, _parse(design.formula), _pandas_data(data, design.formula))


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
    statsmodels' ``smf.logit(formula, data).fit()``; the intercept is the
    formula's (``0 +`` or ``- 1`` leave it out). The other keywords are the
    estimator's parameters (``cov_type="HC1"``, ``link="probit"``, ...)."""
    from ._estimator import LogisticRegression

    parsed = _parse(split_absorbed(formula)[0])
    parameters.setdefault("fit_intercept", any(str(term) == "1" for term in parsed.rhs))
    model = LogisticRegression(formula=formula, **parameters)
    return model.fit(data, sample_weight=sample_weight, clusters=clusters, offset=offset)
