"""A formula's absorbed part (``| fe``) on a Dask DataFrame: the fit of
absorb= on the same frame, and the in-memory fit of the same formula, and
its predictions on the Dask data."""

import numpy as np
import pytest
from scipy.special import expit

import quorvi
from quorvi import LogisticRegression

pd = pytest.importorskip("pandas")
dd = pytest.importorskip("dask.dataframe")
pytest.importorskip("formulaic")


@pytest.fixture(scope="module")
def panel():
    rng = np.random.default_rng(4)
    n = 3000
    frame = pd.DataFrame(
        {
            "x": rng.standard_normal(n),
            "z": rng.standard_normal(n),
            "firm": rng.integers(0, 60, n),
            "g": pd.Categorical(rng.integers(0, 3, n)),
        }
    )
    frame["y"] = (rng.random(n) < expit(frame["x"] - 0.5 * frame["z"] + 0.02 * frame["firm"])).astype(int)
    return frame


@pytest.mark.parametrize(
    ("rhs", "columns", "cov_type"),
    [
        ("x + z", ["x", "z"], "HC1"),
        # Hat values: each row's leverage beside its level's 1/D.
        ("x + z", ["x", "z"], "HC3"),
        ("x + z + C(g)", ["x", "z", "g"], "nonrobust"),
    ],
)
def test_an_absorbed_part_on_dask_is_absorb_on_the_same_frame(panel, rhs, columns, cov_type):
    data = dd.from_pandas(panel, npartitions=3)
    formula = quorvi.logit(f"y ~ {rhs} | firm", data, cov_type=cov_type)
    absorbed = LogisticRegression(absorb="firm", cov_type=cov_type).fit(
        data[[*columns, "firm"]], data["y"].to_dask_array(lengths=True)
    )
    in_memory = quorvi.logit(f"y ~ {rhs} | firm", panel, cov_type=cov_type)
    # The same chunk sums in the same order: equal but for the order of
    # a reduction's additions against the in-memory pass (1e-9).
    for other, rtol in ((absorbed, 1e-12), (in_memory, 1e-9)):
        np.testing.assert_allclose(formula.coef_, other.coef_, rtol=rtol)
        np.testing.assert_allclose(formula.covariance_, other.covariance_, rtol=rtol)
        np.testing.assert_allclose(
            formula.fixed_effects_["firm"], other.fixed_effects_["firm"], rtol=rtol, atol=1e-12
        )
        np.testing.assert_allclose(formula.aic_, other.aic_, rtol=rtol)
    np.testing.assert_allclose(formula.predict_proba(panel), in_memory.predict_proba(panel), rtol=1e-9)
    # On the Dask data: each partition's design frame, its firms mapped to their effects.
    np.testing.assert_allclose(
        formula.predict_proba(data).compute(), in_memory.predict_proba(panel), rtol=1e-9, atol=1e-15
    )
