"""Benchmark the fit of categorical and sparse designs against glum and
scikit-learn's newton-cholesky.

Two data sets, seeded:
- "categorical": 1,000,000 rows, 10 numeric columns and two categoricals of
  1,000 and 50 levels, with an intercept (1,059 coefficients). quorvi and
  glum take the pandas DataFrame (glum through its categorical matrices,
  drop_first=True); scikit-learn takes the numeric columns beside a sparse
  one-hot CSR of the categoricals (first level dropped), built in its run and
  counted in its memory.
- "sparse": a random CSR of 1,000,000 x 1,000 at 1 % density, with an
  intercept. Every method takes the same CSR.

Each method runs in a fresh child process that makes the data, returns the
heap's free pages to the system (malloc_trim: making the data frees large
temporaries, and a fit that reused their pages would show less memory than
it takes), resets the process's peak memory (/proc/self/clear_refs), fits,
and reports the fit's seconds and its peak extra memory (the peak resident
size above the size before the fit). Accuracy: every method's coefficients
against quorvi's.

    python bench/categorical_benchmark.py            # results in bench/results/categorical.*
    python bench/categorical_benchmark.py --rows 100000   # a quicker run
    python bench/categorical_benchmark.py --from-json bench/results/categorical.json   # table and plot again
"""

from __future__ import annotations

import argparse
import ctypes
import json
import os
import platform
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

RESULTS = Path(__file__).resolve().parent / "results"
METHODS = ["quorvi", "glum", "sklearn-newton-cholesky"]
DATASETS = ["categorical", "sparse"]


def make_data(name: str, rows: int):
    """(X for quorvi and glum, X for scikit-learn or None for the same, y)."""
    import pandas as pd
    from scipy import sparse

    rng = np.random.default_rng(17)
    if name == "categorical":
        numeric = rng.normal(size=(rows, 10))
        big = rng.integers(0, 1000, rows)
        small = rng.integers(0, 50, rows)
        eta = numeric @ rng.normal(scale=0.3, size=10) + rng.normal(scale=0.5, size=1000)[big]
        eta += rng.normal(scale=0.5, size=50)[small] - 0.2
        frame = pd.DataFrame(numeric, columns=[f"x{j}" for j in range(10)])
        frame["big"] = pd.Categorical.from_codes(big.astype(np.int16), [f"b{k}" for k in range(1000)])
        frame["small"] = pd.Categorical.from_codes(small.astype(np.int8), [f"s{k}" for k in range(50)])
        y = (rng.random(rows) < 1 / (1 + np.exp(-eta))).astype(np.float64)
        return frame, None, y
    X = sparse.random(rows, 1000, density=0.01, format="csr", random_state=rng, dtype=np.float64)
    eta = X @ rng.normal(scale=0.5, size=1000) - 0.3
    y = (rng.random(rows) < 1 / (1 + np.exp(-eta))).astype(np.float64)
    return X, None, y


def one_hot_csr(frame):
    """The numeric columns beside a one-hot CSR of the categoricals, first
    level dropped: what scikit-learn is given."""
    from scipy import sparse

    parts = [sparse.csr_matrix(frame[[f"x{j}" for j in range(10)]].to_numpy())]
    for name in ("big", "small"):
        codes = frame[name].cat.codes.to_numpy().astype(np.int64)
        levels = len(frame[name].cat.categories)
        kept = codes > 0
        rows = np.flatnonzero(kept)
        parts.append(
            sparse.csr_matrix((np.ones(len(rows)), (rows, codes[kept] - 1)), shape=(len(frame), levels - 1))
        )
    return sparse.hstack(parts, format="csr")


def rss_bytes(field: str) -> int:
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith(field + ":"):
            return int(line.split()[1]) * 1024
    raise RuntimeError(field)


def run_child(dataset: str, method: str, rows: int, out: Path) -> None:
    # Every library is imported before the clock starts: an import is not a fit.
    import glum  # noqa: F401
    import sklearn.linear_model  # noqa: F401

    import quorvi

    X, _, y = make_data(dataset, rows)
    ctypes.CDLL(None).malloc_trim(0)
    before = rss_bytes("VmRSS")
    Path("/proc/self/clear_refs").write_text("5")  # the peak is counted from here
    start = time.perf_counter()
    if method == "quorvi":
        import quorvi

        model = quorvi.LogisticRegression(tol=1e-10).fit(X, y)
        coef = np.concatenate([model.intercept_, model.coef_[0]])
        iterations = int(model.n_iter_[0])
    elif method == "glum":
        from glum import GeneralizedLinearRegressor

        model = GeneralizedLinearRegressor(
            family="binomial", alpha=0, drop_first=True, gradient_tol=1e-10, max_iter=100
        ).fit(X, y)
        coef = np.concatenate([[model.intercept_], model.coef_])
        iterations = int(model.n_iter_)
    else:
        from sklearn.linear_model import LogisticRegression

        design = one_hot_csr(X) if dataset == "categorical" else X
        model = LogisticRegression(C=np.inf, solver="newton-cholesky", tol=1e-10, max_iter=100).fit(design, y)
        coef = np.concatenate([model.intercept_, model.coef_[0]])
        iterations = int(model.n_iter_[0])
    seconds = time.perf_counter() - start
    peak = rss_bytes("VmHWM")
    np.save(out.with_suffix(".npy"), coef)
    out.write_text(
        json.dumps({"seconds": seconds, "extra_mib": (peak - before) / 2**20, "iterations": iterations})
    )


