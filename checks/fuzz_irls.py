"""Fuzzer for _quorvi.irls and the estimator's native entry quorvi._native.fit
(and its designs of several column kinds, fuzz_design_blocks.py):
random shapes, dtypes, memory layouts, values, tolerances and iteration
limits (and for fit: sample weights, intercept, worker threads, progress
callbacks), each call checked for a well-formed result or one of the
documented exceptions, with the inputs left untouched.

The cases run in child processes, a batch per child, so that a crash is seen
as a crash and names its case. Every case is made from (seed, case number)
alone, so any one of them can be run again by itself:

    python checks/fuzz_irls.py [--seed S] [--cases N] [--seconds T]
    python checks/fuzz_irls.py --seed S --case I     # one case, in this process
"""

import argparse
import collections
import concurrent.futures
import math
import os
import re
import subprocess
import sys
import tempfile
import threading
import time
import warnings

import numpy as np

KEYS = ["coefficients", "iterations", "time", "converged"]
TYPE_ERROR_START = "irls(): incompatible function arguments."
NOT_SOLVABLE = "solve(): solution not found"


class Unconvertible:
    """Marks an argument that the call must refuse with TypeError."""


class Case:
    def __init__(self):
        self.description = []
        self.args = ()
        self.kwargs = {}
        self.refused = False  # some argument cannot be converted, or the arity is wrong
        self.X = None  # what the module sees: float64 arrays, when convertible
        self.y = None
        self.tol = None
        self.max_iter = None
        self.native = None  # the arguments of quorvi._native.fit, and what they should give

    def note(self, text):
        self.description.append(text)


class Subclass(np.ndarray):
    """An ndarray subclass, which the module must view as a plain array."""


def _values(rng, n, p, case):
    kind = rng.choice(
        [
            "normal",
            "normal",
            "integers",
            "huge",
            "tiny",
            "inf",
            "nan",
            "zero column",
            "duplicated column",
            "separable",
            "constant",
        ]
    )
    case.note(f"values {kind}")
    X = rng.standard_normal((n, p))
    if kind == "integers":
        X = rng.integers(-3, 4, (n, p)).astype(np.float64)
    elif kind == "huge":
        X *= 10.0 ** rng.integers(100, 308)
    elif kind == "tiny":
        X *= 10.0 ** -rng.integers(100, 320)
    elif kind in ("inf", "nan") and X.size:
        X.flat[rng.integers(X.size)] = np.nan if kind == "nan" else rng.choice([np.inf, -np.inf])
    elif kind == "zero column" and p:
        X[:, rng.integers(p)] = 0.0
    elif kind == "duplicated column" and p >= 2:
        X[:, rng.integers(p)] = X[:, rng.integers(p)]
    elif kind == "separable" and p:
        X[:, 0] = np.sign(X[:, 0]) * 5
    elif kind == "constant":
        X[:] = 1.0
    return X


def _response(rng, n, X, case):
    kind = rng.choice(["binary", "binary", "binary", "outside 0/1", "nan", "inf", "constant"])
    case.note(f"y {kind}")
    if kind == "outside 0/1":
        y = rng.standard_normal(n) * 10.0 ** rng.integers(0, 6)
    else:
        y = (rng.random(n) < 0.5).astype(np.float64)
        if kind in ("nan", "inf") and n:
            y[rng.integers(n)] = np.nan if kind == "nan" else np.inf
        if kind == "constant":
            y[:] = rng.choice([0.0, 1.0])
    return y


def _present(rng, values, case, name):
    """Returns the object handed to irls for a float64 array of values, in
    some dtype and memory layout, and the float64 array the module must see."""
    dtype = rng.choice(
        [
            "float64",
            "float64",
            "float64",
            "float32",
            "int64",
            "int32",
            "uint8",
            "bool",
            "byte-swapped",
            "object",
            "list",
            "subclass",
        ]
    )
    layout = rng.choice(["C", "C", "F", "reversed", "strided", "zero strides", "read-only", "misaligned"])
    finite = np.isfinite(values).all()
    if dtype in ("int64", "int32", "uint8", "bool") and not finite:
        dtype = "float64"  # a cast of NaN or inf to an integer is undefined
    if dtype == "float32":
        with np.errstate(over="ignore"):
            array = values.astype(np.float32)
    elif dtype in ("int64", "int32"):
        array = np.clip(np.round(values), -1e6, 1e6).astype(dtype)
    elif dtype == "uint8":
        array = np.clip(np.abs(np.round(values)), 0, 255).astype(np.uint8)
    elif dtype == "bool":
        array = values > 0
    elif dtype == "byte-swapped":
        array = values.astype(values.dtype.newbyteorder())
    elif dtype == "object":
        array = values.astype(object)
    else:
        array = values.copy()
    array = np.asarray(array)  # operations on a 0-d array give a NumPy scalar
    if layout == "F":
        array = np.asfortranarray(array)
    elif layout == "reversed" and array.ndim:
        array = array[tuple(slice(None, None, -1) for _ in range(array.ndim))]
    elif layout == "strided" and array.ndim:
        # The same values, every other element of a larger array.
        big = np.zeros(tuple(2 * s for s in array.shape), dtype=array.dtype)
        big[tuple(slice(None, None, 2) for _ in range(array.ndim))] = array
        array = big[tuple(slice(None, None, 2) for _ in range(array.ndim))]
    elif layout == "zero strides" and array.ndim and array.size:
        # A row, a column or an element repeated by broadcasting: stride 0,
        # read-only.
        if array.ndim == 2 and rng.random() < 0.5:
            array = np.broadcast_to(array[:, :1], array.shape)
        else:
            array = np.broadcast_to(array[:1], array.shape)
    elif layout == "read-only":
        array = array.copy()
        array.flags.writeable = False
    elif layout == "misaligned" and array.dtype != object and array.dtype.itemsize > 1:
        # One byte into a buffer: no element is at an address its size divides.
        buffer = bytearray(array.nbytes + 1)
        view = np.frombuffer(buffer, dtype=array.dtype, offset=1, count=array.size).reshape(array.shape)
        view[...] = array
        array = view
    else:
        layout = "C"
    if dtype == "list":
        case.note(f"{name} nested list")
        return array.tolist(), np.array(array.tolist(), dtype=np.float64)
    if dtype == "subclass":
        array = array.view(Subclass)
    case.note(f"{name} {array.dtype} {layout} shape {array.shape} strides {array.strides}")
    return array, np.asarray(array, dtype=np.float64)


