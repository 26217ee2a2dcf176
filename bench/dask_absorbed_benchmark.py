"""Benchmark the Dask fit with two absorbed columns against the in-memory
fit of the same data: 1,000,000 rows, 5 numeric features, firm (100,000
levels) and year (20 levels) absorbed, clustered by firm (or --cov-type), int32 labels.
The Dask DataFrame is held in memory in 4 and in 8 partitions and fitted on
Dask's synchronous and threaded schedulers (this machine's cores). Reported:
the best of the repeats of each, the ratio to the in-memory fit, and the
largest difference of the coefficients and standard errors from it.

    python bench/dask_absorbed_benchmark.py          # the sizes above; results in bench/results/dask_absorbed.*
    python bench/dask_absorbed_benchmark.py --quick  # small sizes: a check that it all runs
    python bench/dask_absorbed_benchmark.py --cov-type nonrobust  # the same without clusters
"""

from __future__ import annotations

import argparse
import datetime
import json
import os
import platform
import time
import warnings
from pathlib import Path

import dask
import dask.dataframe as dd
import numpy as np
import pandas as pd
from scipy.special import expit

from quorvi import LogisticRegression
from run_benchmark import cpu_model

RESULTS = Path(__file__).resolve().parent / "results"


def make_panel(n: int, n_firms: int, n_years: int, p: int, seed: int) -> tuple[pd.DataFrame, np.ndarray]:
    rng = np.random.default_rng(seed)
    firm = rng.integers(0, n_firms, n).astype(np.int32)
    year = rng.integers(0, n_years, n).astype(np.int32)
    X = rng.standard_normal((n, p))
    effects = rng.normal(0.0, 0.5, n_firms)[firm] + 0.05 * year
    y = (rng.random(n) < expit(X @ np.linspace(0.5, -0.5, p) + effects)).astype(np.int8)
    frame = pd.DataFrame(X, columns=[f"x{i}" for i in range(p)]).assign(firm=firm, year=year)
    return frame, y


def best_of(repeats: int, fit) -> tuple[float, LogisticRegression]:
    times, model = [], None
    for _ in range(repeats):
        start = time.perf_counter()
        model = fit()
        times.append(time.perf_counter() - start)
    return min(times), model


def run(n: int, n_firms: int, n_years: int, p: int, repeats: int, cov_type: str) -> dict:
    frame, y = make_panel(n, n_firms, n_years, p, seed=7)
    clusters = {"clusters": "firm"} if cov_type == "cluster" else {}

    def estimator() -> LogisticRegression:
        return LogisticRegression(absorb=["firm", "year"], cov_type=cov_type)

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        memory_time, reference = best_of(repeats, lambda: estimator().fit(frame, y, **clusters))
        rows = [{"back end": "in memory", "partitions": "", "scheduler": "", "seconds": memory_time}]
        for partitions in (4, 8):
            X = dd.from_pandas(frame, npartitions=partitions).persist()
            labels = dd.from_pandas(pd.Series(y), npartitions=partitions).persist()
            for scheduler in ("synchronous", "threads"):
                with dask.config.set(scheduler=scheduler):
                    seconds, model = best_of(
                        repeats, lambda X=X, labels=labels: estimator().fit(X, labels, **clusters)
                    )
                rows.append(
                    {
                        "back end": "Dask",
                        "partitions": partitions,
                        "scheduler": scheduler,
                        "seconds": seconds,
                        "ratio": seconds / memory_time,
                        "coef rel. diff": float(np.max(np.abs(model.coef_ / reference.coef_ - 1))),
                        "se rel. diff": float(
                            np.max(
                                np.abs(
                                    np.sqrt(np.diag(model.covariance_) / np.diag(reference.covariance_)) - 1
                                )
                            )
                        ),
                        "iterations": int(model.n_iter_[0]),
                    }
                )
    return {
        "shape": {"rows": n, "numeric": p, "firms": n_firms, "years": n_years, "cov_type": cov_type},
        "in-memory iterations": int(reference.n_iter_[0]),
        "rows": rows,
    }


def markdown(report: dict) -> str:
    shape = report["shape"]
    lines = [
        f"# Dask fit with two absorbed columns ({report['date']})",
        "",
        f"{shape['rows']:,} rows, {shape['numeric']} numeric, firm ({shape['firms']:,} levels) and year "
        f"({shape['years']} levels) absorbed (clusters: firm), cov_type={shape['cov_type']!r}; {report['machine']}, {report['cores']} cores; "
        "best of the repeats.",
        "",
        "| back end | partitions | scheduler | seconds | × in memory | coef rel. diff | SE rel. diff |",
        "|---|---|---|---|---|---|---|",
    ]
    for row in report["rows"]:
        if row["back end"] == "in memory":
            lines.append(f"| in memory | | | {row['seconds']:.3f} | 1 | | |")
        else:
            lines.append(
                f"| Dask | {row['partitions']} | {row['scheduler']} | {row['seconds']:.3f} | {row['ratio']:.2f} | "
                f"{row['coef rel. diff']:.1e} | {row['se rel. diff']:.1e} |"
            )
    return "\n".join(lines) + "\n"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--repeats", type=int, default=2)
    parser.add_argument("--cov-type", default="cluster", choices=["cluster", "nonrobust", "HC1"])
    arguments = parser.parse_args()
    sizes = (20_000, 2_000, 20, 5) if arguments.quick else (1_000_000, 100_000, 20, 5)
    report = run(*sizes, repeats=arguments.repeats, cov_type=arguments.cov_type)
    report.update(
        date=datetime.date.today().isoformat(),
        machine=cpu_model() or platform.processor(),
        cores=os.cpu_count(),
    )
    text = markdown(report)
    print(text)
    if not arguments.quick:
        RESULTS.mkdir(exist_ok=True)
        stem = "dask_absorbed" if arguments.cov_type == "cluster" else f"dask_absorbed_{arguments.cov_type}"
        (RESULTS / f"{stem}.json").write_text(json.dumps(report, indent=2) + "\n")
        (RESULTS / f"{stem}.md").write_text(text)


if __name__ == "__main__":
    main()
