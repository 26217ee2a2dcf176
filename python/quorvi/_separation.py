"""Whether the features separate the two classes, so that the likelihood has
no finite maximum: a linear program after Konis (2007), solved by SciPy's
HiGHS.

With sᵢ = +1 for the rows of the second class and -1 for the first, and
aᵢ = sᵢxᵢ (xᵢ with its leading 1 for the intercept), the classes are
separated, completely or quasi-completely, exactly when some direction d ≠ 0
has aᵢᵀd ≥ 0 for every row and > 0 for at least one: along d the likelihood
rises for ever, the rows with aᵢᵀd > 0 going to a fitted probability of 0 or
1. Complete separation is aᵢᵀd > 0 for every row. Rows of weight 0 are not
in the fit and are left out; an offset does not change the answer.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt
from scipy import sparse
from scipy.optimize import linprog

# A fit whose linear predictor reaches this size somewhere has fitted a
# probability within 2e-9 of 0 or 1: the trigger of the linear program,
# which alone decides.
_SCORE_TRIGGER = 20.0

# A fit that did not converge with a linear predictor this large somewhere
# (a probability within 5e-5 of 0 or 1) runs the linear program too: under
# separation the separated rows' predictors grow by about one per update.
_UNCONVERGED_TRIGGER = 10.0

# HiGHS's feasibility tolerances, tighter than its defaults (1e-7): the
# columns are scaled to a largest |value| of 1, so the rows' aᵢᵀd are of
# order 1 where a direction separates.
_FEASIBILITY = 1e-10
# A direction separates when some aᵢᵀd exceeds this while none is below
# minus _FEASIBILITY times it (a margin far above the solver's rounding);
# a direction's coefficient counts as nonzero above this too.
_POSITIVE = 1e-7


# linprog's status for a program without a feasible point.
_INFEASIBLE = 2


@dataclass(frozen=True)
class Separation:
    """What the linear program decided: found, and if so whether completely
    and along which parameters."""

    found: bool
    complete: bool = False  # every row of positive weight is separated
    features: tuple[str, ...] = ()  # the parameters with a nonzero component

    def message(self) -> str:
        kind = (
            "completely"
            if self.complete
            else "quasi-completely (no direction separates every row, some lie on the boundary)"
        )
        return (
            f"perfect separation: the features separate the classes {kind}, so the likelihood has no "
            f"finite maximum: it rises without end along a direction in the coefficients of "
            f"{', '.join(self.features)} (the separated rows' fitted probabilities go to 0 or 1), and "
            "the coefficients and standard errors are not meaningful. Remove or merge the separating "
            "features, or fit with a penalty (a finite C)."
        )


def check_fit(
    design: Any,
    y01: npt.NDArray[np.float64],
    weights: npt.NDArray[np.float64] | None,
    offset: npt.NDArray[np.float64] | None,
    result: Any,
    fit_intercept: bool,
    names: list[str],
) -> Separation | None:
    """The separation of an in-memory fit's design (the array, sparse
    matrix or blocks it read), decided by the linear program when the fit
    did not converge with a fitted probability near 0 or 1, or fitted one
    very near or at 0 or 1; None when it was not run, or HiGHS could not
    decide. The dropped parameters are left out (a dependent column adds
    only directions along which no row moves)."""
    coefficients = np.asarray(result["coefficients"])
    # One vector of n in place (and a mask of n bytes): the check's whole
    # cost for a fit that needs no program.
    scores = _linear_predictor(design, coefficients, fit_intercept, offset)
    np.abs(scores, out=scores)
    largest = float(np.max(scores, initial=0.0, where=True if weights is None else weights > 0))
    del scores
    near_the_boundary = largest >= _SCORE_TRIGGER or (
        not result["converged"] and largest >= _UNCONVERGED_TRIGGER
    )
    if not (near_the_boundary or result["boundary_rows"]):
        return None
    kept = np.ones(len(names), dtype=bool)
    kept[list(result["dropped"])] = False
    signed = signed_design(_design_matrix(design), y01, weights, fit_intercept)
    signed = signed[:, kept] if not sparse.issparse(signed) else signed.tocsc()[:, kept]
    return find_separation(signed, [name for name, keep in zip(names, kept, strict=True) if keep])


def _linear_predictor(
    design: Any, coefficients: npt.NDArray[np.float64], fit_intercept: bool, offset: Any
) -> npt.NDArray[np.float64]:
    """xᵢᵀβ + oᵢ for every row, block by block for a list of blocks."""
    intercept = coefficients[0] if fit_intercept else 0.0
    beta = coefficients[1:] if fit_intercept else coefficients
    if isinstance(design, list):
        scores = np.full(_rows(design[0]), intercept)
        position = 0
        for block in design:
            width = _width(block)
            scores += _block_matrix(block) @ beta[position : position + width]
            position += width
    elif sparse.issparse(design):
        scores = design @ beta
        scores += intercept
    else:
        # Row blocks of about 64 KiB: NumPy copies a misaligned array before
        # its product, and a block's copy is small where X's would not be.
        scores = np.full(design.shape[0], intercept)
        rows = max(1, (1 << 16) // (8 * max(design.shape[1], 1)))
        for start in range(0, design.shape[0], rows):
            scores[start : start + rows] += design[start : start + rows] @ beta
    if offset is not None:
        scores += offset
    return scores


def _rows(block: tuple[Any, ...]) -> int:
    return len(block[1]) if block[0] != "sparse" else len(block[3]) - 1


def _width(block: tuple[Any, ...]) -> int:
    kind = block[0]
    if kind == "dense":
        return int(block[1].shape[1])
    if kind == "categorical":
        return int(block[2]) - int(block[3])
    return int(block[4])


def _block_matrix(block: tuple[Any, ...]) -> Any:
    """One of quorvi._native's blocks as a matrix: a dense run as itself, a
    categorical's codes as the CSR of its levels' indicators (the reference
    level, when dropped, has none), a sparse block as its CSR."""
    kind = block[0]
    if kind == "dense":
        return block[1]
    if kind == "categorical":
        codes, levels, drop_first = block[1].astype(np.int64), int(block[2]), bool(block[3])
        columns = codes - int(drop_first)
        rows = np.flatnonzero(columns >= 0)
        return sparse.csr_matrix(
            (np.ones(len(rows)), (rows, columns[rows])), shape=(len(codes), levels - int(drop_first))
        )
    data, indices, indptr, width = block[1:]
    return sparse.csr_matrix((data, indices, indptr), shape=(len(indptr) - 1, width))


def _design_matrix(design: Any) -> Any:
    """The fit's design as one array or sparse matrix (blocks side by side)."""
    if not isinstance(design, list):
        return design
    matrices = [_block_matrix(block) for block in design]
    if len(matrices) == 1:
        return matrices[0]
    return sparse.hstack([sparse.csr_matrix(matrix) for matrix in matrices], format="csr")


