"""A/B: the same fits timed on two builds of quorvi, the runs alternating so
that a change in the machine's load moves both alike. Every shape that
`make bench` times (its quorvi methods), the categorical and sparse data
sets, the fixed effects and the absorbed columns' label types, each cell the
median of --repeats runs of one fit in a fresh process:

    .venv/bin/python bench/ab_benchmark.py --a build/ab/base --b installed [--repeats 3] [--only sparse,fe-]

A build is a folder that holds the packages `quorvi` and `_quorvi` (put
first on the path of each run), or `installed` for those of the running
interpreter. A build of an earlier revision, for a change of the Python
side alone, is its tree's python/ folder beside the current compiled
modules:

    git worktree add build/ab/tree REV
    cp .venv/lib/python3.11/site-packages/quorvi/*.so build/ab/tree/python/quorvi/
    # then --a build/ab/tree/python

and for a change of the engine its own build, installed into a folder:

    .venv/bin/python -m pip install --no-deps --no-build-isolation --target build/ab/base build/ab/tree

Keep every shape in the list: a regression hides in the shape nobody
reran (the sparse data set's 7-10 x went unseen by an A/B without it)."""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import time
from pathlib import Path

BENCH = Path(__file__).resolve().parent
MARKER = "AB-RESULT "

DENSE = [(10_000, 10), (100_000, 50), (1_000_000, 20), (200_000, 200), (20_000, 1_000)]
DENSE_METHODS = ["quorvi C-order", "quorvi F-order", "engine 2 workers", "quorvi estimator"]
LABELS = ["int32", "categorical", "string", "arrow", "polars"]


def cells() -> list[str]:
    """Every cell's name: the kind of data, then its shape and method."""
    names = [f"dense {n}x{p} {method}" for n, p in DENSE for method in DENSE_METHODS]
    names += ["categorical 1000000", "sparse 1000000x1000 csr", "sparse 1000000x1000 csc"]
    names += ["fe-one", "fe-one-cluster", "fe-two", "fe-one-small"]
    names += ["fe-panel", "fe-panel-cluster", "fe-panel-long", "fe-panel-long-cluster"]
    names += [f"fe-labels {label} {shape}" for label in LABELS for shape in ("one", "two")]
    return names


def _fit_dense(rest: str):
    import run_benchmark

    shape, method = rest.split(" ", 1)
    n, p = (int(size) for size in shape.split("x"))
    X, y = run_benchmark.make_data(n, p, 0)
    X = run_benchmark.prepare(method, X)
    return lambda: run_benchmark.fit(method, X, y, 1e-8)


def _fit_categorical(kind: str, rest: str):
    import categorical_benchmark
    import quorvi

    X, _, y = categorical_benchmark.make_data(kind, 1_000_000)
    if rest.endswith("csc"):
        X = X.tocsc()
    return lambda: quorvi.LogisticRegression(tol=1e-10).fit(X, y)


def _labelled(frame, columns: list[str], label: str):
    """The absorbed columns' integer labels as another type of label."""
    import numpy as np
    import pandas as pd

    if label == "polars":
        import polars as pl

        converted = pl.from_pandas(frame.drop(columns=columns))
        return converted.with_columns(
            [pl.Series(name, frame[name].astype(str).to_numpy()).cast(pl.Categorical) for name in columns]
        )
    frame = frame.copy()
    for name in columns:
        codes = frame[name].to_numpy()
        if label == "int32":
            frame[name] = codes.astype(np.int32)
        elif label == "categorical":
            frame[name] = pd.Categorical(codes)
        elif label == "string":
            frame[name] = np.char.add("L", codes.astype(str)).astype(object)
        elif label == "arrow":
            import pyarrow as pa

            dictionary = pa.array(codes).dictionary_encode()
            frame[name] = pd.Series(pd.arrays.ArrowExtensionArray(dictionary))
    return frame


def _fit_absorbed(name: str, rest: str):
    import fixed_effects_benchmark as fe
    import quorvi

    if name == "fe-labels":
        label, key = rest.split(" ")
    else:
        label, key = None, name.removeprefix("fe-")
    shape = next(shape for shape in fe.shapes(False, False) if shape.key == key)
    frame, y = fe.make_data(shape.rows, shape.levels, shape.level_columns)
    clusters = {"clusters": frame[shape.absorbed[0]].to_numpy()} if shape.cov_type == "cluster" else {}
    if label is not None:
        frame = _labelled(frame, shape.absorbed, label)
    model = quorvi.LogisticRegression(absorb=shape.absorbed, cov_type=shape.cov_type)
    return lambda: model.fit(frame, y, **clusters)


def run_cell(cell: str) -> None:
    """One fit of the cell, timed, in this (fresh) process."""
    import warnings

    sys.path.insert(0, str(BENCH))
    # Imported before the clock starts: an import is not a fit.
    import _quorvi  # noqa: F401
    import quorvi  # noqa: F401

    kind, _, rest = cell.partition(" ")
    if kind == "dense":
        fit = _fit_dense(rest)
    elif kind in ("categorical", "sparse"):
        fit = _fit_categorical(kind, rest)
    else:
        fit = _fit_absorbed(kind, rest)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        # One fit in a fresh process, as a user's first: the same for both
        # builds, so the ratio compares them (cold caches included).
        start = time.perf_counter()
        fit()
        seconds = time.perf_counter() - start
    print(MARKER + json.dumps({"seconds": seconds}), flush=True)


def timed_run(build: str, cell: str) -> float:
    environment = dict(os.environ)
    if build != "installed":
        environment["PYTHONPATH"] = os.pathsep.join(
            [str(Path(build).resolve()), environment.get("PYTHONPATH", "")]
        ).rstrip(os.pathsep)
    completed = subprocess.run(
        [sys.executable, __file__, "--cell", cell],
        env=environment,
        capture_output=True,
        text=True,
        check=False,
    )
    for line in completed.stdout.splitlines():
        if line.startswith(MARKER):
            return float(json.loads(line[len(MARKER) :])["seconds"])
    raise RuntimeError(f"{cell} on {build} failed:\n{completed.stderr[-2000:]}")


def main() -> None:
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--a", default="installed", help="the build before (a folder, or 'installed')")
    parser.add_argument("--b", default="installed", help="the build after")
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--only", help="comma-separated prefixes of the cells to run")
    parser.add_argument("--cell", help=argparse.SUPPRESS)
    parser.add_argument("--out", type=Path, help="where to write the table as Markdown")
    arguments = parser.parse_args()
    if arguments.cell:
        run_cell(arguments.cell)
        return
    chosen = cells()
    if arguments.only:
        prefixes = arguments.only.split(",")
        chosen = [cell for cell in chosen if any(cell.startswith(prefix) for prefix in prefixes)]
    lines = [
        f"A: {arguments.a}; B: {arguments.b}; median of {arguments.repeats} alternating runs (seconds)",
        "",
        "| cell | A | B | B / A |",
        "|---|---:|---:|---:|",
    ]
    print("\n".join(lines), flush=True)
    for cell in chosen:
        times: dict[str, list[float]] = {"a": [], "b": []}
        for _ in range(arguments.repeats):
            for side in ("a", "b"):
                times[side].append(timed_run(getattr(arguments, side), cell))
        before, after = statistics.median(times["a"]), statistics.median(times["b"])
        line = f"| {cell} | {before:.3f} | {after:.3f} | {after / before:.2f} |"
        lines.append(line)
        print(line, flush=True)
    if arguments.out:
        arguments.out.write_text("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
