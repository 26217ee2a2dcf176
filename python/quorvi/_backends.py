"""The back ends an input can live on, each a registered unit: whether an
input is its own, and the module that fits and predicts on it by passes
over its rows where they are (the rows in memory are the default, handled by
the estimator itself). A new back end is its module and one registration
here; the estimator, the formulas and the margins ask backend_of(X) and call
the module's functions, which every back end's module provides under the
same names:

- fit(spec) and fit_absorbed(spec): the fit of a FitSpec (_fit_spec.py),
  its rows on the back end, as a Fitted (or AbsorbedFit), and
  check_absorbed(names): the absorbed columns it refuses, raised before
  any pass over the data;
- decision_function, predict_proba, predict_log_proba and predict of an
  array (X, coef, intercept[, classes], link, offset), and frame_scores,
  frame_probabilities, frame_log_probabilities and frame_labels of a frame
  with categorical columns, and absorbed_scores(X, layout, absorption, coef,
  intercept, offset) of a frame with absorbed columns (whose rows without a
  probability frame_labels(..., absorbed=True) refuses): predictions on the
  back end, lazily;
- margin_sums(X, sample_weight, offset, coef, intercept, link) and
  frame_sums(results, X, sample_weight, offset): the sums of the average
  marginal effects over its rows;
- is_frame(X), columns(X), column(X, name), columns_of(X, names),
  without_columns(X, names): a frame of the back end, its column names, a
  column's values (one or several, for clusters) chunked as its rows, the
  frame without some columns (those that name fit's arguments);
- formula_meta(data, names, learn=, missing=, levels_of=) and
  formula_frames(data, function, meta): the empty pandas frame a formula's
  model spec is learned on (with learn, the levels found by a pass where
  the back end's dtypes do not give them, levels_of's numeric columns read
  as C(x) among them), and a function applied to every part of the frame (the
  formula's design frame of each partition); optionally
  formula_complete_rows(data, columns, complete_of, companions) and
  formula_scores(data, scores_of, offset): the frame cut to a formula's
  complete rows with its weights, offsets and clusters (missing="drop";
  the count of rows dropped None when the back end's fit counts them in
  its first pass), and the scores of every part, NaN for its incomplete
  rows (a back end without them refuses missing values); and
  formula_labels(data, labels_of, meta): score()'s labels of every part,
  lazily, compared with predict()'s where the parts are (a back end
  without it has score() read the formula's columns on the driver).

A module is imported only when an input of its back end is passed: the
core package needs none of them."""

from __future__ import annotations

import importlib
import sys
from collections.abc import Callable
from dataclasses import dataclass
from types import ModuleType
from typing import Any


@dataclass(frozen=True)
class Backend:
    name: str
    owns: Callable[[Any], bool]  # whether an input is this back end's (never imports it)
    module_name: str  # relative to the package

    def module(self) -> ModuleType:
        return importlib.import_module(self.module_name, __package__)


_REGISTERED: list[Backend] = []


def register(backend: Backend) -> None:
    _REGISTERED.append(backend)


def backend_of(value: Any) -> Backend | None:
    """The back end whose input value is, or None for one in memory."""
    for backend in _REGISTERED:
        if backend.owns(value):
            return backend
    return None


def _is_dask_collection(value: Any) -> bool:
    # Dask is imported by whoever made one; this check never imports it.
    dask = sys.modules.get("dask")
    return dask is not None and bool(dask.is_dask_collection(value))


def _is_spark_frame(value: Any) -> bool:
    # A Spark DataFrame (classic or Connect: both derive from
    # pyspark.sql.DataFrame), or the per-partition design of one that a
    # formula made (quorvi._spark, loaded only once a Spark frame was seen).
    # pyspark is imported by whoever made the frame; this never imports it.
    module = sys.modules.get("quorvi._spark")
    if module is not None and isinstance(value, (module.SparkFrames, module.CompleteRows)):
        return True
    sql = sys.modules.get("pyspark.sql")
    return sql is not None and isinstance(value, sql.DataFrame)


register(Backend("dask", _is_dask_collection, "._dask"))
register(Backend("spark", _is_spark_frame, "._spark"))
