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
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt
from scipy import sparse
from scipy.optimize import linprog
from scipy.special import expit

from . import _native
from ._fit_certificate import certified_by_the_fit
from ._links import LOGIT, Link

if TYPE_CHECKING:
    from ._design import Block

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


# The most parameters for which the certificate of no separation (a p × p
# AᵀA, its eigenvalues and a solve) is tried before the linear program.
_GRAM_LIMIT = 2000

# The rows whose corrected residual is at least this share of the median
# one bound the certificate when the smallest residual is too small to.
_TYPICAL_SHARE = 1e-3

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
    link: Link = LOGIT,
) -> Separation | None:
    """The separation of an in-memory fit's design (the array, sparse
    matrix or blocks it read), checked when the fit suggests it (see
    _worth_checking): Separation(False) when the fit's own residuals prove
    there is none, or the linear program finds none; None when it was not
    checked, or HiGHS could not decide. The dropped parameters are left out
    (a dependent column adds only directions along which no row moves)."""
    # The engine's last pass measured the largest |η| of the rows, at the
    # coefficients the last update started from, which a converged fit's
    # last step moved by less than its tolerance: the trigger's whole cost
    # for a fit that needs no more, with no read of X. An unconverged fit
    # (its last step may be large) or one without that pass forms the rows'
    # scores at its coefficients to decide.
    largest = float(result.largest_predictor)
    from_the_pass = result.converged and result.passes > 0 and not np.isnan(largest)
    if from_the_pass and not _near_the_boundary(largest, result):
        return None
    scores = _linear_predictor(design, np.asarray(result.coefficients), fit_intercept, offset)
    if not from_the_pass and not _worth_checking(scores, weights, result):
        return None
    kept = np.ones(len(names), dtype=bool)
    kept[list(result.dropped)] = False
    rows = np.flatnonzero(weights > 0) if weights is not None else slice(None)
    frequencies = None if weights is None else weights[rows]
    residuals = _score_residuals(scores[rows], y01[rows], frequencies, link)
    # The proof from the fit's own sums first (_fit_certificate): it costs one
    # pass; the one below forms p × p sums of the rows and is tried only
    # when the first does not suffice.
    if certified_by_the_fit(design, y01, weights, offset, result, fit_intercept, kept, link, residuals):
        return Separation(False)
    signed = _SignedRows(_design_matrix(design), y01, weights, fit_intercept, kept)
    if _certified_not_separated(signed, residuals):
        return Separation(False)
    return find_separation(signed.matrix(), [name for name, keep in zip(names, kept, strict=True) if keep])


# Rows per block of the signed design that the certificate reads: about
# 2 MiB of it at 16 columns.
_BLOCK_ROWS = 16384


class _SignedRows:
    """The rows of signed_design (the columns kept), in blocks of rows. A
    dense X is read a block at a time, never copied whole: the certificate
    needs only p × p sums and vectors of n, and the linear program, which
    needs the whole matrix, runs only when the certificate fails. A sparse
    design is one block."""

    def __init__(
        self,
        X: Any,
        y01: npt.NDArray[np.float64],
        weights: npt.NDArray[np.float64] | None,
        fit_intercept: bool,
        kept: npt.NDArray[np.bool_],
    ) -> None:
        self._arguments = (X, y01, weights, fit_intercept)
        self._kept = kept
        self.width = int(np.count_nonzero(kept))
        self._whole: Any = None
        if sparse.issparse(X) or not isinstance(X, np.ndarray):
            self._whole = self.matrix()
            return
        self._rows = np.flatnonzero(weights > 0) if weights is not None else None
        self.n_rows = len(y01) if self._rows is None else len(self._rows)
        # The columns' largest |value| over the rows, as signed_design takes it.
        scale = np.ones(X.shape[1] + int(fit_intercept))
        largest = np.zeros(X.shape[1])
        for rows in self._row_blocks():
            largest = np.maximum(largest, np.abs(X[rows]).max(axis=0, initial=0.0))
        scale[int(fit_intercept) :] = largest
        scale[scale == 0] = 1.0
        self._scale = scale

    def matrix(self) -> Any:
        """The whole signed design (signed_design's, the columns kept)."""
        if self._whole is not None:
            return self._whole
        signed = signed_design(*self._arguments)
        return signed[:, self._kept] if not sparse.issparse(signed) else signed.tocsc()[:, self._kept]

    def _row_blocks(self) -> Any:
        n = self.n_rows
        for start in range(0, n, _BLOCK_ROWS):
            stop = min(start + _BLOCK_ROWS, n)
            yield slice(start, stop) if self._rows is None else self._rows[start:stop]

    def blocks(self) -> Any:
        """(positions among the rows of positive weight, the block's signed rows)."""
        if self._whole is not None:
            yield slice(None), self._whole
            return
        X, y01, _, fit_intercept = self._arguments
        first = int(fit_intercept)
        every_column = bool(self._kept.all())
        for start, rows in zip(range(0, self.n_rows, _BLOCK_ROWS), self._row_blocks(), strict=True):
            signs = 2.0 * y01[rows] - 1.0
            # Each entry x (s / scale), as signed_design forms it, written
            # into one array (the intercept's column is s / scale itself).
            signed = np.empty((len(signs), X.shape[1] + first))
            np.multiply(X[rows], signs[:, None] / self._scale[first:], out=signed[:, first:])
            if fit_intercept:
                signed[:, 0] = signs / self._scale[0]
            yield slice(start, start + len(signs)), signed if every_column else signed[:, self._kept]