def signed_design(
    X: Any, y01: npt.NDArray[np.float64], weights: npt.NDArray[np.float64] | None, fit_intercept: bool
) -> Any:
    """The rows aᵢ = sᵢxᵢ of positive weight (the intercept's column of ones
    first), each column scaled to a largest |value| of 1 so that the
    program's tolerances mean the same for every column; sparse stays
    sparse."""
    rows = np.flatnonzero(weights > 0) if weights is not None else np.arange(len(y01))
    signs = 2.0 * y01[rows] - 1.0
    if sparse.issparse(X):
        design = sparse.csr_matrix(X)[rows]
        if fit_intercept:
            design = sparse.hstack([np.ones((len(rows), 1)), design], format="csr")
        scale = np.asarray(abs(design).max(axis=0).todense()).ravel()
        scale[scale == 0] = 1.0
        return sparse.diags(signs) @ design @ sparse.diags(1.0 / scale)
    design = np.asarray(X)[rows]
    if fit_intercept:
        design = np.column_stack([np.ones(len(rows)), design])
    scale = np.abs(design).max(axis=0, initial=0.0)
    scale[scale == 0] = 1.0
    return design * (signs[:, None] / scale)


def find_separation(signed: Any, names: list[str]) -> Separation | None:
    """The separation of the signed design's rows (signed_design), its
    features named from names (one per column); None where HiGHS could not
    decide."""
    status, direction = _sparse_direction(signed)
    if status == _INFEASIBLE:
        return Separation(False)
    if direction is None:
        return None
    # The direction checked in float64, not on the solver's word: a
    # separation no row's rounding could make.
    values = signed @ direction
    if not values.max() > _POSITIVE or values.min() < -_FEASIBILITY * values.max():
        return None
    features = tuple(name for name, value in zip(names, direction, strict=True) if abs(value) > _POSITIVE)
    return Separation(True, _is_complete(signed), features)


def _sparse_direction(signed: Any) -> tuple[int, npt.NDArray[np.float64] | None]:
    """The direction d of least |d|₁ with A d ≥ 0 and Σᵢ aᵢᵀd ≥ 1: it exists
    exactly when the rows are separated (the set is a cone, so any
    separating direction scales into it), and the least |d|₁ puts weight
    only on the features the separation needs, which the warning names. d =
    u - v with u, v ≥ 0."""
    p = signed.shape[1]
    stack = sparse.hstack if sparse.issparse(signed) else np.hstack
    vstack = sparse.vstack if sparse.issparse(signed) else np.vstack
    column_sums = np.asarray(signed.sum(axis=0)).ravel()
    constraints = vstack([stack([-signed, signed]), np.concatenate([-column_sums, column_sums])[None, :]])
    bounds = np.zeros(signed.shape[0] + 1)
    bounds[-1] = -1.0
    solution = linprog(
        np.ones(2 * p),
        A_ub=constraints,
        b_ub=bounds,
        bounds=(0, None),
        method="highs",
        options={"primal_feasibility_tolerance": _FEASIBILITY, "dual_feasibility_tolerance": _FEASIBILITY},
    )
    if solution.status != 0:
        return int(solution.status), None
    direction: npt.NDArray[np.float64] = solution.x[:p] - solution.x[p:]
    return 0, direction


def _is_complete(signed: Any) -> bool:
    """Whether one direction separates every row: the largest t with
    A d ≥ t for some d in the box [-1, 1] is positive."""
    n, p = signed.shape
    stack = sparse.hstack if sparse.issparse(signed) else np.hstack
    objective = np.zeros(p + 1)
    objective[-1] = -1.0  # maximise t: variables (d, t)
    solution = linprog(
        objective,
        A_ub=stack([-signed, np.ones((n, 1))]),
        b_ub=np.zeros(n),
        bounds=[(-1.0, 1.0)] * p + [(None, 1.0)],
        method="highs",
        options={"primal_feasibility_tolerance": _FEASIBILITY, "dual_feasibility_tolerance": _FEASIBILITY},
    )
    return bool(solution.status == 0 and -solution.fun > _POSITIVE)