def main() -> None:
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--child", nargs=3, metavar=("DATASET", "METHOD", "OUT"))
    parser.add_argument(
        "--from-json", type=Path, help="only write the table and the plot again from a run's JSON"
    )
    args = parser.parse_args()
    if args.from_json:
        report = json.loads(args.from_json.read_text())
        write_outputs(report["meta"], report["results"])
        return
    if args.child:
        run_child(args.child[0], args.child[1], args.rows, Path(args.child[2]))
        return
    RESULTS.mkdir(exist_ok=True)
    results: dict[str, dict[str, dict[str, float]]] = {}
    for dataset in DATASETS:
        results[dataset] = {}
        coefficients = {}
        for method in METHODS:
            out = RESULTS / f".categorical-{dataset}-{method}.json"
            subprocess.run(
                [sys.executable, __file__, "--rows", str(args.rows), "--child", dataset, method, str(out)],
                check=True,
            )
            results[dataset][method] = json.loads(out.read_text())
            coefficients[method] = np.load(out.with_suffix(".npy"))
            out.unlink()
            out.with_suffix(".npy").unlink()
        for method in METHODS:
            results[dataset][method]["max_coef_diff_vs_quorvi"] = float(
                np.max(np.abs(coefficients[method] - coefficients["quorvi"]))
            )
        print(dataset, json.dumps(results[dataset], indent=1), flush=True)
    meta = {"rows": args.rows, "machine": platform.processor() or platform.machine(), "cpus": os.cpu_count()}
    (RESULTS / "categorical.json").write_text(json.dumps({"meta": meta, "results": results}, indent=1))
    write_outputs(meta, results)


def write_outputs(meta: dict, results: dict) -> None:
    lines = [
        f"Rows: {meta['rows']:,}; {meta['cpus']} CPUs; one run each.",
        "",
        "| data set | method | seconds | updates | extra memory (MiB) | max coef diff vs quorvi | quorvi faster by |",
        "|---|---|---:|---:|---:|---:|---:|",
    ]
    for dataset, by_method in results.items():
        ours = by_method["quorvi"]["seconds"]
        for method, row in by_method.items():
            lines.append(
                f"| {dataset} | {method} | {row['seconds']:.2f} | {row['iterations']} | {row['extra_mib']:.0f} | "
                f"{row['max_coef_diff_vs_quorvi']:.1e} | {row['seconds'] / ours:.1f} × |"
            )
    (RESULTS / "categorical.md").write_text("\n".join(lines) + "\n")
    print("\n".join(lines))
    plot(meta, results, RESULTS / "categorical.png")


def plot(meta: dict, results: dict, path: Path) -> None:
    """Seconds and peak extra memory per data set, a bar per method."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    datasets = list(results)
    positions = np.arange(len(datasets))
    width = 0.8 / len(METHODS)
    figure, (time_axes, memory_axes) = plt.subplots(1, 2, figsize=(10, 4.5))
    for index, method in enumerate(METHODS):
        offsets = positions + (index - (len(METHODS) - 1) / 2) * width
        rows = [results[dataset][method] for dataset in datasets]
        time_axes.bar(offsets, [row["seconds"] for row in rows], width, label=method)
        memory_axes.bar(offsets, [row["extra_mib"] for row in rows], width, label=method)
    labels = [
        "categorical\n10 numeric, 1,000 + 50 levels"
        if dataset == "categorical"
        else "sparse CSR\n1,000 columns, 1 %"
        for dataset in datasets
    ]
    time_axes.set(ylabel="seconds per fit", title="Time per fit")
    memory_axes.set(ylabel="peak extra memory (MiB)", title="Peak memory beyond the data")
    for axes in (time_axes, memory_axes):
        axes.set_xticks(positions, labels)
        axes.grid(axis="y", which="both", alpha=0.3)
    time_axes.legend(fontsize="small")
    figure.suptitle(f"Categorical and sparse designs, {meta['rows']:,} rows, one fit each", fontsize=12)
    figure.tight_layout()
    figure.savefig(path, dpi=110)
    plt.close(figure)


if __name__ == "__main__":
    main()