def _refused_argument(rng, case):
    # None is not among them: NumPy turns it into NaN.
    kind = rng.choice(["string", "ragged list", "object array with a string", "dict"])
    case.note(f"unconvertible array argument: {kind}")
    return {
        "string": "not an array",
        "ragged list": [[1.0, 2.0], [3.0]],
        "object array with a string": np.array([["x", 1.0], [2.0, 3.0]], dtype=object),
        "dict": {"a": 1},
    }[kind]


def make_case(seed, index):
    rng = np.random.default_rng([seed, index])
    case = Case()
    shape = rng.choice(
        ["small", "small", "small", "1x1", "no rows", "no columns", "empty", "tall", "wide", "not 2-D"]
    )
    n, p = {
        "small": (int(rng.integers(1, 40)), int(rng.integers(1, 7))),
        "1x1": (1, 1),
        "no rows": (0, int(rng.integers(1, 5))),
        "no columns": (int(rng.integers(1, 20)), 0),
        "empty": (0, 0),
        "tall": (int(rng.integers(200, 2000)), int(rng.integers(1, 6))),
        "wide": (int(rng.integers(1, 8)), int(rng.integers(8, 80))),
        "not 2-D": (int(rng.integers(1, 10)), int(rng.integers(1, 4))),
    }[shape]
    if rng.random() < 0.02:
        # Now and then a size at which OpenBLAS splits its products over threads.
        shape, n, p = "large", int(rng.integers(2000, 6000)), int(rng.integers(20, 60))
    case.note(f"shape {shape} n={n} p={p}")
    values = _values(rng, n, p, case)
    y_values = _response(rng, n, values, case)
    if shape == "not 2-D":
        values = [values[:, 0], values[:, :, None], np.array(values[0, 0])][int(rng.integers(3))]
    if rng.random() < 0.1:
        y_values = [y_values[:, None], np.array(y_values[:1].sum()), np.tile(y_values, (2, 1))][
            int(rng.integers(3))
        ]
    if rng.random() < 0.08 and y_values.ndim:
        y_values = y_values[: max(len(y_values) - 1, 0)] if rng.random() < 0.5 else np.append(y_values, 1.0)

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        X, case.X = _present(rng, values, case, "X")
        y, case.y = _present(rng, y_values, case, "y")

    # 0 is a Python int, which the module takes as 0.0.
    tol = [1e-8, 1e-8, 1e-4, 0.0, -1.0, math.nan, math.inf, 1e-300, 0][int(rng.integers(9))]
    small = case.X.size <= 40
    limits = (
        [-(2**31), -5, -1, 0, 1, 2, 3, 10, 25]
        + ([100] if shape != "large" else [])
        + ([1000] if small else [])
    )
    max_iter = int(rng.choice(limits))
    if p == 0 and shape == "no columns" and rng.random() < 0.3:
        max_iter = 2**31 - 1  # converges at the first update: no columns, no change
    case.tol, case.max_iter = tol, max_iter
    case.note(f"tol {tol!r} max_iter {max_iter}")
    args = [X, y, tol, max_iter]

    if rng.random() < 0.08:
        position = int(rng.integers(4))
        case.refused = True
        if position < 2:
            args[position] = _refused_argument(rng, case)
        elif position == 2:
            args[2] = ["1e-8", None, 1e-8 + 1j][int(rng.integers(3))]
            case.note(f"tol refused: {args[2]!r}")
        else:
            args[3] = [25.0, 2**31, -(2**31) - 1, "25", np.float64(25.0)][int(rng.integers(5))]
            case.note(f"max_iter refused: {args[3]!r}")
    if rng.random() < 0.03:
        case.refused = True
        form = rng.choice(["three arguments", "five arguments", "keywords"])
        case.note(form)
        if form == "three arguments":
            args = args[:3]
        elif form == "five arguments":
            args = [*args, 0]
        else:
            case.kwargs = dict(zip(["X", "y", "tol", "max_iter"], args, strict=True))
            args = []
    case.args = tuple(args)
    case.native = make_native_arguments(np.random.default_rng([seed, index, 1]), X, y, tol, max_iter, case)
    return case


