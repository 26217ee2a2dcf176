"""The fuzzer's cases for designs of several column kinds (quorvi._native's
block classes): categorical codes of every width with empty levels and
codes out of range, varying slopes (codes with a multiplier, some of whose
values are 0; broken: NaN, infinite, float32 or of another length), sparse
rows with no nonzeros, all-zero columns, and the CSR layouts the binding
refuses: indices out of range, unsorted or repeated within a row, broken
row pointers; some with a robust request (a meat, hat values, one or two
clusterings). Each case is made from (seed, case number) alone. A case with
a broken block must be a ValueError, where the block is made (its layout) or
where a fit reads it (its values); any other must give the normal
equations and robust sums of its densified design (the same sums by the
dense kernel, to rounding) and a well-formed fit."""

from functools import partial

import numpy as np
from native_arguments import native_fit, native_sums

from quorvi import _native


def _categorical(rng, n, notes):
    levels = int(rng.integers(1, 7))
    width = rng.choice([np.int8, np.int16, np.int32])
    # Some levels never occur: their columns are all zero.
    codes = rng.integers(0, max(1, levels - int(rng.integers(0, 2))), n).astype(width)
    broken = n > 0 and rng.random() < 0.15
    if broken:
        codes[rng.integers(n)] = rng.choice([-1, levels, 100])
    drop_first = bool(rng.random() < 0.7)
    notes.append(
        f"categorical {levels} levels {np.dtype(width).name} drop_first {drop_first} broken {broken}"
    )
    dense = np.zeros((n, levels))
    if not broken:
        dense[np.arange(n), codes.astype(np.int64)] = 1.0
    block = partial(_native.CategoricalBlock, codes=codes, n_levels=levels, drop_first=drop_first)
    return block, dense[:, int(drop_first) :], broken


def _varying_slope(rng, n, notes):
    """A categorical's codes with a multiplier (some rows 0); broken: a code
    out of range, or a multiplier with a NaN or an infinity, of another
    dtype or of another length."""
    categorical, indicators, broken = _categorical(rng, n, notes)
    multiplier = rng.standard_normal(n) * (rng.random(n) < 0.9)
    dense = indicators * multiplier[:, None]
    fault = str(rng.choice(["none"] * 16 + ["nan", "inf", "float32", "short"]))
    if fault in ("nan", "inf") and n:
        multiplier[rng.integers(n)] = np.nan if fault == "nan" else -np.inf
        broken = True
    elif fault == "float32":
        multiplier = multiplier.astype(np.float32)
        broken = True
    elif fault == "short":
        multiplier = multiplier[:-1] if n else np.zeros(1)
        broken = True
    notes.append(f"varying slope: multiplier {fault}")
    return partial(_native.VaryingSlopeBlock, **categorical.keywords, multiplier=multiplier), dense, broken


def _sparse(rng, n, notes):
    columns = int(rng.integers(0, 6))
    per_row = rng.integers(0, 3, n) * (rng.random(n) < 0.7)  # many rows with no nonzeros
    if columns:
        per_row = np.minimum(per_row, columns)
    # scipy's row pointers in either width: both are read in place.
    indptr = np.concatenate([[0], np.cumsum(per_row)]).astype(np.int32 if rng.random() < 0.5 else np.int64)
    stored = int(indptr[-1])
    # Each row's indices distinct and increasing (scipy's canonical CSR);
    # without columns, every index is out of range.
    rows = [np.sort(rng.choice(columns, size=k, replace=False)) for k in per_row] if columns else []
    indices = np.concatenate([*rows, np.zeros(0 if columns else stored)]).astype(np.int32)
    values = rng.standard_normal(stored)
    broken = columns == 0 and stored > 0
    pairs = np.flatnonzero(per_row == 2)
    if rng.random() < 0.1 and len(pairs):
        # One row's two indices swapped or made equal: refused.
        at = int(indptr[pairs[int(rng.integers(len(pairs)))]])
        indices[at] = indices[at + 1] if rng.random() < 0.5 else indices[at + 1] + 1
        broken = True
    if rng.random() < 0.1 and stored:
        indices[rng.integers(stored)] = rng.choice([-1, columns])
        broken = True
    if rng.random() < 0.05 and n > 1 and stored:
        indptr[1] = stored + 1
        broken = True
    notes.append(f"sparse {columns} columns {stored} stored {indptr.dtype.name} indptr broken {broken}")
    dense = np.zeros((n, columns))
    if not broken:
        rows = np.repeat(np.arange(n), per_row)
        np.add.at(dense, (rows, indices.astype(np.int64)), values)
    return (
        partial(_native.SparseBlock, data=values, indices=indices, indptr=indptr, n_cols=columns),
        dense,
        broken,
    )


