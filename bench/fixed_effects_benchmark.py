"""Benchmark logistic regression with absorbed fixed effects against
pyfixest's feglm and glum.

Data, seeded (the same rows and level counts give the same data): n rows,
five standard normal columns x1..x5 with true slopes 0.5, -0.25, 0.1, 0 and
0.3, and one or two absorbed columns (fe, or fe1 and fe2) of integer labels,
each row's level drawn uniformly at random. Every level has an effect drawn
N(0, 0.5) (standard deviation 0.5); y is 1 with probability
logistic(x·slopes + the row's level effects), with no other intercept. At ten
rows per level about 2.5 % of the levels have y all 0 or all 1 (the levels
of a single row among them): their effects have no finite estimate, and the
slopes' estimate is that of the data without their rows. pyfixest drops
singleton levels, and its separation check the levels of all 0 only (the
check it shares with its Poisson fit); the effects of the other levels of
all 1 grow with each update while their rows' weights vanish. The second table of the results counts both
kinds per shape, and gives the rows pyfixest used.

Shapes (rows, levels of each absorbed column): 1,000,000 with 100,000 levels;
the same data with the covariance clustered by the absorbed column;
1,000,000 with 10,000 + 1,000; 1,000,000 with 10,000; and with --large,
10,000,000 with 1,000,000 (one repeat). --quick divides the rows and the
level counts by ten, so every level keeps its number of rows.

Label types: the shapes of 100,000 and of 10,000 + 1,000 levels again, quorvi
alone, with the absorbed columns' labels given as int32 codes, a pandas
Categorical (of the labels as text, as astype("category") makes it), strings
(pandas' str dtype), an Arrow dictionary (pandas ArrowDtype, four chunks each
encoded with its own dictionary) and a polars Categorical (the whole frame a
polars DataFrame). The text of level k is "f" and k zero-padded, so its
sorted order is the integers' order and every label type fits the same
model with the same codes: the table compares the label types' times
(--no-label-types leaves these rows out).

Methods, each in a fresh child process per shape:
- pyfixest: feglm("y ~ x1+x2+x3+x4+x5 | fe", data, family="logit") at its
  default tolerances (iwls_tol 1e-8, MapDemeaner's fixef_tol 1e-6 in
  0.60), vcov="iid", or {"CRV1": "fe"} for the cluster shape (its default
  with fixed effects is CRV1 by the first one). quorvi's speed is claimed
  against this run: it is what a user of pyfixest gets.
- pyfixest-1e-10: the same with iwls_tol=1e-10 and
  MapDemeaner(fixef_tol=1e-10), the reference the slopes are compared with;
  about 20 % slower than at the defaults (the table shows both), while its
  slopes at the defaults already agree with it to about 1e-14.
- glum: GeneralizedLinearRegressor(family="binomial", alpha=0,
  drop_first=True, gradient_tol=1e-10), the absorbed columns as pandas
  categoricals (converted inside the timed call) and estimated as ordinary
  coefficients. Its Hessian is dense, (p + 1 + levels)² doubles, and its
  time grows fast with the levels: shapes beyond 5,000 parameters are
  skipped (--glum-max-parameters), and so are the cluster shape and shapes
  with levels of y all 0 or all 1 (glum does not detect them, and iterates
  to its limit while their effects diverge). At full size that leaves glum
  out of every shape; --quick runs it on the two of 1,000 levels.
- quorvi: LogisticRegression(absorb=[...], cov_type=...) on the numeric and
  absorbed columns, clusters=the absorbed column for the cluster shape, at
  its default tolerance. Skipped, with a message, where the installed quorvi
  has no absorb parameter.

In its child each method first fits a small problem of the same kind, which
loads what its libraries import lazily and compiles what they compile just
in time. Then the data are made, the heap's free pages returned to the
system (malloc_trim, so that no fit reuses the pages the data's making
freed), the peak resident size reset to the current one
(/proc/self/clear_refs), and the first fit's peak memory is its VmHWM above
VmRSS before it: the native memory of the fit beyond its inputs, which
tracemalloc would not see. Time: the best of --repeats fits (3; one for
--large), the memory-measured one among them, each timed around the whole
call; fits stop repeating once those so far took 30 s. Accuracy: the largest absolute difference of each method's five slopes
from pyfixest's at 1e-10 (at its defaults where that was not run).

    python bench/fixed_effects_benchmark.py            # results in bench/results/fixed_effects.*
    python bench/fixed_effects_benchmark.py --quick    # 100,000 rows: a check that it runs
    python bench/fixed_effects_benchmark.py --large    # adds 10,000,000 rows with 1,000,000 levels
    python bench/fixed_effects_benchmark.py --from-json bench/results/fixed_effects.json   # the table again
"""