class ProgressAbort(Exception):
    """Raised by a progress callback; fit must let it through unchanged."""


class Progress:
    """A progress callback that records its calls and may raise at a given one."""

    def __init__(self, abort_at=None):
        self.calls = []
        self.abort_at = abort_at
        self.abort = ProgressAbort(abort_at)

    def __call__(self, *values):
        self.calls.append(values)
        if len(self.calls) == self.abort_at:
            raise self.abort


def _conforming_matrix(X):
    return (
        isinstance(X, np.ndarray)
        and X.dtype == np.float64
        and X.ndim == 2
        and (X.flags.c_contiguous or X.flags.f_contiguous)
    )


def _conforming_vector(v, n):
    return (
        isinstance(v, np.ndarray)
        and v.dtype == np.float64
        and v.ndim == 1
        and v.flags.c_contiguous
        and len(v) == n
    )


def make_native_arguments(rng, X, y, tol, max_iter, case):
    """The arguments of quorvi._native.fit for the case's X and y as they are
    (its contract: float64, contiguous, X at any alignment; anything else
    is a ValueError), with sample weights, intercept, workers and a callback, and
    whether the contract expects a ValueError (or allows one)."""
    n = X.shape[0] if isinstance(X, np.ndarray) and X.ndim == 2 else 0
    kind = rng.choice(
        ["none", "none", "random", "integers", "with zeros", "all zero", "wrong length", "float32"]
    )
    weights = {
        "none": None,
        "random": rng.random(n),
        "integers": rng.integers(0, 4, n).astype(np.float64),
        "with zeros": np.where(rng.random(n) < 0.5, 0.0, rng.random(n) * 3),
        "all zero": np.zeros(n),
        "wrong length": np.ones(n + 1),
        "float32": np.ones(n, dtype=np.float32),
    }[kind]
    # The largest limits are for designs without columns, which converge at
    # the first update; with an intercept there is a column to fit, which
    # under tol 0 or NaN would run through them all.
    fit_intercept = bool(rng.random() < 0.6) and max_iter <= 1000
    n_threads = int(rng.choice([1, 1, 2, 3, 8]))
    progress = [None, Progress(), Progress(abort_at=int(rng.integers(1, 4)))][int(rng.integers(3))]
    case.note(
        f"native: weights {kind}, fit_intercept {fit_intercept}, n_threads {n_threads}, "
        f"progress {'none' if progress is None else f'abort at {progress.abort_at}'}"
    )
    refused = not (
        _conforming_matrix(X)
        and _conforming_vector(y, X.shape[0])
        and (weights is None or _conforming_vector(weights, X.shape[0]))
    )
    # Misaligned vectors: the contract does not say; refusing them is as good
    # as reading them.
    may_refuse = refused or not all(v.flags.aligned for v in (y, weights) if isinstance(v, np.ndarray))
    tol = tol if isinstance(tol, float) else float(tol)
    robust, robust_refused = _robust_arguments(rng, n, case)
    args = (X, y, weights, fit_intercept, tol, max_iter, n_threads, progress, robust)
    return args, refused or robust_refused, may_refuse


def _robust_arguments(rng, n, case):
    """The keyword arguments of the robust sums, offsets and the penalty (each
    sometimes malformed), and whether the contract refuses them."""
    robust = {}
    refused = False
    meat = str(rng.choice(["none", "none", "residual", "hat_adjusted", "cluster"]))
    if meat != "none":
        robust["meat"] = meat
        robust["hat_power"] = float(rng.choice([1.0, 2.0, 4.0]))
    if meat == "hat_adjusted" and rng.random() < 0.4:
        # HC4's power by leverage: n rows, or a count of none, or a malformed one.
        robust["hat_rows"] = float(rng.choice([n, 0.5, -1.0, np.inf]))
        refused = refused or not 0.0 <= robust["hat_rows"] < np.inf
    if meat == "cluster":
        groups = int(rng.integers(1, 6))
        codes = np.ascontiguousarray(rng.integers(0, groups, n), dtype=np.int64)
        if rng.random() < 0.15:
            groups -= 1  # a code out of range (or no group at all)
            refused = refused or groups < 1 or bool((codes >= groups).any())
        robust["clusters"] = [(codes, groups)] * int(rng.integers(1, 4))
    offset_kind = str(rng.choice(["none", "none", "finite", "wrong length"]))
    if offset_kind == "finite":
        robust["offset"] = rng.normal(size=n)
    elif offset_kind == "wrong length":
        robust["offset"], refused = np.zeros(n + 1), True
    if rng.random() < 0.3:
        robust["penalty"] = float(rng.choice([0.0, 0.1, 10.0, -1.0]))
        refused = refused or robust["penalty"] < 0
    if rng.random() < 0.25:
        absorb, absorb_refused = _absorbed_arguments(rng, n)
        robust.update(absorb)
        refused = refused or absorb_refused
        if rng.random() < 0.4:
            further, further_refused = _further_arguments(rng, n)
            robust.update(further)
            # Solved beside the dense columns of an X array, with no robust sums.
            refused = refused or further_refused or meat != "none"
    case.note(f"native robust arguments: { {k: v if np.isscalar(v) else '...' for k, v in robust.items()} }")
    return robust, refused


