"""An independent NumPy implementation of the same IRLS loop, used as the
reference that the native fit must agree with, and the bounds on how far two
correct computations of the same coefficients can differ by rounding alone.

Coefficients computed with different BLAS kernels (OpenBLAS picks one by the
CPU) or by a different algorithm agree only to rounding, amplified by the
conditioning of the problem. A comparison with an independent computation
therefore allows the bounds below, per coefficient: relative to the
coefficient where it is large, and absolute, scaled to the data, where it is
zero up to rounding (a relative tolerance alone cannot hold there). Bit-for-bit
comparisons are for two fits that run the same arithmetic on the same BLAS in
the same process."""

from typing import NamedTuple

import numpy as np

EPS = np.finfo(np.float64).eps


class Reference(NamedTuple):
    coefficients: np.ndarray
    iterations: int
    converged: bool
    # Per update, the largest change of any coefficient (what tol is held to).
    largest_changes: list
    # Per coefficient, the sum over the updates of update_rounding_bound.
    rounding_bound: np.ndarray


def working_weights(X, y, beta):
    eta = X @ beta
    mu = 1.0 / (np.exp(-eta) + 1.0)
    w = np.clip(mu * (1.0 - mu), 1e-10, 1.0)
    return eta, mu, w


def reference_irls(X, y, tol, max_iter):
    X = np.asarray(X, dtype=np.float64)
    y = np.asarray(y, dtype=np.float64)
    beta = np.zeros(X.shape[1])
    bound = np.zeros(X.shape[1])
    changes = []
    for iteration in range(1, max_iter + 1):
        eta, mu, w = working_weights(X, y, beta)
        z = eta + (y - mu) / w
        beta_new = np.linalg.solve(X.T @ (X * w[:, None]), X.T @ (w * z))
        bound += update_rounding_bound(X, y, beta, beta_new)
        changes.append(float(np.max(np.abs(beta_new - beta), initial=0.0)))
        changed = not np.all(np.abs(beta_new - beta) <= tol)
        beta = beta_new
        if not changed:
            return Reference(beta, iteration, True, changes, bound)
    return Reference(beta, max(max_iter, 0), False, changes, bound)


def update_rounding_bound(X, y, beta, beta_new):
    """Per coefficient, how far rounding can move the update from beta to
    beta_new = A^-1 b, with A = X'WX and b = X'Wz at beta.

    The first-order componentwise bound of a linear solve (Higham, Accuracy
    and Stability of Numerical Algorithms, 2nd ed., 7.2): |d beta| <= |A^-1|
    (|dA| |beta_new| + |db|). Each entry of A and b is a sum of n products,
    formed in whatever order the BLAS kernel takes, so its rounding is at most
    gamma times the sum of the magnitudes of its terms; gamma = (n + 3p) eps
    covers those sums (n u with u = eps / 2), the products and the LU solve
    (3p u). This is the problem's own conditioning (|A^-1| |A| in the scaling
    of the data) times the rounding unit: a coefficient near zero gets an
    absolute bound set by the data, not a relative one that shrinks to zero."""
    n, p = X.shape
    eta, mu, w = working_weights(X, y, beta)
    abs_X = np.abs(X)
    magnitude_A = abs_X.T @ (abs_X * w[:, None])
    # w z = w eta + (y - mu): the magnitudes of both parts, which may cancel.
    magnitude_b = abs_X.T @ (w * np.abs(eta) + np.abs(y - mu))
    A_inverse = np.linalg.inv(X.T @ (X * w[:, None]))
    return (n + 3 * p) * EPS * np.abs(A_inverse) @ (magnitude_A @ np.abs(beta_new) + magnitude_b)


def least_squares_rounding_bound(X, y, beta):
    """How far rounding can move the solution of the same update computed as
    a weighted least-squares problem, min ||sqrt(W) (X beta - z)|| (what
    statsmodels does, by an SVD), at coefficients beta: the normwise bound of
    a backward-stable least-squares solve (Higham, 2nd ed., Theorem 20.1),
    gamma kappa (2 + (kappa + 1) ||r|| / (||sqrt(W) X|| ||beta||)) ||beta||,
    kappa the 2-norm condition number of sqrt(W) X and r the weighted
    residual, with gamma as above. Normwise, so the same for every coefficient."""
    n, p = X.shape
    _, mu, w = working_weights(X, y, beta)
    weighted_X = X * np.sqrt(w)[:, None]
    residual = (y - mu) / np.sqrt(w)
    singular_values = np.linalg.svd(weighted_X, compute_uv=False)
    kappa = singular_values[0] / singular_values[-1]
    norm_beta = np.linalg.norm(beta)
    relative = 2 + (kappa + 1) * np.linalg.norm(residual) / (singular_values[0] * norm_beta)
    return (n + 3 * p) * EPS * kappa * relative * norm_beta


def assert_equal_but_for_rounding(actual, expected, bound):
    """actual and expected each lie within their bound of the exact values, so
    they differ by at most the sum of the two bounds, passed as bound."""
    actual, expected = np.asarray(actual), np.asarray(expected)
    difference = np.abs(actual - expected)
    assert actual.shape == expected.shape
    assert np.all(difference <= bound), (
        f"differences beyond the rounding bound at {np.flatnonzero(~(difference <= bound)).tolist()}:\n"
        f"actual     {actual!r}\nexpected   {expected!r}\ndifference {difference!r}\nbound      {bound!r}"
    )
