"""Formulas (``"y ~ x + C(g) + x:C(g)"``) as the estimator's input: parsed,
evaluated and coded by formulaic, with its rules for which columns each term
keeps, but materialized by a materializer of ours that never builds a dummy
column.

formulaic's own materializers encode a categorical factor as one dense 0/1
column per level and multiply the columns of an interaction. Ours lets
formulaic code each factor on one row per distinct value (so its contrasts
name the columns and record the levels and reference in the model spec, as
they would for the whole frame), and keeps, for every row, only the factor's
integer code. A term of categorical factors alone is then one categorical
column of the design frame: each of its parameters is the indicator of one
combination of levels, so the combinations that have no parameter (a
reference level in one of the factors) share a single reference code. That
is the frame the estimator already reads as codes (python/quorvi/_design.py),
with reference coding: no column of n × levels is ever made.

A numeric term (``x``, ``I(x ** 2)``, ``np.log(x)``, ``x:z``) is one float64
column of the design frame.
"""

from __future__ import annotations

import itertools
from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

import narwhals.stable.v2 as nw
import numpy as np
import numpy.typing as npt

from ._validation import is_dask_collection

if TYPE_CHECKING:
    import pandas as pd

    from ._design import FrameLayout

# The name statsmodels (and formulaic) give the intercept.
INTERCEPT = "Intercept"

# The label of the code that the combinations without a parameter share in a
# categorical term's column of the design frame. Column names of formulaic
# always contain the term's name, so it cannot be one of them.
_REFERENCE = "(reference)"


def _formulaic() -> Any:
    try:
        import formulaic
    except ImportError as error:  # pragma: no cover - the optional dependency
        raise ImportError(
            "formulas need formulaic: pip install quorvi[formula] (or pip install formulaic)"
        ) from error
    return formulaic


@dataclass(frozen=True)
class _Indicator:
    """The rows of one level of a categorical factor: codes == level."""

    factor: str
    codes: npt.NDArray[Any]
    level: int
    n_levels: int


@dataclass(frozen=True)
class _Column:
    """One column of a term as our materializer gives it: the product of its
    numeric factors (None when it has none) times the indicators of its
    categorical factors' levels, kept as codes."""

    numeric: npt.NDArray[np.float64] | None
    indicators: tuple[_Indicator, ...]


def _materializer_class() -> type:
    """Our materializer, a subclass of formulaic's pandas materializer that
    overrides what turns factors into columns (defined on first use, so
    that formulaic is imported only when a formula is given)."""
    global _MATERIALIZER
    if _MATERIALIZER is not None:
        return _MATERIALIZER
    import pandas as pd
    from formulaic.materializers import PandasMaterializer
    from formulaic.materializers.types import EvaluatedFactor, FactorValues
    from formulaic.parser.types import Factor
    from interface_meta import override

    class CodesMaterializer(PandasMaterializer):  # type: ignore[misc]
        # Registered under its own name only, for no input type: formulaic's
        # own model_matrix() keeps choosing its own materializers.
        REGISTER_NAME = "quorvi_codes"
        REGISTER_INPUTS: Sequence[str] = ()
        REGISTER_OUTPUTS: Sequence[str] = ("pandas",)

        @override
        def _encode_evaled_factor(
            self, factor: Any, spec: Any, drop_rows: Sequence[int], reduced_rank: bool = False
        ) -> dict[str, Any]:
            if factor.metadata.kind is not Factor.Kind.CATEGORICAL:
                return dict(super()._encode_evaled_factor(factor, spec, drop_rows, reduced_rank))
            values = factor.values
            raw = values.__wrapped__ if isinstance(values, FactorValues) else values
            series = pd.Series(raw).reset_index(drop=True)
            state = spec.encoder_state.get(factor.expr, [None, {}])[1]
            known = state.get("categories")
            # formulaic codes one row of each level: its contrasts name the
            # columns and record the levels (in the spec's encoder state)
            # exactly as for the whole frame, with n_levels rows. In fit the
            # levels are the distinct values (or a Categorical's declared
            # categories); at prediction those the fit recorded.
            # formulaic caches a factor's coding by its expression, so the
            # same rows are given again when a factor recurs in a formula.
            few_rows = self.__dict__.setdefault("_few_rows", {})
            if known is not None:
                _check_levels(factor.expr, series, known)
            if factor.expr in few_rows:
                distinct = few_rows[factor.expr]
            elif known is not None:
                distinct = pd.Series(known, dtype=object)
            elif isinstance(series.dtype, pd.CategoricalDtype):
                categories = series.cat.categories
                distinct = pd.Series(pd.Categorical(categories, categories=categories))
            else:
                distinct = series[~series.duplicated()]
            few_rows[factor.expr] = distinct
            few = EvaluatedFactor(
                factor.factor,
                FactorValues(distinct.reset_index(drop=True), metadata=factor.metadata),
            )
            coded = super()._encode_evaled_factor(few, spec, [], reduced_rank)
            levels = spec.encoder_state[factor.expr][1]["categories"]
            codes = pd.Categorical(series, categories=levels).codes
            few_codes = pd.Categorical(distinct, categories=levels).codes
            return {
                name: _indicator(factor.expr, codes, few_codes, np.asarray(column), len(levels))
                for name, column in coded.items()
            }

        @override
        def _get_columns_for_term(
            self, factors: list[dict[str, Any]], spec: Any, scale: float = 1
        ) -> dict[str, Any]:
            # The row-wise product of the factors' columns, named as
            # formulaic names it (the first factor's columns varying fastest).
            columns = {}
            for reversed_product in itertools.product(*(factor.items() for factor in reversed(factors))):
                product = reversed_product[::-1]
                numeric = None if scale == 1 else np.full(self.nrows, float(scale))
                indicators = []
                for _, value in product:
                    if isinstance(value, _Indicator):
                        indicators.append(value)
                    else:
                        part = np.asarray(value, dtype=np.float64)
                        numeric = part if numeric is None else numeric * part
                columns[":".join(name for name, _ in product)] = _Column(numeric, tuple(indicators))
            return columns

        @override
        def _combine_columns(
            self, cols: Sequence[tuple[str, Any]], spec: Any, drop_rows: Sequence[int]
        ) -> Any:
            return dict(cols)

    _MATERIALIZER = CodesMaterializer
    return _MATERIALIZER