def _absorbed_arguments(rng, n):
    """An absorbed variable's codes (int32, or int64 as labels read in
    place) and level count: levels of one row, levels without rows, and
    sometimes a code out of range (beyond int32's too), the wrong dtype or
    length (refused)."""
    n_levels = int(rng.integers(1, 9))
    # Squared uniforms: the last levels have a row or none.
    codes = np.floor(rng.random(n) ** 2 * n_levels).astype(str(rng.choice(["int32", "int64"])))
    kind = str(
        rng.choice(
            ["fine", "fine", "fine", "out of range", "negative", "beyond int32", "int16", "wrong length"]
        )
    )
    refused = kind in ("int16", "wrong length")
    if kind in ("out of range", "negative", "beyond int32") and n:
        bad = {"out of range": n_levels, "negative": -1, "beyond int32": 2**32}[kind]
        codes = codes.astype(np.int64) if kind == "beyond int32" else codes
        codes[int(rng.integers(n))] = bad
        refused = True
    elif kind == "int16":
        codes = codes.astype(np.int16)
    elif kind == "wrong length":
        codes = np.zeros(n + 1, dtype=np.int32)
    absorbed = {"absorb": codes, "n_levels": n_levels}
    # Levels left out by a flag each (those separated by their outcomes),
    # sometimes of the wrong dtype or length (refused).
    flags = str(rng.choice(["none", "none", "fine", "uint8", "wrong length"]))
    if flags != "none":
        kept = rng.random(n_levels + (flags == "wrong length")) < 0.7
        absorbed["kept_levels"] = kept.astype(np.uint8) if flags == "uint8" else kept
        refused = refused or flags != "fine"
    return absorbed, refused


def _further_arguments(rng, n):
    """One or two more absorbed columns (solved for each update), with
    levels of one row or none, sometimes a code out of range or a level
    count missing (refused)."""
    codes, counts = [], []
    for _ in range(int(rng.integers(1, 3))):
        count = int(rng.integers(1, 7))
        codes.append(np.floor(rng.random(n) ** 2 * count).astype(str(rng.choice(["int32", "int64"]))))
        counts.append(count)
    kind = str(rng.choice(["fine", "fine", "fine", "out of range", "missing count"]))
    if kind == "out of range" and n:
        codes[0][int(rng.integers(n))] = counts[0]
    elif kind == "missing count":
        counts.pop()
    refused = kind == "missing count" or (kind == "out of range" and n > 0)
    return {"further_absorb": codes, "further_levels": counts}, refused


NATIVE_KEYS = {
    "coefficients",
    "iterations",
    "time",
    "converged",
    "covariance",
    "deviance",
    "boundary_rows",
    "dropped",
    "overflowed",
    "singular_solves",
    "passes",
    "deviances",
    "changes",
    "halvings",
    "last_pass_coefficients",
    "null_deviance",
}


# The attributes of a FitResult that a fit may leave None (its optional
# sums, and the records of its robust sums and absorbed levels).
NATIVE_OPTIONAL_KEYS = (
    "margin_sums",
    "robust",
    "absorbed",
)


def native_fields(result):
    """A FitResult's attributes as a dict, the optional ones only when
    present (not None); None for anything that is not a FitResult."""
    from quorvi import _native

    if type(result) is not _native.FitResult:
        return None
    fields = {key: getattr(result, key) for key in NATIVE_KEYS}
    fields.update(
        {key: getattr(result, key) for key in NATIVE_OPTIONAL_KEYS if getattr(result, key) is not None}
    )
    return fields


