"""Every warning of the package names the line of the user's call, whatever
the entry and the path through the package behind it."""

import warnings

import numpy as np
import pytest

import quorvi
from quorvi import LogisticRegression

pd = pytest.importorskip("pandas")
dd = pytest.importorskip("dask.dataframe")
da = pytest.importorskip("dask.array")
pytest.importorskip("formulaic")


def _frame():
    """z = 2x is a linear combination of x, and level 0 of g has outcomes
    all 1."""
    rng = np.random.default_rng(0)
    frame = pd.DataFrame({"x": rng.standard_normal(400), "g": rng.integers(0, 8, 400)})
    frame["y"] = ((rng.random(400) < 0.4) | (frame["g"] == 0)).astype(int)
    frame["z"] = 2 * frame["x"]
    return frame


def _penalised():
    frame = _frame()
    return LogisticRegression(C=1.0).fit(frame[["x"]], frame["y"]), frame


ENTRIES = {
    "fit": lambda f: LogisticRegression().fit(f[["x", "z"]], f["y"]),
    "logit": lambda f: quorvi.logit("y ~ x + z", f),
    "fit on Dask": lambda f: LogisticRegression(max_iter=1).fit(
        da.from_array(f[["x"]].to_numpy(), chunks=100), da.from_array(f["y"].to_numpy(), chunks=100)
    ),
    "absorb=": lambda f: LogisticRegression(absorb="g").fit(f[["x", "g"]], f["y"]),
    "| fe": lambda f: quorvi.logit("y ~ x | g", f),
    "absorb= on Dask": lambda f: LogisticRegression(absorb="g").fit(
        dd.from_pandas(f[["x", "g"]], npartitions=2), dd.from_pandas(f["y"], npartitions=2).to_dask_array()
    ),
    "marginal_effects": lambda f: _penalised()[0].marginal_effects(f[["x"]]),
    "coef_table": lambda f: _penalised()[0].coef_table(),
    "prediction_table": lambda f: _penalised()[0].prediction_table(f[["x"]]),
}


@pytest.mark.parametrize("entry", ENTRIES)
def test_a_warning_names_the_callers_line(entry):
    frame = _frame()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        ENTRIES[entry](frame)
    ours = [w for w in caught if type(w.message).__module__.startswith(("quorvi", "sklearn"))]
    assert ours, [str(w.message) for w in caught]
    assert {w.filename for w in ours} == {__file__}, [(w.filename, w.lineno, str(w.message)) for w in ours]
