"""How each registered back end is handed the same rows, for the tests
that every back end must pass (tests/backends): one adapter per back end,
which turns NumPy rows into its input and fits on it, and which lists what
the back end says of bad rows and what it refuses outright. A back end
registered in quorvi/_backends.py without an adapter here fails collection."""

import re
from dataclasses import dataclass, field

import numpy as np
import pandas as pd
import pytest

from quorvi import LogisticRegression, _backends


@dataclass(frozen=True)
class Rows:
    """The rows of a fit as NumPy arrays: features, labels, the companions
    (None when not given) and the absorbed columns' labels by name."""

    X: np.ndarray
    y: np.ndarray
    sample_weight: np.ndarray | None = None
    offset: np.ndarray | None = None
    clusters: np.ndarray | None = None  # (n,) or (n, 2) labels
    levels: dict = field(default_factory=dict)

    def names(self):
        return [f"x{j}" for j in range(self.X.shape[1])]

    def frame(self):
        """The features and absorbed columns as a pandas frame, and the
        companions of its length as named columns of it: {argument: name}."""
        frame = pd.DataFrame(self.X, columns=self.names()).assign(**self.levels)
        named = {}
        for argument, column in (("sample_weight", "w"), ("offset", "o")):
            values = getattr(self, argument)
            if values is not None and len(values) == len(frame):
                frame[column] = values
                named[argument] = column
        if self.clusters is not None and len(self.clusters) == len(frame):
            labels = self.clusters.reshape(len(frame), -1)
            names = [f"c{j}" for j in range(labels.shape[1])]
            for j, name in enumerate(names):
                frame[name] = pd.Series(labels[:, j]).infer_objects()
            named["clusters"] = names[0] if len(names) == 1 else names
        return frame, named

    def companions(self, named):
        """The companions that are not named columns, as arrays."""
        return {
            argument: getattr(self, argument)
            for argument in ("sample_weight", "offset", "clusters")
            if argument not in named and getattr(self, argument) is not None
        }


def in_memory_fit(parameters, rows):
    """The reference: NumPy arrays (a frame only for absorbed columns)."""
    X = pd.DataFrame(rows.X, columns=rows.names()).assign(**rows.levels) if rows.levels else rows.X
    return LogisticRegression(**parameters).fit(
        X, rows.y, sample_weight=rows.sample_weight, offset=rows.offset, clusters=rows.clusters
    )


@dataclass(frozen=True)
class Adapter:
    """name: the registered name ("memory" for rows in memory); fit(model,
    rows, session) fits the unfitted model on the back end's input;
    messages: the back end's message (a regex) for each fault of
    test_every_backend.FAULTS; refuses: the cases it refuses, with their
    message; slow_cases: the cases left to `make ci-checks` (marker slow);
    session: the fixture the back end needs (a Spark session), or None."""

    name: str
    fit: object
    messages: dict
    refuses: dict = field(default_factory=dict)
    slow_cases: frozenset = frozenset()
    session: str | None = None


def _fit_in_memory(model, rows, session):
    # Another pose than the reference's arrays: a pandas frame whose
    # columns the companions name.
    frame, named = rows.frame()
    return model.fit(frame, rows.y, **named, **rows.companions(named))