def check_native_case(case, fit):
    """Runs quorvi._native.fit on the case; returns the rules it broke and the kind of outcome."""
    from quorvi import _native

    args, refused, may_refuse = case.native
    X, y, weights, fit_intercept, tol, max_iter, n_threads, progress, robust = args
    before = [_snapshot(a) for a in args[:3]]
    options = dict(robust)
    if "meat" in options:
        options["meat"] = _native.Meat.__members__[options["meat"]]
    try:
        fitted = fit(
            X,
            y,
            weights,
            fit_intercept=fit_intercept,
            tol=tol,
            max_iter=max_iter,
            n_threads=n_threads,
            progress=progress,
            **options,
        )
        result, outcome = native_fields(fitted), None
        if result is None:
            result = fitted  # reported below as not a FitResult
    except (ValueError, TypeError, RuntimeError, MemoryError, ProgressAbort) as error:
        result, outcome = None, error
    name = "native " + outcome_name(result if isinstance(result, dict) else {}, outcome)
    problems = []
    if [_snapshot(a) for a in args[:3]] != before:
        problems.append("native: an input was modified")
    # pybind11 itself refuses an argument that is not an ndarray at all (a
    # list) with its TypeError, before the entry's own checks can say
    # ValueError, and a list X is read as a list of column blocks, whose
    # items are no blocks (TypeError); any other TypeError is a fault.
    not_arrays = any(not isinstance(a, np.ndarray) for a in args[:2]) or not (
        args[2] is None or isinstance(args[2], np.ndarray)
    )
    if isinstance(outcome, TypeError):
        if isinstance(X, list) and re.match(r"block \d+ is not a DenseBlock, ", str(outcome)):
            return problems, "native TypeError: block 0 is not a block"
        if not (not_arrays and str(outcome).startswith("fit(): incompatible function arguments.")):
            problems.append(f"native: unexpected TypeError: {str(outcome)[:200]}")
        return problems, "native TypeError: fit(): incompatible function arguments."
    if refused:
        if not isinstance(outcome, ValueError):
            problems.append(
                f"native: expected ValueError for a non-conforming array, got {outcome or 'a result'}"
            )
        return problems, name
    if isinstance(outcome, ValueError):
        if not may_refuse:
            problems.append(f"native: ValueError for conforming arrays: {outcome}")
        return problems, name
    if isinstance(outcome, ProgressAbort):
        if outcome is not progress.abort or len(progress.calls) != progress.abort_at:
            problems.append(f"native: progress exception not propagated unchanged: {outcome!r}")
        return problems, name
    if isinstance(outcome, RuntimeError) and str(outcome) != NOT_SOLVABLE:
        problems.append(f"native: unexpected RuntimeError: {outcome}")
    if outcome is not None:
        return problems, name

    n, p = X.shape
    q = p + fit_intercept
    keys = NATIVE_KEYS | ({"absorbed"} if "absorb" in robust else set())
    # A fit that made an update has its margin sums, with absorbed levels
    # too (none of no coefficient).
    if type(result) is dict and result.get("iterations", 0) > 0 and q > 0:
        keys = keys | {"margin_sums"}
    # Robust sums asked for are formed after a loop that made a pass, unless
    # its first system overflowed.
    if (
        type(result) is dict
        and robust.get("meat", "none") != "none"
        and result.get("passes", 0) > 0
        and not result.get("overflowed")
    ):
        keys = keys | {"robust"}
    if type(result) is not dict or set(result) != keys:
        return [*problems, f"native: not a FitResult with the fields {sorted(keys)}: {result!r}"], name
    margin_sums = result.get("margin_sums")
    if margin_sums is not None and not (
        type(margin_sums) is np.ndarray and margin_sums.dtype == np.float64 and margin_sums.shape == (2 + q,)
    ):
        problems.append(f"native: margin_sums not float64 of shape ({2 + q},): {margin_sums!r}")
    # The null model is fitted only beside an offset, and is a float then.
    null_deviance = result["null_deviance"]
    if not (null_deviance is None or type(null_deviance) is float) or (
        null_deviance is not None and robust.get("offset") is None
    ):
        problems.append(f"native: null_deviance {null_deviance!r} without an offset, or not a float")
    if "robust" in result:
        meats, hat_one_rows = result["robust"].meats, result["robust"].hat_one_rows
        clusterings = max(1, len(robust.get("clusters", [])))  # the levels' own: one
        if len(meats) != clusterings or not all(
            type(m) is np.ndarray and m.dtype == np.float64 and m.shape == (q, q) for m in meats
        ):
            problems.append(f"native: not {clusterings} meat(s) of shape ({q}, {q}): {meats!r}")
        if (
            type(hat_one_rows) is not list
            or hat_one_rows != sorted(set(hat_one_rows))
            or not all(0 <= row < n for row in hat_one_rows)
        ):
            problems.append(f"native: hat_one_rows {hat_one_rows!r} not increasing rows of [0, {n})")
    if "absorb" in robust:
        levels = robust["n_levels"]
        absorbed = result["absorbed"]
        effects, level_weights = absorbed.fixed_effects, absorbed.level_weights
        if not all(
            type(v) is np.ndarray and v.dtype == np.float64 and v.shape == (levels,)
            for v in (effects, level_weights)
        ):
            problems.append(f"native: malformed fixed_effects or level_weights for {levels} levels")
        # NaN where the data had NaN or infinity (its sums are NaN), never negative.
        elif (level_weights < 0).any():
            problems.append(f"native: negative level weights {level_weights}")
        elif (effects[level_weights == 0] != 0).any():
            problems.append("native: a level of no weight has an effect")
        elif "kept_levels" in robust and (level_weights[~robust["kept_levels"]] > 0).any():
            problems.append("native: a level left out has weight")
    if "further_absorb" in robust:
        further = result["absorbed"].further_effects
        if not (
            type(further) is np.ndarray
            and further.dtype == np.float64
            and further.shape == (sum(robust["further_levels"]),)
        ):
            problems.append(f"native: malformed further_effects for {robust['further_levels']} levels")
    elif "absorb" in robust and result["absorbed"].further_effects is not None:
        problems.append("native: further_effects without further absorbed columns")
    coefficients, covariance = result["coefficients"], result["covariance"]
    iterations, converged = result["iterations"], result["converged"]
    if not (
        type(coefficients) is np.ndarray and coefficients.dtype == np.float64 and coefficients.shape == (q,)
    ):
        problems.append(f"native: malformed coefficients: {coefficients!r}")
    if not (type(covariance) is np.ndarray and covariance.dtype == np.float64 and covariance.shape == (q, q)):
        problems.append(f"native: malformed covariance: {covariance!r}")
    elif not np.array_equal(covariance, covariance.T, equal_nan=True):
        problems.append("native: covariance is not symmetric")
    if type(iterations) is not int or not 0 <= iterations <= max(max_iter, 0):
        problems.append(f"native: iterations {iterations!r} outside [0, {max(max_iter, 0)}]")
    if type(converged) is not bool or type(result["deviance"]) is not float:
        problems.append(f"native: converged {converged!r}, deviance {result['deviance']!r}")
    if type(result["time"]) is not float or not (result["time"] >= 0 and math.isfinite(result["time"])):
        problems.append(f"native: time {result['time']!r}")
    if type(result["boundary_rows"]) is not int or not 0 <= result["boundary_rows"] <= n:
        problems.append(f"native: boundary_rows {result['boundary_rows']!r} outside [0, {n}]")
    if problems:
        return problems, name
    if converged and np.isnan(coefficients).any():
        problems.append("native: converged True beside a NaN coefficient")
    overflowed = result["overflowed"]
    if (
        type(overflowed) is not list
        or overflowed != sorted(set(overflowed))
        or not all(0 <= j < q for j in overflowed)
    ):
        return [f"native: overflowed {overflowed!r} not increasing columns of [0, {q})"], name
    if overflowed:
        # A first system with a value that is not finite ends the fit before
        # its solve: no update, one pass, for the caller to name the columns.
        if (iterations, converged, result["passes"]) != (0, False, 1) or coefficients.any():
            problems.append(
                f"native: overflowed {overflowed} after {iterations} updates, {result['passes']} passes"
            )
        return problems, name
    if max_iter <= 0 and (iterations != 0 or converged or coefficients.any()):
        problems.append("native: max_iter <= 0 must give zeros, 0 iterations, not converged")
    if max_iter >= 1 and not converged and iterations != max_iter:
        problems.append(f"native: stopped after {iterations} of {max_iter} updates without converging")
    if max_iter >= 1 and q and (math.isnan(tol) or tol < 0) and converged:
        problems.append(f"native: converged with tol {tol!r}")
    dropped = result["dropped"]
    if type(dropped) is not list or dropped != sorted(set(dropped)) or not all(0 <= j < q for j in dropped):
        problems.append(f"native: dropped {dropped!r} not increasing columns of [0, {q})")
    elif coefficients[dropped].any() or not np.isnan(covariance[dropped]).all():
        problems.append("native: a dropped coefficient is not 0 with NaN covariance")
    # One pass per update and per halving, and one more for robust sums that
    # the loop's last pass did not form (always for hat values).
    forming = iterations + result["halvings"]
    extra = result["passes"] - forming
    if not (extra == 0 or (extra == 1 and robust.get("meat", "none") != "none" and iterations > 0)) or not (
        len(result["deviances"]) == len(result["changes"]) == iterations
    ):
        problems.append(f"native: {result['passes']} passes and per-update records for {iterations} updates")
    if not 0 <= result["singular_solves"] <= iterations:
        problems.append(f"native: singular_solves {result['singular_solves']!r}")
    if progress is not None and [c[0] for c in progress.calls] != list(range(1, iterations + 1)):
        problems.append(f"native: progress called for iterations {[c[0] for c in progress.calls]}")
    return problems, name


