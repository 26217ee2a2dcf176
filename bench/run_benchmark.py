"""Benchmark _quorvi.irls and the quorvi estimator against statsmodels,
scikit-learn and glum.

Every method fits the same seeded synthetic logistic data, each at the
tolerance that makes it as accurate as _quorvi at ``--tol``, and each timed
and measured in a fresh child process. A roofline program (bench/roofline.cpp)
times the BLAS work of one iteration done the straightforward way, and the
floor of any iteration (one read of X, one symmetric rank-k update), on the
OpenBLAS the module links. See bench/README.md for what is measured and how.

    python bench/run_benchmark.py --roofline build/bench/bench/roofline          # full
    python bench/run_benchmark.py --quick --roofline build/bench/bench/roofline  # small shapes
"""

from __future__ import annotations

import argparse
import datetime
import gc
import importlib
import json
import os
import platform
import statistics
import subprocess
import sys
import time
import warnings
from pathlib import Path

import numpy as np

FULL_SHAPES = [(10_000, 10), (100_000, 50), (1_000_000, 20), (200_000, 200), (20_000, 1_000)]
QUICK_SHAPES = [(2_000, 5), (10_000, 10), (5_000, 50)]

# Generous: every method here takes Newton steps and stops within ten; the
# limit only matters for a method that fails to converge.
MAX_ITER = 100

# The tolerances tried for each peer, loosest first; the loosest that reaches
# the target accuracy is used. Steps of 10: with steps of 100 a peer can be
# sent straight from one iteration short to a tolerance its rounding noise
# never quite meets (glum on 1,000,000 x 20 then iterates 33 times instead
# of 5), which would measure the ladder rather than the peer.
TOLERANCE_LADDER = [float(f"1e-{k}") for k in range(2, 13)]

# Below this, coefficient differences between methods are rounding in
# different linear algebra (least squares, Cholesky, LU), not convergence; a
# target tighter than this would ask peers for digits no method has.
ACCURACY_FLOOR = 1e-10

# The reference runs this many Newton steps past the point where _quorvi
# stops at the benchmark tolerance: each step squares the error, so it sits
# at rounding level, and the count bounds its cost on the wide shapes.
REFERENCE_EXTRA_STEPS = 3

# _quorvi.irls in both memory orders; the same engine with two workers
# (quorvi._native, no intercept: the same model as _quorvi.irls); the public
# estimator with its implicit intercept on the predictors alone, on its
# default thread count and on one thread; and the peers, scikit-learn both
# without and with its own intercept.
QUORVI_METHODS = [
    "quorvi C-order",
    "quorvi F-order",
    "engine 2 workers",
    "quorvi estimator",
    "quorvi estimator 1 thread",
]
PEERS = ["statsmodels", "scikit-learn", "scikit-learn intercept", "glum"]
METHODS = QUORVI_METHODS + PEERS
# Methods fitted with an intercept of their own on X without its ones column.
WITH_INTERCEPT = {"quorvi estimator", "quorvi estimator 1 thread", "scikit-learn intercept"}

RESULT_MARKER = "BENCHMARK-RESULT "


def make_data(n: int, p: int, seed: int) -> tuple[np.ndarray, np.ndarray]:
    """Seeded logistic data: an intercept column and p - 1 standard normal
    predictors, true coefficients scaled so that the linear predictor has unit
    spread (no separation, weights of every size), y drawn from the model."""
    rng = np.random.default_rng([seed, n, p])
    X = rng.standard_normal((n, p))
    X[:, 0] = 1.0
    beta = rng.normal(0.0, 1.0, p) / np.sqrt(p)
    y = (rng.random(n) < 1.0 / (1.0 + np.exp(-(X @ beta)))).astype(np.float64)
    return X, y


# --- the methods -------------------------------------------------------------
# Each takes X already in the layout it is timed with, and returns the
# coefficients, the iteration count, and for _quorvi its own loop time.