def _worth_checking(
    scores: npt.NDArray[np.float64], weights: npt.NDArray[np.float64] | None, result: Any
) -> bool:
    """A fit that did not converge with a score of _UNCONVERGED_TRIGGER or
    more on a row of positive weight, or reached _SCORE_TRIGGER anywhere, or
    fitted rows at exactly 0 or 1."""
    positive = True if weights is None else weights > 0
    largest = max(
        float(np.max(scores, initial=0.0, where=positive)),
        -float(np.min(scores, initial=0.0, where=positive)),
    )
    return _near_the_boundary(largest, result)


def _near_the_boundary(largest: float, result: Any) -> bool:
    """_worth_checking given the largest |score| of a row of positive weight."""
    near_the_boundary = largest >= _SCORE_TRIGGER or (
        not result.converged and largest >= _UNCONVERGED_TRIGGER
    )
    return bool(near_the_boundary or result.boundary_rows)


def _score_residuals(
    scores: npt.NDArray[np.float64],
    y01: npt.NDArray[np.float64],
    frequencies: npt.NDArray[np.float64] | None,
    link: Link,
) -> npt.NDArray[np.float64]:
    """λᵢ = sᵢ |yᵢ - μᵢ| h'(ηᵢ) / V(μᵢ) of the rows (of positive weight sᵢ):
    the size of the row's term of the score, which signed by its class is
    the score's residual, so that Aᵀλ is the score, near 0 at the fit. With
    V = μ(1 - μ), λᵢ = sᵢ h'(ηᵢ) / P(the row's own class), the probability
    from its logarithm, never 1 minus a rounded probability (for the logit
    λᵢ = sᵢ(1 - μ̃ᵢ), μ̃ᵢ the fitted probability of the row's class)."""
    if link.name == "logit":
        # 1 - μ̃ᵢ = expit(-ηᵢ) for the second class and expit(ηᵢ) for the
        # first: one function of n values, where the general form below takes
        # six (a seventh of the time at 10^6 rows), and never 1 minus a
        # rounded probability either.
        residuals: npt.NDArray[np.float64] = expit(np.where(y01 == 1.0, -scores, scores))
        return residuals if frequencies is None else residuals * frequencies
    logs = np.empty((len(scores), 2))
    link.log_probabilities(scores.copy(), logs)  # log(1 - μ), log μ
    own = np.where(y01 == 1.0, logs[:, 1], logs[:, 0])
    derivative = link.derivative(scores)
    # A row whose own class has a probability below e^-709 overflows here;
    # its NaN or infinite λ then fails the certificate, and the linear
    # program decides.
    with np.errstate(over="ignore", invalid="ignore"):
        residuals = derivative * np.exp(-own)
    return residuals if frequencies is None else residuals * frequencies


