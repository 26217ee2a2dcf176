"""A fit as a value: the problem an estimator's fit() poses, resolved once
from its parameters and the input. Arguments that name columns become
their values, a formula becomes its design frame, labels and companions of
the complete rows, and the back end, the absorbed columns and the
covariance's recipe are decided here and nowhere else; run() then makes the
one call that fits the FitSpec where its rows live."""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np

from . import _absorb, _bias_correction, _contrasts, _formula, _named
from ._backends import Backend, backend_of
from ._covariance_types import CovarianceType, covariance_type
from ._links import Link, link_named

if TYPE_CHECKING:
    from ._fitted import Fitted
    from ._named import ArgumentColumns

Progress = Callable[[int, float, float, float, int], None]


@dataclass(frozen=True)
class FitRows:
    """The rows a fit reads: X (a design frame, for a formula), the labels,
    and the companions of the same rows."""

    X: Any
    y: Any
    sample_weight: Any
    clusters: Any
    offset: Any

    def unpacked(self) -> tuple[Any, Any, Any, Any, Any]:
        """(X, y, sample_weight, clusters, offset), the arrays as they are."""
        return self.X, self.y, self.sample_weight, self.clusters, self.offset


@dataclass(frozen=True)
class FitSpec:
    rows: FitRows
    backend: Backend | None  # None: the rows are in memory
    absorb: str | list[str] | None  # absorb= or the formula's '| fe' part
    formula: _formula.FormulaDesign | None
    dropped_rows: Any  # the formula's incomplete rows left out (a mask in memory), or None
    n_dropped_rows: int  # their number, on every back end
    argument_columns: ArgumentColumns  # the columns fit's arguments named
    # The loop's settings.
    fit_intercept: bool
    tol: float
    max_iter: int
    penalty: float  # 1/C, 0 for none
    link: Link
    n_threads: int | None  # None: the BLAS's own count
    progress: Progress | None
    # The covariance's recipe: its type's record, and whether its bread is
    # the observed information (probit and cloglog, without absorbed columns).
    covariance: CovarianceType
    observed: bool
    # The slopes' analytical bias correction of absorbed fits, or None.
    bias_correction: str | None = None


def resolve(estimator: Any, X: Any, y: Any, sample_weight: Any, clusters: Any, offset: Any) -> FitSpec:
    """The FitSpec of estimator.fit(X, y, sample_weight, clusters=, offset=),
    every check of its arguments made."""
    formula_text: str | None = estimator.formula
    if formula_text is not None and estimator.absorb is not None:
        _, absorbed_part = _formula.split_absorbed(formula_text)
        named = [estimator.absorb] if isinstance(estimator.absorb, str) else estimator.absorb
        raise ValueError(
            "absorb= and a formula with an absorbed part ('| fe') were both given: use one of them."
            if absorbed_part
            else f"with a formula, absorbed levels are the formula's '| fe' part, not absorb=: write "
            f"formula='{formula_text} | {' + '.join(named)}' and leave absorb=None."
        )
    absorb = estimator.absorb
    if formula_text is not None:
        absorb = _formula.split_absorbed(formula_text)[1] or None
    absorbed_names = [] if absorb is None else [absorb] if isinstance(absorb, str) else list(absorb)
    named_columns = _named.names_in(sample_weight, offset, clusters)
    if formula_text is not None and _formula.is_lazy(X):
        # A lazy frame: the columns of the formula and of the arguments
        # that name columns, collected before those names are read.
        columns = _formula.collected_columns(X, formula_text, absorbed_names, named_columns)
        if estimator.verbose:
            print(f"quorvi: the lazy frame's columns collected: {', '.join(columns)}")
        X = _formula.collect(X, columns)
    # Arguments that name columns of the data become their values first,
    # so that a formula's dropped rows leave them as they leave arrays.
    X, sample_weight, offset, clusters, argument_columns = _named.fit_arguments(
        X, X, sample_weight, offset, clusters, absorbed=absorbed_names, formula=formula_text is not None
    )
    formula = None
    dropped_rows = None
    n_dropped_rows = 0
    if formula_text is not None:
        # The formula's design frame of the complete rows (and its
        # left-hand side as y, the companions of the same rows), every
        # check of the formula made before the fit.
        learned = _formula.learn(
            formula_text,
            X,
            y,
            bool(estimator.fit_intercept),
            estimator.missing,
            {"sample_weight": sample_weight, "clusters": clusters, "offset": offset},
            named_columns,
        )
        formula, X, y, dropped_rows = learned.design, learned.frame, learned.labels, learned.dropped_rows
        n_dropped_rows = learned.n_dropped_rows
        _contrasts.check_fit_settings(formula.contrasts, formula_text, estimator.C)
        sample_weight, clusters, offset = (
            learned.companions[name] for name in ("sample_weight", "clusters", "offset")
        )
    backend = backend_of(X)
    penalty = 0.0 if np.isinf(estimator.C) else 1.0 / float(estimator.C)
    _bias_correction.check_request(
        estimator.bias_correction, absorbed_names, estimator.link, penalty, backend is not None
    )
    return FitSpec(
        rows=FitRows(X, y, sample_weight, clusters, offset),
        backend=backend,
        absorb=absorb,
        formula=formula,
        dropped_rows=dropped_rows,
        n_dropped_rows=n_dropped_rows,
        argument_columns=argument_columns,
        fit_intercept=bool(estimator.fit_intercept),
        tol=float(estimator.tol),
        max_iter=int(estimator.max_iter),
        penalty=penalty,
        link=link_named(estimator.link),
        n_threads=estimator.n_threads,
        progress=estimator._progress(),
        covariance=covariance_type(estimator.cov_type),
        observed=estimator._observed_information(absorb is not None),
        bias_correction=estimator.bias_correction,
    )


def run(spec: FitSpec, in_memory: Callable[[FitSpec], Fitted]) -> tuple[Fitted, _absorb.AbsorbedFit | None]:
    """The fit of a FitSpec where its rows live, by the one function of its back
    end that fits it: fit or fit_absorbed of the back end's module
    (_backends.py), and for rows in memory in_memory (the estimator's, which
    validates them as scikit-learn's input) or _absorb.fit."""
    if spec.backend is None:
        if spec.absorb is None:
            return in_memory(spec), None
        absorbed = _absorb.fit(spec)
        return absorbed.fitted, absorbed
    module = spec.backend.module()
    if spec.absorb is None:
        fitted: Fitted = module.fit(spec)
        return fitted, None
    absorbed = module.fit_absorbed(spec)
    return absorbed.fitted, absorbed
