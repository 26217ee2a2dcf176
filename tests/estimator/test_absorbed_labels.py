"""The label type of an absorbed column changes nothing: a Categorical, an
Arrow dictionary, a polars Categorical or Enum and strings are read as codes
into their categories, and must give the very fit that the same levels as
int32 codes give; a missing label is refused, and a new frame is read by its
labels' values, not by its codes."""

import numpy as np
import pytest
from scipy.special import expit

from quorvi import LogisticRegression

pd = pytest.importorskip("pandas")
pa = pytest.importorskip("pyarrow")
pl = pytest.importorskip("polars")

# Above 16,384 rows, so that the engine's staged level sums are the ones used.
N_ROWS, FIRMS, YEARS = 20_000, 300, 12


def _text(codes):
    # Zero-padded, so that the labels' sorted order is the codes' order and
    # every label type numbers the levels alike.
    return np.char.add("f", np.char.zfill(codes.astype(str), 4)).astype(object)


@pytest.fixture(scope="module")
def panel():
    rng = np.random.default_rng(3)
    firm = rng.integers(0, FIRMS, N_ROWS).astype(np.int32)
    year = rng.integers(0, YEARS, N_ROWS).astype(np.int32)
    x = rng.standard_normal((N_ROWS, 2))
    eta = x @ [0.6, -0.4] + rng.normal(0, 0.5, FIRMS)[firm] + 0.1 * year - 0.5
    y = (rng.random(N_ROWS) < expit(eta)).astype(float)
    X = pd.DataFrame({"x1": x[:, 0], "x2": x[:, 1], "firm": firm, "year": year})
    return X, y


def _shuffled_categorical(codes, rng):
    # All the levels in a random order, with two categories no row has.
    categories = np.concatenate([_text(np.arange(codes.max() + 1)), ["a-unused", "z-unused"]])
    order = rng.permutation(len(categories))
    position = np.empty(len(order), dtype=int)
    position[order] = np.arange(len(order))
    return pd.Categorical.from_codes(position[codes], categories[order])


def _arrow_chunks(codes):
    # Two chunks, each dictionary-encoded on its own: differing dictionaries.
    half = len(codes) // 2
    chunks = [pa.array(_text(codes[:half]).tolist()), pa.array(_text(codes[half:]).tolist())]
    return pd.arrays.ArrowExtensionArray(pa.chunked_array([chunk.dictionary_encode() for chunk in chunks]))


def _arrow_sorted_with_unused(codes):
    # One chunk, int32 indices into a sorted dictionary with a value no row has
    # (read in place by the engine, its unused level cut after the fit).
    dictionary = pa.array([*_text(np.arange(codes.max() + 1)).tolist(), "f9999"])
    return pd.arrays.ArrowExtensionArray(
        pa.chunked_array([pa.DictionaryArray.from_arrays(pa.array(codes, pa.int32()), dictionary)])
    )


def _polars(X, names, dtype_of):
    frame = pl.from_pandas(X[["x1", "x2"]])
    return frame.with_columns(
        pl.Series(name, _text(X[name].to_numpy()).tolist(), dtype=dtype_of(X[name].to_numpy()))
        for name in names
    )


def _reversed_enum(codes):
    return pl.Enum(_text(np.arange(codes.max() + 1))[::-1].tolist())


def _each(convert):
    return lambda X, names, rng: X.assign(**{name: convert(X[name].to_numpy(), rng) for name in names})


LABEL_TYPES = {
    "pandas Categorical, shuffled and unused categories": _each(_shuffled_categorical),
    # Integer categories are integer levels, as the integers themselves are.
    "pandas Categorical of integers": _each(lambda codes, rng: pd.Categorical(codes)),
    "pandas Categorical of sorted categories (int16 and int8 codes)": _each(
        lambda codes, rng: pd.Series(_text(codes)).astype("category")
    ),
    "strings": _each(lambda codes, rng: _text(codes)),
    "Arrow dictionary, chunks of differing dictionaries": _each(lambda codes, rng: _arrow_chunks(codes)),
    "Arrow dictionary, sorted, read in place": _each(lambda codes, rng: _arrow_sorted_with_unused(codes)),
    "polars Categorical": lambda X, names, rng: _polars(X, names, lambda codes: pl.Categorical),
    "polars Enum in another order": lambda X, names, rng: _polars(X, names, _reversed_enum),
    "polars strings": lambda X, names, rng: _polars(X, names, lambda codes: pl.String),
    "pyarrow Table of dictionaries": lambda X, names, rng: pa.Table.from_pandas(
        _each(lambda codes, rng: _arrow_chunks(codes))(X, names, rng), preserve_index=False
    ),
    "pyarrow Table of strings": lambda X, names, rng: pa.Table.from_pandas(
        _each(lambda codes, rng: _text(codes))(X, names, rng), preserve_index=False
    ),
}