def _robust_request(rng, n, q, notes):
    """Keyword arguments of a robust request for the native entries, or none."""
    meat = str(rng.choice(["none", "residual", "hat_adjusted", "cluster"]))
    notes.append(f"meat {meat}")
    if meat == "residual":
        return {"meat": _native.Meat.residual}
    if meat == "hat_adjusted":
        # Any symmetric positive definite B, of a size that makes hat values
        # mostly below 1 or not; the same for both designs.
        root = rng.standard_normal((q, q))
        scale = 10.0 ** rng.uniform(-3, 0)
        bread = scale * (root @ root.T / max(q, 1) + np.eye(q))
        return {
            "meat": _native.Meat.hat_adjusted,
            "hat_power": float(rng.choice([1.0, 2.0, 4.0])),
            "hat_rows": float(rng.choice([0.0, n, 0.5])),  # HC4's power by leverage: n
            "inverse_information": bread,
        }
    if meat == "cluster" and n > 0:
        groups = [int(rng.integers(1, 5)) for _ in range(int(rng.integers(1, 3)))]
        return {
            "meat": _native.Meat.cluster,
            "clusters": [(rng.integers(0, g, n).astype(np.int64), g) for g in groups],
        }
    return {}


def check_blocks_case(seed, index):
    """Runs one case; returns (problems, outcome)."""
    rng = np.random.default_rng([seed, index, 2])
    n = int(rng.integers(0, 60))
    notes = [f"blocks n {n}"]
    # Each block as the call that makes it, so that a refused layout is
    # caught with the values refused by the fit.
    makers, dense_parts, broken = [], [], False
    if rng.random() < 0.6:
        X = rng.standard_normal((n, int(rng.integers(1, 4))))
        makers.append(partial(_native.DenseBlock, values=X if rng.random() < 0.5 else np.asfortranarray(X)))
        dense_parts.append(X)
    for _ in range(int(rng.integers(1, 4))):
        make, dense, bad = rng.choice([_categorical, _sparse, _varying_slope])(rng, n, notes)
        makers.append(make)
        dense_parts.append(dense)
        broken |= bad
    fit_intercept = bool(rng.random() < 0.6)
    y = (rng.random(n) < 0.5).astype(np.float64)
    design = np.column_stack([np.ones((n, int(fit_intercept))), *dense_parts])
    q = design.shape[1]
    robust = _robust_request(rng, n, q, notes)
    # The fit takes the request's sums in its passes; its hat values use its own B.
    in_fit = {key: value for key, value in robust.items() if key != "inverse_information"}
    arrays = [a for make in makers for a in make.keywords.values() if isinstance(a, np.ndarray)]
    snapshot = [np.array(a, copy=True) for a in arrays]
    problems = []
    n_threads = int(rng.choice([1, 3]))
    try:
        blocks = [make() for make in makers]
        result = native_fit(
            blocks, y, None, fit_intercept=fit_intercept, tol=1e-8, max_iter=25, n_threads=n_threads, **in_fit
        )
    except ValueError as error:
        if not broken:
            problems.append(f"blocks: ValueError for a valid design: {error}")
        return problems, "native blocks ValueError"
    if broken:
        return ["blocks: a broken block was accepted; " + "; ".join(notes)], "native blocks accepted broken"
    if any(not np.array_equal(b, a) for b, a in zip(snapshot, arrays, strict=True)):
        problems.append("blocks: an input was modified")
    if result.coefficients.shape != (q,):
        problems.append(f"blocks: {result.coefficients.shape} coefficients for {q} columns")
        return problems, "native blocks malformed"
    beta = rng.standard_normal(q) * 0.3
    ours = native_sums(blocks, y, None, beta, fit_intercept=fit_intercept, with_statistics=True, **robust)
    reference = native_sums(
        np.ascontiguousarray(design), y, None, beta, fit_intercept=False, with_statistics=True, **robust
    )
    # The same sums in another order: rounding of a few ulps of the terms
    # (the meat's and the groups' terms are of the same size as A's and b's).
    scale = np.abs(design).max(initial=1.0) ** 2 * max(n, 1)
    # A hat value of 1 or more leaves the meat undefined (the estimator
    # refuses it): NaN wherever the row reaches, which differs by design.
    compared = ("A", "b", "meat") if not reference["hat_one_rows"] else ("A", "b")
    pairs = [(key, ours[key], reference[key]) for key in compared if key in reference]
    pairs += [
        ("groups", *both) for both in zip(ours.get("groups", []), reference.get("groups", []), strict=True)
    ]
    for key, mine, theirs in pairs:
        if not np.allclose(mine, theirs, rtol=1e-12, atol=1e-12 * scale):
            problems.append(f"blocks: {key} differs from the densified design's; " + "; ".join(notes))
    if ours["hat_one_rows"] != reference["hat_one_rows"]:
        problems.append("blocks: hat_one_rows differ from the densified design's; " + "; ".join(notes))
    return problems, "native blocks fit"