def _snapshot(obj):
    """A byte-exact picture of an argument, including the memory behind a view."""
    if isinstance(obj, np.ndarray):
        base = obj
        while isinstance(base, np.ndarray) and base.base is not None:
            base = base.base
        behind = bytes(base) if isinstance(base, (bytes, bytearray, memoryview)) else None
        return (
            obj.dtype.str,
            obj.shape,
            obj.strides,
            obj.flags.writeable,
            obj.tobytes() if obj.dtype != object else repr(obj.tolist()),
            behind,
        )
    return repr(obj)


def outcome_name(result, outcome):
    if outcome is None:
        return "result converged" if result.get("converged") is True else "result not converged"
    message = re.sub(r"\d+x1", "Nx1", str(outcome).splitlines()[0])
    return f"{type(outcome).__name__}: {message}"


def check_case(case, irls):
    """Runs one case; returns the rules it broke and the kind of outcome."""
    problems = _check_case(case, irls)
    return problems, _check_case.last_outcome


def _check_case(case, irls):
    before = [_snapshot(a) for a in case.args] + [_snapshot(a) for a in case.kwargs.values()]
    try:
        result = irls(*case.args, **case.kwargs)
        outcome = None
    except (TypeError, RuntimeError, MemoryError) as error:
        result, outcome = None, error
    _check_case.last_outcome = outcome_name(result if isinstance(result, dict) else {}, outcome)
    after = [_snapshot(a) for a in case.args] + [_snapshot(a) for a in case.kwargs.values()]
    problems = []
    if before != after:
        problems.append("an input was modified")

    def expect_error(kind, message=None, prefix=None):
        if not isinstance(outcome, kind):
            problems.append(
                f"expected {kind.__name__} {message or prefix or ''!r}, got "
                f"{type(outcome).__name__ if outcome else 'a result'}: {outcome or result}"
            )
        elif message is not None and str(outcome) != message:
            problems.append(f"expected message {message!r}, got {str(outcome)!r}")
        elif prefix is not None and not str(outcome).startswith(prefix):
            problems.append(f"expected a message starting {prefix!r}, got {str(outcome)!r}")

    X, y, max_iter = case.X, case.y, case.max_iter
    if case.refused:
        expect_error(TypeError, prefix=TYPE_ERROR_START)
        return problems
    if X.ndim != 2 or y.ndim != 1:
        expect_error(RuntimeError, "Invalid input dimensions")
        return problems
    n, p = X.shape
    if max_iter >= 1 and len(y) != n:
        expect_error(RuntimeError, f"subtraction: incompatible matrix dimensions: {len(y)}x1 and {n}x1")
        return problems
    if max_iter >= 1 and n and p and not (np.isfinite(X).all() and np.isfinite(y).all()):
        expect_error(RuntimeError, NOT_SOLVABLE)
        return problems
    if isinstance(outcome, RuntimeError) and str(outcome) == NOT_SOLVABLE and max_iter >= 1 and n and p:
        return problems  # finite data whose weighted system overflowed along the way
    if outcome is not None:
        problems.append(f"unexpected {type(outcome).__name__}: {outcome}")
        return problems

    if type(result) is not dict or list(result) != KEYS:
        return [*problems, f"not a dict with the keys {KEYS}: {result!r}"]
    coefficients, iterations, seconds, converged = (result[k] for k in KEYS)
    if not (
        type(coefficients) is np.ndarray
        and coefficients.dtype == np.float64
        and coefficients.shape == (p,)
        and coefficients.flags.c_contiguous
        and coefficients.flags.owndata
    ):
        problems.append(f"malformed coefficients: {coefficients!r}")
    if type(iterations) is not int or not 0 <= iterations <= max(max_iter, 0):
        problems.append(f"iterations {iterations!r} outside [0, {max(max_iter, 0)}]")
    if type(seconds) is not float or not (seconds >= 0 and math.isfinite(seconds)):
        problems.append(f"time {seconds!r}")
    if type(converged) is not bool:
        problems.append(f"converged {converged!r} is not a bool")
    if problems:
        return problems
    if converged and np.isnan(coefficients).any():
        problems.append("converged True beside a NaN coefficient")
    if max_iter <= 0 and (iterations != 0 or converged or coefficients.any()):
        problems.append("max_iter <= 0 must give zeros, 0 iterations, not converged")
    if max_iter >= 1 and not converged and iterations != max_iter:
        problems.append(f"stopped after {iterations} of {max_iter} updates without converging")
    if max_iter >= 1 and p == 0 and (iterations, converged) != (1, True):
        problems.append("no columns must converge at the first update")
    if max_iter >= 1 and p and (math.isnan(case.tol) or case.tol < 0) and converged:
        problems.append(f"converged with tol {case.tol!r}")
    return problems


