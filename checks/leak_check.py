"""Leak check: tens of thousands of calls of _quorvi.irls and of the
estimator's native entry quorvi._native.fit through every outcome, after a
warm-up, must leave the process's resident memory, the C allocator's bytes in
use and the reference counts of the caller's objects where they were.

The script runs itself under PYTHONMALLOC=malloc, so that Python objects are
allocated by the C allocator too and a leaked dict, array or exception shows
in its figures, and with glibc's per-thread cache off and a fixed mmap
threshold: freed blocks held in that cache count as "in use" for mallinfo2,
and a moving threshold makes the resident size wander by a megabyte and more
as large blocks move between the heap and their own mappings.

    python checks/leak_check.py [--warmup-cycles N] [--cycles N]
"""

import argparse
import ctypes
import gc
import os
import sys
import time

import numpy as np
from native_arguments import native_fit, native_sums

import _quorvi
from quorvi import _native

# The loop settings of most native fits below.
LOOP = {"tol": 1e-8, "max_iter": 25, "n_threads": 1, "progress": None}
GLIBC_TUNABLES = "glibc.malloc.tcache_count=0:glibc.malloc.mmap_threshold=131072"
RSS_LIMIT = 1 << 20
# A leak of one smallest block (32 bytes) at every call of a single path of
# the mix adds 62.5 KiB over the default 2000 cycles, twice this limit. The
# warm-up is long because some caches fill slowly: on the keyword-argument
# TypeError's path the bytes in use keep rising, less and less, for some
# 50,000 calls and then stop, which a leak would not.
ALLOCATOR_LIMIT = 32 << 10


class _Mallinfo2(ctypes.Structure):
    _fields_ = [
        (name, ctypes.c_size_t)
        for name in (
            "arena",
            "ordblks",
            "smblks",
            "hblks",
            "hblkhd",
            "usmblks",
            "fsmblks",
            "uordblks",
            "fordblks",
            "keepcost",
        )
    ]


_libc = ctypes.CDLL(None)
_libc.mallinfo2.restype = _Mallinfo2


def allocator_bytes_in_use():
    info = _libc.mallinfo2()
    # uordblks: bytes in use in the heap; hblkhd: bytes in blocks that were
    # mmapped individually (the large matrices).
    return info.uordblks + info.hblkhd


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def raising(expected, function, *args, **kwargs):
    """A case that calls function(*args, **kwargs) and must see it raise expected."""

    def call():
        try:
            function(*args, **kwargs)
        except expected:
            return expected.__name__
        raise AssertionError(f"expected {expected.__name__}")

    return call


