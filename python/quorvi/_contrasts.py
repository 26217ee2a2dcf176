"""A formula's factors coded with contrasts other than treatment (``C(g,
Sum)``, ``C(g, Helmert)``, ``C(g, Diff)``, ``C(g, Poly)`` and formulaic's
``contr.sum``, ``contr.helmert``, ``contr.poly``, ``contr.diff``), in
statsmodels' (patsy's) parametrization and under its names.

The fit never reads a contrast's dense columns. It reads such a factor as
its codes, treatment-coded against the first level (the materializer,
python/quorvi/_materializer.py), and the parameters are mapped afterwards:
where the contrast-coded design is X_c = X_t A with A invertible, the model
is the same, so β_c = A⁻¹ β_t and V_c = A⁻¹ V_t A⁻ᵀ for every covariance
type (each is equivariant under a linear reparametrization), and the
predictions are those of β_t. A is found column by column: each column of
either design is a product of numeric factors and of one vector over each
factor's levels, expanded here in the basis of products of level
indicators (a factor's first level taken as 1 minus the others), and A
solves X_t A = X_c in that basis. The map is refused where it does not hold
exactly (a combination of levels without rows, a column dropped as
dependent among the mapped ones) and where the fit is not invariant under
it: a ridge penalty (it shrinks β_t, not β_c) and absorbed levels (refused
before the fit).
"""

from __future__ import annotations

import dataclasses
import itertools
import math
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt
from scipy import sparse
from scipy.sparse import linalg as sparse_linalg

if TYPE_CHECKING:
    from ._results import FitResults

# How statsmodels (patsy) names the columns of each contrast that
# formulaic offers with its defaults, as suffixes of the factor's name:
# without the intercept (reduced rank) and with it (full rank, the
# contrast's columns after a column of ones).
_POLY_NAMES = (".Constant", ".Linear", ".Quadratic", ".Cubic")


def _poly_names(levels: Sequence[Any]) -> list[str]:
    return [*_POLY_NAMES, *(f"^{degree}" for degree in range(4, len(levels)))][: len(levels)]


def _suffixes(kind: str, levels: Sequence[Any], reduced: bool) -> list[str]:
    """The suffixes statsmodels gives a factor's columns under a contrast."""
    if kind == "poly":
        names = _poly_names(levels)
        return names[1:] if reduced else names
    if kind == "diff":
        # patsy names the full coding's columns, the ones among them, by
        # all the levels, and the reduced one's by all but the last.
        return [f"[D.{level}]" for level in (levels[:-1] if reduced else levels)]
    if kind == "sum":
        named, intercept = [f"[S.{level}]" for level in levels[:-1]], "[mean]"
    else:  # helmert
        named, intercept = [f"[H.{level}]" for level in levels[1:]], "[H.intercept]"
    return named if reduced else [intercept, *named]


def _kind(contrasts: Any) -> str | None:
    """Which of the contrasts mapped here formulaic's contrasts are (None
    for treatment coding, read as it is); NotImplementedError for others,
    whose parameters statsmodels names differently or not at all."""
    from formulaic.transforms.contrasts import (
        DiffContrasts,
        HelmertContrasts,
        PolyContrasts,
        SumContrasts,
        TreatmentContrasts,
    )

    if contrasts is None or isinstance(contrasts, TreatmentContrasts):
        return None
    # The defaults are R's and patsy's codings; formulaic's variants
    # (reversed or scaled Helmert, forward differences) are neither.
    known = {
        "sum": type(contrasts) is SumContrasts,
        "helmert": contrasts == HelmertContrasts(),
        "diff": contrasts == DiffContrasts(),
        "poly": type(contrasts) is PolyContrasts,
    }
    for kind, matches in known.items():
        if matches:
            return kind
    return "other"


@dataclass(frozen=True)
class FactorCoding:
    """A factor's columns in one term as statsmodels codes them: one vector
    over the levels per column (the columns of ``matrix``) and their names."""

    matrix: npt.NDArray[np.float64]  # levels × columns
    names: list[str]