def prepare(method: str, X: np.ndarray) -> np.ndarray:
    # The F-ordered copy, and the predictors without the ones column for the
    # methods that add their own intercept, are made before anything is
    # measured: the point is what the fit costs given that data, not what
    # NumPy's copy costs.
    if method == "quorvi F-order":
        return np.asfortranarray(X)
    if method in WITH_INTERCEPT:
        return np.ascontiguousarray(X[:, 1:])
    return X


def fit(method: str, X: np.ndarray, y: np.ndarray, tol: float) -> dict:
    with warnings.catch_warnings():
        # Convergence and "no regularisation" warnings: the iteration counts
        # and the coefficient errors in the report say more than they do.
        warnings.simplefilter("ignore")
        if method in ("quorvi C-order", "quorvi F-order"):
            import _quorvi

            result = _quorvi.irls(X, y, tol, MAX_ITER)
            return {
                "coefficients": result["coefficients"],
                "iterations": result["iterations"],
                "loop_time": result["time"],
            }
        if method == "engine 2 workers":
            from quorvi import _native

            options = _native.FitOptions(fit_intercept=False, tol=tol, max_iter=MAX_ITER, n_threads=2)
            fitted = _native.fit(X, y, None, options=options)
            return {
                "coefficients": fitted.coefficients,
                "iterations": fitted.iterations,
                "loop_time": fitted.time,
            }
        if method.startswith("quorvi estimator"):
            import quorvi

            threads = 1 if method.endswith("1 thread") else None
            model = quorvi.LogisticRegression(tol=tol, max_iter=MAX_ITER, n_threads=threads).fit(X, y)
            return {
                "coefficients": np.concatenate([model.intercept_, model.coef_[0]]),
                "iterations": int(model.n_iter_[0]),
                "loop_time": model.time_,
            }
        if method == "statsmodels":
            import statsmodels.api as sm

            # The model's construction is part of the call a user makes and is
            # timed with it (it checks the rank of X).
            result = sm.GLM(y, X, family=sm.families.Binomial()).fit(tol=tol, maxiter=MAX_ITER)
            return {
                "coefficients": np.asarray(result.params),
                "iterations": int(result.fit_history["iteration"]),
            }
        if method.startswith("scikit-learn"):
            from sklearn.linear_model import LogisticRegression

            # C=inf is this version's spelling of no penalty (penalty=None is
            # deprecated since 1.8 and leaves in 1.10).
            intercept = method in WITH_INTERCEPT
            model = LogisticRegression(
                solver="newton-cholesky", C=np.inf, fit_intercept=intercept, tol=tol, max_iter=MAX_ITER
            ).fit(X, y)
            coefficients = model.coef_[0].copy()
            if intercept:
                coefficients = np.concatenate([model.intercept_, coefficients])
            return {"coefficients": coefficients, "iterations": int(model.n_iter_[0])}
        if method == "glum":
            from glum import GeneralizedLinearRegressor

            model = GeneralizedLinearRegressor(
                family="binomial", alpha=0, fit_intercept=False, gradient_tol=tol, max_iter=MAX_ITER
            ).fit(X, y)
            return {"coefficients": np.asarray(model.coef_).copy(), "iterations": int(model.n_iter_)}
    raise ValueError(f"unknown method {method!r}")


# --- one method in a fresh child process -------------------------------------


def read_status_kib(field: str) -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"{field} not in /proc/self/status")