_MATERIALIZER: type | None = None


def _check_levels(factor: str, series: pd.Series, levels: list[Any]) -> None:
    """ValueError, naming the factor and the level, for a value that was not
    a level in fit (formulaic would code it as missing, with a warning)."""
    unseen = ~series.isin(levels)
    if unseen.any():
        row = int(np.argmax(unseen.to_numpy()))
        raise ValueError(
            f"the term {factor!r} has the level {series.iloc[row]!r} (row {row}), which was not seen "
            f"in fit; its levels are {list(levels)}."
        )


def _indicator(
    factor: str,
    codes: npt.NDArray[Any],
    few_codes: npt.NDArray[Any],
    column: npt.NDArray[Any],
    n_levels: int,
) -> _Indicator:
    """One coded column of a factor, which formulaic gave on one row per
    distinct value, as the indicator of the level it marks. Treatment
    (dummy) coding makes every column such an indicator; other contrasts
    (sum, Helmert, polynomial) give columns that are not, which would be a
    dense column per parameter: refused."""
    ones = few_codes[column == 1]
    if len(ones) == 0:
        raise ValueError(f"the term {factor!r} has a level without rows, which cannot be estimated")
    if len(ones) != 1 or not np.all((column == 0) | (column == 1)):
        raise NotImplementedError(
            f"the term {factor!r} is coded with contrasts other than treatment (dummy) coding; only "
            "treatment coding (C(g), C(g, Treatment(reference=...)), contr.treatment) is available: "
            "its parameters are read as codes, never as dense columns."
        )
    return _Indicator(factor, codes, int(ones[0]), n_levels)


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

    def frame(self, data: Any) -> Any:
        """The design frame of data for the fitted model (pandas: numeric
        columns, then each categorical term as a Categorical of codes)."""
        matrix = _materialize(self.formula, self.spec, _pandas_data(data, self.formula))
        frame, _, _, _ = _design_frame(self.spec, matrix, self.categorical)
        return frame

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
        return [INTERCEPT, *names] if self.intercept else names

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
    if is_dask_collection(data):
        raise NotImplementedError(
            "formulas on Dask DataFrames are not available yet: fit a Dask DataFrame with "
            "fit(X, y) (categorize() its categorical columns), or a pandas or polars DataFrame with "
            "a formula."
        )
    parsed = _parse(formula)
    frame = _pandas_data(data, formula)
    lhs = _lhs(formula, parsed, frame)
    matrix = _materialize(formula, parsed.rhs, frame)
    spec = matrix.model_spec
    intercept = any(_is_intercept(structure) for structure in spec.structure)
    if intercept != bool(fit_intercept):
        has = "has an intercept" if intercept else "has no intercept (0 + or - 1)"
        raise ValueError(
            f"the formula {formula!r} {has}, but fit_intercept={bool(fit_intercept)}: the formula "
            f"decides, so pass fit_intercept={intercept} too (quorvi.logit does this itself)."
        )
    design_frame, numeric, categorical, full = _design_frame(spec, matrix, None)
    _check_coding(formula, intercept, categorical, full)
    design = FormulaDesign(formula, spec, intercept, numeric, categorical)
    design.terms = {
        str(structure.term): list(structure.columns)
        for structure in spec.structure
        if not _is_intercept(structure)
    }
    return design, design_frame, lhs


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
        raise NotImplementedError(
            f"the formula {formula!r} has a '|' part: absorbed fixed effects (| fe) are not available "
            "yet; enter the effects as C(fe) terms meanwhile."
        )
    if len(list(parsed.lhs)) != 1:
        raise ValueError(f"the formula {formula!r} must have one term on its left-hand side, the labels")
    return parsed


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
        return _materializer_class()(frame).get_model_matrix(spec, na_action="raise")
    except FormulaicError as error:
        raise ValueError(f"the formula {formula!r}: {error}") from None
    except ValueError as error:
        if "null values" in str(error):
            raise ValueError(
                f"the formula {formula!r}: {error} Drop or fill the missing values first."
            ) from None
        raise