def factor_coding(factor: str, contrasts: Any, levels: Sequence[Any], reduced: bool) -> FactorCoding | None:
    """The statsmodels coding of a factor whose formulaic contrasts are sum,
    Helmert, backward difference or orthogonal polynomial; None for
    treatment coding. reduced: the term codes it without its intercept
    (formulaic's reduced rank, as patsy's code_without_intercept)."""
    kind = _kind(contrasts)
    if kind is None:
        return None
    if kind == "other":
        raise NotImplementedError(
            f"the term {factor!r} is coded with contrasts {contrasts!r}, which are not available: the "
            "contrasts are treatment (C(g), C(g, Treatment(reference=...)), contr.treatment), Sum, "
            "Helmert, Diff and Poly (contr.sum, contr.helmert, contr.diff, contr.poly) with their "
            "defaults (Poly with scores=)."
        )
    reduced_matrix = np.asarray(
        contrasts.get_coding_matrix(list(levels), reduced_rank=True), dtype=np.float64
    )
    reduced_matrix = reduced_matrix.reshape(len(levels), -1)
    # statsmodels' full-rank coding of each of these is the reduced one
    # after a column of ones (patsy's code_with_intercept).
    matrix = reduced_matrix if reduced else np.column_stack([np.ones(len(levels)), reduced_matrix])
    names = [f"{factor}{suffix}" for suffix in _suffixes(kind, list(levels), reduced)]
    return FactorCoding(matrix, names)


@dataclass(frozen=True)
class ColumnCoding:
    """A column of the fitted (treatment-coded) design and the column of
    statsmodels' design that takes its place: the product of the numeric
    factors ``numeric`` and, for each factor, the indicator of ``levels``
    (fitted) or the vector over its levels in ``vectors`` (statsmodels'; for
    a treatment-coded factor, the same indicator)."""

    name: str  # statsmodels' name
    numeric: tuple[str, ...]
    factors: tuple[str, ...]
    levels: tuple[int, ...]
    n_levels: tuple[int, ...]
    vectors: tuple[npt.NDArray[np.float64] | None, ...]  # None: the indicator of the level

    def signature(self) -> tuple[tuple[str, ...], frozenset[str]]:
        return self.numeric, frozenset(self.factors)

    def fitted_terms(self) -> dict[tuple[Any, ...], float]:
        return _expanded(self.numeric, self.factors, [_unit(level, n) for level, n in self._levels()])

    def coded_terms(self) -> dict[tuple[Any, ...], float]:
        vectors = [
            _unit(level, n) if vector is None else vector
            for (level, n), vector in zip(self._levels(), self.vectors, strict=True)
        ]
        return _expanded(self.numeric, self.factors, vectors)

    def _levels(self) -> list[tuple[int, int]]:
        return list(zip(self.levels, self.n_levels, strict=True))


def _unit(level: int, n_levels: int) -> npt.NDArray[np.float64]:
    vector = np.zeros(n_levels)
    vector[level] = 1.0
    return vector


def _expanded(
    numeric: tuple[str, ...], factors: tuple[str, ...], vectors: list[npt.NDArray[np.float64]]
) -> dict[tuple[Any, ...], float]:
    """numeric × Π_f v_f(g_f) in the basis of numeric × Π_{f ∈ S} 1[g_f = l_f]
    (l_f > 0): each v(g) = v[0] + Σ_{l>0} (v[l] − v[0]) 1[g = l]."""
    parts = []
    for factor, vector in zip(factors, vectors, strict=True):
        # None: the constant part v[0], not an indicator of a level.
        terms: list[tuple[int | None, float]] = [(None, float(vector[0]))] if vector[0] != 0 else []
        # Only the levels whose weight differs from the first's: an
        # indicator or a sum contrast has one or two, not one per level.
        differences = vector[1:] - vector[0]
        changed = np.flatnonzero(differences)
        terms.extend(zip((changed + 1).tolist(), differences[changed].tolist(), strict=True))
        parts.append([(None if level is None else (factor, level), value) for level, value in terms if value])
    expanded: dict[tuple[Any, ...], float] = {}
    for product in itertools.product(*parts):
        indicators: list[tuple[str, int]] = [level for level, _ in product if level is not None]
        key = (numeric, tuple(sorted(indicators)))
        expanded[key] = expanded.get(key, 0.0) + math.prod(value for _, value in product)
    return expanded