def run_child(job: dict) -> dict:
    """Times and measures one method on one shape; runs in a fresh process so
    that its peak memory is its own and not what an earlier fit left behind."""
    from threadpoolctl import threadpool_info, threadpool_limits

    n, p, method, tol = job["n"], job["p"], job["method"], job["tol"]
    X, y = make_data(n, p, job["seed"])
    X = prepare(method, X)
    # A small fit first loads every lazily imported module and starts the
    # BLAS thread pools, which would otherwise count as the fit's memory.
    X_small, y_small = make_data(200 + 2 * p, p, job["seed"])
    fit(method, prepare(method, X_small), y_small, tol)
    del X_small, y_small
    gc.collect()
    # Every library is loaded now, so a limit reaches all of their pools.
    if job.get("blas_threads"):
        threadpool_limits(limits=job["blas_threads"])
    threads = {Path(pool["filepath"]).name: pool["num_threads"] for pool in threadpool_info()}

    # Writing 5 to clear_refs resets the peak (VmHWM) to the current resident
    # size, so the peak read after the fit is the fit's own.
    with open("/proc/self/clear_refs", "w") as clear_refs:
        clear_refs.write("5")
    baseline_kib = read_status_kib("VmRSS")
    start = time.perf_counter()
    fit(method, X, y, tol)
    first_call = time.perf_counter() - start
    peak_kib = read_status_kib("VmHWM")

    # The measured fit above paid the first touch of every page of its
    # working memory; the timed repeats are the steady state.
    wall_times, loop_times = [], []
    for _ in range(job["repeats"]):
        start = time.perf_counter()
        result = fit(method, X, y, tol)
        wall_times.append(time.perf_counter() - start)
        if "loop_time" in result:
            loop_times.append(result["loop_time"])
    return {
        "wall_times": wall_times,
        "loop_times": loop_times,
        "iterations": result["iterations"],
        "coefficients": result["coefficients"].tolist(),
        "extra_memory_mib": (peak_kib - baseline_kib) / 1024,
        "first_call_seconds": first_call,
        "threads": threads,
    }


def measure_in_child(job: dict) -> dict:
    completed = subprocess.run(
        [sys.executable, __file__, "--child", json.dumps(job)], capture_output=True, text=True, check=False
    )
    for line in completed.stdout.splitlines():
        if line.startswith(RESULT_MARKER):
            return json.loads(line[len(RESULT_MARKER) :])
    raise RuntimeError(f"{job['method']} on {job['n']} x {job['p']} failed:\n{completed.stderr}")


# --- accuracy ----------------------------------------------------------------


def reference_coefficients(X: np.ndarray, y: np.ndarray, tol: float) -> np.ndarray:
    import _quorvi

    iterations = _quorvi.irls(X, y, tol, MAX_ITER)["iterations"]
    # tol = 0 runs exactly the given number of steps.
    return _quorvi.irls(X, y, 0.0, iterations + REFERENCE_EXTRA_STEPS)["coefficients"]


def max_error(coefficients, reference: np.ndarray) -> float:
    return float(np.max(np.abs(np.asarray(coefficients) - reference)))


def choose_tolerance(method: str, X: np.ndarray, y: np.ndarray, reference: np.ndarray, target: float) -> dict:
    """The loosest tolerance of the ladder at which the method's coefficients
    are within target of the reference; the tightest if none is."""
    tried = []
    X = prepare(method, X)
    for tol in TOLERANCE_LADDER:
        error = max_error(fit(method, X, y, tol)["coefficients"], reference)
        tried.append({"tol": tol, "error": error})
        if error <= target:
            return {"tol": tol, "reached": True, "tried": tried}
    return {"tol": TOLERANCE_LADDER[-1], "reached": False, "tried": tried}


# --- the run -----------------------------------------------------------------


def run_roofline(executable: str, n: int, p: int, repeats: int, seed: int, threads: int | None) -> dict:
    environment = dict(os.environ)
    if threads:
        # The program is linked to OpenBLAS alone, which reads this at start.
        environment["OPENBLAS_NUM_THREADS"] = str(threads)
    completed = subprocess.run(
        [executable, str(n), str(p), str(repeats), str(seed)],
        capture_output=True,
        text=True,
        check=True,
        env=environment,
    )
    return json.loads(completed.stdout)