from __future__ import annotations

import argparse
import ctypes
import inspect
import itertools
import json
import os
import platform
import subprocess
import sys
import time
import warnings
from dataclasses import asdict, dataclass
from pathlib import Path

import numpy as np

RESULTS = Path(__file__).resolve().parent / "results"
METHODS = ["pyfixest", "pyfixest-1e-10", "glum", "quorvi"]
# The absorbed columns' label types of the label-type rows (the other shapes
# have int64 labels), and how the table names them.
LABEL_TYPES = {
    "int32": "int32 codes",
    "categorical": "pandas Categorical",
    "string": "strings (pandas str)",
    "arrow": "Arrow dictionary, 4 chunks",
    "polars": "polars Categorical",
}
ARROW_CHUNKS = 4
SLOPES = np.array([0.5, -0.25, 0.1, 0.0, 0.3])
NUMERIC = [f"x{j}" for j in range(1, len(SLOPES) + 1)]
LEVEL_EFFECT_SCALE = 0.5
SEED = 23
# pyfixest's IRLS stops on the relative change of the deviance and its
# demeaning on its own tolerance. "pyfixest" runs at its defaults (the
# speed a user sees, which the ratios claim); "pyfixest-1e-10" at these
# tighter ones, so that its slopes are a reference to compare with (on these
# data they agree with a run at 1e-14 to about 1e-15 at either setting).
PYFIXEST_IWLS_TOL = 1e-10
PYFIXEST_FIXEF_TOL = 1e-10
GLUM_GRADIENT_TOL = 1e-10
# glum forms and factorises the (p + 1 + levels)² Hessian densely. Its time
# grows faster than the levels: 100,000 rows with 3,000 levels took 17 s
# here, and a fit of 1,000,000 rows with 10,000 levels had not finished
# after 7 CPU minutes. Beyond 5,000 parameters (a Hessian of 200 MB) it is
# not run, unless --glum-max-parameters says otherwise.
GLUM_MAX_PARAMETERS = 5_000
# Fits are repeated only while the ones so far took less than this: a
# minute-long fit varies less than the load of a shared machine does.
LONG_FIT_SECONDS = 30.0
# The memory bound of the targets: 0.05 of X's bytes, 16 (p + 2) bytes per
# level, and 16 MiB.
BOUND_X_SHARE, BOUND_BYTES_PER_LEVEL_COLUMN, BOUND_FIXED = 0.05, 16, 16 * 2**20


@dataclass(frozen=True)
class Shape:
    key: str
    rows: int
    levels: tuple[int, ...]
    cov_type: str = "nonrobust"
    large: bool = False
    labels: str = "int64"
    # The panel shapes: the last column of levels a categorical feature
    # (C(year)) rather than absorbed, and the slopes' bias correction.
    categorical_last: bool = False
    bias_correction: bool = False

    @property
    def level_columns(self) -> list[str]:
        return ["fe"] if len(self.levels) == 1 else [f"fe{k}" for k in range(1, len(self.levels) + 1)]

    @property
    def absorbed(self) -> list[str]:
        return self.level_columns[:-1] if self.categorical_last else self.level_columns

    def label(self) -> str:
        levels = " + ".join(f"{count:,}" for count in self.levels)
        if self.categorical_last:
            levels = f"{self.levels[0]:,} absorbed + C() of {self.levels[-1]:,}"
        cluster = ", cluster" if self.cov_type == "cluster" else ""
        labels = "" if self.labels == "int64" else f", {LABEL_TYPES[self.labels]}"
        corrected = ", bias-corrected" if self.bias_correction else ""
        return f"{self.rows:,} rows, {levels} levels{cluster}{labels}{corrected}"


