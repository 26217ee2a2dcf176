"""The estimator's native fit runs with the interpreter lock released, on
n_threads worker threads: other Python threads (another fit among them) keep
running during a fit, and neither the worker count nor fits in other threads
change a result by a single bit."""

import functools
import io
import json
import subprocess
import sys
import threading
import time

import numpy as np
import pytest
from threadpoolctl import threadpool_limits

from problems import logistic_problem
from quorvi import LogisticRegression, _native


def test_python_threads_and_other_fits_run_during_a_native_fit():
    # A fit of some fifteen iterations of over ten milliseconds each, on one
    # worker (tol 0: it goes on while rounding still moves a coefficient),
    # reporting every iteration through a callback written in C (print into
    # a StringIO): the thread that runs it never executes Python bytecode
    # between entering and leaving the native fit, so with the lock held no
    # other thread could run in between at all.
    X, y = logistic_problem(100_000, 41, seed=21)
    lines = io.StringIO()
    progress = functools.partial(print, file=lines)
    outcome = {}

    def long_fit():
        options = _native.FitOptions(fit_intercept=False, tol=0.0, max_iter=15, n_threads=1)
        outcome["result"] = _native.fit(X, y, None, options=options, progress=progress)

    thread = threading.Thread(target=long_fit)
    thread.start()
    try:
        # Python code in this thread: wait for the first iteration, then a
        # whole fit of the estimator (validation, native fit, inference),
        # and see how far the long fit has got by then.
        deadline = time.monotonic() + 120
        while not lines.getvalue() and thread.is_alive() and time.monotonic() < deadline:
            time.sleep(0.001)
        X_short, y_short = logistic_problem(2000, 5, seed=22)
        short = LogisticRegression(n_threads=1).fit(X_short[:, 1:], y_short)
        seen = lines.getvalue().count("\n")
    finally:
        thread.join(timeout=300)
    total = outcome["result"].iterations
    assert short.converged_ and lines.getvalue().count("\n") == total
    # Started after the first iteration and finished before the last one.
    assert 1 <= seen < total, (seen, total)


@pytest.mark.parametrize("fit_intercept", [True, False])
def test_results_are_bit_identical_for_any_worker_count_and_concurrent_fits(fit_intercept):
    # 40,000 rows of 8 columns make several chunks of rows, so the workers
    # really do split the sums; the others are one chunk each.
    shapes = [(40_000, 8), (700, 20), (5000, 3)]
    problems = [logistic_problem(n, p, seed=30 + n) for n, p in shapes]
    weights = [np.random.default_rng(n).integers(0, 3, n).astype(np.float64) for n, _ in shapes]

    def fit(index, n_threads):
        (X, y), w = problems[index], weights[index]
        model = LogisticRegression(fit_intercept=fit_intercept, n_threads=n_threads).fit(X[:, 1:], y, w)
        return model.coef_.tobytes() + model.intercept_.tobytes() + model.covariance_.tobytes()

    # One BLAS thread: then the blocks of rows, and so the sums, are the same
    # whatever the number of workers.
    with threadpool_limits(limits=1, user_api="blas"):
        expected = [fit(index, 1) for index in range(len(problems))]
        for n_threads in (2, 3, 8):
            assert [fit(index, n_threads) for index in range(len(problems))] == expected, n_threads

        results = {}

        def work(thread_index):
            for round_index in range(3):
                index = (thread_index + round_index) % len(problems)
                results[(thread_index, round_index)] = (index, fit(index, 1 + thread_index % 3))

        threads = [threading.Thread(target=work, args=(i,)) for i in range(4)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(timeout=300)
    assert len(results) == 12
    for index, outcome in results.values():
        assert outcome == expected[index]


# A fit in a thread of a fresh process, watched from the main thread, which
# runs while the native fit has released the interpreter lock. Each pass over
# X starts n_threads - 1 helper threads beside the calling one and joins them
# at its end; 400,000 x 20 makes 33 chunks of rows, so every helper gets work
# and lives for tens of milliseconds, against a poll every half millisecond.
# The process's other threads (the BLAS's own among them) exist before the
# fit starts, once a first fit has run; a helper that has exited is not
# counted, even while it is still listed.
WATCH_WORKERS = """
import json, os, threading, time
import numpy as np
from quorvi import LogisticRegression

rng = np.random.default_rng(0)
X = rng.standard_normal((400_000, 20))
y = (rng.random(400_000) < 1 / (1 + np.exp(-X[:, 0]))).astype(np.float64)


def running(tid):
    # A helper joined at the end of a pass may stay listed for a moment
    # after its exit, in state Z or X, while the next pass's helper starts.
    try:
        with open(f"/proc/self/task/{tid}/stat") as stat:
            return stat.read().rsplit(")", 1)[1].split()[0] not in "ZX"
    except OSError:
        return False


def threads():
    return {tid for tid in os.listdir("/proc/self/task") if running(tid)}


def most_new_threads(n_threads):
    start = threading.Event()

    def fit():
        start.wait()
        LogisticRegression(n_threads=n_threads).fit(X, y)

    thread = threading.Thread(target=fit)
    thread.start()
    before = threads()
    start.set()
    most = 0
    while thread.is_alive():
        most = max(most, len(threads() - before))
        time.sleep(0.0005)
    thread.join()
    return most


LogisticRegression(n_threads=1).fit(X[:1000], y[:1000])
# Three fits each: on a loaded machine one poll may miss a short pass, not all.
print(json.dumps({n: max(most_new_threads(n) for _ in range(3)) for n in (1, 2, 3)}))
"""


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads the process's threads in /proc")
def test_n_threads_is_the_number_of_threads_that_share_a_pass():
    run = subprocess.run([sys.executable, "-c", WATCH_WORKERS], capture_output=True, text=True, check=True)
    assert json.loads(run.stdout) == {"1": 0, "2": 1, "3": 2}