def environment_report() -> dict:
    import glum
    import sklearn
    import statsmodels
    from threadpoolctl import threadpool_info

    # Every method's module loaded, so that threadpoolctl sees every BLAS in
    # the process: the scipy-openblas32 library under _quorvi and the ones bundled with
    # the NumPy and SciPy wheels that the peers use.
    importlib.import_module("_quorvi")
    check_arma = subprocess.run(
        [sys.executable, "-c", "import _quorvi; _quorvi.check_arma()"],
        capture_output=True,
        text=True,
        check=True,
    ).stdout
    return {
        "date": datetime.datetime.now(datetime.UTC).isoformat(timespec="seconds"),
        "machine": platform.machine(),
        "cpu": cpu_model(),
        "cpu_count": os.cpu_count(),
        "load_average_at_start": os.getloadavg(),
        "python": platform.python_version(),
        "versions": {
            "numpy": np.__version__,
            "statsmodels": statsmodels.__version__,
            "scikit-learn": sklearn.__version__,
            "glum": glum.__version__,
        },
        "openblas_environment": {
            key: value for key, value in os.environ.items() if key.startswith("OPENBLAS")
        },
        "threadpools": threadpool_info(),
        "check_arma": check_arma,
    }


def cpu_model() -> str:
    with open("/proc/cpuinfo") as cpuinfo:
        for line in cpuinfo:
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    return platform.processor()


def benchmark_shape(n: int, p: int, args: argparse.Namespace) -> dict:
    print(f"# {n:,} x {p:,}: reference and tolerances", file=sys.stderr, flush=True)
    X, y = make_data(n, p, args.seed)
    reference = reference_coefficients(X, y, args.tol)
    quorvi_error = max_error(fit("quorvi C-order", X, y, args.tol)["coefficients"], reference)
    target = max(quorvi_error, ACCURACY_FLOOR)
    tolerances = {
        method: {"tol": args.tol, "reached": quorvi_error <= target, "tried": []} for method in METHODS
    }
    for peer in PEERS:
        tolerances[peer] = choose_tolerance(peer, X, y, reference, target)
    del X, y
    gc.collect()

    methods = {}
    roofline = None
    for method in METHODS:
        if method in PEERS and roofline is None:
            # Right after _quorvi's own runs, so that the ratio of the two
            # compares measurements taken under the same load.
            roofline = run_roofline(args.roofline, n, p, args.roofline_repeats, args.seed, args.blas_threads)
        print(f"#   {method} at tol {tolerances[method]['tol']:g}", file=sys.stderr, flush=True)
        job = {
            "n": n,
            "p": p,
            "seed": args.seed,
            "method": method,
            "tol": tolerances[method]["tol"],
            "blas_threads": args.blas_threads,
        }
        measured = measure_in_child({**job, "repeats": args.repeats})
        wall = statistics.median(measured["wall_times"])
        methods[method] = {
            "tol": tolerances[method]["tol"],
            "target_reached": tolerances[method]["reached"],
            "tolerances_tried": tolerances[method]["tried"],
            "iterations": measured["iterations"],
            "median_wall_seconds": wall,
            "wall_seconds": measured["wall_times"],
            "median_loop_seconds": statistics.median(measured["loop_times"])
            if measured["loop_times"]
            else None,
            "max_abs_error": max_error(measured["coefficients"], reference),
            "extra_memory_mib": measured["extra_memory_mib"],
            "first_call_seconds": measured["first_call_seconds"],
            "threads": measured["threads"],
        }
    quorvi_wall = methods["quorvi C-order"]["median_wall_seconds"]
    for result in methods.values():
        result["ratio_to_quorvi"] = result["median_wall_seconds"] / quorvi_wall

    iterations = methods["quorvi C-order"]["iterations"]
    roofline["iterations"] = iterations
    roofline["total_seconds"] = roofline["per_iteration"] * iterations
    roofline["floor_total_seconds"] = roofline["floor_per_iteration"] * iterations
    for method in QUORVI_METHODS:
        # Per iteration, so that a method that stops one update earlier or
        # later is still compared with the same yardstick.
        result = methods[method]
        loop_per_iteration = result["median_loop_seconds"] / max(result["iterations"], 1)
        wall_per_iteration = result["median_wall_seconds"] / max(result["iterations"], 1)
        result["loop_to_roofline"] = loop_per_iteration / roofline["per_iteration"]
        result["call_to_roofline"] = wall_per_iteration / roofline["per_iteration"]
        result["loop_to_floor"] = loop_per_iteration / roofline["floor_per_iteration"]
    x_mib = n * p * 8 / 2**20
    for result in methods.values():
        result["extra_memory_to_x"] = result["extra_memory_mib"] / x_mib
        result["first_call_to_median"] = result["first_call_seconds"] / result["median_wall_seconds"]
    return {
        "n": n,
        "p": p,
        "target_error": target,
        "quorvi_error": quorvi_error,
        "methods": methods,
        "roofline": roofline,
    }