def make_cases():
    """One cycle of the mix: every failure the module can report and every way
    the arrays reach the engine (viewed in place, as the transpose, copied)."""
    rng = np.random.default_rng(20240611)
    n, p = 60, 4
    X = np.column_stack([np.ones(n), rng.standard_normal((n, p - 1))])
    y = (rng.random(n) < 0.5).astype(np.float64)
    X_nan = X.copy()
    X_nan[3, 1] = np.nan
    y_inf = y.copy()
    y_inf[5] = np.inf
    singular = np.column_stack([X, X[:, 1]])
    misaligned_buffer = bytearray(X.size * 8 + 1)
    X_misaligned = np.frombuffer(misaligned_buffer, dtype=np.float64, offset=1).reshape(n, p)
    X_misaligned[...] = X

    def raises(expected, *args, **kwargs):
        return raising(expected, _quorvi.irls, *args, **kwargs)

    def fits(*args):
        def call():
            result = _quorvi.irls(*args)
            assert result["coefficients"].shape == (np.shape(args[0])[1],)
            return "dict"

        return call

    cases = [
        ("C-ordered fit", fits(X, y, 1e-8, 25)),
        ("F-ordered fit", fits(np.asfortranarray(X), y, 1e-8, 25)),
        ("strided fit", fits(X[::2], y[::2], 1e-8, 25)),
        ("reversed fit", fits(X[::-1], y[::-1], 1e-8, 25)),
        ("float32 and int fit", fits(X.astype(np.float32), y.astype(np.int64), 1e-8, 25)),
        ("misaligned fit", fits(X_misaligned, y, 1e-8, 25)),
        ("list fit", fits(X[:8].tolist(), y[:8].tolist(), 1e-8, 5)),
        ("max_iter 0", fits(X, y[:3], 1e-8, 0)),
        ("no columns", fits(np.ones((n, 0)), y, 1e-8, 25)),
        ("no rows", fits(np.ones((0, 3)), np.ones(0), 1e-8, 25)),
        ("singular design", fits(singular, y, 1e-8, 3)),
        ("X 1-D", raises(RuntimeError, X[:, 0], y, 1e-8, 25)),
        ("y 2-D", raises(RuntimeError, X, y[:, None], 1e-8, 25)),
        ("length mismatch", raises(RuntimeError, X, y[:-1], 1e-8, 25)),
        ("NaN in X", raises(RuntimeError, X_nan, y, 1e-8, 25)),
        ("inf in y", raises(RuntimeError, X, y_inf, 1e-8, 25)),
        # Small arrays here: the TypeError's message holds the repr() of every
        # argument, and NumPy's repr of the full arrays would take most of the time.
        ("X not numeric", raises(TypeError, "abc", y[:3], 1e-8, 25)),
        ("ragged X", raises(TypeError, [[1.0, 2.0], [3.0]], y[:2], 1e-8, 25)),
        ("tol None", raises(TypeError, X[:3], y[:3], None, 25)),
        ("max_iter float", raises(TypeError, X[:3], y[:3], 1e-8, 25.0)),
        ("max_iter too large", raises(TypeError, X[:3], y[:3], 1e-8, 2**31)),
        ("keywords", raises(TypeError, X=X[:3], y=y[:3], tol=1e-8, max_iter=25)),
        ("three arguments", raises(TypeError, X[:3], y[:3], 1e-8)),
        # Its p x p normal matrix needs 80 GB: the allocation is refused at
        # once, after the transposed copy of X has been made.
        ("memory exhausted", raises(MemoryError, np.ones((1, 100000)), np.ones(1), 1e-8, 25)),
    ]
    more_cases, native_arrays = native_cases(
        *(np.ascontiguousarray(a[:, 1:]) for a in (X, X_nan, singular)), y
    )
    return cases + more_cases, (X, y, X_nan, y_inf, singular, X_misaligned, *native_arrays)


class ProgressAbort(Exception):
    """Raised from a progress callback, to leave a fit half-way."""