def _certified_not_separated(signed: _SignedRows, residuals: npt.NDArray[np.float64]) -> bool:
    """Whether the fit's residuals, corrected by one Newton step, prove that
    no separation exists, without the linear program.

    Stiemke's theorem: no d has A d ≥ 0, A d ≠ 0 exactly when some λ > 0
    (every entry) has Aᵀλ = 0. The fit's score residuals λ (_score_residuals)
    give Aᵀλ = the score, near 0; λ' = λ - Λ A c with Λ = diag(λ) and
    AᵀΛA c = Aᵀλ has Aᵀλ' = 0, and λ'ᵢ = λᵢ(1 - aᵢᵀc) stays positive
    wherever |aᵢᵀc| < 1, which a small score gives. (The link's own weights
    in place of Λ would be its Newton step, but for the complementary
    log-log their ratio to λ grows as exp(η) and would overturn the rows of
    large η.) With r = Aᵀλ' as
    rounded, a separating d would give min(λ') σ_min(A) |d| ≤ λ'ᵀA d =
    rᵀd ≤ |r| |d|, so min(λ') σ_min(A) > |r| (each side bounded for its
    rounding) excludes every d. A well-posed fit that merely reached large
    scores is so cleared at the cost of AᵀA and AᵀΛA (p × p), in two passes
    over blocks of rows."""
    p = signed.width
    if p > _GRAM_LIMIT:
        return False
    # The rows S of the bound after the first (below), chosen by λ, whose λ'
    # is close to it: their AᵀA is formed in the same pass. Without rows
    # outside them the second bound would be the first.
    typical = residuals >= _TYPICAL_SHARE * float(np.median(residuals))
    some_atypical = not bool(typical.all())
    gram, information, score = np.zeros((p, p)), np.zeros((p, p)), np.zeros(p)
    typical_gram = np.zeros((p, p))
    for part, block in signed.blocks():
        gram += _dense(block.T @ block)
        information += _dense(block.T @ _scaled_rows(block, residuals[part]))
        score += block.T @ residuals[part]
        if some_atypical:
            chosen = block[np.flatnonzero(typical[part])]
            typical_gram += _dense(chosen.T @ chosen)
    smallest = _smallest_eigenvalue(gram)
    if not smallest > 0:
        return False
    try:
        step = np.linalg.solve(information, score)
    except np.linalg.LinAlgError:
        return False
    corrected = np.empty(len(residuals))
    products = _BoundedColumnSums(p)
    for part, block in signed.blocks():
        corrected[part] = residuals[part] - _scaled_rows(block, residuals[part]) @ step
        products.add(_scaled_rows(block, corrected[part]))
    # Every λ' at least 0 (a NaN fails): the bound below needs them
    # positive, the one on the rows S after it only at least 0 outside S.
    if not float(corrected.min(initial=np.inf)) >= 0:
        return False
    residual = float(np.linalg.norm(products.bounds()))
    if float(corrected.min()) * float(np.sqrt(smallest)) > 2.0 * residual:
        return True
    # Rows fitted far on their own side have a λ' too small for that bound
    # (for the complementary log-log, exp(η - exp(η)): 1e-62 at η = 5, and 0,
    # underflowed, beyond η = 6.6, which a million well-fitted rows reach).
    # The terms of λ'ᵀA d are all at least 0, so any rows S alone bound it,
    # min_S(λ') σ_min(A_S) |d|, if they still span every direction: S are
    # the rows of the larger λ, whose AᵀA the first pass formed.
    if not some_atypical:
        return False
    smallest = _smallest_eigenvalue(typical_gram)
    least = float(corrected[typical].min(initial=np.inf))
    return smallest > 0 and least * float(np.sqrt(smallest)) > 2.0 * residual


def _dense(matrix: Any) -> npt.NDArray[np.float64]:
    return matrix.toarray() if sparse.issparse(matrix) else np.asarray(matrix)


def _scaled_rows(block: Any, factors: npt.NDArray[np.float64]) -> Any:
    """diag(factors) block, sparse or dense."""
    return sparse.diags(factors) @ block if sparse.issparse(block) else block * factors[:, None]


def _smallest_eigenvalue(gram: npt.NDArray[np.float64]) -> float:
    """The smallest eigenvalue of a symmetric gram, less a bound of
    eigvalsh's error (about p ε times the largest)."""
    eigenvalues = np.linalg.eigvalsh(gram)
    eps = np.finfo(np.float64).eps
    return float(eigenvalues[0] - 4 * len(gram) * eps * max(eigenvalues[-1], 0.0))


