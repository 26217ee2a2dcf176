"""The calls run under valgrind memcheck by `make valgrind`: a few of every
kind, small, because everything runs some fifty times slower there."""

import numpy as np

import _quorvi


def main():
    rng = np.random.default_rng(5)
    n, p = 300, 5
    X = np.column_stack([np.ones(n), rng.standard_normal((n, p - 1))])
    y = (rng.random(n) < 1 / (1 + np.exp(-X @ rng.standard_normal(p)))).astype(np.float64)
    misaligned = np.frombuffer(bytearray(X.nbytes + 1), dtype=np.float64, offset=1).reshape(n, p)
    misaligned[...] = X
    fits = [
        (X, y),  # row-major: read as its transpose
        (np.asfortranarray(X), y),  # used in place
        (X[::-1, ::2], y[::-1]),  # copied
        (misaligned, y),
        (X.astype(np.float32), y.astype(np.int8)),
        (np.broadcast_to(X[:1], (4, p)), y[:4]),
        (np.column_stack([X, X[:, 1]]), y),  # singular: warning, then least squares
        (np.ones((n, 0)), y),
        (np.ones((0, p)), np.ones(0)),
        (rng.standard_normal((3000, 40)), (rng.random(3000) < 0.5).astype(np.float64)),
    ]
    for X_, y_ in fits:
        for max_iter in (0, 1, 25):
            _quorvi.irls(X_, y_, 1e-8, max_iter)
    X_nan = X.copy()
    X_nan[2, 2] = np.nan
    failures = [
        ((X[:, 0], y, 1e-8, 25), RuntimeError),
        ((X, y[:-1], 1e-8, 25), RuntimeError),
        ((X_nan, y, 1e-8, 25), RuntimeError),
        ((X, "y", 1e-8, 25), TypeError),
        ((X, y, None, 25), TypeError),
        ((X, y, 1e-8, 2**31), TypeError),
    ]
    for args, expected in failures:
        try:
            _quorvi.irls(*args)
        except expected:
            pass
        else:
            raise AssertionError(f"{expected.__name__} expected")
    _quorvi.check_arma()
    print("valgrind workload: done", flush=True)


if __name__ == "__main__":
    main()