def _fit_on_dask(model, rows, session):
    import dask
    import dask.array as da
    import dask.dataframe as dd

    n = len(rows.X)
    if rows.levels:
        # absorb= takes a Dask DataFrame; the companions are its columns.
        frame, named = rows.frame()
        X, y = dd.from_pandas(frame, npartitions=3), dd.from_pandas(pd.Series(rows.y), npartitions=3)
        given = {**named, **rows.companions(named)}
    else:
        # Row chunks of X with a short last one, and y and the companions
        # chunked unlike X (the fit rechunks them to X's rows).
        X, y = da.from_array(rows.X, chunks=(n // 4 + 1, 2)), da.from_array(rows.y, chunks=n // 3 + 1)
        given = {key: da.from_array(value, chunks=n // 5 + 1) for key, value in rows.companions({}).items()}
    # The synchronous scheduler: the chunks' sums are added in chunk order
    # whatever runs them (tests/dask shows a cluster's bits are the same).
    with dask.config.set(scheduler="synchronous"):
        return model.fit(X, y, **given)


def _fit_on_spark(model, rows, session):
    # A formula is the only way into a Spark fit: the companions are named
    # columns of the frame, and one of another length (which a frame cannot
    # hold) is passed as its array, which Spark refuses.
    frame, named = rows.frame()
    given = rows.companions(named)
    if len(rows.y) == len(frame):
        frame["y"], y = rows.y, None
    else:
        y = rows.y
    absorb = model.absorb
    absorbed = [absorb] if isinstance(absorb, str) else absorb or []
    formula = "y ~ " + " + ".join(rows.names()) + (" | " + " + ".join(absorbed) if absorbed else "")
    # missing="raise": an incomplete row is refused, as the rows in memory
    # without a formula refuse it (a formula drops it by default).
    model.set_params(formula=formula, absorb=None, missing="raise")
    data = session.createDataFrame(frame).repartition(3)
    return model.fit(data, y, **named, **given)


def _chunk(message):
    """A message of the in-memory fit as Dask gives it: the chunk named first."""
    return r"^row chunk \d+ \(X\.blocks\[\d+\], rows \d+ to \d+\): " + message


MEMORY_MESSAGES = {
    "NaN in X": r"^Input X contains NaN",
    "NaN in y": r"^Input y contains NaN\.$",
    "a third label": r"^Only binary classification is supported\. The type of the target is multiclass\.$",
    "a negative weight": r"^Negative values in data passed to `sample_weight`\.$",
    "an infinite offset": r"^offset contains NaN or infinity: every row needs a finite offset\.$",
    "a NaN cluster label": r"^clusters contains missing labels \(NaN or None\): every row needs a cluster\.$",
    "one class": r"^y contains only one class \(0\.0\): a classifier needs samples of two classes\.$",
    "y one row short": r"^Found input variables with inconsistent numbers of samples: \[3000, 2999\]$",
    "weights one row short": r"^sample_weight\.shape == \(2999,\), expected \(3000,\)!$",
}

_SPARK_COLUMN = "column {!r} of the Spark DataFrame has 1 missing or infinite value"
# Absorbed columns beyond one: what each distributed back end refuses.
TWO_ABSORBED = "two absorbed columns"

ADAPTERS = {
    adapter.name: adapter
    for adapter in [
        Adapter("memory", _fit_in_memory, MEMORY_MESSAGES),
        Adapter(
            "dask",
            _fit_on_dask,
            {
                **MEMORY_MESSAGES,
                # Checked chunk by chunk in the first pass's tasks: the
                # in-memory message, after the chunk's name.
                **{
                    fault: _chunk(MEMORY_MESSAGES[fault].removeprefix("^"))
                    for fault in ("NaN in X", "NaN in y", "a negative weight")
                },
                "a third label": r"^Only binary classification is supported\. The type of the target is "
                r"multiclass: row chunk \d+ \(X\.blocks\[\d+\], rows \d+ to \d+\) brings labels beyond two",
                # Every companion is rechunked to X's rows, which checks its length as y's is checked.
                "weights one row short": MEMORY_MESSAGES["y one row short"],
            },
        ),
        Adapter(
            "spark",
            _fit_on_spark,
            {
                **MEMORY_MESSAGES,
                # One job of Spark's aggregates finds the formula's missing
                # values, and the first pass the companions' bad values, by column.
                "NaN in X": "^" + re.escape(_SPARK_COLUMN.format("x1")),
                "NaN in y": "^" + re.escape(_SPARK_COLUMN.format("y")),
                "a third label": r"^the formula's left-hand side \(the labels\) has 3 distinct values "
                r"\(0\.0, 1\.0, 2\.0\); a logistic regression needs exactly two\.$",
                "a negative weight": r"^sample_weight column 'w' has 1 bad value\(s\) in the Spark DataFrame: "
                r"weights must be non-negative\.$",
                "an infinite offset": r"^offset column 'o' has 1 bad value\(s\) in the Spark DataFrame: every "
                r"row needs a finite value",
                "a NaN cluster label": r"^clusters column 'c0' has 1 bad value\(s\) in the Spark DataFrame: "
                r"every row needs a cluster \(null labels\)\.$",
                # A Spark DataFrame's rows have no order that an array could
                # follow: the labels come from the formula, the companions
                # are named columns.
                "y one row short": r"^with a formula on a Spark DataFrame, y is its left-hand side: call "
                r"fit\(data\) without y",
                "weights one row short": r"^on a Spark DataFrame, sample_weight names a column of the data "
                r"\(sample_weight='w'\), not ndarray",
            },
            refuses={TWO_ABSORBED: r"absorbs one column; \['firm', 'year'\] are several"},
            # `make test` runs one fit of each kind and every check of the
            # first pass (which stop before any update); the rest, at a
            # few seconds of Spark jobs each, `make ci-checks`.
            slow_cases=frozenset(
                {"HC1", "HC3, penalised", "cluster", "two-way cluster", "a dependent column"}
            ),
            session="spark",
        ),
    ]
}

# Every registered back end, the rows in memory first.
NAMES = ["memory", *(backend.name for backend in _backends._REGISTERED)]
_missing = [name for name in NAMES if name not in ADAPTERS]
if _missing:
    raise LookupError(f"back end(s) {_missing} are registered but have no adapter in {__name__}.py")


def each_backend(cases):
    """(backend, case) for every registered back end and case, the cases a
    back end leaves to `make ci-checks` marked slow, and those that need a
    Spark session marked spark (which the sanitizer's run leaves out)."""
    params = []
    for name in NAMES:
        adapter = ADAPTERS[name]
        for case in cases:
            marks = [pytest.mark.slow] if case in adapter.slow_cases else []
            if adapter.session == "spark":
                marks.append(pytest.mark.spark)
            params.append(pytest.param(name, case, marks=marks, id=f"{name}-{case}"))
    return params
