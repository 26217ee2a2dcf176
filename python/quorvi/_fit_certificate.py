"""The proof that a fit's features do not separate the classes, read off
what the fit has already computed: the engine's covariance at its last pass
and the score residuals at the final coefficients. It costs one pass over X
beyond the trigger of the separation check, which forms X'u, |X|'|u|, the
rows' scaled norms and the linear predictors at the last pass's
coefficients together, a block of rows at a time; no p × p matrix is formed
from the rows, no eigendecomposition made, and X is read as it is (never
converted or copied whole).

Notation as in _separation: aᵢ = σᵢ D xᵢ (σᵢ = ±1 by class, xᵢ with the
intercept's 1, D a positive diagonal scaling), A the matrix of the rows of
positive weight. A separating direction d ≠ 0 has tᵢ = aᵢᵀd ≥ 0 on every
row. For any λ' ≥ 0 and any positive weights ωᵢ with m = minᵢ λ'ᵢ/ωᵢ > 0,

    λ'ᵀA d = Σ λ'ᵢ tᵢ ≥ m Σ ωᵢ tᵢ ≥ m Σ ωᵢ tᵢ² / maxᵢ tᵢ ≥ m λ_min(AᵀΩA) |d| / R,

with R = maxᵢ |aᵢ| (tᵢ ≤ |aᵢ| |d|), while λ'ᵀA d = rᵀd ≤ |r| |d| for
r = Aᵀλ'. So m λ_min(AᵀΩA) / R > |r| excludes every separating d.

Here ω are the engine's own working weights at the last pass's
coefficients (s w, w clamped below at 1e-10 as the engine clamps it), so
that AᵀΩA = D H D with H the information the engine inverted into the
covariance, and λ' are the score residuals at the final coefficients, so
that r is the score there: after a Newton update it is of the order of the
square of the last step, far below the left side of a well-posed fit. With D
the standard errors (Dⱼⱼ = √covⱼⱼ), D H D is the inverse of the covariance's
correlation matrix C, and λ_min(D H D) = 1 / λ_max(C) ≥ 1 / (the largest
absolute row sum of C), a bound that costs p² operations; where it does not
suffice, a Cholesky factorisation of uI - C proves λ_max(C) ≤ u.

Unlike the score-residual bound of _separation (min λ'ᵢ times σ_min(A)),
the ratio λ'ᵢ/ωᵢ does not vanish on the rows fitted far on their own side
(for the logit it is 1/μ̃ᵢ, at least 1), so the sums' rounding, bounded
here as an ordinary sum's (n ε Σ|terms|), stays far below the margin at
any number of rows."""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt
from scipy import linalg, sparse

from . import _native
from ._links import Link

_EPS = float(np.finfo(np.float64).eps)

# The engine's lower clamp of a working weight (src/irls/links.hpp).
_MIN_WEIGHT = 1e-10

# The covariance is the inverse of the information as the engine rounded
# it: λ_min is taken this much smaller than its bound, and the inequality
# must hold with a factor 2 to spare.
_HAIRCUT = 1e-6

# Entries per block of a dense design read at once: 512 KiB, so that the
# block stays in the core's cache for its four products (one read of X from
# memory), and each product is small enough that the BLAS runs it on one
# thread. Blocks of 4 MiB were run threaded, and on a busy 2-core machine a
# threaded product waits for a descheduled thread: the pass took 1.8 s at
# 10^6 x 20 against 0.08 s.
_DENSE_BLOCK_ELEMENTS = 1 << 16
# Stored entries per block of a CSR: scipy's products are single-threaded,
# and a block costs a few small matrices' construction, so blocks are
# larger; the values' absolute values and squares stay near 4 MiB.
_SPARSE_BLOCK_ELEMENTS = 1 << 19