def run_worker(seed, first, last):
    """Child process: runs cases first..last-1, announcing each on stdout."""
    import faulthandler

    from fuzz_design_blocks import check_blocks_case
    from native_arguments import native_fit

    import _quorvi

    faulthandler.enable()
    out = sys.stdout
    for index in range(first, last):
        out.write(f"start {index}\n")
        out.flush()
        case = make_case(seed, index)
        problems, outcome = check_case(case, _quorvi.irls)
        native_problems, native_outcome = check_native_case(case, native_fit)
        block_problems, block_outcome = check_blocks_case(seed, index)
        for problem in problems + native_problems + block_problems:
            out.write(f"fail {index}: {problem}\n")
        out.write(f"outcome {index} {native_outcome}\n")
        out.write(f"outcome {index} {block_outcome}\n")
        out.write(f"end {index} {outcome}\n")
    out.write("done\n")
    out.flush()


def run_batch(seed, first, last, timeout):
    """Runs a batch in a child; returns (cases finished, failures, crash or None)."""
    with tempfile.TemporaryFile() as stderr:
        command = [
            sys.executable,
            os.path.abspath(__file__),
            "--worker",
            "--seed",
            str(seed),
            "--first",
            str(first),
            "--last",
            str(last),
        ]
        try:
            completed = subprocess.run(
                command, stdout=subprocess.PIPE, stderr=stderr, text=True, timeout=timeout
            )
            stdout, returncode = completed.stdout, completed.returncode
        except subprocess.TimeoutExpired as expired:
            stdout = expired.stdout.decode() if isinstance(expired.stdout, bytes) else (expired.stdout or "")
            returncode = "timeout"
        lines = stdout.splitlines()
        failures = [line for line in lines if line.startswith("fail ")]
        # One "end" line per finished case, after an "outcome" line for its native fit.
        finished = [line.split(" ", 2)[2] for line in lines if line.startswith(("end ", "outcome "))]
        if returncode == 0 and lines and lines[-1] == "done":
            return finished, failures, None
        started = [int(line.split()[1]) for line in lines if line.startswith("start ")]
        crashed = started[-1] if started else first
        stderr.seek(0)
        output = [
            line
            for line in stderr.read().decode(errors="replace").splitlines()
            if line and "system is singular" not in line
        ]
        # A sanitizer's report begins far above the end of its stack trace.
        headlines = [line for line in output if "runtime error:" in line or "ERROR: AddressSanitizer" in line]
        tail = headlines[:3] + output[-12:]
        how = "hung" if returncode == "timeout" else f"exit status {returncode}"
        return finished, failures, (crashed, how, tail)