def _lhs(formula: str, parsed: Any, frame: pd.DataFrame) -> npt.NDArray[Any]:
    """The labels of the left-hand side: one column (numeric, boolean,
    categorical or string) of exactly two distinct values."""
    term = str(next(iter(parsed.lhs)))
    from formulaic.errors import FormulaicError

    try:
        matrix = _materializer_class()(frame).get_model_matrix(
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
    if len(distinct) != 2:
        shown = ", ".join(map(repr, distinct[:5].tolist())) + (", ..." if len(distinct) > 5 else "")
        raise ValueError(
            f"the left-hand side {term!r} of {formula!r} has {len(distinct)} distinct value(s) "
            f"({shown}); a logistic regression needs exactly two."
        )
    return labels


def _design_frame(
    spec: Any, matrix: dict[str, _Column], order: list[str] | None
) -> tuple[pd.DataFrame, list[str], list[str], list[str]]:
    """The design frame of materialized columns: each numeric term's columns
    as float64 columns, then each categorical term as one Categorical column
    (named by the term) whose categories are its parameters' names, after
    the shared reference code when the term has one. A term without a
    reference (all combinations kept: the first categorical term of a
    formula without an intercept) comes first among them, where the
    estimator gives the first categorical all its levels."""
    import pandas as pd

    numeric: dict[str, npt.NDArray[np.float64]] = {}
    categorical: dict[str, pd.Categorical] = {}
    full: list[str] = []
    for structure in spec.structure:
        term = structure.term
        if _is_intercept(structure):
            continue
        columns = [matrix[name] for name in structure.columns]
        with_levels = [bool(column.indicators) for column in columns]
        if not any(with_levels):
            for name, column in zip(structure.columns, columns, strict=True):
                numeric[name] = np.ascontiguousarray(column.numeric, dtype=np.float64)
            continue
        if not all(with_levels) or any(column.numeric is not None for column in columns):
            _varying_slopes(str(term))
        # The columns of one scoped term (one set of factors, each in full
        # or with its reference left out) mark disjoint combinations of
        # levels: one categorical column each. A term has several when
        # formulaic codes it so (C(a):C(b) without the main effects: C(b)
        # with a reference, then C(a) with one within each level of C(b)).
        groups: dict[tuple[str, ...], list[int]] = {}
        for position, column in enumerate(columns):
            groups.setdefault(tuple(i.factor for i in column.indicators), []).append(position)
        for number, positions in enumerate(groups.values()):
            name = str(term) if len(groups) == 1 else f"{term} [{number}]"
            codes, has_reference = _term_codes(str(term), [columns[p] for p in positions], order is None)
            labels = [structure.columns[p] for p in positions]
            categories = [*([_REFERENCE] if has_reference else []), *labels]
            categorical[name] = pd.Categorical.from_codes(codes, categories=pd.Index(categories))
            if not has_reference:
                full.append(name)
    names = order if order is not None else [*full, *(name for name in categorical if name not in full)]
    frame = pd.DataFrame({**numeric, **{name: categorical[name] for name in names}}, copy=False)
    return frame, list(numeric), names, full


def _term_codes(term: str, columns: list[_Column], fitting: bool) -> tuple[npt.NDArray[np.int32], bool]:
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


def _varying_slopes(term: str) -> None:
    """A numeric × categorical term (a slope per level) would be a block of
    codes with a multiplier, a kind the engine does not have yet; this is
    where it enters."""
    raise NotImplementedError(
        f"the term {term!r} multiplies a numeric factor by a categorical one (a slope per level): such "
        "terms are not available yet; they will be read as codes with a multiplier, never as dense "
        "dummy products."
    )


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

    parsed = _parse(formula)
    parameters.setdefault("fit_intercept", any(str(term) == "1" for term in parsed.rhs))
    model = LogisticRegression(formula=formula, **parameters)
    return model.fit(data, sample_weight=sample_weight, clusters=clusters, offset=offset)
