"""The separation check's share of the estimator's fit on every shape of the
benchmarks (bench/run_benchmark.py's full shapes, the categorical and sparse
data sets of bench/categorical_benchmark.py, the sparse one as CSR and CSC,
and bench/fixed_effects_benchmark.py's shapes), each on the data those
scripts make and with the call they time.

Two figures per shape, each the median of --repeats fits:
- "as run": the time spent in _separation.check_fit of an ordinary fit
  (its trigger, one product Xβ, and whatever it decides to run after it);
- "forced": the same with the trigger made to fire, so that the proof of no
  separation (_fit_certificate, and behind it the Newton-corrected one)
  runs on the shape: what a well-posed fit that reached a large |η| pays.
Each share is the check's time divided by the whole fit's, both timed in the
same fit. An absorbed fit does not call check_fit (its levels' separation
is found by their sums, _absorb.drop_separated), which its rows say.

    PYTHONPATH=python python bench/separation_share.py            # every shape
    PYTHONPATH=python python bench/separation_share.py --only sparse-csr,1000000x20
"""

from __future__ import annotations

import argparse
import statistics
import sys
import time
import warnings
from pathlib import Path
from typing import Any

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))

import categorical_benchmark
import fixed_effects_benchmark
import quorvi
import run_benchmark
from quorvi import _separation


class _Timed:
    """check_fit with a clock around it (and, when forced, its trigger
    answering yes): the estimator calls it through the module, so replacing
    the module's attribute is enough."""

    def __init__(self) -> None:
        self.seconds = 0.0
        self.calls = 0
        self.certified = 0
        self._check = _separation.check_fit
        self._worth = _separation._worth_checking
        self._certificate = _separation.certified_by_the_fit

    def __enter__(self) -> _Timed:
        def timed(*args: Any, **kwargs: Any) -> Any:
            start = time.perf_counter()
            try:
                return self._check(*args, **kwargs)
            finally:
                self.seconds += time.perf_counter() - start
                self.calls += 1

        def certificate(*args: Any, **kwargs: Any) -> bool:
            proved = self._certificate(*args, **kwargs)
            self.certified += int(proved)
            return proved

        _separation.check_fit = timed
        _separation.certified_by_the_fit = certificate
        return self

    def force(self) -> None:
        _separation._worth_checking = lambda *args: True

    def __exit__(self, *exc: object) -> None:
        _separation.check_fit = self._check
        _separation._worth_checking = self._worth
        _separation.certified_by_the_fit = self._certificate


def cases() -> list[tuple[str, Any]]:
    """(name, a function returning a fit of no arguments) per shape; the
    data are made when the case runs, one at a time."""
    listed: list[tuple[str, Any]] = []
    for n, p in run_benchmark.FULL_SHAPES:

        def dense(n: int = n, p: int = p) -> Any:
            X, y = run_benchmark.make_data(n, p, 20240601)
            X = np.ascontiguousarray(X[:, 1:])
            return lambda: quorvi.LogisticRegression(tol=1e-8, max_iter=100).fit(X, y)

        listed.append((f"{n}x{p}", dense))
    for name in ("categorical", "sparse-csr", "sparse-csc"):

        def categorical(name: str = name) -> Any:
            X, _, y = categorical_benchmark.make_data(name.split("-")[0], 1_000_000)
            if name == "sparse-csc":
                X = X.tocsc()
            return lambda: quorvi.LogisticRegression(tol=1e-10).fit(X, y)

        listed.append((name, categorical))
    for shape in fixed_effects_benchmark.shapes(quick=False, large=False, label_types=False):

        def absorbed(shape: Any = shape) -> Any:
            frame, y = fixed_effects_benchmark.make_data(shape.rows, shape.levels, shape.absorbed)
            fit = fixed_effects_benchmark.fitter("quorvi", shape, frame, y)
            return fit

        listed.append((f"fixed effects {shape.key}", absorbed))
    return listed


def measure(make: Any, repeats: int, forced: bool) -> dict[str, Any]:
    fit = make()
    fits, checks, shares, certified, calls = [], [], [], 0, 0
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        fit()  # warm: imports, first touch of the engine's buffers
        for _ in range(repeats):
            with _Timed() as timed:
                if forced:
                    timed.force()
                start = time.perf_counter()
                fit()
                seconds = time.perf_counter() - start
            fits.append(seconds)
            checks.append(timed.seconds)
            shares.append(timed.seconds / seconds)
            certified += timed.certified
            calls += timed.calls
    return {
        "fit": statistics.median(fits),
        "check": statistics.median(checks),
        "share": statistics.median(shares),
        "calls": calls // repeats,
        "certified": certified // repeats,
    }


def main() -> None:
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--only", help="comma-separated case names")
    args = parser.parse_args()
    chosen = None if args.only is None else set(args.only.split(","))
    print(
        "| shape | fit (s) | check as run (s) | share | fit, forced (s) | check, forced (s) | share, forced |"
    )
    print("|---|---:|---:|---:|---:|---:|---:|")
    for name, make in cases():
        if chosen is not None and name not in chosen:
            continue
        ordinary = measure(make, args.repeats, forced=False)
        if ordinary["calls"] == 0:
            print(f"| {name} | {ordinary['fit']:.3f} | not called | — | — | — | — |", flush=True)
            continue
        forced = measure(make, args.repeats, forced=True)
        proof = "" if forced["certified"] else " (not proved by the fit's sums)"
        print(
            f"| {name} | {ordinary['fit']:.3f} | {ordinary['check']:.4f} | {100 * ordinary['share']:.1f} % "
            f"| {forced['fit']:.3f} | {forced['check']:.4f} | {100 * forced['share']:.1f} %{proof} |",
            flush=True,
        )


if __name__ == "__main__":
    main()