def native_cases(X, X_nan, singular, y):
    """quorvi._native.fit: with and without intercept and weights, C and F
    order, several workers, a progress callback that returns or raises, and
    every error it reports; the entries of the fit on Dask chunks
    (normal_equations, fit_chunked with a source that returns, misreads or
    raises), a misaligned chunk and beta among their inputs; and the arrays
    these pass."""
    n = len(y)
    weights = np.arange(n, dtype=np.float64) % 3
    calls = []

    def progress(iteration, deviance, max_change, seconds, inner_iterations):
        calls.append(iteration)
        if len(calls) > 50:
            calls.clear()

    def abort(iteration, deviance, max_change, seconds, inner_iterations):
        raise ProgressAbort(iteration)

    def fits(*args, **kwargs):
        def call():
            result = native_fit(*args, **kwargs)
            # A list of blocks: 4 + 4 columns beside X's (categorical, sparse).
            columns = X.shape[1] + 8 if isinstance(args[0], list) else args[0].shape[1]
            assert result.coefficients.shape == (columns + kwargs["fit_intercept"],)
            return "result"

        return call

    raises_in = raising

    def raises(expected, *args, **kwargs):
        return raising(expected, native_fit, *args, **kwargs)

    def entry(function, *args, **kwargs):
        def call():
            function(*args, **kwargs)
            return "result"

        return call

    F = np.asfortranarray(X)
    beta = np.full(X.shape[1] + 1, 0.1)
    # Chunks and coefficients that arrive over a network sit at any byte offset.
    X_misaligned = np.frombuffer(bytearray(X.nbytes + 1), dtype=np.float64, offset=1).reshape(X.shape)
    X_misaligned[...] = X
    beta_misaligned = np.frombuffer(bytearray(beta.nbytes + 3), dtype=np.float64, offset=3)
    beta_misaligned[...] = beta

    def source(beta, with_statistics, with_meat):
        # Misaligned sums, as they come back from a worker.
        sums = _native.normal_equations(
            X, y, weights, beta, fit_intercept=True, with_statistics=with_statistics
        )
        A = np.frombuffer(bytearray(sums["A"].nbytes + 5), dtype=np.float64, offset=5).reshape(
            sums["A"].shape
        )
        A[...] = sums["A"]
        return {**sums, "A": A}

    def short_source(beta, with_statistics, with_meat):
        sums = _native.normal_equations(
            X, y, weights, beta, fit_intercept=True, with_statistics=with_statistics
        )
        return {**sums, "b": sums["b"][:-1]}

    def failing_source(beta, with_statistics, with_meat):
        raise ProgressAbort(0)

    q = X.shape[1] + 1
    # The robust sums' arguments: an offset, one and two clusterings (codes
    # in range and one out of range), and a bread for the hat values.
    offset = np.linspace(-1.0, 1.0, n)
    codes = np.ascontiguousarray(np.arange(n) % 7, dtype=np.int64)
    pairs = np.ascontiguousarray(np.arange(n) % 21, dtype=np.int64)
    one_way = [(codes, 7)]
    two_way = [(codes, 7), (np.ascontiguousarray(np.arange(n) % 3, dtype=np.int64), 3), (pairs, 21)]
    bread = np.eye(q)
    # Absorbed levels: five with rows (the last of one row), two more without.
    levels = np.minimum(np.arange(n, dtype=np.int32) % 5, 4)
    levels[-1] = 4
    levels[: n - 1] %= 4
    robust = {"offset": offset, "meat": _native.Meat.cluster, "clusters": two_way}

    class RobustSource:
        """A chunked source of the passes of an HC0 fit (the loop's, with
        the robust sums when asked, and the robust pass after it), with the
        rows' offsets."""

        def __call__(self, beta, with_statistics, with_meat=False):
            meat = _native.Meat.residual if with_meat else _native.Meat.none
            return native_sums(
                X,
                y,
                weights,
                beta,
                fit_intercept=True,
                with_statistics=with_statistics,
                offset=offset,
                meat=meat,
            )

        def robust_pass(self, beta, inverse_information):
            return self(beta, False, True)

    cases = [
        (
            "chunk sums",
            entry(_native.normal_equations, X, y, weights, beta, fit_intercept=True, with_statistics=True),
        ),
        (
            "chunk sums, misaligned",
            entry(
                _native.normal_equations,
                X_misaligned,
                y,
                None,
                beta_misaligned,
                fit_intercept=True,
                with_statistics=False,
            ),
        ),
        (
            "chunked fit",
            entry(_native.fit_chunked, source, n_coefficients=q, tol=1e-8, max_iter=25, progress=progress),
        ),
        (
            "chunked fit, max_iter 0",
            entry(_native.fit_chunked, source, n_coefficients=q, tol=1e-8, max_iter=0, progress=None),
        ),
        (
            "chunk sums, beta too short",
            raises_in(
                ValueError,
                _native.normal_equations,
                X,
                y,
                None,
                beta[:-1],
                fit_intercept=True,
                with_statistics=False,
            ),
        ),
        (
            "chunked fit, b short",
            raises_in(
                ValueError,
                _native.fit_chunked,
                short_source,
                n_coefficients=q,
                tol=1e-8,
                max_iter=25,
                progress=None,
            ),
        ),
        (
            "chunked fit, source raises",
            raises_in(
                ProgressAbort,
                _native.fit_chunked,
                failing_source,
                n_coefficients=q,
                tol=1e-8,
                max_iter=5,
                progress=None,
            ),
        ),
        (
            "chunked fit, HC0, ridge",
            entry(
                _native.fit_chunked,
                RobustSource(),
                n_coefficients=q,
                tol=1e-8,
                max_iter=25,
                progress=None,
                penalty=0.5,
                fit_intercept=True,
                meat=_native.Meat.residual,
            ),
        ),
        (
            "native fit",
            fits(X, y, None, fit_intercept=True, tol=1e-8, max_iter=25, n_threads=1, progress=None),
        ),
        (
            "native HC0, offset, ridge",
            fits(
                X,
                y,
                weights,
                fit_intercept=True,
                tol=1e-8,
                max_iter=25,
                n_threads=2,
                progress=None,
                offset=offset,
                penalty=0.5,
                meat=_native.Meat.residual,
            ),
        ),
        (
            "native HC3",
            fits(
                F,
                y,
                None,
                fit_intercept=True,
                tol=1e-8,
                max_iter=25,
                n_threads=3,
                progress=None,
                meat=_native.Meat.hat_adjusted,
                hat_power=2.0,
            ),
        ),
        (
            "native two-way clusters",
            fits(
                X, y, weights, fit_intercept=True, tol=1e-8, max_iter=25, n_threads=2, progress=None, **robust
            ),
        ),
        (
            "native one-way, max_iter 0",
            fits(
                X,
                y,
                None,
                fit_intercept=True,
                tol=1e-8,
                max_iter=0,
                n_threads=1,
                progress=None,
                meat=_native.Meat.cluster,
                clusters=one_way,
            ),
        ),
        (
            "native code out of range",
            raises(
                ValueError,
                X,
                y,
                None,
                fit_intercept=True,
                **LOOP,
                meat=_native.Meat.cluster,
                clusters=[(codes, 6)],
            ),
        ),
        (
            "native unknown meat",
            raises(
                ValueError,
                X,
                y,
                None,
                fit_intercept=True,
                **LOOP,
                meat=_native.Meat(9),
            ),
        ),
        (
            "native absorbed levels, clusters",
            fits(
                X,
                y,
                weights,
                fit_intercept=False,
                **LOOP,
                absorb=levels,
                n_levels=5,
                **robust,
            ),
        ),
        (
            "native absorbed levels",
            fits(
                F,
                y,
                None,
                fit_intercept=False,
                **LOOP,
                absorb=levels,
                n_levels=7,
            ),
        ),
        (
            "native absorbed levels, some left out, an offset",
            fits(
                X,
                y,
                weights,
                fit_intercept=False,
                **LOOP,
                offset=offset,
                absorb=levels,
                n_levels=5,
                kept_levels=np.array([True, False, True, True, False]),
            ),
        ),
        (
            "native further absorbed columns",
            fits(
                X,
                y,
                weights,
                fit_intercept=False,
                **LOOP,
                absorb=levels,
                n_levels=5,
                further_absorb=[levels[::-1].copy()],
                further_levels=[5],
            ),
        ),
        (
            "native absorbed code out of range",
            raises(
                ValueError,
                X,
                y,
                None,
                fit_intercept=False,
                **LOOP,
                absorb=levels,
                n_levels=4,
            ),
        ),
        (
            "native absorbed, hat values",
            fits(
                X,
                y,
                None,
                fit_intercept=False,
                **LOOP,
                absorb=levels,
                n_levels=5,
                meat=_native.Meat.hat_adjusted,
                hat_power=2.0,
            ),
        ),
        (
            "native offset too short",
            raises(
                ValueError,
                X,
                y,
                None,
                fit_intercept=True,
                **LOOP,
                offset=offset[:-1],
            ),
        ),
        (
            "native negative penalty",
            raises(
                ValueError,
                X,
                y,
                None,
                fit_intercept=True,
                **LOOP,
                penalty=-1.0,
            ),
        ),
        (
            "chunk sums, clusters and offset",
            entry(
                native_sums,
                X,
                y,
                weights,
                beta,
                fit_intercept=True,
                with_statistics=True,
                offset=offset,
                meat=_native.Meat.cluster,
                hat_power=1.0,
                clusters=two_way,
                inverse_information=None,
            ),
        ),
        (
            "chunk sums, hat values",
            entry(
                native_sums,
                X_misaligned,
                y,
                None,
                beta,
                fit_intercept=True,
                with_statistics=True,
                offset=None,
                meat=_native.Meat.hat_adjusted,
                hat_power=2.0,
                clusters=[],
                inverse_information=bread,
            ),
        ),
        (
            "chunk sums, hat values without bread",
            raises_in(
                ValueError,
                native_sums,
                X,
                y,
                None,
                beta,
                fit_intercept=True,
                with_statistics=True,
                offset=None,
                meat=_native.Meat.hat_adjusted,
                hat_power=1.0,
                clusters=[],
                inverse_information=None,
            ),
        ),
        (
            "native F, weights, 3 workers",
            fits(F, y, weights, fit_intercept=True, tol=1e-8, max_iter=25, n_threads=3, progress=None),
        ),
        (
            "native no intercept, progress",
            fits(X, y, weights, fit_intercept=False, tol=1e-8, max_iter=25, n_threads=2, progress=progress),
        ),
        (
            "native max_iter 0",
            fits(X, y, None, fit_intercept=True, tol=1e-8, max_iter=0, n_threads=1, progress=None),
        ),
        (
            "native singular design",
            fits(singular, y, None, fit_intercept=True, tol=1e-8, max_iter=3, n_threads=2, progress=None),
        ),
        (
            "native progress raises",
            raises(
                ProgressAbort,
                X,
                y,
                None,
                fit_intercept=True,
                tol=1e-8,
                max_iter=25,
                n_threads=2,
                progress=abort,
            ),
        ),
        (
            "native X float32",
            raises(
                ValueError,
                X.astype(np.float32),
                y,
                None,
                fit_intercept=True,
                **LOOP,
            ),
        ),
        (
            "native X strided",
            raises(
                ValueError,
                X[::2],
                y[::2],
                None,
                fit_intercept=True,
                **LOOP,
            ),
        ),
        (
            "native y too short",
            raises(
                ValueError,
                X,
                y[:-1],
                None,
                fit_intercept=True,
                **LOOP,
            ),
        ),
        (
            "native weights too short",
            raises(
                ValueError,
                X,
                y,
                weights[:-1],
                fit_intercept=True,
                **LOOP,
            ),
        ),
        # A first system that is not finite ends the native fit before its
        # solve, its columns reported in the result's "overflowed".
        (
            "native NaN in X",
            fits(X_nan, y, None, fit_intercept=True, tol=1e-8, max_iter=25, n_threads=2, progress=None),
        ),
        # A (100001 x 100001) Fisher information: 80 GB, refused at once.
        (
            "native memory exhausted",
            raises(
                MemoryError,
                np.ones((1, 100000)),
                np.ones(1),
                None,
                fit_intercept=True,
                **LOOP,
            ),
        ),
    ]
    # Designs of several column kinds: a categorical with an empty level, a
    # sparse block with empty rows and an all-zero column, and the codes and
    # CSR layouts the binding refuses.
    codes = (np.arange(n) % 4).astype(np.int8)
    values = np.ones(n // 2)
    indices = (np.arange(n // 2) % 3).astype(np.int32)
    indptr = np.minimum(np.arange(n + 1) // 2, n // 2).astype(np.int64)
    blocks = [
        _native.DenseBlock(values=X),
        _native.CategoricalBlock(codes=codes, n_levels=5, drop_first=True),
        _native.SparseBlock(data=values, indices=indices, indptr=indptr, n_cols=4),
    ]
    bad_codes = [_native.CategoricalBlock(codes=codes - 1, n_levels=5, drop_first=True)]
    bad_indptr = [_native.SparseBlock(data=values, indices=indices, indptr=indptr[::-1].copy(), n_cols=4)]
    cases += [
        (
            "native blocks",
            fits(blocks, y, weights, fit_intercept=True, tol=1e-8, max_iter=25, n_threads=2, progress=None),
        ),
        (
            "native blocks chunk sums",
            entry(
                _native.normal_equations,
                blocks,
                y,
                None,
                np.zeros(X.shape[1] + 9),
                fit_intercept=True,
                with_statistics=True,
            ),
        ),
        (
            "native blocks code out of range",
            raises(
                ValueError,
                bad_codes,
                y,
                None,
                fit_intercept=True,
                **LOOP,
            ),
        ),
        (
            "native blocks bad row pointers",
            raises(
                ValueError,
                bad_indptr,
                y,
                None,
                fit_intercept=True,
                **LOOP,
            ),
        ),
    ]
    return cases, (
        X,
        F,
        X_nan,
        singular,
        weights,
        beta,
        X_misaligned,
        beta_misaligned,
        codes,
        values,
        indices,
    )


def run_cycles(cases, cycles, outcomes):
    calls = 0
    for _ in range(cycles):
        for name, call in cases:
            outcome = call()
            outcomes[name] = outcome
            calls += 1
    return calls


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--warmup-cycles", type=int, default=3000)
    parser.add_argument("--cycles", type=int, default=2000)
    args = parser.parse_args()
    if os.environ.get("PYTHONMALLOC") != "malloc" or os.environ.get("GLIBC_TUNABLES") != GLIBC_TUNABLES:
        environment = dict(os.environ, PYTHONMALLOC="malloc", GLIBC_TUNABLES=GLIBC_TUNABLES)
        os.execve(sys.executable, [sys.executable, *sys.argv], environment)

    cases, arrays = make_cases()
    outcomes = {}
    # True and False as well: a reference leaked by the result's converged
    # flag would show there. (None is left out: the interpreter itself holds
    # and drops references to it as it goes.)
    watched = {"True": True, "False": False}
    watched.update({f"array {index}": array for index, array in enumerate(arrays)})

    started = time.monotonic()
    # The singular-system warnings would fill the log: standard error goes to
    # /dev/null during the calls and comes back for the report.
    sys.stderr.flush()
    saved_stderr = os.dup(2)
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 2)
    try:
        calls = run_cycles(cases, args.warmup_cycles, outcomes)
        gc.collect()
        refcounts_before = {name: sys.getrefcount(obj) for name, obj in watched.items()}
        rss_before = resident_bytes()
        allocator_before = allocator_bytes_in_use()
        measured = run_cycles(cases, args.cycles, outcomes)
        gc.collect()
        rss_after = resident_bytes()
        allocator_after = allocator_bytes_in_use()
        refcounts_after = {name: sys.getrefcount(obj) for name, obj in watched.items()}
    finally:
        os.dup2(saved_stderr, 2)
        os.close(saved_stderr)
        os.close(devnull)
    elapsed = time.monotonic() - started

    rss_growth = rss_after - rss_before
    allocator_growth = allocator_after - allocator_before
    changed_refcounts = {
        name: (refcounts_before[name], refcounts_after[name])
        for name in watched
        if refcounts_before[name] != refcounts_after[name]
    }
    print(
        f"leak check: {calls} warm-up calls, then {measured} measured calls over {len(cases)} paths "
        f"in {elapsed:.1f} s"
    )
    print("  outcomes: " + ", ".join(f"{name} -> {outcome}" for name, outcome in outcomes.items()))
    print(f"  resident memory growth: {rss_growth} bytes (limit {RSS_LIMIT})")
    print(f"  allocator bytes-in-use growth: {allocator_growth} bytes (limit {ALLOCATOR_LIMIT})")
    print(
        "  reference counts unchanged: " + ", ".join(f"{name} {refcounts_after[name]}" for name in watched)
        if not changed_refcounts
        else f"  reference counts changed: {changed_refcounts}"
    )
    failed = rss_growth >= RSS_LIMIT or allocator_growth >= ALLOCATOR_LIMIT or changed_refcounts
    print("leak check: FAILED" if failed else "leak check: passed")
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
