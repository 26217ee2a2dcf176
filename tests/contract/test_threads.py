"""Many Python threads fitting different problems at once must get, bit for
bit, what the same fits give one after another: nothing of one call may
leak into another (no shared working storage, no state left by an earlier
call, no failure in one thread disturbing the others)."""

import threading

import numpy as np

import _quorvi
from problems import logistic_problem


def _problems():
    problems = []
    for index, (n, p) in enumerate([(200, 4), (1000, 12), (3000, 30), (50, 1), (400, 60), (5, 3)]):
        X, y = logistic_problem(n, p, seed=100 + index)
        problems.append((X, y))
        # The same data in the other layouts the module reads differently:
        # column-major (used in place) and strided (copied).
        problems.append((np.asfortranarray(X), y))
        problems.append((X[::2], y[::2]))
    # Failures between the fits: a length mismatch and a singular design.
    X, y = logistic_problem(30, 3, seed=7)
    problems.append((X, y[:-1]))
    problems.append((np.column_stack([X, X[:, 1]]), y))
    return problems


def _fit(X, y):
    try:
        result = _quorvi.irls(X, y, 1e-10, 25)
    except RuntimeError as error:
        return ("RuntimeError", str(error))
    return (result["coefficients"].tobytes(), result["iterations"], result["converged"])


def test_concurrent_fits_match_serial_fits_bit_for_bit():
    problems = _problems()
    serial = [_fit(X, y) for X, y in problems]
    assert ("RuntimeError", "subtraction: incompatible matrix dimensions: 29x1 and 30x1") in serial

    threads_count = 8
    rounds = 5
    start = threading.Barrier(threads_count)
    results = [None] * threads_count

    def work(thread_index):
        # Each thread walks the problems from its own starting point, so
        # different problems are in flight at the same moment.
        order = [(thread_index + k) % len(problems) for k in range(len(problems))] * rounds
        start.wait()
        results[thread_index] = [(index, _fit(*problems[index])) for index in order]

    threads = [threading.Thread(target=work, args=(i,)) for i in range(threads_count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=300)
    assert not any(thread.is_alive() for thread in threads)
    for thread_results in results:
        assert thread_results is not None
        for index, outcome in thread_results:
            assert outcome == serial[index], f"problem {index}"
