"""Average marginal effects of a formula's variables (Stata's ``margins,
dydx(*)``, R's ``marginaleffects::avg_slopes``), through every term a
variable enters: ``x``, ``I(x ** 2)``, ``np.log(x)``, ``x:z``, ``x:C(g)``.

The derivatives are taken through formulaic's own evaluation of the terms,
with the fitted model spec (its transforms, levels and references): the
terms that name a numeric variable v, evaluated on the data with v moved by
±hᵢ, give each row's xᵢ(±), and their central difference its dxᵢ/dv (exact
for polynomial and interaction terms, about 1e-10 relative for smooth
transforms). A factor's levels are set on every row in turn by its codes in
the columns of its terms. Only the terms that name a variable are evaluated
again; the columns are read as our materializer gives them (a factor as its
codes), so no dense one-hot row is ever made."""

from __future__ import annotations

import dataclasses
import functools
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt
from sklearn.utils.validation import _check_sample_weight

from . import _formula
from ._backends import backend_of
from ._named import check_offset_given
from ._robust import checked_offset

if TYPE_CHECKING:
    import pandas as pd

    from ._formula import FormulaDesign
    from ._results import FitResults

# The relative step of the central difference: near the cube root of the
# float64 epsilon, where its truncation error (h²) and its rounding error
# (ε/h) are of one size, about 1e-10 of the derivative.
_STEP = 6e-6

# The values of a batch of a factor's levels' row weights (8 bytes each).
_BATCH_VALUES = 1 << 23


@dataclass(frozen=True)
class _Factor:
    """A categorical factor of the formula and the data variable it codes."""

    expression: str  # formulaic's name of the factor: C(g), C(g, Treatment(...)), or g
    variable: str
    levels: list[Any]
    reference: int  # the index of the reference level among levels