def certified_by_the_fit(
    design: Any,
    y01: npt.NDArray[np.float64],
    weights: npt.NDArray[np.float64] | None,
    offset: npt.NDArray[np.float64] | None,
    result: Any,
    fit_intercept: bool,
    kept: npt.NDArray[np.bool_],
    link: Link,
    residuals: npt.NDArray[np.float64],
) -> bool:
    """Whether the bound above proves that no separation exists. residuals
    are the score residuals λ at the final coefficients of the rows of
    positive weight (_separation._score_residuals); False wherever anything
    needed is missing or not finite (the other proofs then decide)."""
    if result.passes == 0 or not np.all(np.isfinite(residuals)):
        return False
    covariance = np.asarray(result.covariance)[np.ix_(kept, kept)]
    variances = np.diag(covariance)
    if not (np.all(np.isfinite(covariance)) and np.all(variances > 0)):
        return False
    scale = np.sqrt(variances)
    lowest = _smallest_eigenvalue_bounds(covariance / np.outer(scale, scale))

    rows = slice(None) if weights is None else np.flatnonzero(weights > 0)
    signed = np.zeros(len(y01))
    signed[rows] = np.where(y01[rows] == 1.0, residuals, -residuals)
    all_scales = np.zeros(len(kept))
    all_scales[kept] = scale
    # The linear predictors at the last pass's coefficients, whose working
    # weights Ω are, come from the same pass as the sums: X is read once.
    sums, magnitudes, norms, start = _column_sums(
        design, fit_intercept, signed, all_scales**2, np.asarray(result.last_pass_coefficients)
    )
    if offset is not None:
        start += offset
    omega, clamped = _working_weights(start[rows], link)
    if weights is not None:
        omega *= weights[rows]
    # The rows whose weight the engine clamped (far on either side, for the
    # probit beyond |η| ≈ 6.5) would make m as small as their λ (φ(η) there):
    # they are taken out of Ω, which lowers λ_min(AᵀΩA) by at most the norm
    # of their own terms, Σ ωᵢ |aᵢ|², and they need only λ'ᵢ ≥ 0, which a
    # score residual is.
    unclamped = ~clamped
    ratios = residuals / omega
    least = float(np.min(ratios, where=unclamped, initial=np.inf))
    if not (least > 0 and np.isfinite(least)):
        return False

    norms = norms[rows]
    norms *= 1 + (len(scale) + 2) * _EPS
    n = len(y01)
    # Each output is a sum of at most n rounded products: within (n + 2) ε of
    # the sum of the terms' magnitudes, themselves summed with that error.
    errors = (n + 2) * _EPS * magnitudes[kept] * (1 + (n + 2) * _EPS)
    score = float(np.linalg.norm(scale * (np.abs(sums[kept]) + errors))) * (1 + len(scale) * _EPS)
    reach = float(np.sqrt(np.max(norms, where=unclamped, initial=0.0)))
    taken_out = float(np.sum(omega[clamped] * norms[clamped])) * (1 + n * _EPS)
    if not (reach > 0 and np.isfinite(score) and np.isfinite(taken_out)):
        return False
    # The bounds are tried in order, the cheap one first: any() stops at the
    # first that suffices, so the factorisation runs only where it must.
    return any(least * (bound * (1 - _HAIRCUT) - taken_out) / reach > 2.0 * score for bound in lowest)


def _smallest_eigenvalue_bounds(correlation: npt.NDArray[np.float64]) -> Any:
    """Lower bounds of λ_min of the inverse of correlation, the cheap one
    first: 1 / the largest absolute row sum (Gershgorin's bound on
    λ_max), then 1 / u for a u that a Cholesky factorisation of uI - C
    proves above λ_max (u a little above the power iteration's estimate),
    each as the caller asks for it."""
    p = len(correlation)
    yield 1.0 / float(np.abs(correlation).sum(axis=1).max())
    vector = np.ones(p) / np.sqrt(p)
    estimate = 1.0
    for _ in range(30):
        product = correlation @ vector
        estimate = float(np.linalg.norm(product))
        if not estimate > 0:
            return
        vector = product / estimate
    u = 1.05 * estimate
    for _ in range(3):
        try:
            linalg.cholesky(u * np.eye(p) - correlation, lower=True, check_finite=False)
        except linalg.LinAlgError:
            u *= 2.0
            continue
        # A factorisation that succeeds in floating point proves uI - C + E
        # positive semidefinite, |E| at most (p + 1) ε times |R|ᵀ|R|, whose
        # norm is below (p + 1) p ε u.
        yield 1.0 / (u * (1 + (p + 1) * p * _EPS))
        return