# --- output ------------------------------------------------------------------


def markdown_report(report: dict) -> str:
    env = report["environment"]
    ladder = ", ".join(f"{tol:g}" for tol in report["tolerance_ladder"])
    lines = [
        f"# Benchmark ({report['mode']} run, {env['date']})",
        "",
        f"{env['cpu']}, {env['cpu_count']} CPUs, load average at start "
        f"{', '.join(f'{load:.2f}' for load in env['load_average_at_start'])}; "
        f"Python {env['python']}; "
        + ", ".join(f"{name} {version}" for name, version in env["versions"].items())
        + f"; OPENBLAS_* environment: {env['openblas_environment'] or 'none'}.",
        "",
        f"Median of {report['repeats']} repeats, each method in a fresh process. `_quorvi` runs at "
        f"tol {report['tol']:g}; each peer at the loosest tolerance of ({ladder}) whose coefficients "
        "are as close to the reference as `_quorvi`'s (target column; `!` marks a peer that never got there). "
        "Time is the whole call; for `_quorvi` the loop's own time is given too. "
        "Ratio is time / `_quorvi` C-order time. Memory is the peak resident size during the fit minus "
        "the resident size just before it.",
        "",
        "| shape | method | tol | iterations | time (s) | loop (s) | s / iteration | ratio | max abs error | target "
        "| extra memory (MiB) | memory / X |",
        "|---|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|",
    ]
    for shape in report["shapes"]:
        for method, result in shape["methods"].items():
            loop = result["median_loop_seconds"]
            lines.append(
                f"| {shape['n']:,} x {shape['p']:,} | {method} | {result['tol']:g}{'' if result['target_reached'] else ' !'} "
                f"| {result['iterations']} | {result['median_wall_seconds']:.4g} | {'' if loop is None else f'{loop:.4g}'} "
                f"| {result['median_wall_seconds'] / max(result['iterations'], 1):.3g} | {result['ratio_to_quorvi']:.2f} "
                f"| {result['max_abs_error']:.1e} | {shape['target_error']:.0e} | {result['extra_memory_mib']:.1f} "
                f"| {result['extra_memory_to_x']:.3f} |"
            )
    lines += [
        "",
        "The engine against its yardsticks, per iteration: the roofline is the BLAS and LAPACK calls of one "
        "iteration done the straightforward way (X·beta, the column-scaled copy XW, Xt·XW with an explicit "
        "transpose, Xt·(w∘z), the p × p solve); the floor is one read of X (X·beta) and one symmetric "
        "rank-k update over all of X. Both on the OpenBLAS `_quorvi` links, with its default threads. "
        "First call: the memory-measured fit, the first full-size fit in its process, over the median.",
        "",
        "| shape | roofline (s / it) | floor (s / it) | C loop / roofline | F loop / roofline "
        "| 2 workers loop / roofline | C loop / floor | 2 workers loop / floor | C call / roofline "
        "| C first call / median |",
        "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|",
    ]
    for shape in report["shapes"]:
        roofline, methods = shape["roofline"], shape["methods"]
        c_order, f_order, workers = (
            methods["quorvi C-order"],
            methods["quorvi F-order"],
            methods["engine 2 workers"],
        )
        lines.append(
            f"| {shape['n']:,} x {shape['p']:,} | {roofline['per_iteration']:.3g} "
            f"| {roofline['floor_per_iteration']:.3g} | {c_order['loop_to_roofline']:.2f} "
            f"| {f_order['loop_to_roofline']:.2f} | {workers['loop_to_roofline']:.2f} "
            f"| {c_order['loop_to_floor']:.2f} | {workers['loop_to_floor']:.2f} "
            f"| {c_order['call_to_roofline']:.2f} | {c_order['first_call_to_median']:.2f} |"
        )
    lines += [
        "",
        "The estimator (`quorvi.LogisticRegression`, implicit intercept, inference included) against "
        "scikit-learn's newton-cholesky with its intercept, both on the predictors without the ones column:",
        "",
        "| shape | estimator (s) | estimator, 1 thread (s) | scikit-learn intercept (s) | speed-up over scikit-learn "
        "| 1 → default threads | estimator memory / X |",
        "|---|---:|---:|---:|---:|---:|---:|",
    ]
    for shape in report["shapes"]:
        methods = shape["methods"]
        estimator, single, peer = (
            methods["quorvi estimator"],
            methods["quorvi estimator 1 thread"],
            methods["scikit-learn intercept"],
        )
        lines.append(
            f"| {shape['n']:,} x {shape['p']:,} | {estimator['median_wall_seconds']:.4g} "
            f"| {single['median_wall_seconds']:.4g} | {peer['median_wall_seconds']:.4g} "
            f"| {peer['median_wall_seconds'] / estimator['median_wall_seconds']:.2f} "
            f"| {single['median_wall_seconds'] / estimator['median_wall_seconds']:.2f} "
            f"| {estimator['extra_memory_to_x']:.3f} |"
        )
    limit = report.get("blas_threads")
    lines += [
        "",
        f"BLAS libraries (threadpoolctl) with their default threads; the fits ran with "
        f"{f'every pool limited to {limit}' if limit else 'these defaults'} (per method in the JSON):",
        "",
    ]
    for pool in env["threadpools"]:
        lines.append(
            f"- {pool.get('internal_api')} {pool.get('version')} ({pool.get('architecture', '?')}), "
            f"{pool.get('num_threads')} threads: `{pool.get('filepath')}`"
        )
    roofline = report["shapes"][0]["roofline"]
    lines += [
        f"- roofline program: {roofline['openblas_config']}, {roofline['openblas_threads']} threads",
        "",
        "`_quorvi.check_arma()`:",
        "",
        "```",
        env["check_arma"].rstrip("\n"),
        "```",
        "",
    ]
    return "\n".join(lines)