def formula_marginal_effects(
    results: FitResults, data: Any, sample_weight: Any, offset: Any, levels: bool = False
) -> tuple[list[str], npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """(row names, effects, their delta-method covariance J V Jᵀ) of the
    formula's variables over the complete rows of data, as
    LogisticRegression.marginal_effects() documents them. offset is that of
    every row of data (in memory, the formula's offset terms included),
    sample_weight the rows' weights (None: 1). On a back end whose module
    has formula_margin_sums (Dask, Spark), each partition's weighted sums
    are made where it lives and added in partition order. With levels, the
    delta method runs over the one absorbed column's levels too
    (_level_moments), from the effects' gradients in each level's effect."""
    design = results.formula
    assert design is not None
    check_offset_given(results.fitted_with_offset, offset)
    used = sorted(design.spec.variables_by_source.get("data", set()))
    backend = backend_of(data)
    if backend is None:
        collected = _formula._pandas_data(
            _formula._collected(data, design.written, design.absorbed), design.written
        )
        sums = _row_sums(results, collected, sample_weight, offset, normalized=True, levels=levels)
        if sums is None:
            raise ValueError("marginal_effects() has no complete row of the data to average over.")
        names, effects, jacobian, _, level_jacobian = sums
        return _with_covariance(results, names, effects, jacobian, level_jacobian)
    sums_of_partitions = getattr(backend.module(), "formula_margin_sums", None)
    if sums_of_partitions is None:
        raise NotImplementedError(
            "marginal_effects() of a model fitted with a formula evaluates the formula's terms on "
            f"the moved rows of each part of the data, which a {backend.name.capitalize()} DataFrame "
            "does not offer: compute the rows first, or a sample of them."
        )
    present = backend.module().columns(data)
    absent = [name for name in [*used, *design.absorbed] if name not in present]
    if absent:
        raise ValueError(f"marginal_effects() needs the formula's variables; the data lacks {absent}.")
    read = set(used) | set(design.absorbed)
    parts = [
        part
        for part in sums_of_partitions(
            data,
            [name for name in present if name in read],
            functools.partial(_row_sums, results, normalized=False, levels=levels),
            sample_weight,
            offset,
        )
        if part is not None
    ]
    if not parts:
        raise ValueError("marginal_effects() has no complete row of the data to average over.")
    names = parts[0][0]
    effects, jacobian, total = parts[0][1].copy(), parts[0][2].copy(), parts[0][3]
    level_jacobian = None if parts[0][4] is None else parts[0][4].copy()
    for _, part_effects, part_jacobian, part_total, part_levels in parts[1:]:
        effects += part_effects
        jacobian += part_jacobian
        total += part_total
        if level_jacobian is not None and part_levels is not None:
            level_jacobian += part_levels
    if not total > 0:
        raise ValueError("sample_weight sums to 0: there are no rows to average the marginal effects over.")
    return _with_covariance(
        results,
        names,
        effects / total,
        jacobian / total,
        None if level_jacobian is None else level_jacobian / total,
    )


# A part of the data's margins: (row names, Σ sᵢ effectᵢ, Σ sᵢ Jᵢ, Σ sᵢ, and
# with levels the effects' gradients in the absorbed levels' effects, else
# None) over its complete rows, or with normalized weights the averages.
_Sums = tuple[
    list[str], npt.NDArray[np.float64], npt.NDArray[np.float64], float, npt.NDArray[np.float64] | None
]


def _row_sums(
    results: FitResults,
    collected: pd.DataFrame,
    sample_weight: Any,
    offset: Any,
    *,
    normalized: bool,
    levels: bool = False,
) -> _Sums | None:
    """The margins' sums over the complete rows of a pandas frame of the
    formula's variables (None for a frame without one): with normalized,
    the weights divided by their sum first (the averages of the data in
    memory); else the weighted sums of a partition, which the caller adds
    over the partitions and divides."""
    design = results.formula
    assert design is not None
    numeric, factors = _variables(design)
    used = sorted(design.spec.variables_by_source.get("data", set()))
    absent = [name for name in [*used, *design.absorbed] if name not in collected.columns]
    if absent:
        raise ValueError(f"marginal_effects() needs the formula's variables; the data lacks {absent}.")
    # The formula's columns alone, as a new frame: the caller's is never written.
    frame = collected[used]
    n = len(frame)
    if n == 0:
        return None
    matrix = _formula._materialize(design.formula, design.spec, frame, "drop")
    complete = _formula._complete_rows(matrix.values(), _formula._absorbed_nulls(collected, design.absorbed))
    complete = np.ones(n, dtype=bool) if complete is None else complete
    # A row without a weight or an offset is left out, as the fit leaves it out.
    weights = _given_rows(sample_weight, n, "sample_weight")
    offsets = _given_rows(offset, n, "offset")
    for values in (weights, offsets):
        if values is not None:
            complete &= ~np.isnan(values)
    if not complete.all():
        if design.missing == "raise":
            count = int(np.count_nonzero(~complete))
            raise ValueError(_formula._incomplete_message("marginal_effects()", count, n, design.formula))
        if not complete.any():
            return None
        matrix = _formula._subset(matrix, complete)
    infinite = _infinite_column(matrix)
    if infinite is not None:
        raise ValueError(
            f"marginal_effects(): the formula's column {infinite!r} is infinite on a row of the data (as "
            "np.log(x) at x = 0); leave such rows out."
        )
    rows = int(np.count_nonzero(complete))
    weights = _check_sample_weight(
        None if weights is None else weights[complete],
        np.empty((rows, 0)),
        dtype=np.float64,
        ensure_non_negative=True,
    )
    offsets = None if offsets is None else checked_offset(offsets[complete], rows)
    positions = None
    if results.absorption is not None:
        # The levels at their estimates (as marginal_effects(X) of absorb=
        # takes them): each row's known term, intercept and effects; a row of
        # a level left out for a single outcome has the limit probability 0
        # or 1, no slope, and is left out of the average as the fit left it.
        absorbed = collected.loc[complete, design.absorbed]
        _, counted, known = results.absorption.margin_rows(absorbed, None, None, results.absorbed_intercept)
        if levels:
            positions = results.absorption.first_positions(absorbed)
        weights = weights * counted
        offsets = known if offsets is None else offsets + known
    total = float(weights.sum())
    if normalized:
        if not total > 0:
            raise ValueError(
                "sample_weight sums to 0: there are no rows to average the marginal effects over."
            )
        weights = weights / total
    evaluation = _Evaluation(results, frame, complete, matrix, offsets, weights, positions)
    names: list[str] = []
    effects: list[float] = []
    jacobians: list[npt.NDArray[np.float64]] = []
    for variable in numeric:
        effect, jacobian = evaluation.slope(variable)
        names.append(variable)
        effects.append(effect)
        jacobians.append(jacobian)
    for factor in factors:
        for level, effect, jacobian in evaluation.changes(factor):
            names.append(f"{factor.expression}[T.{level}]")
            effects.append(effect)
            jacobians.append(jacobian)
    k = len(results.parameters)
    stacked = np.vstack(jacobians) if jacobians else np.empty((0, k))
    level_jacobian = None
    if positions is not None:
        level_jacobian = np.vstack(evaluation.level_gradients) if jacobians else np.empty((0, 0))
    return names, np.asarray(effects, dtype=np.float64), stacked, total, level_jacobian


def _with_covariance(
    results: FitResults,
    names: list[str],
    effects: npt.NDArray[np.float64],
    jacobian: npt.NDArray[np.float64],
    level_jacobian: npt.NDArray[np.float64] | None = None,
) -> tuple[list[str], npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """The effects with their delta-method covariance J V Jᵀ; given the
    gradients in the absorbed levels' effects, over those too
    (_level_moments.effect_covariance)."""
    _, _, fitted_covariance = fitted_parametrization(results)
    # A parameter dropped as linearly dependent is 0 in the fit, as if its
    # column were left out: the effects are those of that model, and the
    # covariance reads the estimated parameters alone.
    kept = ~results.dropped
    if level_jacobian is not None:
        from ._level_moments import effect_covariance

        assert results.absorption is not None
        moments = results.absorption.level_moments
        return names, effects, effect_covariance(moments, fitted_covariance, jacobian, level_jacobian, kept)
    covariance = jacobian[:, kept] @ fitted_covariance[np.ix_(kept, kept)] @ jacobian[:, kept].T
    return names, effects, covariance


def _given_rows(value: Any, n: int, name: str) -> npt.NDArray[np.float64] | None:
    """A weight or offset of every row of the data as float64 (a scalar
    offset is that of every row)."""
    if value is None:
        return None
    if np.ndim(value) == 0:
        return np.full(n, float(value))
    values = np.asarray(value, dtype=np.float64).reshape(-1)
    if len(values) != n:
        raise ValueError(f"{name} has {len(values)} values and the data {n} rows.")
    return values


def _variables(design: FormulaDesign) -> tuple[list[str], list[_Factor]]:
    """The formula's numeric variables and its categorical factors, in the
    order the terms first name them. A variable that a factor codes may enter
    no numeric term (x + C(x)), and a factor must code one variable."""
    spec = design.spec
    data_variables = spec.variables_by_source.get("data", set())
    numeric: list[str] = []
    factors: dict[str, _Factor] = {}
    coded_by: dict[str, str] = {}
    for structure in spec.structure:
        for factor in structure.term.factors:
            expression = str(factor.expr)
            variables = sorted(v for v in spec.factor_variables.get(factor, set()) if v in data_variables)
            _, state = spec.encoder_state.get(expression, (None, {}))
            if "categories" not in state:
                numeric.extend(v for v in variables if v not in numeric)
                continue
            if expression in factors:
                continue
            if len(variables) != 1:
                raise NotImplementedError(
                    f"marginal_effects() of the factor {expression!r}: a factor must code one variable of "
                    f"the data to set its levels on every row (it has {variables or 'none'})."
                )
            variable = variables[0]
            if variable in coded_by:
                raise NotImplementedError(
                    f"marginal_effects(): the variable {variable!r} is coded by two factors "
                    f"({coded_by[variable]!r} and {expression!r}); write it one way."
                )
            coded_by[variable] = expression
            levels = list(state["categories"])
            base = getattr(getattr(state.get("contrasts"), "contrasts", None), "base", None)
            reference = levels.index(base) if _is_level(base, levels) else 0
            factors[expression] = _Factor(expression, variable, levels, reference)
    both = sorted(set(numeric) & set(coded_by))
    if both:
        raise NotImplementedError(
            f"marginal_effects(): the variable(s) {both} enter the formula both as numbers and as the "
            "levels of a factor, so neither a derivative nor a change of level moves them alone."
        )
    return numeric, list(factors.values())


def _is_level(base: Any, levels: list[Any]) -> bool:
    """Whether a contrast's base is one of the levels (formulaic's unset
    base is a sentinel: the first level is the reference)."""
    try:
        return base in levels
    except (TypeError, ValueError):
        return False


def fitted_parametrization(
    results: FitResults,
) -> tuple[list[str], npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """The names, parameters and covariance of the columns the fit read. A
    factor with other contrasts than treatment was fitted treatment-coded
    and its parameters mapped after (_contrasts.py); an average effect is
    the same in either parametrization, and the design frame evaluated here
    holds the treatment-coded columns."""
    if results.design_parameters is None or results.design_covariance is None:
        return results.names, results.parameters, results.covariance
    design = results.formula
    assert design is not None
    fitted_name = {coding.name: name for name, coding in design.contrasts.items()}
    names = [fitted_name.get(name, name) for name in results.names]
    return names, results.design_parameters, results.design_covariance


class _Terms:
    """Materialized columns (our materializer's Column records) as the sums
    the margins need, each column at its parameter's position: the columns
    of one set of factors over one numeric product are read as one table of
    their levels' coefficients indexed by the rows' codes."""

    def __init__(self, columns: dict[str, Any], position: dict[str, int]) -> None:
        self.plain: list[tuple[int, npt.NDArray[np.float64]]] = []
        groups: dict[tuple[tuple[str, ...], int], _Group] = {}
        for name, column in columns.items():
            if not hasattr(column, "indicators"):
                continue  # the intercept's ones
            if not column.indicators:
                self.plain.append((position[name], column.numeric))
                continue
            key = (tuple(i.factor for i in column.indicators), id(column.numeric))
            if key not in groups:
                groups[key] = _Group(column.indicators, column.numeric)
            groups[key].add(column.indicators, position[name])
        self.groups = list(groups.values())

    def scores(self, parameters: npt.NDArray[np.float64]) -> npt.NDArray[np.float64] | float:
        """Σ over the columns of βⱼ xᵢⱼ, for every row."""
        total: npt.NDArray[np.float64] | float = 0.0
        for parameter, values in self.plain:
            total = total + parameters[parameter] * values
        for group in self.groups:
            total = total + group.scores(parameters)
        return total

    def sums(self, values: npt.NDArray[np.float64], k: int) -> npt.NDArray[np.float64]:
        """Σᵢ valuesᵢ xᵢⱼ for every column j, at its parameter's position of k."""
        result = np.zeros(k)
        for parameter, column in self.plain:
            result[parameter] += values @ column
        for group in self.groups:
            group.sums(values, result)
        return result

    def column_sums(self, values: npt.NDArray[np.float64], k: int) -> npt.NDArray[np.float64]:
        """(k, m): sums() of each column of values (n, m), the numeric
        columns read in one product for all m."""
        result = np.zeros((k, values.shape[1]))
        if self.plain:
            parameters = [parameter for parameter, _ in self.plain]
            stacked = np.stack([column for _, column in self.plain])
            result[parameters] += stacked @ values
        for group in self.groups:
            for j in range(values.shape[1]):
                group.sums(values[:, j], result[:, j])
        return result


class _Group:
    """The columns of one term's set of factors over one numeric product
    (None: 1): each marks a combination of the factors' levels."""

    def __init__(self, indicators: tuple[Any, ...], numeric: npt.NDArray[np.float64] | None) -> None:
        sizes = [indicator.n_levels for indicator in indicators]
        self.strides = np.cumprod([1, *sizes[:-1]])
        self.size = int(np.prod(sizes))
        # Every row of one combination (a factor set to a level on every
        # row, as a broadcast: changes()): its scores and sums are those of
        # that combination's one coefficient, with no pass over codes.
        self.constant: int | None = None
        if all(indicator.codes.strides == (0,) for indicator in indicators):
            self.constant = sum(
                int(stride) * int(indicator.codes[0])
                for stride, indicator in zip(self.strides, indicators, strict=True)
            )
        else:
            codes = np.zeros(len(indicators[0].codes), dtype=np.intp)
            for stride, indicator in zip(self.strides, indicators, strict=True):
                codes += int(stride) * indicator.codes
            self.codes = codes
        self.numeric = numeric
        self.keys: list[int] = []
        self.parameters: list[int] = []

    def add(self, indicators: tuple[Any, ...], parameter: int) -> None:
        self.keys.append(sum(int(s) * i.level for s, i in zip(self.strides, indicators, strict=True)))
        self.parameters.append(parameter)

    def scores(self, parameters: npt.NDArray[np.float64]) -> npt.NDArray[np.float64] | float:
        table = np.zeros(self.size)
        table[self.keys] = parameters[self.parameters]
        if self.constant is not None:
            value = float(table[self.constant])
            return value if self.numeric is None else value * self.numeric
        values: npt.NDArray[np.float64] = table[self.codes]
        return values if self.numeric is None else values * self.numeric

    def sums(self, values: npt.NDArray[np.float64], result: npt.NDArray[np.float64]) -> None:
        by_combination: npt.NDArray[np.float64]
        if self.constant is not None:
            by_combination = np.zeros(self.size)
            by_combination[self.constant] = values.sum() if self.numeric is None else values @ self.numeric
        else:
            weights = values if self.numeric is None else values * self.numeric
            by_combination = np.bincount(self.codes, weights=weights, minlength=self.size).astype(
                np.float64, copy=False
            )
        result[self.parameters] += by_combination[self.keys]


class _Evaluation:
    """The model on the complete rows of the data as given, and the terms of
    one variable evaluated again on the data moved. The weights sum to 1
    (in memory), or are a partition's own, whose sums the caller adds over
    the partitions and divides by the weights' total."""

    def __init__(
        self,
        results: FitResults,
        data: pd.DataFrame,
        complete: npt.NDArray[np.bool_],
        matrix: dict[str, Any],
        offsets: npt.NDArray[np.float64] | None,
        weights: npt.NDArray[np.float64],
        positions: npt.NDArray[np.intp] | None = None,
    ) -> None:
        design = results.formula
        assert design is not None
        self.design: FormulaDesign = design
        self.data = data
        self.complete = complete
        self.all_complete = bool(complete.all())
        self.matrix = matrix
        self.weights = weights
        self.link = results.link
        names, parameters, _ = fitted_parametrization(results)
        self.parameters = np.asarray(parameters, dtype=np.float64)
        self.fit_intercept = results.fit_intercept
        self.position = {name: index for index, name in enumerate(names)}
        self.terms = _Terms(matrix, self.position)
        scores = self.terms.scores(self.parameters) + np.zeros(len(weights))
        if self.fit_intercept:
            scores += self.parameters[0]
        self.scores = scores if offsets is None else scores + offsets
        self.g = self.link.derivative(self.scores)
        self.curvature = self.link.curvature(self.scores)
        # With positions (each row's level of the one absorbed column): every
        # effect's gradient in the levels' effects, in the order the effects
        # are formed, ∂ηᵢ/∂αₗ being 1 on the rows of level l.
        self.positions = positions
        self.n_levels = 0
        if positions is not None:
            assert results.absorption is not None
            self.n_levels = len(results.absorption.columns[0].levels)
        self.level_gradients: list[npt.NDArray[np.float64]] = []

    def _level_sums(self, values: npt.NDArray[np.float64]) -> None:
        """Record Σ_{i∈l} valuesᵢ per level, an effect's gradient in them."""
        if self.positions is not None:
            sums = np.bincount(self.positions, weights=values, minlength=self.n_levels)
            self.level_gradients.append(sums.astype(np.float64, copy=False))

    def _sums(self, values: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
        """Σᵢ valuesᵢ xᵢ over the parameter rows as given."""
        result = self.terms.sums(values, len(self.parameters))
        if self.fit_intercept:
            result[0] += values.sum()
        return result

    def _spec_of(self, variable: str) -> tuple[Any, list[str]]:
        """The fitted model spec restricted to the terms that name the
        variable, and their columns' names."""
        spec = self.design.spec
        terms = [s.term for s in spec.structure if variable in spec.term_variables.get(s.term, set())]
        subset = spec.subset(terms)
        return subset, list(subset.column_names)

    def _frame(self, spec: Any, variable: str, values: Any) -> pd.DataFrame:
        """The data of spec's variables, with the variable's values replaced
        (a new frame: the data's other columns are shared, not copied)."""
        import pandas as pd

        needed = spec.variables_by_source.get("data", set())
        columns = {name: self.data[name] for name in self.data.columns if name in needed}
        columns[variable] = pd.Series(values, index=self.data.index)
        return pd.DataFrame(columns, copy=False)

    def _evaluated(self, spec: Any, data: pd.DataFrame) -> dict[str, Any] | None:
        """The columns of spec on data's rows that are complete as given, or
        None when one of them is missing or infinite there (a transform
        undefined at the moved value: np.log at or below 0)."""
        matrix = _formula._materialize(self.design.formula, spec, data, "drop")
        if not self.all_complete:
            matrix = _formula._subset(matrix, self.complete)
        if _formula._complete_rows(matrix.values()) is not None or _infinite_column(matrix) is not None:
            return None
        return dict(matrix)

    def slope(self, variable: str) -> tuple[float, npt.NDArray[np.float64]]:
        """A numeric variable's average derivative effect Σ wᵢ h′(ηᵢ) dηᵢ/dv
        and its gradient in β, Σ wᵢ [h″(ηᵢ) (dηᵢ/dv) xᵢ + h′(ηᵢ) dxᵢ/dv]."""
        try:
            values = self.data[variable].to_numpy(dtype=np.float64)
        except (TypeError, ValueError):
            raise ValueError(
                f"marginal_effects(): the variable {variable!r} enters numeric terms but its column is "
                f"not numeric ({self.data[variable].dtype})."
            ) from None
        spec, _ = self._spec_of(variable)
        k = len(self.parameters)
        if self._linear(variable):
            # Every term is the variable itself times other factors: its
            # columns at v = 1 are their derivatives, exactly.
            unit = self._evaluated(spec, self._frame(spec, variable, np.ones(len(values))))
            assert unit is not None  # the other factors are those of complete rows
            derivative = _Terms(unit, self.position)
            slopes = derivative.scores(self.parameters) + np.zeros(len(self.weights))
            derivative_sums = derivative.sums(self.weights * self.g, k)
        else:
            slopes, derivative_sums = self._differences(spec, variable, values)
        effect = float(self.weights @ (self.g * slopes))
        jacobian = self._sums(self.weights * self.curvature * slopes) + derivative_sums
        self._level_sums(self.weights * self.curvature * slopes)
        return effect, jacobian

    def _linear(self, variable: str) -> bool:
        """Whether every factor that names the variable is the variable as it
        is (x, x:z, x:C(g); not I(x ** 2) or np.log(x))."""
        spec = self.design.spec
        return all(
            str(factor.expr) == variable
            for factor, variables in spec.factor_variables.items()
            if variable in variables
        )

    def _differences(
        self, spec: Any, variable: str, values: npt.NDArray[np.float64]
    ) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
        """dηᵢ/dv of every row and Σ wᵢ h′(ηᵢ) dxᵢ/dv, by central differences
        of the variable's terms."""
        magnitude = np.abs(values)
        # The step is relative to the variable's own scale (its mean size),
        # so that a value near 0 does not take a step below rounding.
        scale = float(np.mean(magnitude[self.complete]))
        scale = scale if np.isfinite(scale) and scale > 0 else 1.0
        moved = self._moved(spec, variable, values, _STEP * np.maximum(magnitude, scale))
        if moved is None:
            # A transform undefined across the step (np.log near 0): steps
            # relative to each value alone, which stay on its side of 0.
            moved = self._moved(spec, variable, values, _STEP * np.where(magnitude > 0, magnitude, scale))
        if moved is None:
            raise ValueError(
                f"marginal_effects(): the formula's terms have no derivative in {variable!r} at some rows "
                "(a transform is undefined next to their value)."
            )
        up, down, width = moved
        k = len(self.parameters)
        slopes = (up.scores(self.parameters) - down.scores(self.parameters)) / width
        share = self.weights * self.g / width
        return slopes, up.sums(share, k) - down.sums(share, k)

    def _moved(
        self, spec: Any, variable: str, values: npt.NDArray[np.float64], step: npt.NDArray[np.float64]
    ) -> tuple[_Terms, _Terms, npt.NDArray[np.float64]] | None:
        """The variable's terms at v + h and v - h, and the width of the step
        as float64 holds it ((v + h) - (v - h), not 2h), or None when a
        transform is undefined at one of them."""
        up_values, down_values = values + step, values - step
        up = self._evaluated(spec, self._frame(spec, variable, up_values))
        down = self._evaluated(spec, self._frame(spec, variable, down_values))
        if up is None or down is None:
            return None
        width = (up_values - down_values)[self.complete]
        return _Terms(up, self.position), _Terms(down, self.position), width

    def changes(self, factor: _Factor) -> list[tuple[Any, float, npt.NDArray[np.float64]]]:
        """For every level of the factor but its reference: the level,
        Σ wᵢ [μᵢ(level) - μᵢ(reference)] and its gradient
        Σ wᵢ [h′(ηᵢ(level)) xᵢ(level) - h′(ηᵢ(reference)) xᵢ(reference)],
        with every row set to the level, its other variables as given."""
        _, names = self._spec_of(factor.variable)
        # The other terms, which setting a level leaves as they are.
        given = _Terms({name: self.matrix[name] for name in names}, self.position)
        others = _Terms({n: c for n, c in self.matrix.items() if n not in set(names)}, self.position)
        given_scores = self.scores - given.scores(self.parameters)
        k = len(self.parameters)
        n = len(self.weights)
        means = np.empty(len(factor.levels))
        gradients = np.empty((len(factor.levels), k))
        level_gradients = np.zeros((len(factor.levels), self.n_levels))
        # The levels in batches of about 64 MiB of weights h′(ηᵢ(level)),
        # so that the other terms' sums are one product per batch.
        batch = max(1, _BATCH_VALUES // max(n, 1))
        for first in range(0, len(factor.levels), batch):
            indices = range(first, min(first + batch, len(factor.levels)))
            values = np.empty((n, len(indices)))
            for column, index in enumerate(indices):
                terms = _Terms(self._at_level(names, factor, index), self.position)
                scores = given_scores + terms.scores(self.parameters)
                means[index] = float(self.weights @ self.link.mean(scores))
                np.multiply(self.weights, self.link.derivative(scores), out=values[:, column])
                gradients[index] = terms.sums(values[:, column], k)
                if self.positions is not None:
                    level_gradients[index] = np.bincount(
                        self.positions, weights=values[:, column], minlength=self.n_levels
                    )
            gradients[indices.start : indices.stop] += others.column_sums(values, k).T
            if self.fit_intercept:
                gradients[indices.start : indices.stop, 0] += values.sum(axis=0)
        at_level = list(zip(means.tolist(), gradients, strict=True))
        reference_mean, reference_gradient = at_level[factor.reference]
        if self.positions is not None:
            self.level_gradients.extend(
                level_gradients[index] - level_gradients[factor.reference]
                for index in range(len(factor.levels))
                if index != factor.reference
            )
        return [
            (level, mean - reference_mean, gradient - reference_gradient)
            for index, (level, (mean, gradient)) in enumerate(zip(factor.levels, at_level, strict=True))
            if index != factor.reference
        ]

    def _at_level(self, names: list[str], factor: _Factor, index: int) -> dict[str, Any]:
        """The factor's terms with every row at levels[index]: the columns as
        given, the factor's codes in them set to the level (the variable
        enters no other factor, so nothing else in them moves)."""
        # One code for every row, as a broadcast (no array of n codes).
        level = np.broadcast_to(np.intp(index), (len(self.weights),))
        columns = {}
        for name in names:
            column = self.matrix[name]
            indicators = tuple(
                dataclasses.replace(i, codes=level) if i.factor == factor.expression else i
                for i in column.indicators
            )
            columns[name] = dataclasses.replace(column, indicators=indicators)
        return columns


def _infinite_column(matrix: dict[str, Any]) -> str | None:
    """The name of a materialized column with an infinite value, if any."""
    for name, column in matrix.items():
        numeric = getattr(column, "numeric", None)
        if numeric is not None and np.isinf(numeric).any():
            return str(name)
    return None