def _working_weights(
    scores: npt.NDArray[np.float64], link: Link
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.bool_]]:
    """w = h'(η)² / (μ(1 - μ)), clamped below as the engine clamps it, and
    where it was clamped; from the logarithms of the two probabilities
    (neither 1 minus a rounded μ). Where h' underflows, w is far below the
    clamp."""
    if link.name == "logit":
        # The canonical link: w = h'(η) = μ(1 - μ) itself, which is
        # e / (1 + e)² with e = exp(-|η|) (one exponential, not expit's two).
        small = np.abs(scores)
        np.negative(small, out=small)
        np.exp(small, out=small)
        weights = 1.0 + small
        np.square(weights, out=weights)
        np.divide(small, weights, out=weights)
        return np.maximum(weights, _MIN_WEIGHT), ~(weights >= _MIN_WEIGHT)
    logs = np.empty((len(scores), 2))
    link.log_probabilities(scores.copy(), logs)
    with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
        log_slope = np.log(link.derivative(scores))
        weights = np.exp(2.0 * log_slope - logs[:, 0] - logs[:, 1])
    weights[~np.isfinite(weights)] = 0.0
    return np.maximum(weights, _MIN_WEIGHT), ~(weights >= _MIN_WEIGHT)


def _column_sums(
    design: Any,
    fit_intercept: bool,
    signed: npt.NDArray[np.float64],
    squared_scales: npt.NDArray[np.float64],
    coefficients: npt.NDArray[np.float64],
) -> tuple[
    npt.NDArray[np.float64], npt.NDArray[np.float64], npt.NDArray[np.float64], npt.NDArray[np.float64]
]:
    """X'u, |X|'|u| over every parameter (the intercept's column of ones
    first), every row's |aᵢ|² = Σⱼ Dⱼⱼ² xᵢⱼ² and every row's xᵢᵀβ (β the
    coefficients, the intercept's first), in one pass over the design's
    blocks."""
    first = int(fit_intercept)
    magnitude_of = np.abs(signed)
    norms = np.full(len(signed), squared_scales[0] if fit_intercept else 0.0)
    predictors = np.full(len(signed), coefficients[0] if fit_intercept else 0.0)
    sums: list[npt.NDArray[np.float64]] = [np.array([signed.sum()])] if fit_intercept else []
    magnitudes: list[npt.NDArray[np.float64]] = [np.array([magnitude_of.sum()])] if fit_intercept else []
    position = first
    for kind, block in _blocks(design):
        width = block.shape[1] if kind in ("dense", "sparse") else block.n_cols
        part = slice(position, position + width)
        vectors = (signed, magnitude_of, squared_scales[part], coefficients[part])
        if kind in ("dense", "sparse"):
            block_sums, block_magnitudes = _matrix_sums(block, *vectors, norms, predictors)
        else:
            block_sums, block_magnitudes = _level_sums(block, *vectors, norms, predictors)
        sums.append(block_sums)
        magnitudes.append(block_magnitudes)
        position += width
    return np.concatenate(sums), np.concatenate(magnitudes), norms, predictors


def _blocks(design: Any) -> Any:
    """(kind, matrix or native block) for each part of the design, a CSR
    read through a view of its arrays (no conversion)."""
    if not isinstance(design, list):
        yield ("sparse" if sparse.issparse(design) else "dense"), design
        return
    for block in design:
        if isinstance(block, _native.DenseBlock):
            yield "dense", block.values
        elif isinstance(block, _native.SparseBlock):
            yield (
                "sparse",
                sparse.csr_matrix(
                    (block.data, block.indices, block.indptr), shape=(block.n_rows, block.n_cols), copy=False
                ),
            )
        else:
            yield "levels", block