def plot(report: dict, path: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    shapes = report["shapes"]
    labels = [f"{shape['n']:,}\n× {shape['p']:,}" for shape in shapes]
    positions = np.arange(len(shapes))
    width = 0.8 / len(METHODS)
    figure, (time_axes, ratio_axes, memory_axes) = plt.subplots(3, 1, figsize=(10, 12), sharex=True)
    for index, method in enumerate(METHODS):
        offsets = positions + (index - (len(METHODS) - 1) / 2) * width
        results = [shape["methods"][method] for shape in shapes]
        time_axes.bar(offsets, [r["median_wall_seconds"] for r in results], width, label=method)
        ratio_axes.bar(offsets, [r["ratio_to_quorvi"] for r in results], width, label=method)
        memory_axes.bar(offsets, [max(r["extra_memory_mib"], 0.01) for r in results], width, label=method)
    time_axes.hlines(
        [shape["roofline"]["total_seconds"] for shape in shapes],
        positions - 0.45,
        positions + 0.45,
        color="black",
        linewidth=2,
        zorder=3,
        label="roofline: straightforward BLAS work × _quorvi's iterations",
    )
    time_axes.hlines(
        [shape["roofline"]["floor_total_seconds"] for shape in shapes],
        positions - 0.45,
        positions + 0.45,
        color="grey",
        linestyle="--",
        linewidth=2,
        zorder=3,
        label="floor: one read of X and one rank-k update × iterations",
    )
    time_axes.set(yscale="log", ylabel="median time per fit (s)", title="Time per fit, whole call")
    ratio_axes.axhline(1.0, color="black", linewidth=0.8)
    ratio_axes.set(yscale="log", ylabel="time / _quorvi C-order", title="Relative to _quorvi (C-ordered X)")
    memory_axes.set(yscale="log", ylabel="peak extra memory (MiB)", title="Peak memory beyond the data")
    memory_axes.set_xticks(positions, labels)
    memory_axes.set_xlabel("shape (n × p)")
    handles, legend_labels = time_axes.get_legend_handles_labels()
    figure.legend(
        handles, legend_labels, loc="upper center", bbox_to_anchor=(0.5, 0.97), ncols=3, fontsize="small"
    )
    for axes in (time_axes, ratio_axes, memory_axes):
        axes.grid(axis="y", which="both", alpha=0.3)
    figure.suptitle(
        f"Logistic regression, equal accuracy ({report['mode']} run, median of {report['repeats']})",
        fontsize=13,
    )
    # Room at the top for the title and the shared legend.
    figure.tight_layout(rect=(0, 0, 1, 0.945))
    figure.savefig(path, dpi=110)
    plt.close(figure)


def parse_arguments() -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="small shapes only, 3 repeats")
    parser.add_argument(
        "--shapes", help="comma-separated NxP shapes instead of the mode's own, e.g. 10000x10,5000x50"
    )
    parser.add_argument("--repeats", type=int, help="timed fits per method (default 5, 3 with --quick)")
    parser.add_argument("--roofline-repeats", type=int, default=11, help="timed iterations of the roofline")
    parser.add_argument(
        "--tol", type=float, default=1e-8, help="_quorvi's tolerance, which sets the target accuracy"
    )
    parser.add_argument("--seed", type=int, default=20240601)
    parser.add_argument(
        "--blas-threads",
        type=int,
        help="limit every BLAS and OpenMP pool to this many threads (threadpoolctl; the roofline by "
        "OPENBLAS_NUM_THREADS); by default each library keeps its own default",
    )
    parser.add_argument(
        "--roofline", default="build/bench/bench/roofline", help="the roofline program (make bench-roofline)"
    )
    parser.add_argument(
        "--output-dir",
        type=Path,
        default=Path(__file__).resolve().parent / "results",
        help="where results go",
    )
    parser.add_argument(
        "--from-json", type=Path, help="only write the table and the plot again from an earlier run's JSON"
    )
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.repeats is None:
        args.repeats = 3 if args.quick else 5
    return args