def shapes(quick: bool, large: bool, label_types: bool = True) -> list[Shape]:
    scale = 10 if quick else 1
    listed = [
        Shape("one", 1_000_000 // scale, (100_000 // scale,)),
        Shape("one-cluster", 1_000_000 // scale, (100_000 // scale,), "cluster"),
        Shape("two", 1_000_000 // scale, (10_000 // scale, 1_000 // scale)),
        Shape("one-small", 1_000_000 // scale, (10_000 // scale,)),
    ]
    # The panel model: firm and year absorbed, clustered by firm, with its
    # nonrobust fit, year as C(year) instead, and the bias correction.
    panel, long_panel = (100_000 // scale, 20), (10_000 // scale, 100)
    listed += [
        Shape("panel", 1_000_000 // scale, panel),
        Shape("panel-cluster", 1_000_000 // scale, panel, "cluster"),
        Shape("panel-long", 1_000_000 // scale, long_panel),
        Shape("panel-long-cluster", 1_000_000 // scale, long_panel, "cluster"),
        Shape("panel-cyear", 1_000_000 // scale, panel, "cluster", categorical_last=True),
        Shape("panel-bias", 1_000_000 // scale, panel, bias_correction=True),
    ]
    if large:
        listed.append(Shape("large", 10_000_000 // scale, (1_000_000 // scale,), large=True))
    if label_types:
        for labels in LABEL_TYPES:
            listed.append(Shape(f"one-{labels}", 1_000_000 // scale, (100_000 // scale,), labels=labels))
            listed.append(
                Shape(f"two-{labels}", 1_000_000 // scale, (10_000 // scale, 1_000 // scale), labels=labels)
            )
    return listed


def with_labels(frame, absorbed: list[str], labels: str):
    """frame with its absorbed columns' integer labels given as labels (one
    of LABEL_TYPES; int64 leaves them): the same levels in the same sorted
    order."""
    import pandas as pd

    if labels == "int64":
        return frame
    if labels == "int32":
        return frame.assign(**{name: frame[name].to_numpy().astype(np.int32) for name in absorbed})
    texts = {}
    for name in absorbed:
        code = frame[name].to_numpy()
        width = len(str(int(code.max())))
        names = np.array([f"f{k:0{width}d}" for k in range(int(code.max()) + 1)], dtype=object)
        texts[name] = (names, code)
    if labels == "polars":
        import polars as pl

        return pl.from_pandas(frame.drop(columns=absorbed)).with_columns(
            pl.Series(name, names.tolist(), dtype=pl.String).gather(code).cast(pl.Categorical).alias(name)
            for name, (names, code) in texts.items()
        )
    columns = {}
    for name, (names, code) in texts.items():
        text = pd.Series(names[code], index=frame.index, dtype="str")
        if labels == "categorical":
            columns[name] = text.astype("category")
        elif labels == "string":
            columns[name] = text
        else:
            import pyarrow as pa

            bounds = np.linspace(0, len(code), ARROW_CHUNKS + 1).astype(int)
            chunks = [
                pa.array(names[code[start:stop]].tolist(), pa.string()).dictionary_encode()
                for start, stop in itertools.pairwise(bounds)
            ]
            columns[name] = pd.Series(
                pd.arrays.ArrowExtensionArray(pa.chunked_array(chunks)), index=frame.index
            )
    return frame.assign(**columns)


def frame_bytes(frame) -> int:
    if hasattr(frame, "estimated_size"):  # polars
        return int(frame.estimated_size())
    return int(frame.memory_usage(deep=True).sum())


def make_data(rows: int, levels: tuple[int, ...], absorbed: list[str], labels: str = "int64"):
    """(frame of x1..x5 and the absorbed columns' labels, y as 0/1 float64),
    as the module docstring describes."""
    import pandas as pd

    rng = np.random.default_rng(SEED)
    X = rng.standard_normal((rows, len(SLOPES)))
    eta = X @ SLOPES
    codes = []
    for count in levels:
        code = rng.integers(0, count, rows)
        eta += rng.normal(0.0, LEVEL_EFFECT_SCALE, count)[code]
        codes.append(code)
    y = (rng.random(rows) < 1.0 / (1.0 + np.exp(-eta))).astype(np.float64)
    frame = pd.DataFrame(X, columns=NUMERIC)
    for name, code in zip(absorbed, codes, strict=True):
        frame[name] = code
    return with_labels(frame, absorbed, labels), y


def separated_levels(frame, y, absorbed: list[str]) -> dict[str, dict[str, int]]:
    """Per absorbed column: the levels with rows, those whose y is all 0 and
    all 1 (singletons among them), and the rows in each."""
    counts = {}
    for name in absorbed:
        code = frame[name].to_numpy()
        rows = np.bincount(code)
        ones = np.bincount(code, weights=y)
        present = rows > 0
        all_zero = present & (ones == 0)
        all_one = present & (ones == rows)
        counts[name] = {
            "levels_with_rows": int(present.sum()),
            "singleton_levels": int((rows == 1).sum()),
            "all_zero_levels": int(all_zero.sum()),
            "rows_in_all_zero_levels": int(rows[all_zero].sum()),
            "all_one_levels": int(all_one.sum()),
            "rows_in_all_one_levels": int(rows[all_one].sum()),
        }
    return counts


def quorvi_absorbs() -> bool:
    import quorvi

    return "absorb" in inspect.signature(quorvi.LogisticRegression).parameters


def glum_parameters(shape: Shape) -> int:
    return len(SLOPES) + 1 + sum(count - 1 for count in shape.levels)


def skip_reason(
    shape: Shape, method: str, separation: dict[str, dict[str, int]], glum_max_parameters: int
) -> str | None:
    if method == "glum":
        separated = sum(
            counts["all_zero_levels"] + counts["all_one_levels"] for counts in separation.values()
        )
        if separated:
            # Without a separation check, the effects of those levels run off
            # towards infinity and glum iterates to its limit on a dense
            # Hessian: minutes that measure nothing.
            return f"glum: {separated:,} levels with y all 0 or all 1, which it does not detect"
        if shape.cov_type == "cluster":
            return "glum is not run with the clustered covariance"
        if glum_parameters(shape) > glum_max_parameters:
            return (
                f"glum: {glum_parameters(shape):,} parameters, a dense Hessian of "
                f"{8 * glum_parameters(shape) ** 2 / 2**20:,.0f} MiB (run up to {glum_max_parameters:,})"
            )
    if method != "quorvi" and shape.bias_correction:
        return f"{method}: no bias correction"
    if method == "glum" and shape.categorical_last:
        return "glum: the panel rows time quorvi and pyfixest"
    if method != "quorvi" and shape.labels != "int64":
        return f"{method}: the label-type rows time quorvi alone"
    if method == "quorvi" and not quorvi_absorbs():
        return (
            "quorvi: the installed LogisticRegression has no absorb parameter yet (fixed effects not built)"
        )
    if method.startswith("pyfixest"):
        try:
            import pyfixest  # noqa: F401
        except ImportError:
            return f"{method}: pyfixest not installed (pip install -r requirements/bench.txt)"
    return None


def fitter(method: str, shape: Shape, frame, y):
    """A function of no arguments that fits method on (frame, y) and returns
    (the five slopes, the iteration count or None, rows used or None)."""
    formula_data = None
    if method.startswith("pyfixest"):
        import pyfixest as pf
        from pyfixest.demeaners import MapDemeaner

        # pyfixest reads y from the frame: a copy with it is made before
        # anything is measured.
        formula_data = frame.assign(y=y)
        categorical = [f"C({shape.level_columns[-1]})"] if shape.categorical_last else []
        formula = f"y ~ {'+'.join(NUMERIC + categorical)} | {'+'.join(shape.absorbed)}"
        vcov = {"CRV1": shape.absorbed[0]} if shape.cov_type == "cluster" else "iid"
        # At its defaults nothing is passed, so that they are the installed
        # version's own.
        tolerances = (
            {"iwls_tol": PYFIXEST_IWLS_TOL, "demeaner": MapDemeaner(fixef_tol=PYFIXEST_FIXEF_TOL)}
            if method == "pyfixest-1e-10"
            else {}
        )

        def fit():
            model = pf.feglm(formula, formula_data, family="logit", vcov=vcov, **tolerances)
            model.se()
            return model.coef()[NUMERIC].to_numpy(), None, int(model._N)

    elif method == "glum":
        import pandas as pd
        from glum import GeneralizedLinearRegressor

        def fit():
            design = frame.assign(**{name: pd.Categorical(frame[name]) for name in shape.absorbed})
            model = GeneralizedLinearRegressor(
                family="binomial", alpha=0, drop_first=True, gradient_tol=GLUM_GRADIENT_TOL, max_iter=100
            ).fit(design, y)
            names = list(model.feature_names_)
            return model.coef_[[names.index(name) for name in NUMERIC]], int(model.n_iter_), None

    else:
        import pandas as pd

        import quorvi

        clusters = {"clusters": frame[shape.absorbed[0]]} if shape.cov_type == "cluster" else {}
        if shape.categorical_last:
            last = shape.level_columns[-1]
            frame = frame.assign(**{last: pd.Categorical(frame[last])})
        corrected = {"bias_correction": "analytical"} if shape.bias_correction else {}

        def fit():
            model = quorvi.LogisticRegression(absorb=shape.absorbed, cov_type=shape.cov_type, **corrected)
            model.fit(frame, y, **clusters)
            iterations = getattr(model, "n_iter_", None)
            # The numeric columns come first (then C(year)'s levels, if any).
            slopes = np.ravel(model.coef_)[: len(NUMERIC)]
            return slopes, None if iterations is None else int(np.ravel(iterations)[0]), None

    return fit


def rss_bytes(field: str) -> int:
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith(field + ":"):
            return int(line.split()[1]) * 1024
    raise RuntimeError(field)


def run_child(shape: Shape, method: str, repeats: int, out: Path) -> None:
    caught: list[str] = []

    def note(message, category, *rest, **kwargs):
        text = f"{category.__name__}: {message}"
        if text not in caught:
            caught.append(text)

    warnings.showwarning = note
    warnings.simplefilter("always")
    # A small fit of the same kind first: an import or a just-in-time
    # compilation is not a fit.
    warm_levels = tuple(min(count, 50) for count in shape.levels)
    warm_frame, warm_y = make_data(5_000, warm_levels, shape.level_columns, shape.labels)
    fitter(method, shape, warm_frame, warm_y)()
    del warm_frame, warm_y

    frame, y = make_data(shape.rows, shape.levels, shape.level_columns, shape.labels)
    fit = fitter(method, shape, frame, y)
    ctypes.CDLL(None).malloc_trim(0)
    before = rss_bytes("VmRSS")
    Path("/proc/self/clear_refs").write_text("5")  # the peak is counted from here
    seconds: list[float] = []
    while len(seconds) < repeats and sum(seconds) < LONG_FIT_SECONDS:
        start = time.perf_counter()
        slopes, iterations, rows_used = fit()
        seconds.append(time.perf_counter() - start)
        if len(seconds) == 1:
            extra = rss_bytes("VmHWM") - before
    out.write_text(
        json.dumps(
            {
                "seconds": min(seconds),
                "all_seconds": seconds,
                "extra_mib": extra / 2**20,
                "slopes": [float(value) for value in slopes],
                "iterations": iterations,
                "rows_used": rows_used,
                "x_bytes": frame_bytes(frame),
                "warnings": caught[:10],
            }
        )
    )


def pyfixest_defaults() -> dict[str, float | str]:
    """The installed pyfixest's default tolerances, read from its signatures."""
    try:
        import pyfixest as pf
        from pyfixest.demeaners import MapDemeaner
    except ImportError:
        return {"iwls_tol": "not installed", "fixef_tol": "not installed"}
    found: dict[str, float | str] = {}
    for name, function in (("iwls_tol", pf.feglm), ("fixef_tol", MapDemeaner)):
        try:
            found[name] = inspect.signature(function).parameters[name].default
        except (KeyError, TypeError, ValueError):
            found[name] = "unknown"
    return found


def versions() -> dict[str, str]:
    found = {}
    for name in ("quorvi", "pyfixest", "glum", "numpy", "pandas"):
        try:
            found[name] = __import__(name).__version__
        except (ImportError, AttributeError):
            found[name] = "not installed"
    return found


def main() -> None:
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--quick", action="store_true", help="a tenth of the rows and levels")
    parser.add_argument("--large", action="store_true", help="add 10,000,000 rows with 1,000,000 levels")
    parser.add_argument(
        "--repeats", type=int, default=3, help="fits timed per method, at least 1 (best reported)"
    )
    parser.add_argument("--methods", nargs="+", choices=METHODS, default=METHODS)
    parser.add_argument(
        "--no-label-types", action="store_true", help="leave out the rows that compare label types"
    )
    parser.add_argument("--shapes", nargs="+", metavar="KEY", help="run only the shapes of these keys")
    parser.add_argument(
        "--name",
        help="the results' file name in bench/results (default fixed_effects, or fixed_effects-quick)",
    )
    parser.add_argument(
        "--glum-max-parameters",
        type=int,
        default=GLUM_MAX_PARAMETERS,
        help=f"run glum only up to this many coefficients (default {GLUM_MAX_PARAMETERS:,})",
    )
    parser.add_argument("--child", nargs=3, metavar=("SHAPE", "METHOD", "OUT"), help=argparse.SUPPRESS)
    parser.add_argument("--from-json", type=Path, help="only write the table again from a run's JSON")
    args = parser.parse_args()
    name = args.name or ("fixed_effects-quick" if args.quick else "fixed_effects")
    if args.from_json:
        report = json.loads(args.from_json.read_text())
        write_outputs(report, args.from_json.with_suffix(".md"))
        return
    by_key = {shape.key: shape for shape in shapes(args.quick, large=True)}
    if args.child:
        shape = by_key[args.child[0]]
        run_child(shape, args.child[1], 1 if shape.large else args.repeats, Path(args.child[2]))
        return

    RESULTS.mkdir(exist_ok=True)
    report = {
        "meta": {
            "quick": args.quick,
            "repeats": args.repeats,
            "machine": platform.processor() or platform.machine(),
            "cpus": os.cpu_count(),
            "load_average_start": os.getloadavg(),
            "versions": versions(),
            "pyfixest_tolerances": {"iwls_tol": PYFIXEST_IWLS_TOL, "fixef_tol": PYFIXEST_FIXEF_TOL},
            "pyfixest_default_tolerances": pyfixest_defaults(),
            "glum_gradient_tol": GLUM_GRADIENT_TOL,
        },
        "shapes": [],
    }
    for shape in shapes(args.quick, args.large, not args.no_label_types):
        if args.shapes and shape.key not in args.shapes:
            continue
        frame, y = make_data(shape.rows, shape.levels, shape.level_columns)
        entry = {
            **asdict(shape),
            "label": shape.label(),
            "separation": separated_levels(frame, y, shape.absorbed),
            "results": {},
            "skipped": {},
        }
        del frame, y
        for method in args.methods:
            reason = skip_reason(shape, method, entry["separation"], args.glum_max_parameters)
            if reason is not None:
                entry["skipped"][method] = reason
                print(f"{shape.label()}: skipped {reason}", flush=True)
                continue
            out = RESULTS / f".{name}-{shape.key}-{method}.json"
            command = [sys.executable, __file__, "--repeats", str(args.repeats)]
            command += ["--quick"] * args.quick + ["--child", shape.key, method, str(out)]
            subprocess.run(command, check=True)
            entry["results"][method] = json.loads(out.read_text())
            out.unlink()
            print(f"{shape.label()}: {method} {json.dumps(entry['results'][method])}", flush=True)
        report["shapes"].append(entry)
    report["meta"]["load_average_end"] = os.getloadavg()
    path = RESULTS / f"{name}.json"
    path.write_text(json.dumps(report, indent=1))
    write_outputs(report, path.with_suffix(".md"))


def memory_bound_mib(shape: dict, x_bytes: int) -> float:
    levels = sum(shape["levels"])
    bound = BOUND_X_SHARE * x_bytes + BOUND_BYTES_PER_LEVEL_COLUMN * levels * (len(SLOPES) + 2) + BOUND_FIXED
    return bound / 2**20


def targets(shape: dict, by_key: dict[str, dict], full_size: bool) -> list[tuple[str, bool | None]]:
    """The issue's targets for quorvi on this shape: (text, met), met None
    where quorvi or the value it is held to was not measured."""
    results = shape["results"]
    ours = results.get("quorvi")
    # The claim is against pyfixest at its defaults.
    peer = results.get("pyfixest")

    def faster_than_pyfixest(factor: float) -> tuple[str, bool | None]:
        met = None if ours is None or peer is None else peer["seconds"] / ours["seconds"] >= factor
        return f"≥ {factor:g} × faster than pyfixest at its defaults", met

    def within(seconds: float) -> tuple[str, bool | None]:
        met = None if ours is None or not full_size else ours["seconds"] <= seconds
        return f"≤ {seconds:g} s" + ("" if full_size else " (full size only)"), met

    memory: tuple[str, bool | None] = ("extra memory ≤ bound", None)
    if ours is not None:
        bound = memory_bound_mib(shape, ours["x_bytes"])
        memory = (
            f"extra memory ≤ bound ({ours['extra_mib']:.0f} of {bound:.0f} MiB)",
            ours["extra_mib"] <= bound,
        )
    if shape["key"] == "one":
        return [faster_than_pyfixest(10), within(0.5), memory]
    if shape["key"] == "two":
        return [faster_than_pyfixest(5), memory]
    if shape["key"] == "large":
        return [within(5), memory]

    def within_times(key: str, factor: float, what: str) -> tuple[str, bool | None]:
        other = by_key.get(key, {}).get("results", {}).get("quorvi")
        if ours is None or other is None:
            return (f"≤ {factor:g} × {what}", None)
        ratio = ours["seconds"] / other["seconds"]
        return (f"≤ {factor:g} × {what} ({ratio:.2f} ×)", ratio <= factor)

    if shape["key"] == "one-cluster":
        return [within_times("one", 1.15, "the nonrobust fit"), memory]
    if shape["key"] in ("panel-cluster", "panel-long-cluster"):
        plain = shape["key"].removesuffix("-cluster")
        return [faster_than_pyfixest(10), within_times(plain, 1.2, "the nonrobust fit"), memory]
    if shape["key"] == "panel-cyear":
        return [within_times("panel-cluster", 1.5, "the two-absorbed fit"), memory]
    if shape["key"] == "panel-bias":
        return [within_times("panel", 1.3, "the uncorrected fit"), memory]
    return [memory]


def ratio(peer: dict | None, ours: dict | None) -> str:
    return "—" if ours is None or peer is None else f"{peer['seconds'] / ours['seconds']:.1f} ×"


def cell(result: dict | None, field: str, fmt: str) -> str:
    return "—" if result is None else format(result[field], fmt)


def upgraded(report: dict) -> dict:
    """A report of the benchmark before it ran pyfixest at its defaults:
    its "pyfixest" run was at the tolerances of pyfixest_tolerances."""
    if "pyfixest_default_tolerances" in report["meta"]:
        return report
    for shape in report["shapes"]:
        for table in (shape["results"], shape["skipped"]):
            if "pyfixest" in table:
                table["pyfixest-1e-10"] = table.pop("pyfixest")
    report["meta"]["pyfixest_default_tolerances"] = {"iwls_tol": "not run", "fixef_tol": "not run"}
    return report


def tolerance_text(value: float | str) -> str:
    return format(value, "g") if isinstance(value, float) else str(value)


def label_type_lines(shapes_run: list[dict]) -> list[str]:
    """The label-type rows as one table: each label type's time at both
    shapes beside int32 codes', and its target."""
    by_key = {shape["key"]: shape for shape in shapes_run}
    levels = {
        shape_name: " + ".join(f"{count:,}" for count in by_key[f"{shape_name}-int32"]["levels"])
        if f"{shape_name}-int32" in by_key
        else shape_name
        for shape_name in ("one", "two")
    }
    rows = next(iter(by_key.values()))["rows"]
    lines = [
        f"Label types at {rows:,} rows (quorvi alone; the same model and codes, the absorbed columns' labels "
        "given as each type):",
        "",
        f"| labels | {levels['one']} levels (s) | × int32 codes | MiB | {levels['two']} levels (s) | × int32 codes "
        "| MiB | max abs slope diff vs int32 codes | target |",
        "|---|---:|---:|---:|---:|---:|---:|---:|---|",
    ]
    for labels, name in LABEL_TYPES.items():
        cells, diffs, ratios = [], [], []
        for shape_name in ("one", "two"):
            ours = by_key.get(f"{shape_name}-{labels}", {}).get("results", {}).get("quorvi")
            codes = by_key.get(f"{shape_name}-int32", {}).get("results", {}).get("quorvi")
            ratio = None if ours is None or codes is None else ours["seconds"] / codes["seconds"]
            ratios.append(ratio)
            cells += [cell(ours, "seconds", ".2f"), "—" if ratio is None else f"{ratio:.2f} ×"]
            cells.append(cell(ours, "extra_mib", ".0f"))
            if ours is not None and codes is not None:
                diffs.append(float(np.max(np.abs(np.array(ours["slopes"]) - codes["slopes"]))))
        if labels == "string":
            target = "one factorisation of the strings (no target)"
        elif labels == "int32":
            target = "the reference"
        elif any(ratio is None for ratio in ratios):
            target = "≤ 1.2 × int32 codes: not measured"
        else:
            met = "met" if all(ratio <= 1.2 for ratio in ratios) else "**not met**"
            target = f"≤ 1.2 × int32 codes: {met}"
        diff = f"{max(diffs):.1e}" if diffs else "—"
        lines.append(f"| {name} | {' | '.join(cells)} | {diff} | {target} |")
    return lines


def write_outputs(report: dict, path: Path) -> None:
    report = upgraded(report)
    meta = report["meta"]
    label_rows = [shape for shape in report["shapes"] if shape.get("labels", "int64") != "int64"]
    report = {**report, "shapes": [shape for shape in report["shapes"] if shape not in label_rows]}
    by_key = {shape["key"]: shape for shape in report["shapes"]}
    marks = {True: "met", False: "**not met**", None: "not measured"}
    versions_text = ", ".join(f"{name} {version}" for name, version in meta["versions"].items())
    lines = [
        f"{meta['cpus']} CPUs ({meta['machine']}), load average {meta['load_average_start'][0]:.1f} at the "
        f"start and {meta['load_average_end'][0]:.1f} at the end; {versions_text}. Time: best of "
        f"{meta['repeats']} fits (one at 10,000,000 rows, or once they took 30 s); memory: peak resident size above the size "
        "before the first fit. pyfixest at its defaults (iwls_tol = "
        f"{tolerance_text(meta['pyfixest_default_tolerances']['iwls_tol'])}, fixef_tol = "
        f"{tolerance_text(meta['pyfixest_default_tolerances']['fixef_tol'])}), the speed the ratio "
        "and the targets claim, and at iwls_tol = "
        f"{meta['pyfixest_tolerances']['iwls_tol']:g}, fixef_tol = {meta['pyfixest_tolerances']['fixef_tol']:g}, "
        "the reference of the slopes.",
        "",
        "| shape | pyfixest (s) | pyfixest (MiB) | pyfixest 1e-10 (s) | glum (s) | glum (MiB) | quorvi (s) "
        "| quorvi (MiB) | pyfixest / quorvi | pyfixest 1e-10 / quorvi "
        "| max abs slope diff vs pyfixest 1e-10 (quorvi, pyfixest, glum) | targets (quorvi) |",
        "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---|---|",
    ]
    for shape in report["shapes"]:
        results = shape["results"]
        peer, tight, glum, ours = (results.get(method) for method in METHODS)

        reference = tight if tight is not None else peer
        diffs = []
        for method in ("quorvi", "pyfixest", "glum"):
            result = results.get(method)
            diffs.append(
                "—"
                if result is None or reference is None or result is reference
                else f"{np.max(np.abs(np.array(result['slopes']) - reference['slopes'])):.1e}"
            )
        goals = "; ".join(f"{text}: {marks[met]}" for text, met in targets(shape, by_key, not meta["quick"]))
        lines.append(
            f"| {shape['label']} | {cell(peer, 'seconds', '.2f')} | {cell(peer, 'extra_mib', '.0f')} "
            f"| {cell(tight, 'seconds', '.2f')} "
            f"| {cell(glum, 'seconds', '.2f')} | {cell(glum, 'extra_mib', '.0f')} "
            f"| {cell(ours, 'seconds', '.2f')} | {cell(ours, 'extra_mib', '.0f')} | {ratio(peer, ours)} | {ratio(tight, ours)} "
            f"| {', '.join(diffs)} | {goals} |"
        )
    lines += [
        "",
        "The memory bound is 0.05 · X + 16 · L · (p + 2) bytes + 16 MiB, with X the bytes of the frame "
        "given to the fit (numeric and absorbed columns), L the levels of all absorbed columns and p = 5.",
        "",
        "| shape | memory bound (MiB) | levels with y all 0 and all 1 (rows in them), per absorbed column "
        "| rows pyfixest used |",
        "|---|---:|---|---:|",
    ]
    for shape in report["shapes"]:
        x_bytes = next((result["x_bytes"] for result in shape["results"].values()), None)
        bound = "—" if x_bytes is None else f"{memory_bound_mib(shape, x_bytes):.0f}"
        separated = ", ".join(
            f"{name}: {counts['all_zero_levels']:,} ({counts['rows_in_all_zero_levels']:,}) and "
            f"{counts['all_one_levels']:,} ({counts['rows_in_all_one_levels']:,}) of {counts['levels_with_rows']:,}"
            for name, counts in shape["separation"].items()
        )
        used = next(
            (
                shape["results"][method]["rows_used"]
                for method in ("pyfixest", "pyfixest-1e-10")
                if method in shape["results"]
            ),
            None,
        )
        lines.append(f"| {shape['label']} | {bound} | {separated} | {'—' if used is None else f'{used:,}'} |")
    skipped = [
        f"- {shape['label']}: {reason}" for shape in report["shapes"] for reason in shape["skipped"].values()
    ]
    if skipped:
        lines += ["", "Not run:", "", *skipped]
    if label_rows:
        lines += ["", *label_type_lines(label_rows)]
    path.write_text("\n".join(lines) + "\n")
    print("\n".join(lines))


if __name__ == "__main__":
    main()
