"""An independent NumPy implementation of the same IRLS loop, used as the
reference that the native fit must agree with."""

import numpy as np


def reference_irls(X, y, tol, max_iter):
    X = np.asarray(X, dtype=np.float64)
    y = np.asarray(y, dtype=np.float64)
    beta = np.zeros(X.shape[1])
    for iteration in range(1, max_iter + 1):
        eta = X @ beta
        mu = 1.0 / (np.exp(-eta) + 1.0)
        w = np.clip(mu * (1.0 - mu), 1e-10, 1.0)
        z = eta + (y - mu) / w
        beta_new = np.linalg.solve(X.T @ (X * w[:, None]), X.T @ (w * z))
        changed = not np.all(np.abs(beta_new - beta) <= tol)
        beta = beta_new
        if not changed:
            return beta, iteration, True
    return beta, max(max_iter, 0), False
