"""The materializer of formulas: a subclass of formulaic's pandas
materializer that keeps each categorical factor as its integer codes.

formulaic's own materializers encode a categorical factor as one dense 0/1
column per level and multiply the columns of an interaction. This one lets
formulaic code each factor on one row per level (so its contrasts name the
columns and record the levels and the reference in the model spec, as they
would for the whole frame) and keeps, for every row, only the factor's code:
a column of a term is then the product of its numeric factors (if any) and
the indicators of its factors' levels, never an array of n × levels (a
numeric × categorical column, x:C(g)[T.b], is x and the indicator apart).
A factor coded with other contrasts (C(g, Sum), ...) is kept as the codes of
its treatment coding against the first level, each column carrying the
contrast's column that takes its place (python/quorvi/_contrasts.py maps
the parameters after the fit).

Imported only when a formula is given (it imports formulaic); a class of a
module, so that a model spec that names it travels to Dask's workers.
"""

from __future__ import annotations

import itertools
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt
import pandas as pd
from formulaic.materializers import PandasMaterializer
from formulaic.materializers.types import EvaluatedFactor, FactorValues
from formulaic.parser.types import Factor
from interface_meta import override

from ._contrasts import FactorCoding, factor_coding


@dataclass(frozen=True)
class Indicator:
    """The rows of one level of a categorical factor: codes == level. For a
    factor coded with other contrasts than treatment, the column of
    statsmodels' coding that takes this indicator's place: its values over
    the levels and its name."""

    factor: str
    codes: npt.NDArray[Any]
    level: int
    n_levels: int
    coding: npt.NDArray[np.float64] | None = None
    coded_name: str | None = None


@dataclass(frozen=True)
class Column:
    """One column of a term as our materializer gives it: the product of its
    numeric factors (None when it has none; numeric_names the names of the
    factors' columns in it) times the indicators of its categorical factors'
    levels, kept as codes."""

    numeric: npt.NDArray[np.float64] | None
    indicators: tuple[Indicator, ...]
    numeric_names: tuple[str, ...] = ()
    # statsmodels' name of the column that takes this one's place, when a
    # factor of it is coded with other contrasts than treatment.
    coded_name: str | None = None


class CodesMaterializer(PandasMaterializer):  # type: ignore[misc]
    """formulaic's pandas materializer, with categorical factors kept as
    codes (Indicator) and a term's columns as Column records."""

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
        # columns and record the levels (in the model spec's encoder state)
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
        state = spec.encoder_state[factor.expr][1]
        levels = state["categories"]
        codes = pd.Categorical(series, categories=levels).codes
        contrasts = state.get("contrasts")
        coding = factor_coding(factor.expr, getattr(contrasts, "contrasts", None), list(levels), reduced_rank)
        if coding is not None:
            return _treatment_indicators(factor.expr, codes, coding, list(levels), reduced_rank)
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
            numeric_names = [] if scale == 1 else [repr(float(scale))]
            for name, value in product:
                if isinstance(value, Indicator):
                    indicators.append(value)
                else:
                    part = np.asarray(value, dtype=np.float64)
                    numeric = part if numeric is None else numeric * part
                    numeric_names.append(name)
            coded_name = None
            if any(indicator.coded_name is not None for indicator in indicators):
                coded_name = ":".join(
                    value.coded_name if isinstance(value, Indicator) and value.coded_name else name
                    for name, value in product
                )
            columns[":".join(name for name, _ in product)] = Column(
                numeric, tuple(indicators), tuple(numeric_names), coded_name
            )
        return columns

    @override
    def _combine_columns(self, cols: Sequence[tuple[str, Any]], spec: Any, drop_rows: Sequence[int]) -> Any:
        return dict(cols)


def _treatment_indicators(
    factor: str, codes: npt.NDArray[Any], coding: FactorCoding, levels: list[Any], reduced: bool
) -> dict[str, Indicator]:
    """A factor coded with other contrasts as the fit reads it: the
    indicators of its levels after the first (reduced rank) or of all its
    levels, each paired with the contrast's column in its place (as many
    columns as indicators, in formulaic's order: the map of the parameters
    pairs them one to one)."""
    first = 1 if reduced else 0
    return {
        f"{factor}[T.{levels[level]}]" if reduced else f"{factor}[{levels[level]}]": Indicator(
            factor, codes, level, len(levels), coding.matrix[:, column], coding.names[column]
        )
        for column, level in enumerate(range(first, len(levels)))
    }


def _check_levels(factor: str, series: pd.Series, levels: list[Any]) -> None:
    """ValueError, naming the factor and the level, for a value that was not
    a level in fit (formulaic would code it as missing, with a warning). A
    missing value is no level: its row is one of the formula's incomplete
    rows (code -1), left out or refused by the caller."""
    unseen = ~series.isin(levels) & series.notna()
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
) -> Indicator:
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
    return Indicator(factor, codes, int(ones[0]), n_levels)