def _matrix_sums(
    matrix: Any,
    signed: npt.NDArray[np.float64],
    magnitude_of: npt.NDArray[np.float64],
    squares: npt.NDArray[np.float64],
    beta: npt.NDArray[np.float64],
    norms: npt.NDArray[np.float64],
    predictors: npt.NDArray[np.float64],
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """A dense array's or CSR's part of _column_sums, in blocks of rows: a
    block's absolute values and squares are its only copies (a CSR's
    blocks are views of its arrays, not its slices, which scipy copies)."""
    n, width = matrix.shape
    sums, magnitudes = np.zeros(width), np.zeros(width)
    is_sparse = sparse.issparse(matrix)
    if is_sparse:
        step = max(1, _SPARSE_BLOCK_ELEMENTS // max(1, int(matrix.nnz / max(n, 1))))
    else:
        step = max(1, _DENSE_BLOCK_ELEMENTS // max(width, 1))
    for start in range(0, n, step):
        stop = min(start + step, n)
        if is_sparse:
            low, high = int(matrix.indptr[start]), int(matrix.indptr[stop])
            values = matrix.data[low:high]
            rows = _csr_rows(matrix, start, stop, values)
            predictors[start:stop] += rows @ beta
            sums += rows.T @ signed[start:stop]
            # The same rows with |x| and then x² as their values: the array
            # is put in place of the matrix's values and squared in place (a
            # new matrix per product cost scipy's checks of its structure:
            # a fifth of this pass).
            absolute = np.abs(values)
            rows.data = absolute
            magnitudes += rows.T @ magnitude_of[start:stop]
            np.square(absolute, out=absolute)
            norms[start:stop] += rows @ squares
        else:
            block = matrix[start:stop]
            predictors[start:stop] += block @ beta
            sums += block.T @ signed[start:stop]
            absolute = np.abs(block)
            magnitudes += absolute.T @ magnitude_of[start:stop]
            np.square(absolute, out=absolute)
            norms[start:stop] += absolute @ squares
    return sums, magnitudes


def _csr_rows(matrix: Any, start: int, stop: int, data: npt.NDArray[np.float64]) -> Any:
    """Rows start to stop of a CSR with the given values in place of its
    own (one per stored entry of those rows), as views of its arrays."""
    low = int(matrix.indptr[start])
    pointers = matrix.indptr[start : stop + 1] - low
    columns = matrix.indices[low : low + len(data)]
    return sparse.csr_matrix((data, columns, pointers), shape=(stop - start, matrix.shape[1]), copy=False)


def _level_sums(
    block: Any,
    signed: npt.NDArray[np.float64],
    magnitude_of: npt.NDArray[np.float64],
    squares: npt.NDArray[np.float64],
    beta: npt.NDArray[np.float64],
    norms: npt.NDArray[np.float64],
    predictors: npt.NDArray[np.float64],
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """A categorical's or varying slope's part of _column_sums, by its
    codes: one entry a row (none at a dropped reference level)."""
    codes = block.codes
    levels = block.n_levels
    multiplier = getattr(block, "multiplier", None)
    values = signed if multiplier is None else signed * multiplier
    sizes = magnitude_of if multiplier is None else magnitude_of * np.abs(multiplier)
    # bincount with weights sums in float64 (its stubs say integers).
    sums = np.asarray(np.bincount(codes, weights=values, minlength=levels), dtype=np.float64)
    magnitudes = np.asarray(np.bincount(codes, weights=sizes, minlength=levels), dtype=np.float64)
    level_squares = np.concatenate([[0.0], squares]) if block.drop_first else squares
    level_beta = np.concatenate([[0.0], beta]) if block.drop_first else beta
    terms = level_squares[codes]
    effects = level_beta[codes]
    if multiplier is None:
        norms += terms
        predictors += effects
    else:
        norms += terms * multiplier * multiplier
        predictors += effects * multiplier
    first = int(block.drop_first)
    return sums[first:], magnitudes[first:]