def column_codings(matrix: dict[str, Any]) -> dict[str, ColumnCoding]:
    """The columns of a materialized formula (name -> our materializer's
    Column, the intercept's ones) that the map of its contrasts involves,
    by their fitted names: those that a contrast recodes, and those whose
    products of indicators a recoded column's expansion meets (the same
    numeric factors, a subset of its factors: the intercept for C(g, Sum),
    x for x:C(g, Sum)). Empty for a formula without such contrasts."""
    if not any(getattr(column, "coded_name", None) for column in matrix.values()):
        return {}
    codings: dict[str, ColumnCoding] = {}
    for name, column in matrix.items():
        indicators = getattr(column, "indicators", None)
        if indicators is None:
            # The intercept: the product of no factor.
            codings[name] = ColumnCoding(name, (), (), (), (), ())
            continue
        codings[name] = ColumnCoding(
            column.coded_name or name,
            tuple(sorted(column.numeric_names)),
            tuple(indicator.factor for indicator in indicators),
            tuple(indicator.level for indicator in indicators),
            tuple(indicator.n_levels for indicator in indicators),
            tuple(indicator.coding for indicator in indicators),
        )
    recoded = {coding.signature() for name, coding in codings.items() if coding.name != name}
    return {
        name: coding
        for name, coding in codings.items()
        if any(coding.numeric == numeric and set(coding.factors) <= factors for numeric, factors in recoded)
    }


def check_fit_settings(codings: dict[str, ColumnCoding], formula: str, C: float) -> None:
    """A ValueError, before any fitting, for a penalty: it shrinks the
    treatment coefficients that the fit estimates, so the penalised fit in
    the contrasts' parametrization is another model."""
    if codings and np.isfinite(C):
        recoded = sorted({factor for name, c in codings.items() if c.name != name for factor in _recoded(c)})
        raise ValueError(
            f"the formula {formula!r} codes {', '.join(recoded)} with contrasts other than treatment, "
            f"which the fit maps from treatment coding; with a ridge penalty (C={C}) that map is not "
            "exact (the penalty would shrink the treatment coefficients, not the contrasts'): fit "
            "without a penalty (C=np.inf) or code the factor with treatment contrasts."
        )


def _recoded(coding: ColumnCoding) -> list[str]:
    return [
        factor for factor, vector in zip(coding.factors, coding.vectors, strict=True) if vector is not None
    ]


def reparametrized(results: FitResults, codings: dict[str, ColumnCoding]) -> FitResults:
    """The results of a treatment-coded fit in the parametrization of the
    formula's contrasts (results.names: the fitted columns' names): the
    parameters, covariance, names and term groups of statsmodels' design,
    the fitted ones kept for the predictions."""
    names = results.names
    position = {name: index for index, name in enumerate(names)}
    missing = [name for name in codings if name not in position]
    if missing:
        # The treatment-coded column of a level (or combination) without
        # rows is left out of the fit; the contrast's columns need it.
        raise ValueError(
            f"the level(s) {missing} of a contrast-coded term have no rows in fit, so its contrasts "
            "(which give every level a weight) cannot be estimated; leave out the levels without rows "
            "(for a Categorical, remove its unused categories)."
        )
    mapped = [position[name] for name in codings]
    dropped = [names[i] for i in mapped if results.dropped[i]]
    if dropped:
        raise ValueError(
            f"the parameter(s) {dropped} were dropped as linearly dependent, and the contrasts' "
            "parameters of their terms are combinations of them: those parameters are not identified. "
            "Remove the dependence (or use treatment coding)."
        )
    inverse = _inverse_map(list(codings.values()))
    parameters = results.parameters.copy()
    parameters[mapped] = inverse(results.parameters[mapped])
    covariance = results.covariance.copy()
    covariance[mapped, :] = inverse(covariance[mapped, :])
    covariance[:, mapped] = inverse(covariance[:, mapped].T).T
    renamed = {name: coding.name for name, coding in codings.items()}
    return dataclasses.replace(
        results,
        parameters=parameters,
        covariance=covariance,
        names=[renamed.get(name, name) for name in names],
        groups={
            group: [renamed.get(name, name) for name in members] for group, members in results.groups.items()
        },
        design_parameters=results.parameters,
        design_covariance=results.covariance,
    )