def main() -> None:
    args = parse_arguments()
    if args.child:
        result = run_child(json.loads(args.child))
        print(RESULT_MARKER + json.dumps(result), flush=True)
        return
    if args.from_json:
        report = json.loads(args.from_json.read_text())
        write_outputs(report, args.from_json.parent)
        return
    if args.shapes:
        shapes = [tuple(int(size) for size in shape.split("x")) for shape in args.shapes.split(",")]
    else:
        shapes = QUICK_SHAPES if args.quick else FULL_SHAPES
    mode = "quick" if args.quick else "full"

    report = {
        "mode": mode,
        "tol": args.tol,
        "repeats": args.repeats,
        "seed": args.seed,
        "blas_threads": args.blas_threads,
        "tolerance_ladder": TOLERANCE_LADDER,
        "accuracy_floor": ACCURACY_FLOOR,
        "environment": environment_report(),
        "shapes": [benchmark_shape(n, p, args) for n, p in shapes],
    }
    report["environment"]["load_average_at_end"] = os.getloadavg()

    args.output_dir.mkdir(parents=True, exist_ok=True)
    (args.output_dir / f"{mode}.json").write_text(json.dumps(report, indent=1) + "\n")
    write_outputs(report, args.output_dir)


def write_outputs(report: dict, directory: Path) -> None:
    table = markdown_report(report)
    print(table)
    (directory / f"{report['mode']}.md").write_text(table)
    plot(report, directory / f"{report['mode']}.png")
    print(f"wrote {directory}/{report['mode']}.md, .json and .png", file=sys.stderr)


if __name__ == "__main__":
    main()