class _BoundedColumnSums:
    """|Aᵀv| bounded above for rounding, from the blocks of rows of the
    products diag(v) A added one by one: each column's n products summed to
    about twice the working precision (_compensated_parts, over all blocks
    as one), so that the error is essentially that of the products, at most
    ε Σᵢ |aᵢⱼ vᵢ| (an ordinary sum's bound, n ε times that, would hide the
    certificate on large n)."""

    def __init__(self, width: int) -> None:
        self._totals: list[npt.NDArray[np.float64]] = []
        self._errors = np.zeros(width)
        self._magnitudes = np.zeros(width)

    def add(self, products: Any) -> None:
        if sparse.issparse(products):
            products = products.tocsc()
            columns = [
                products.data[products.indptr[j] : products.indptr[j + 1]] for j in range(products.shape[1])
            ]
            parts = [_compensated_parts(column[:, None]) for column in columns]
            self._totals.append(np.array([total[0] for total, _ in parts]))
            self._errors += np.array([error[0] for _, error in parts])
            self._magnitudes += np.array([float(np.abs(column).sum()) for column in columns])
        else:
            total, error = _compensated_parts(products)
            self._totals.append(total)
            self._errors += error
            self._magnitudes += np.abs(products).sum(axis=0)

    def bounds(self) -> npt.NDArray[np.float64]:
        # The blocks' totals (each exact but for the errors kept) summed the
        # same way: one compensated sum of every product.
        width = len(self._errors)
        total, error = _compensated_parts(np.array(self._totals).reshape(-1, width))
        sums = total + (self._errors + error)
        eps = np.finfo(np.float64).eps
        # The sums' own error is at most ε/2 of the result plus a term of order
        # (ε log₂ n)² Σ|x|: the second ε Σ|x| covers both.
        bounds: npt.NDArray[np.float64] = np.abs(sums) + 2 * eps * self._magnitudes
        return bounds


def _compensated_parts(
    values: npt.NDArray[np.float64],
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """The column sums of values (n × p), each as if in twice the working
    precision, as (total, errors) whose sum is the result: rows added in
    pairs, level by level, each addition's exact rounding error kept
    (Knuth's TwoSum) and those errors added apart, where their own rounding
    is of order ε² (Ogita, Rump and Oishi 2005). Vectorised over the rows;
    the exact summation of math.fsum made n Python floats of every column
    (seconds at a million rows)."""
    level = np.asarray(values, dtype=np.float64)
    errors = np.zeros(level.shape[1])
    if len(level) == 0:
        return errors.copy(), errors
    while len(level) > 1:
        if len(level) % 2:
            level = np.vstack([level, np.zeros((1, level.shape[1]))])
        first, second = level[0::2], level[1::2]
        total = first + second
        second_part = total - first
        errors += ((first - (total - second_part)) + (second - second_part)).sum(axis=0)
        level = total
    return level[0], errors


def _linear_predictor(
    design: Any, coefficients: npt.NDArray[np.float64], fit_intercept: bool, offset: Any
) -> npt.NDArray[np.float64]:
    """xᵢᵀβ + oᵢ for every row, block by block for a list of blocks."""
    intercept = coefficients[0] if fit_intercept else 0.0
    beta = coefficients[1:] if fit_intercept else coefficients
    if isinstance(design, list):
        scores = np.full(design[0].n_rows, intercept)
        position = 0
        for block in design:
            _add_block_predictor(block, beta[position : position + block.n_cols], scores)
            position += block.n_cols
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


def _add_block_predictor(
    block: Block, beta: npt.NDArray[np.float64], scores: npt.NDArray[np.float64]
) -> None:
    """scores += the block's columns times beta. A categorical's row has one
    entry, its level's coefficient (0 at a dropped reference): read by the
    codes, with no matrix of indicators made (which took most of this at a
    million rows). The same numbers as the product: one term a row."""
    if isinstance(block, _native.CategoricalBlock | _native.VaryingSlopeBlock):
        levels = np.concatenate([[0.0], beta]) if block.drop_first else beta
        terms = levels[block.codes]
        if isinstance(block, _native.VaryingSlopeBlock):
            terms *= block.multiplier
        scores += terms
    else:
        scores += _block_matrix(block) @ beta


def _block_matrix(block: Block) -> Any:
    """One of quorvi._native's blocks as a matrix: a dense run as itself, a
    categorical's codes as the CSR of its levels' indicators (the reference
    level, when dropped, has none), a varying slope's as the same CSR with
    the multiplier as its values, a sparse block as its CSR."""
    if isinstance(block, _native.DenseBlock):
        return block.values
    if isinstance(block, _native.SparseBlock):
        return sparse.csr_matrix(
            (block.data, block.indices, block.indptr), shape=(block.n_rows, block.n_cols)
        )
    columns = block.codes.astype(np.int64) - int(block.drop_first)
    rows = np.flatnonzero(columns >= 0)
    values = block.multiplier[rows] if isinstance(block, _native.VaryingSlopeBlock) else np.ones(len(rows))
    return sparse.csr_matrix((values, (rows, columns[rows])), shape=(block.n_rows, block.n_cols))


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
    complete = bool(values.min() > _POSITIVE) or _is_complete(signed)
    return Separation(True, complete, features)


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
