"""What a chunked back end's task does with its rows, whichever back end
runs it (a Dask chunk, a Spark partition): the native kernel's sums of one
chunk, with its robust sums and its cluster labels coded for them, the
absorbed levels as the kernel reads them, and the sums of chunks added in
a fixed order. NumPy and pandas only: no back end is imported here, so
that every back end sums its rows with the same code and the same bits."""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt

from . import _native
from ._covariance_types import CovarianceType

# The sums of a chunk added like A and b: the meat, the absorbed levels'
# (weight and score per level, the (L, q) cross block; never an L x L
# matrix) and the average marginal effects' (with their curvature per
# level beside absorbed levels).
ADDED_SUMS = (
    "meat",
    "level_weights",
    "level_scores",
    "level_cross",
    "margin_sums",
    "level_margin_curvature",
)


def native_levels(codes: npt.NDArray[Any], n_levels: int, levels: Any) -> dict[str, Any]:
    """A chunk's absorbed column as the native kernel reads it: its rows'
    codes (int32), the number of levels and, where levels (the plan's
    arrays of the pass) has them, the levels' effects, their means of the
    columns and their inverse weights."""
    native: dict[str, Any] = {
        "codes": np.require(codes, dtype=np.int32, requirements=["C", "A"]),
        "n_levels": n_levels,
    }
    for key in ("effects", "level_means", "inverse_level_weights"):
        value = getattr(levels, key)
        if value is not None:
            native[key] = np.require(value, dtype=np.float64, requirements=["C", "A"])
    return native


def kernel_sums(
    design: Any,
    y01: npt.NDArray[np.float64],
    weights: npt.NDArray[np.float64] | None,
    beta: npt.NDArray[np.float64],
    *,
    kind: CovarianceType | None = None,
    n_obs: float = 0.0,
    inverse_information: npt.NDArray[np.float64] | None = None,
    clusters: list[Any] | None = None,
    first_row: int = 0,
    **common: Any,
) -> dict[str, Any]:
    """The native kernel's sums of one chunk at beta (common: the kernel's
    other settings, the same for every chunk). With a robust kind, its
    robust sums too: the rows whose hat value is 1 as rows of the whole data
    (the chunk's first_row added), and per clustering of the chunk's cluster
    label columns its groups as (labels, sums), which added_sums merges by
    label across chunks."""
    if kind is None or not kind.robust:
        return dict(_native.normal_equations(design, y01, weights, beta, **common))
    codes: list[tuple[npt.NDArray[np.int64], int]] = []
    uniques: list[Any] = []
    if kind.clustered:
        codes, uniques = chunk_clusterings(clusters or [], weights)
    sums: dict[str, Any] = dict(
        _native.normal_equations(
            design,
            y01,
            weights,
            beta,
            covariance=kind.native(n_obs, codes),
            inverse_information=inverse_information,
            **common,
        )
    )
    sums["hat_one_rows"] = [first_row + row for row in sums["hat_one_rows"]]
    if kind.clustered:
        sums["groups"] = [
            (unique, groups[: len(unique)]) for unique, groups in zip(uniques, sums["groups"], strict=True)
        ]
    return sums


def chunk_clusterings(
    columns: list[Any], weights: npt.NDArray[np.float64] | None
) -> tuple[list[tuple[npt.NDArray[np.int64], int]], list[Any]]:
    """A chunk's cluster labels (one or two columns) coded for the native
    cluster sums: per clustering (the columns', and for two their pairs) the
    chunk's codes with their count, and the labels they stand for, which
    the reduction merges by label across chunks. Groups of rows of weight 0
    alone are no clusters (as in memory)."""
    import pandas as pd

    from ._robust import factorized

    keys: list[Any] = [pd.Index(column) for column in columns]
    if len(columns) == 2:
        keys.append(pd.MultiIndex.from_arrays(columns))
    counted = None if weights is None else weights > 0
    codes: list[tuple[npt.NDArray[np.int64], int]] = []
    uniques: list[Any] = []
    for key in keys:
        chunk_codes, chunk_uniques = factorized(key, counted)
        codes.append((chunk_codes, max(len(chunk_uniques), 1)))
        uniques.append(chunk_uniques)
    return codes, uniques


def added_sums(parts: list[dict[str, Any]]) -> dict[str, Any]:
    """The chunks' sums added in the order given (the order alone decides
    the bits, whichever worker made each part): A (a matrix, or a
    categorical's structured blocks as a back end ships them), b, the
    statistics and ADDED_SUMS; the rows whose hat value is 1 in order; and
    each clustering's groups merged by label, in order of first appearance,
    each group's sums added in the parts' order."""
    import pandas as pd

    first = parts[0]
    total: dict[str, Any] = {
        "A": _copied(first["A"]),
        "b": np.array(first["b"], copy=True),
        "deviance": first["deviance"],
        "boundary_rows": first["boundary_rows"],
    }
    for key in ADDED_SUMS:
        if key in first:
            total[key] = np.array(first[key], copy=True)
    for part in parts[1:]:
        _add(total["A"], part["A"])
        total["b"] += part["b"]
        total["deviance"] += part["deviance"]
        total["boundary_rows"] += part["boundary_rows"]
        for key in ADDED_SUMS:
            if key in part:
                total[key] += part[key]
    if "hat_one_rows" in first:
        total["hat_one_rows"] = [row for part in parts for row in part["hat_one_rows"]]
    if "groups" in first:
        total["groups"] = []
        for clustering in range(len(first["groups"])):
            labels = first["groups"][clustering][0].append(
                [part["groups"][clustering][0] for part in parts[1:]]
            )
            scores = np.concatenate([part["groups"][clustering][1] for part in parts])
            codes, uniques = pd.factorize(labels, sort=False)
            groups = np.zeros((len(uniques), scores.shape[1]))
            np.add.at(groups, codes, scores)
            total["groups"].append((uniques, groups))
    return total


def _copied(A: Any) -> Any:
    if isinstance(A, dict):
        return {
            key: [np.array(block, copy=True) for block in value]
            if isinstance(value, list)
            else np.array(value, copy=True)
            for key, value in A.items()
        }
    return np.array(A, copy=True)


def _add(total: Any, part: Any) -> None:
    """part's A added into total's, block by block when packed."""
    if isinstance(total, dict):
        total["dense"] += part["dense"]
        for key in ("diagonals", "cross"):
            for mine, theirs in zip(total[key], part[key], strict=True):
                mine += theirs
    else:
        total += part
