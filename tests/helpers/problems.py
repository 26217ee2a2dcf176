"""Seeded data and expected texts that tests in every folder share. A module
of its own rather than conftest.py: pytest imports each folder's conftest.py
under the one name `conftest`, so importing from it depends on which ran last."""

import numpy as np

SINGULAR_WARNING = "\nwarning: solve(): system is singular; attempting approx solution\n"


def logistic_problem(n, p, seed, scale=1.0):
    """A seeded design with an intercept column and a 0/1 response drawn from
    a logistic model, so that the maximum-likelihood fit exists."""
    rng = np.random.default_rng(seed)
    X = np.column_stack([np.ones(n), rng.standard_normal((n, p - 1)) * scale])
    truth = rng.standard_normal(p) / np.sqrt(p)
    y = (rng.random(n) < 1.0 / (1.0 + np.exp(-X @ truth))).astype(np.float64)
    return X, y


def textbook_hc_covariances(D, y, beta, weights=None):
    """HC0 to HC4 of a logistic fit by the textbook formulas, in NumPy:
    B X' S diag(omega) X B, B = (X'SWX)^-1 for the design D (intercept
    column included, of full rank), the coefficients beta and the frequency
    weights S (None: 1), with omega = r^2, r^2 n/(n - k), r^2/(1 - h),
    r^2/(1 - h)^2 and r^2/(1 - h)^delta, delta = min(4, n h / k) (Cribari-Neto
    2004), h the diagonal of W^1/2 D B D' W^1/2, n the sum of the weights and
    k the columns of D (R's sandwich::vcovHC for a glm)."""
    s = np.ones(len(y)) if weights is None else np.asarray(weights, dtype=float)
    n, k = s.sum(), D.shape[1]
    mu = 1 / (1 + np.exp(-D @ beta))
    w = mu * (1 - mu)
    bread = np.linalg.inv(D.T @ ((s * w)[:, None] * D))
    h = w * np.einsum("ij,jk,ik->i", D, bread, D)
    squared = (y - mu) ** 2
    omegas = {
        "HC0": squared,
        "HC1": squared * n / (n - k),
        "HC2": squared / (1 - h),
        "HC3": squared / (1 - h) ** 2,
        "HC4": squared / (1 - h) ** np.minimum(4.0, n * h / k),
    }
    return {name: bread @ (D.T @ ((s * omega)[:, None] * D)) @ bread for name, omega in omegas.items()}