@pytest.mark.parametrize("absorb", [["firm"], ["firm", "year"]])
@pytest.mark.parametrize("label_type", LABEL_TYPES)
def test_every_label_type_gives_the_fit_of_int32_codes(panel, label_type, absorb):
    X, y = panel
    X = X[["x1", "x2", *absorb]]
    reference = LogisticRegression(absorb=absorb, cov_type="HC1" if len(absorb) == 1 else "nonrobust")
    reference.fit(X, y)
    labelled = LABEL_TYPES[label_type](X, absorb, np.random.default_rng(1))
    model = LogisticRegression(absorb=absorb, cov_type=reference.cov_type).fit(labelled, y)
    # The same codes reach the engine, so the same sums in the same order:
    # equal to the last bit. Codes read in place keep their unused level in
    # the engine until after the fit, and the conjugate gradients' sums over
    # the levels, one longer, are blocked otherwise: a few ulps of effects
    # of about 0.5.
    exact = len(absorb) == 1 or "in place" not in label_type
    tolerance = {"rtol": 0, "atol": 0 if exact else 1e-13}
    np.testing.assert_allclose(model.coef_, reference.coef_, **tolerance)
    np.testing.assert_allclose(model.intercept_, reference.intercept_, **tolerance)
    np.testing.assert_allclose(model.coef_table().iloc[:, 1], reference.coef_table().iloc[:, 1], **tolerance)
    numbers = "integers" in label_type
    for name in absorb:
        effects = model.fixed_effects_[name]
        levels = reference.fixed_effects_[name].index.to_numpy()
        expected_levels = levels if numbers else _text(levels)
        assert list(effects.index) == expected_levels.tolist()
        np.testing.assert_allclose(effects.to_numpy(), reference.fixed_effects_[name].to_numpy(), **tolerance)
    expected = reference.predict_proba(X)
    np.testing.assert_allclose(model.predict_proba(labelled), expected, **tolerance)

    # A new frame's Categorical with its categories in another order (and
    # one no row has, not seen in fit) is read by the labels' values.
    def reorder(labels):
        return pd.Categorical(
            labels, categories=[-1 if numbers else "never seen", *sorted(set(labels))[::-1]]
        )

    reordered = X.assign(
        **{name: reorder(X[name].to_numpy() if numbers else _text(X[name].to_numpy())) for name in absorb}
    )
    np.testing.assert_allclose(model.predict_proba(reordered), expected, **tolerance)


def _missing_third(X):
    labels = _text(X["fe"].to_numpy())
    labels[3] = None
    return labels


@pytest.mark.parametrize(
    "change",
    [
        pytest.param(lambda X: X.assign(fe=pd.Categorical(_missing_third(X))), id="pandas Categorical"),
        pytest.param(
            lambda X: X.assign(
                fe=pd.arrays.ArrowExtensionArray(
                    pa.chunked_array(
                        [pa.array(_missing_third(X)[:2].tolist()), pa.array(_missing_third(X)[2:].tolist())]
                    ).dictionary_encode()
                )
            ),
            id="Arrow dictionary",
        ),
        # A dictionary with a null value, which row 3 indexes.
        pytest.param(
            lambda X: X.assign(
                fe=pd.arrays.ArrowExtensionArray(
                    pa.chunked_array(
                        [
                            pa.DictionaryArray.from_arrays(
                                pa.array(np.where(np.arange(len(X)) == 3, 5, X["fe"].to_numpy()), pa.int32()),
                                pa.array(["a", "b", "c", "d", "e", None]),
                            )
                        ]
                    )
                )
            ),
            id="Arrow dictionary, a null value",
        ),
        pytest.param(lambda X: X.assign(fe=_missing_third(X)), id="strings"),
        pytest.param(
            lambda X: pl.from_pandas(X[["x"]]).with_columns(
                fe=pl.Series(_missing_third(X).tolist(), dtype=pl.Categorical)
            ),
            id="polars Categorical",
        ),
    ],
)
def test_a_missing_label_of_any_type_is_refused_by_its_row(change):
    rng = np.random.default_rng(0)
    X = pd.DataFrame({"x": rng.standard_normal(200), "fe": rng.integers(0, 5, 200)})
    y = (rng.random(200) < 0.5).astype(float)
    with pytest.raises(
        ValueError, match=r"^absorbed column 'fe' has a missing value at row 3: every row needs"
    ):
        LogisticRegression(absorb="fe").fit(change(X), y)
    model = LogisticRegression(absorb="fe").fit(X.assign(fe=_text(X["fe"].to_numpy())), y)
    with pytest.raises(ValueError, match="'fe' has a missing value at row 3"):
        model.predict(change(X))
    unseen = X.assign(fe=pd.Categorical(np.where(np.arange(200) == 7, "f0009", _text(X["fe"].to_numpy()))))
    with pytest.raises(ValueError, match=r"'fe' has the level 'f0009' \(row 7\), which was not seen in fit"):
        model.predict(unseen)
