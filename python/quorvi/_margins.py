"""Average marginal effects: the weighted sums over the rows of X that the
effects and their delta-method covariance need, in one pass over X (in
memory, or chunk by chunk where a Dask array lives), and the effects from
those sums."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, NamedTuple

import numpy as np
import numpy.typing as npt
from scipy import sparse
from sklearn.utils.validation import _check_sample_weight

from ._backends import backend_of
from ._links import Link
from ._named import check_offset_given as offset_given
from ._prediction import _dense_rows
from ._robust import checked_offset

if TYPE_CHECKING:
    from ._results import FitResults, Validate

# Rows per block of the in-memory pass: the block is read for its scores and
# read again, still in cache, for its column sums (about 1 MiB per block).
_BLOCK_BYTES = 1 << 20


def chunk_sums(
    X: npt.NDArray[np.float64],
    weights: npt.NDArray[np.float64] | None,
    coef: npt.NDArray[np.float64],
    intercept: float,
    offset: npt.NDArray[np.float64] | None,
    link: Link,
) -> npt.NDArray[np.float64]:
    """[Σ sᵢ, Σ sᵢgᵢ, Σ sᵢg'ᵢ, Σ sᵢg'ᵢxᵢ (one per feature)] over the rows of
    X, with gᵢ = h'(ηᵢ) the derivative of the link's mean at the row's linear
    predictor ηᵢ = xᵢᵀβ + oᵢ (oᵢ the row's offset, when given) and g'ᵢ =
    h''(ηᵢ); for the logit gᵢ = μᵢ(1 - μᵢ) and g'ᵢ = gᵢ(1 - 2μᵢ)."""
    sums = np.zeros(3 + X.shape[1])
    rows = max(1, _BLOCK_BYTES // (8 * max(X.shape[1], 1)))
    for start in range(0, X.shape[0], rows):
        block = X[start : start + rows]
        scores = block @ coef + intercept
        if offset is not None:
            scores += offset[start : start + rows]
        g = link.derivative(scores)
        curvature = link.curvature(scores)
        if weights is not None:
            block_weights = weights[start : start + rows]
            sums[0] += block_weights.sum()
            g *= block_weights
            curvature *= block_weights
        else:
            sums[0] += block.shape[0]
        sums[1] += g.sum()
        sums[2] += curvature.sum()
        sums[3:] += curvature @ block
    return sums


def margin_sums(
    results: FitResults, X: Any, sample_weight: Any, offset: Any, validate: Validate
) -> npt.NDArray[np.float64]:
    """chunk_sums over all rows of X, for a fit's results; an in-memory X
    validated by validate (as for predict), offset as for predict_proba."""
    check_offset_given(results, offset)
    coef = results.coef
    intercept = results.intercept
    backend = backend_of(X)
    if backend is not None:
        sums = np.asarray(
            backend.module().margin_sums(X, sample_weight, offset, coef, intercept, results.link_name),
            dtype=np.float64,
        )
    else:
        X = validate(X)
        weights = None
        if sample_weight is not None:
            weights = _check_sample_weight(sample_weight, X, dtype=np.float64, ensure_non_negative=True)
        sums = chunk_sums(X, weights, coef, intercept, checked_offset(offset, X.shape[0]), results.link)
    if not sums[0] > 0:
        raise ValueError("sample_weight sums to 0: there are no rows to average the marginal effects over.")
    return sums


def training_sums(result: Any, fit_intercept: bool) -> npt.NDArray[np.float64] | None:
    """The sums of chunk_sums over the training rows, from those the fit's
    last pass formed (its "margin_sums"), or None where it formed none (a
    Dask DataFrame with categorical columns, or no update). With absorbed
    levels the engine has carried Σ sᵢgᵢ to the final levels' effects
    already (by its gradient in them); the coefficients' change is carried
    here, as for any fit.

    The pass was at the coefficients the last update started from, β₀,
    which differ from the final β by the last change (at most tol). Σ sᵢgᵢ
    is carried to β to first order by its gradient, which is the pass's
    Σ sᵢg'ᵢxᵢ: Σ sᵢgᵢ(β) = Σ sᵢgᵢ(β₀) + (Σ sᵢg'ᵢxᵢ)ᵀ(β - β₀) + O(|β - β₀|²),
    so the effects are those at β to second order in the change. The sum
    Σ sᵢg'ᵢxᵢ itself, which enters the standard errors only, stays at β₀: a
    relative difference of the order of the change."""
    if result.margin_sums is None:
        return None
    raw = np.asarray(result.margin_sums, dtype=np.float64)
    curvature = raw[2:]
    change = np.asarray(result.coefficients) - np.asarray(result.last_pass_coefficients)
    slope = raw[1] + float(curvature @ change)
    # chunk_sums' layout: Σ sᵢg'ᵢ (the intercept's) third, as if X had one.
    intercept_sum = curvature[:1] if fit_intercept else np.full(1, np.nan)
    features = curvature[1:] if fit_intercept else curvature
    result_sums: npt.NDArray[np.float64] = np.concatenate([[raw[0], slope], intercept_sum, features])
    return result_sums


def effects_and_jacobian(
    sums: npt.NDArray[np.float64], coef: npt.NDArray[np.float64], fit_intercept: bool
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """(effects, their Jacobian in the parameters) from the sums of chunk_sums."""
    total = sums[0]
    mean_g = sums[1] / total
    # The mean of gᵢ(1 - 2μᵢ) xᵢₖ for every parameter k, xᵢ₀ = 1 for the intercept.
    mean_curvature = sums[2:] / total if fit_intercept else sums[3:] / total
    effects = coef * mean_g
    jacobian = np.outer(coef, mean_curvature)
    offset = 1 if fit_intercept else 0
    jacobian[np.arange(len(coef)), offset + np.arange(len(coef))] += mean_g
    return effects, jacobian


def average_marginal_effects(
    sums: npt.NDArray[np.float64],
    coef: npt.NDArray[np.float64],
    covariance: npt.NDArray[np.float64],
    fit_intercept: bool,
    kept: npt.NDArray[np.bool_],
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """(effects, their covariance J V Jᵀ) from the sums of chunk_sums. kept
    marks the parameters (in covariance's order) that were estimated; the
    others' rows and columns of covariance are not read, and a dropped
    feature's effect has a NaN variance."""
    effects, jacobian = effects_and_jacobian(sums, coef, fit_intercept)
    offset = 1 if fit_intercept else 0
    kept_covariance = covariance[np.ix_(kept, kept)]
    effect_covariance = jacobian[:, kept] @ kept_covariance @ jacobian[:, kept].T
    dropped_features = ~kept[offset:]
    effect_covariance[dropped_features, :] = np.nan
    effect_covariance[:, dropped_features] = np.nan
    return effects, effect_covariance


def check_offset_given(results: FitResults, offset: Any) -> None:
    """A ValueError when the model was fitted with an offset and none is
    given: the effects are taken at each row's fitted probability, which
    the offset moves."""
    offset_given(results.fitted_with_offset, offset)


class _Categorical(NamedTuple):
    """A categorical column of the design as the margins read it: its rows'
    codes, the parameter of each level (-1 for the reference level, which
    has none) and each level's coefficient (0 for the reference)."""

    codes: npt.NDArray[np.intp]
    parameter: npt.NDArray[np.intp]
    table: npt.NDArray[np.float64]


def _categoricals(
    parts: list[tuple[npt.NDArray[Any], int, bool]], first_parameter: int, parameters: npt.NDArray[np.float64]
) -> list[_Categorical]:
    """Each categorical's codes, level parameters and level coefficients,
    its parameters following the intercept and the numeric columns."""
    columns = []
    start = first_parameter
    for codes, levels, drop_first in parts:
        parameter = np.arange(levels, dtype=np.intp) + start - int(drop_first)
        if drop_first:
            parameter[0] = -1
        start += levels - int(drop_first)
        table = np.where(parameter >= 0, parameters[np.maximum(parameter, 0)], 0.0)
        columns.append(_Categorical(codes.astype(np.intp), parameter, table))
    return columns


def _indicator_sums(
    column: _Categorical, weights: npt.NDArray[np.float64], values: npt.NDArray[np.float64], k: int
) -> npt.NDArray[np.float64]:
    """(k, m): Σᵢ weightsᵢ valuesᵢ xᵢ over the rows of a block, for the part
    of each row's parameter vector x that the categorical sets (a 1 at the
    parameter of the row's level), values of shape (rows, m). Read through a
    block's sparse indicator, never a dense one-hot."""
    rows = np.arange(len(column.codes))
    indicator = sparse.csr_array((weights, (column.codes, rows)), shape=(len(column.parameter), len(rows)))
    by_level = indicator @ values
    result = np.zeros((k + 1, values.shape[1]))
    # The reference level's sums land in the spare last row and are cut off.
    np.add.at(result, np.where(column.parameter >= 0, column.parameter, k), by_level)
    return result[:k]


class _FrameMarginSums:
    """The weighted sums over the rows of a frame that its margins need:
    Σ sᵢ, Σ sᵢgᵢ and Σ sᵢh″(ηᵢ)xᵢ, gᵢ = h′(ηᵢ) (the numeric columns' derivative
    effects, as in chunk_sums), and per categorical, for every level l,
    Σ sᵢ μᵢ(l) and Σ sᵢ gᵢ(l) xᵢ(l), with xᵢ(l) the row's parameter vector
    with the column set to l (its discrete changes and their Jacobian)."""

    def __init__(self, k: int, columns: list[_Categorical], link: Link) -> None:
        self.link = link
        self.total = 0.0
        self.g = 0.0
        self.curvature = np.zeros(k)
        self.mu = [np.zeros(len(column.table)) for column in columns]
        self.slope = [np.zeros((k, len(column.table))) for column in columns]

    def add_block(
        self,
        dense: npt.NDArray[np.float64],
        block: list[_Categorical],
        scores: npt.NDArray[np.float64],
        weights: npt.NDArray[np.float64],
    ) -> None:
        """Add a block of rows: its dense parameter rows (intercept and
        numeric columns), its categoricals' codes, scores and weights."""
        k, n_dense = len(self.curvature), dense.shape[1]
        g = self.link.derivative(scores)
        weighted_curvature = weights * self.link.curvature(scores)
        self.total += float(weights.sum())
        self.g += float(weights @ g)
        self.curvature[:n_dense] += weighted_curvature @ dense
        for column in block:
            self.curvature += _indicator_sums(column, weighted_curvature, np.ones((len(g), 1)), k)[:, 0]
        for index, column in enumerate(block):
            # Every row's score with the column set to each level in turn.
            at_level = (scores - column.table[column.codes])[:, None] + column.table[None, :]
            mu_at_level = self.link.mean(at_level)
            g_at_level = self.link.derivative(at_level)
            self.mu[index] += weights @ mu_at_level
            slope = self.slope[index]
            slope[:n_dense] += dense.T @ (weights[:, None] * g_at_level)
            for other_index, other in enumerate(block):
                if other_index != index:
                    slope += _indicator_sums(other, weights, g_at_level, k)
            own = column.parameter >= 0
            slope[column.parameter[own], np.flatnonzero(own)] += (weights @ g_at_level)[own]

    def merge(self, other: _FrameMarginSums) -> None:
        """Add the sums of other rows (a later partition's)."""
        self.total += other.total
        self.g += other.g
        self.curvature += other.curvature
        for mine, theirs in zip(self.mu, other.mu, strict=True):
            mine += theirs
        for mine_slope, their_slope in zip(self.slope, other.slope, strict=True):
            mine_slope += their_slope


def frame_sums(results: FitResults, X: Any, sample_weight: Any, offset: Any) -> _FrameMarginSums:
    """The sums of _FrameMarginSums over the rows of an in-memory frame (the
    whole X, or one partition of a Dask DataFrame), read in blocks."""
    numeric, categoricals = results.parameter_rows(X)
    # A slope per level comes from a formula, whose margins are refused.
    assert all(multiplier is None for *_, multiplier in categoricals)
    parts = [(codes, levels, drop_first) for codes, levels, drop_first, _ in categoricals]
    # (A frame of numeric columns alone: the other columns of a fit with
    # absorbed levels.)
    n = len(parts[0][0]) if parts else (numeric[0].shape[0] if numeric else 0)
    weights = _check_sample_weight(
        sample_weight, np.empty((n, 0)), dtype=np.float64, ensure_non_negative=True
    )
    offsets = checked_offset(offset, n)
    parameters = results.parameters
    fit_intercept = results.fit_intercept
    n_dense = _dense_parameter_count(results)
    columns = _categoricals(parts, n_dense, parameters)
    sums = _FrameMarginSums(len(parameters), columns, results.link)
    widest = max((len(column.table) for column in columns), default=0)
    rows_per_block = max(1, _BLOCK_BYTES // (8 * (n_dense + 2 * widest)))
    for first in range(0, n, rows_per_block):
        rows = slice(first, min(first + rows_per_block, n))
        dense = _dense_rows(numeric, rows, fit_intercept)
        block = [column._replace(codes=column.codes[rows]) for column in columns]
        scores = dense @ parameters[:n_dense] + sum(column.table[column.codes] for column in block)
        if offsets is not None:
            scores = scores + offsets[rows]
        sums.add_block(dense, block, scores, weights[rows])
    return sums


def _dense_parameter_count(results: FitResults) -> int:
    """The parameters before the categoricals': the intercept and the
    numeric columns."""
    assert results.layout is not None  # only a frame's results have categoricals
    return int(results.fit_intercept) + len(results.layout.numeric)


def frame_marginal_effects(
    results: FitResults, X: Any, sample_weight: Any, offset: Any
) -> tuple[list[str], npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """(row names, effects, their delta-method covariance J V Jᵀ) over the
    rows of a DataFrame with categorical columns (in memory, or a Dask
    DataFrame partition by partition): the derivative
    effect of every numeric column and, for every level of a categorical but
    its first (the reference), the average discrete change from the first,
    Σ sᵢ [μ(xᵢ at that level) - μ(xᵢ at the first)] / Σ sᵢ, as Stata's
    ``margins, dydx(i.group)``. The rows are read in blocks; an effect that
    rests on a parameter dropped as linearly dependent is NaN."""
    check_offset_given(results, offset)
    backend = backend_of(X)
    if backend is not None:
        sums = backend.module().frame_sums(results, X, sample_weight, offset)
    else:
        sums = frame_sums(results, X, sample_weight, offset)
    if not sums.total > 0:
        raise ValueError("sample_weight sums to 0: there are no rows to average the marginal effects over.")
    layout = results.layout
    assert layout is not None  # the margins of a frame with categorical columns
    parameters = results.parameters
    n_dense = _dense_parameter_count(results)
    # The categoricals' parameters and level coefficients (no rows needed).
    levels = [
        (np.empty(0, dtype=np.intp), len(column.levels), column.drop_first) for column in layout.categorical
    ]
    columns = _categoricals(levels, n_dense, parameters)
    # Numeric column at parameter p: AME = βₚ ḡ, ∂/∂βₖ = δₚₖ ḡ + βₚ mean(g(1 - 2μ)xₖ).
    numeric_parameters = np.arange(n_dense - len(layout.numeric), n_dense)
    mean_g = sums.g / sums.total
    numeric_jacobian = np.outer(parameters[numeric_parameters], sums.curvature / sums.total)
    numeric_jacobian[np.arange(len(numeric_parameters)), numeric_parameters] += mean_g
    names: list[str] = list(layout.numeric)
    effects = [parameters[numeric_parameters] * mean_g]
    jacobians = [numeric_jacobian]
    # Level l against the first: the difference of their averages and of
    # their Jacobians.
    for layout_column, mu, slope in zip(layout.categorical, sums.mu, sums.slope, strict=True):
        names.extend(f"{layout_column.name}[{level}]" for level in layout_column.levels[1:])
        effects.append((mu[1:] - mu[0]) / sums.total)
        jacobians.append(((slope[:, 1:] - slope[:, :1]) / sums.total).T)
    all_effects = np.concatenate(effects)
    covariance = _effect_covariance(results, np.vstack(jacobians), all_effects, columns, numeric_parameters)
    return names, all_effects, covariance


def _effect_covariance(
    results: FitResults,
    jacobian: npt.NDArray[np.float64],
    effects: npt.NDArray[np.float64],
    columns: list[_Categorical],
    numeric_parameters: npt.NDArray[np.intp],
) -> npt.NDArray[np.float64]:
    """J V Jᵀ over the estimated parameters; an effect that rests on a
    parameter dropped as linearly dependent (a numeric column's, a level's or
    its reference's) is NaN, as are its variance and covariances (effects is
    written so)."""
    dropped = results.dropped
    kept = ~dropped
    covariance = jacobian[:, kept] @ results.covariance[np.ix_(kept, kept)] @ jacobian[:, kept].T
    unestimated = [dropped[numeric_parameters]]
    for column in columns:
        level_dropped = np.where(column.parameter >= 0, dropped[np.maximum(column.parameter, 0)], False)
        unestimated.append(level_dropped[1:] | level_dropped[0])
    missing = np.concatenate(unestimated)
    effects[missing] = np.nan
    covariance[missing, :] = np.nan
    covariance[:, missing] = np.nan
    result: npt.NDArray[np.float64] = covariance
    return result