def _inverse_map(codings: list[ColumnCoding]) -> Callable[[npt.NDArray[np.float64]], npt.NDArray[np.float64]]:
    """M ↦ A⁻¹M for the columns of codings, X_c = X_t A: A solves T A = C,
    the columns of either design expanded in the basis of products of level
    indicators; a ValueError where no A reproduces C exactly."""
    fitted = [coding.fitted_terms() for coding in codings]
    coded = [coding.coded_terms() for coding in codings]
    basis = {
        key: row for row, key in enumerate(dict.fromkeys(key for terms in fitted + coded for key in terms))
    }
    T = _basis_matrix(fitted, basis)
    C = _basis_matrix(coded, basis)
    inverse = _sparse_inverse(T, C) if _is_permutation(T) else None
    if inverse is not None:
        return inverse
    T_dense, C_dense = T.toarray(), C.toarray()
    A = _solved(T_dense, C_dense)
    # Entries of T are 0 and ±1 and those of C of order 1: a residual of
    # rounding is about 1e-15; anything larger is a column of C outside
    # the span of T (a coding the fitted columns do not reach).
    scale = max(1.0, float(np.abs(C_dense).max(initial=0.0)))
    dense = _inverse(A) if np.allclose(T_dense @ A, C_dense, rtol=0.0, atol=1e-9 * scale) else None
    if dense is None:
        raise ValueError(
            "the formula's contrast-coded columns are not a reparametrization of its treatment-coded "
            "ones (a term's levels do not reach every column of the contrast), so its parameters cannot be "
            "mapped exactly; write the model with treatment coding."
        )
    return lambda M: dense @ M


def _basis_matrix(columns: list[dict[tuple[Any, ...], float]], basis: dict[tuple[Any, ...], int]) -> Any:
    """The columns' expansions as a sparse (basis, columns) matrix: a
    contrast's column has one or two entries, a few have one per level."""
    rows = [basis[key] for terms in columns for key in terms]
    positions = [column for column, terms in enumerate(columns) for _ in terms]
    values = [value for terms in columns for value in terms.values()]
    return sparse.csc_matrix((values, (rows, positions)), shape=(len(basis), len(columns)))


def _is_permutation(T: Any) -> bool:
    """Whether T is square with one entry of 1 in each row and column: the
    fitted columns are the basis itself (treatment coding against the first
    level with the intercept, or its interactions), so A = TᵀC exactly."""
    if T.shape[0] != T.shape[1] or T.nnz != T.shape[0]:
        return False
    one_a_column = bool(np.all(np.diff(T.indptr) == 1) and np.all(T.data == 1.0))
    return one_a_column and np.unique(T.indices).size == T.shape[0]


def _sparse_inverse(T: Any, C: Any) -> Callable[[npt.NDArray[np.float64]], npt.NDArray[np.float64]] | None:
    """M ↦ A⁻¹M with A = TᵀC, by a sparse LU of A, which a contrast keeps
    sparse (two entries a column and a few full rows and columns: O(L) fill
    under the solver's ordering), so that mapping the covariance costs
    O(L²) rather than the dense inverse's O(L³). None where A is singular,
    or too near it (A A⁻¹ off the identity by more than 1e-8, as _inverse)."""
    A = (T.T @ C).tocsc()
    try:
        lu = sparse_linalg.splu(A)
    except RuntimeError:  # exactly singular
        return None
    identity = np.eye(A.shape[0])
    with np.errstate(all="ignore"):
        inverse = lu.solve(identity)
    if not np.all(np.isfinite(inverse)) or not np.allclose(A @ inverse, identity, rtol=0.0, atol=1e-8):
        return None

    def apply(M: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
        return np.asarray(lu.solve(np.asarray(M, dtype=np.float64)), dtype=np.float64)

    return apply


def _solved(T: npt.NDArray[np.float64], C: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    """A with T A = C: by LU where T is square and regular (a main effect's
    basis is its columns'), else in least squares."""
    if T.shape[0] == T.shape[1]:
        try:
            return np.asarray(np.linalg.solve(T, C), dtype=np.float64)
        except np.linalg.LinAlgError:
            pass
    return np.asarray(np.linalg.lstsq(T, C, rcond=None)[0], dtype=np.float64)


def _inverse(A: npt.NDArray[np.float64]) -> npt.NDArray[np.float64] | None:
    """A's inverse, or None where A is singular or too near it for the
    parameters to be mapped to rounding (A A^-1 off the identity by more
    than 1e-8: a condition number past about 1e8)."""
    try:
        inverse = np.asarray(np.linalg.inv(A), dtype=np.float64)
    except np.linalg.LinAlgError:
        return None
    if not np.allclose(A @ inverse, np.eye(len(A)), rtol=0.0, atol=1e-8):
        return None
    return inverse