def describe(seed, index):
    case = make_case(seed, index)
    return "; ".join(case.description)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seed", type=int, default=20251208)
    parser.add_argument("--cases", type=int, default=150000, help="at most this many cases")
    parser.add_argument("--seconds", type=float, default=180.0, help="start no batch after this long")
    parser.add_argument("--batch", type=int, default=250, help="cases per child process")
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 1)
    parser.add_argument("--case", type=int, help="run this one case here and print it")
    parser.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--first", type=int, help=argparse.SUPPRESS)
    parser.add_argument("--last", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args()

    if args.worker:
        run_worker(args.seed, args.first, args.last)
        return
    if args.case is not None:
        from fuzz_design_blocks import check_blocks_case
        from native_arguments import native_fit

        import _quorvi

        print(describe(args.seed, args.case))
        case = make_case(args.seed, args.case)
        problems, outcome = check_case(case, _quorvi.irls)
        native_problems, native_outcome = check_native_case(case, native_fit)
        block_problems, block_outcome = check_blocks_case(args.seed, args.case)
        problems += native_problems + block_problems
        print(outcome)
        print(native_outcome)
        print(block_outcome)
        print("\n".join(problems) or "passed")
        sys.exit(1 if problems else 0)

    started = time.monotonic()
    deadline = started + args.seconds
    pending = [(first, min(first + args.batch, args.cases)) for first in range(0, args.cases, args.batch)]
    lock = threading.Lock()
    totals = {"cases": 0, "failures": [], "crashes": [], "outcomes": collections.Counter()}

    def slot():
        while True:
            with lock:
                if not pending or time.monotonic() > deadline:
                    return
                first, last = pending.pop(0)
            finished, failures, crash = run_batch(args.seed, first, last, timeout=300)
            with lock:
                totals["cases"] += sum(not outcome.startswith("native ") for outcome in finished)
                totals["cases"] += crash is not None
                totals["outcomes"].update(finished)
                totals["failures"] += failures
                if crash is not None:
                    totals["crashes"].append(crash)
                    if crash[0] + 1 < last:
                        pending.insert(0, (crash[0] + 1, last))

    with concurrent.futures.ThreadPoolExecutor(args.jobs) as pool:
        for future in [pool.submit(slot) for _ in range(args.jobs)]:
            future.result()

    elapsed = time.monotonic() - started
    for line in totals["failures"][:50]:
        index = int(line.split()[1].rstrip(":"))
        print(f"{line}\n    case: {describe(args.seed, index)}")
    for index, how, tail in totals["crashes"][:10]:
        print(
            f"crash in case {index} ({how}); run it alone with "
            f"`python checks/fuzz_irls.py --seed {args.seed} --case {index}`\n    case: {describe(args.seed, index)}"
        )
        print("\n".join("    | " + line for line in tail))
    print("outcomes:")
    for outcome, count in sorted(totals["outcomes"].items(), key=lambda item: -item[1]):
        print(f"  {count:7d}  {outcome}")
    print(
        f"fuzz: {totals['cases']} cases in {elapsed:.0f} s (seed {args.seed}), "
        f"{len(totals['crashes'])} crashes, {len(totals['failures'])} failed checks"
    )
    sys.exit(1 if totals["crashes"] or totals["failures"] else 0)


if __name__ == "__main__":
    main()
