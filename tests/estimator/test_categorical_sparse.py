"""Categorical columns of a DataFrame and scipy.sparse matrices: the fit reads
codes and nonzeros in place, and must equal the fit of the dense one-hot (or
densified) design by an independent fitter."""

import numpy as np
import pytest

from quorvi import LogisticRegression, _native

pd = pytest.importorskip("pandas")
sparse = pytest.importorskip("scipy.sparse")


def _frame(n, seed):
    """Two numeric columns, a category column (with an unused level) and a
    string column, and a response that depends on all of them."""
    rng = np.random.default_rng(seed)
    state = pd.Categorical(rng.choice(list("pqrst"), n), categories=list("pqrstu"))
    frame = pd.DataFrame(
        {
            "age": rng.normal(size=n),
            "state": state,
            "income": rng.normal(size=n),
            "city": rng.choice(["east", "north", "west"], n),
        }
    )
    eta = 0.5 * frame.age - 0.3 * frame.income + 0.2 * frame.state.cat.codes - 0.5 * (frame.city == "north")
    y = (rng.random(n) < 1 / (1 + np.exp(-eta))).astype(np.int64)
    return frame, y


def _one_hot(frame, drop_first):
    """The dense design statsmodels fits: numeric columns, then the
    indicators of each categorical's observed levels."""
    used = frame.assign(state=frame.state.cat.remove_unused_categories())
    return pd.get_dummies(used, columns=["state", "city"], drop_first=drop_first, dtype=float)


@pytest.mark.parametrize("fit_intercept", [True, False])
def test_frame_equals_statsmodels_on_the_one_hot_design(fit_intercept):
    sm = pytest.importorskip("statsmodels.api")
    frame, y = _frame(20_000, seed=3)
    model = LogisticRegression(fit_intercept=fit_intercept, tol=1e-12).fit(frame, y)
    # The unused level "u" has no parameter.
    table = model.coef_table()
    # Without an intercept the first categorical keeps its first level.
    design = _one_hot(frame, drop_first=True)
    if fit_intercept:
        design = sm.add_constant(design).rename(columns={"const": "intercept"})
    else:
        design.insert(2, "state_p", (frame.state == "p").astype(float))
    reference = sm.GLM(y, design, family=sm.families.Binomial()).fit(tol=1e-12)
    names = [name.replace("state_", "state[").replace("city_", "city[") for name in design.columns]
    names = [name + "]" if "[" in name else name for name in names]
    assert list(table.index) == names
    # Same estimates up to the rounding of two different summation orders.
    np.testing.assert_allclose(table["coef"], reference.params, rtol=1e-8, atol=1e-12)
    np.testing.assert_allclose(table["std err"], reference.bse, rtol=1e-8)
    np.testing.assert_allclose(
        model.predict_proba(frame)[:, 1], reference.fittedvalues, rtol=1e-8, atol=1e-14
    )
    if fit_intercept:
        # The column's name tests all its levels at once.
        levels = [f"city[{level}]" for level in ("north", "west")]
        expected = reference.wald_test(
            np.eye(len(names))[[names.index(level) for level in levels]], scalar=True
        ).statistic
        np.testing.assert_allclose(model.wald_test("city").statistic, expected, rtol=1e-8)


@pytest.mark.parametrize("fit_intercept", [True, False])
@pytest.mark.parametrize(
    "layout", ["csr", "csc", "csr int64 indices", "csr array", "csr unsorted with duplicates"]
)
def test_sparse_equals_the_dense_fit_of_the_same_matrix(layout, fit_intercept):
    rng = np.random.default_rng(5)
    X = sparse.random(3_000, 40, density=0.05, random_state=rng, format="coo")
    # Column 7 all zero (dropped as in the dense fit), row 10 without nonzeros.
    kept = (X.col != 7) & (X.row != 10)
    X = sparse.csr_matrix((X.data[kept], (X.row[kept], X.col[kept])), shape=X.shape)
    y = (rng.random(3_000) < 1 / (1 + np.exp(-(X @ rng.normal(size=40))))).astype(float)
    dense = X.toarray()
    if layout == "csc":
        X = X.tocsc()
    elif layout == "csr int64 indices":
        X.indices, X.indptr = X.indices.astype(np.int64), X.indptr.astype(np.int64)
    elif layout == "csr array":
        X = sparse.csr_array(X)
    elif layout == "csr unsorted with duplicates":
        # Each value stored as two halves (exact), each row's columns in
        # decreasing order: the kernel takes rows in increasing order only.
        coo = X.tocoo()
        rows, columns = np.tile(coo.row, 2), np.tile(coo.col, 2)
        order = np.lexsort((-columns, rows))
        indptr = np.concatenate([[0], np.cumsum(np.bincount(rows, minlength=X.shape[0]))])
        X = sparse.csr_matrix((np.tile(coo.data / 2, 2)[order], columns[order], indptr), shape=X.shape)
        assert not X.has_canonical_format
    with pytest.warns(Warning, match="x7"):
        fitted = LogisticRegression(fit_intercept=fit_intercept, tol=1e-12).fit(X, y)
    with pytest.warns(Warning, match="x7"):
        reference = LogisticRegression(fit_intercept=fit_intercept, tol=1e-12).fit(dense, y)
    np.testing.assert_allclose(fitted.coef_, reference.coef_, rtol=1e-10, atol=1e-12)
    np.testing.assert_allclose(fitted.covariance_, reference.covariance_, rtol=1e-10, atol=1e-14)
    np.testing.assert_allclose(
        fitted.predict_proba(X), reference.predict_proba(dense), rtol=1e-12, atol=1e-15
    )
    # The average marginal effects read X's rows block by block: sparse
    # blocks too; without X, from the sums the fit's passes formed over the
    # sparse rows (the dropped column's row NaN alike).
    expected = reference.marginal_effects(dense).to_numpy(dtype=float)
    for effects in (fitted.marginal_effects(X), fitted.marginal_effects()):
        np.testing.assert_allclose(effects.to_numpy(dtype=float), expected, rtol=1e-10, atol=1e-14)


def _with_ones(design):
    """design after a column of ones, where statsmodels' add_constant puts it."""
    return np.column_stack([np.ones(len(design)), np.asarray(design, dtype=float)])


def _robust_reference(design, y, cov_type, groups):
    """Standard errors of statsmodels' GLM fit of the dense design: its HC0
    times sqrt(n / (n - k)) for HC1 (its GLM's HC1 has no such factor), its
    cluster covariance, and for HC3 the textbook sandwich at its
    coefficients, (X'WX)^-1 X' diag(r^2 / (1 - h)^2) X (X'WX)^-1 with h the
    diagonal of W^1/2 X (X'WX)^-1 X' W^1/2 (R's sandwich::vcovHC)."""
    sm = pytest.importorskip("statsmodels.api")
    glm = sm.GLM(y, design, family=sm.families.Binomial())
    if cov_type == "cluster":
        return np.asarray(glm.fit(tol=1e-13, cov_type="cluster", cov_kwds={"groups": groups}).bse)
    result = glm.fit(tol=1e-13, cov_type="HC0")
    n, k = design.shape
    if cov_type == "HC1":
        return np.asarray(result.bse) * np.sqrt(n / (n - k))
    D = np.asarray(design, dtype=float)
    mu = np.asarray(result.fittedvalues)
    w = mu * (1 - mu)
    bread = np.linalg.inv(D.T @ (w[:, None] * D))
    h = w * np.einsum("ij,jk,ik->i", D, bread, D)
    meat = D.T @ ((((y - mu) / (1 - h)) ** 2)[:, None] * D)
    return np.sqrt(np.diag(bread @ meat @ bread))


@pytest.mark.parametrize(
    ("design", "cov_type"),
    [("categoricals", "HC1"), ("categoricals", "HC3"), ("categoricals", "cluster"), ("sparse", "HC3")],
)
def test_robust_standard_errors_equal_those_of_the_dense_design(design, cov_type):
    # The scattered entries' terms in the meat, the hat values and the
    # cluster scores, against a fitter that sees every column densely.
    rng = np.random.default_rng(7)
    groups = rng.integers(0, 40, 5_000)
    if design == "categoricals":
        X, y = _frame(5_000, seed=8)
        y = np.asarray(y, dtype=float)
        dense = _with_ones(_one_hot(X, drop_first=True))
    else:
        X = sparse.random(5_000, 20, density=0.1, random_state=rng, format="csr")
        X.data += 1.0
        y = (rng.random(5_000) < 1 / (1 + np.exp(-(X @ rng.normal(size=20)) + 1))).astype(float)
        dense = _with_ones(X.toarray())
    model = LogisticRegression(cov_type=cov_type, tol=1e-12).fit(
        X, y, clusters=groups if cov_type == "cluster" else None
    )
    standard_errors = model.coef_table()["std err"]
    # Two fits and two summation orders agree far better than rtol; atol for
    # none in particular (no standard error here is near zero).
    np.testing.assert_allclose(
        standard_errors, _robust_reference(dense, y, cov_type, groups), rtol=1e-6, atol=1e-12
    )


def test_one_and_several_workers_give_the_same_bits():
    frame, y = _frame(40_000, seed=4)  # three chunks of rows
    sparse_X = sparse.random(40_000, 30, density=0.1, random_state=1, format="csr")
    sparse_X.data += 1.0  # values away from 0, so that no column is near-constant
    # The cluster scores of a chunk reach their groups in row order, their
    # scattered entries read again from X when the chunk is added.
    groups = np.arange(40_000) % 97
    for X, cov_type in ((frame, "nonrobust"), (sparse_X, "nonrobust"), (frame, "cluster"), (sparse_X, "HC3")):
        clusters = groups if cov_type == "cluster" else None
        fits = [
            LogisticRegression(n_threads=k, cov_type=cov_type).fit(X, y, clusters=clusters) for k in (1, 3)
        ]
        assert fits[0].coef_.tobytes() == fits[1].coef_.tobytes()
        assert fits[0].covariance_.tobytes() == fits[1].covariance_.tobytes()


_FIT_FRAME, _FIT_Y = _frame(60, seed=6)


def _changed(column, row, value):
    frame = _FIT_FRAME.copy()
    values = frame[column].astype(object)
    values.iloc[row] = value
    frame[column] = values.astype(frame[column].dtype) if value is not None or column != "state" else values
    return frame


BAD_FRAMES = {
    "one level": (
        _FIT_FRAME.assign(city="east"),
        "fit",
        r"categorical column 'city' has only one level \('east'\)",
    ),
    "datetime column": (
        _FIT_FRAME.assign(when=pd.Timestamp("2024-01-01")),
        "fit",
        r"column 'when' (has dtype datetime64|of the polars DataFrame has dtype Datetime)",
    ),
    "missing in fit": (
        _changed("city", 4, None),
        "fit",
        r"column 'city' has a missing value \(row 4\) in fit",
    ),
    "unseen level": (
        _changed("city", 2, "south"),
        "predict",
        r"column 'city' has the level 'south' \(row 2\)",
    ),
    # "u" is a declared category without rows in fit, so it has no parameter.
    "level unused in fit": (
        _changed("state", 7, "u"),
        "predict",
        r"column 'state' has the level 'u' \(row 7\), which was not seen in fit",
    ),
    "missing at prediction": (
        _FIT_FRAME.assign(state=_FIT_FRAME.state.cat.add_categories(["v"]).where(_FIT_FRAME.index != 1)),
        "predict",
        r"column 'state' has a missing value \(row 1\) at prediction",
    ),
    "missing number": (_changed("age", 3, np.nan), "fit", r"column 'age' has a missing value \(row 3\)"),
    "infinite number": (_changed("age", 5, -np.inf), "fit", r"column 'age' has an infinite value \(row 5\)"),
    "infinite number at prediction": (
        _changed("income", 9, np.inf),
        "predict",
        r"column 'income' has an infinite value \(row 9\)",
    ),
}


@pytest.mark.parametrize("library", ["pandas", "polars"])
@pytest.mark.parametrize("case", list(BAD_FRAMES))
def test_bad_frames_are_refused_naming_the_column(case, library):
    frame, when, message = BAD_FRAMES[case]
    fit_frame = _FIT_FRAME
    if library == "polars":
        pl = pytest.importorskip("polars")
        frame, fit_frame = pl.from_pandas(frame), pl.from_pandas(_FIT_FRAME)
    model = LogisticRegression()
    if when == "fit":
        with pytest.raises(ValueError, match=message):
            model.fit(frame, _FIT_Y)
        assert not hasattr(model, "coef_")
    else:
        model.fit(fit_frame, _FIT_Y)
        with pytest.raises(ValueError, match=message):
            model.predict_proba(frame)


_CODES = np.array([0, 1, 2, 1], dtype=np.int8)
_Y4 = np.array([0.0, 1.0, 1.0, 0.0])


def _sparse(indices, indptr, n_values):
    return _native.SparseBlock(
        data=np.ones(n_values), indices=np.array(indices, dtype=np.int32), indptr=np.array(indptr), n_cols=5
    )


# What would make the kernel read a coefficient out of range is refused
# where the block is made or where the native entry builds the design (the
# values, which stay writable after the block is made); so is an item that
# is no block.
@pytest.mark.parametrize(
    ("blocks", "error", "message"),
    [
        (
            lambda: [
                _native.CategoricalBlock(
                    codes=np.array([0, 3, 1, 2], dtype=np.int8), n_levels=3, drop_first=True
                )
            ],
            ValueError,
            r"code at row 1 is not in \[0, 3\)",
        ),
        (
            lambda: [
                _native.CategoricalBlock(
                    codes=np.array([0, -1, 1, 2], dtype=np.int16), n_levels=3, drop_first=True
                )
            ],
            ValueError,
            r"code at row 1 is not in \[0, 3\)",
        ),
        (
            lambda: [_native.CategoricalBlock(codes=_CODES.astype(np.int64), n_levels=3, drop_first=True)],
            ValueError,
            "int8, int16 or int32",
        ),
        (lambda: [_sparse([0, 5], [0, 1, 2, 2, 2], 2)], ValueError, "column index 5 is out of range"),
        (lambda: [_sparse([0, 1], [0, 2, 1, 2, 2], 2)], ValueError, "row pointers decrease at row 1"),
        (
            lambda: [_sparse([0, 2, 2], [0, 1, 3, 3, 3], 3)],
            ValueError,
            "column indices do not increase within row 1",
        ),
        # A multiplier that is not finite would reach every sum through its
        # level's column; one the kernel cannot read in place is not copied.
        (
            lambda: [
                _native.VaryingSlopeBlock(
                    codes=_CODES, n_levels=3, drop_first=True, multiplier=np.array([1.0, 2.0, np.inf, 0.0])
                )
            ],
            ValueError,
            "varying-slope block's multiplier has an infinite value at row 2",
        ),
        (
            lambda: [
                _native.VaryingSlopeBlock(
                    codes=_CODES, n_levels=3, drop_first=False, multiplier=np.array([1.0, np.nan, 2.0, 0.0])
                )
            ],
            ValueError,
            "varying-slope block's multiplier has a NaN value at row 1",
        ),
        (
            lambda: [
                _native.VaryingSlopeBlock(
                    codes=_CODES, n_levels=3, drop_first=True, multiplier=np.ones(4, dtype=np.float32)
                )
            ],
            ValueError,
            "multiplier must be a 1-D, contiguous, aligned float64 array",
        ),
        (
            lambda: [
                _native.CategoricalBlock(codes=_CODES, n_levels=3, drop_first=True),
                _native.DenseBlock(values=np.ones((4, 1))),
            ],
            ValueError,
            "dense blocks must come before",
        ),
        (lambda: [_native.DenseBlock(values=np.ones((3, 1)))], ValueError, "y has 4 elements; X has 3 rows"),
        (
            lambda: [("dense", np.ones((4, 1)))],
            TypeError,
            "^block 0 is not a DenseBlock, CategoricalBlock, SparseBlock or VaryingSlopeBlock: tuple$",
        ),
    ],
)
def test_native_design_blocks_are_checked(blocks, error, message):
    options = _native.FitOptions(fit_intercept=True, tol=1e-8, max_iter=10, n_threads=1)
    with pytest.raises(error, match=message):
        _native.fit(blocks(), _Y4, None, options=options)


def _election():
    """The 1996 election data (statsmodels' anes96): vote, age, income and
    educ as the strings "1".."7"."""
    sm = pytest.importorskip("statsmodels.api")
    anes = sm.datasets.anes96.load_pandas().data
    educ = anes.educ.astype(int).astype(str).to_numpy(dtype=object)
    return anes.vote.to_numpy(), anes.age.to_numpy(), anes.income.to_numpy(), educ


_WORDS = dict(
    zip(
        "1234567",
        ["grade", "some high", "high school", "some college", "college", "master", "phd"],
        strict=True,
    )
)
_DIGITS = [str(level) for level in range(1, 8)]

# X of each library, the same frame in pandas, and educ's levels in the
# order that fit must code them (the first the reference): a declared order
# (pandas categories, a polars Enum) kept but for the levels without rows, a
# polars Categorical's or a string column's sorted distinct values.
FRAMES = {
    "pandas categories, an unused first one": (
        "pandas",
        lambda educ: pd.Categorical(educ, categories=["0", *_DIGITS]),
        _DIGITS,
    ),
    "polars Categorical": ("polars", lambda educ: ("Categorical", educ), _DIGITS),
    "polars Enum, an unused first level": ("polars", lambda educ: (["0", *_DIGITS], educ), _DIGITS),
    "polars Enum in another order": ("polars", lambda educ: (_DIGITS[::-1], educ), _DIGITS[::-1]),
    "polars String": ("polars", lambda educ: ("String", educ), _DIGITS),
    "polars String of words": (
        "polars",
        lambda educ: ("String", np.array([_WORDS[value] for value in educ], dtype=object)),
        sorted(_WORDS.values()),
    ),
    "polars numbers only": ("polars", None, None),
}


def _frames(library, coding, age, income, educ):
    """(X, the same columns as a pandas frame) for one row of FRAMES."""
    if coding is None:
        frame = pd.DataFrame({"age": age, "income": income})
        return pytest.importorskip("polars").from_pandas(frame), frame
    if library == "pandas":
        frame = pd.DataFrame({"age": age, "educ": coding(educ)})
        return frame, frame.assign(educ=frame.educ.cat.remove_unused_categories())
    pl = pytest.importorskip("polars")
    kind, values = coding(educ)
    dtype = pl.Enum(kind) if isinstance(kind, list) else getattr(pl, kind)
    X = pl.DataFrame({"age": age, "educ": pl.Series(values.tolist(), dtype=pl.String).cast(dtype)})
    used = [level for level in kind if level in set(values)] if isinstance(kind, list) else None
    return X, pd.DataFrame({"age": age, "educ": pd.Categorical(values, categories=used)})


def _reordered(X):
    """X with educ's categories those of fit in reverse order (None where
    educ declares none): its own codes then mean other levels."""
    if isinstance(X, pd.DataFrame):
        used = X.educ.cat.remove_unused_categories()
        return X.assign(educ=used.cat.reorder_categories(used.cat.categories[::-1]))
    pl = pytest.importorskip("polars")
    dtype = X.schema.get("educ")
    if not isinstance(dtype, pl.Enum):
        return None
    return X.with_columns(pl.col("educ").cast(pl.String).cast(pl.Enum(list(dtype.categories)[::-1])))


@pytest.mark.parametrize("case", list(FRAMES))
def test_frames_of_every_library_equal_statsmodels_on_the_dummy_design(case):
    # Every library's frame is coded as pandas codes it (the same bits), and
    # that is reference coding of the levels with rows, the first of them
    # the reference: statsmodels' GLM on that dummy design.
    sm = pytest.importorskip("statsmodels.api")
    library, coding, levels = FRAMES[case]
    y, age, income, educ = _election()
    X, pandas_X = _frames(library, coding, age, income, educ)
    model = LogisticRegression(tol=1e-12).fit(X, y)
    same = LogisticRegression(tol=1e-12).fit(pandas_X, y)
    assert model.coef_.tobytes() == same.coef_.tobytes()
    assert model.covariance_.tobytes() == same.covariance_.tobytes()
    if levels is None:
        design, names = np.column_stack([age, income]), ["age", "income"]
    else:
        values = educ if "words" not in case else np.array([_WORDS[value] for value in educ], dtype=object)
        dummies = (values[:, None] == np.array(levels[1:], dtype=object)[None, :]).astype(float)
        design, names = np.column_stack([age, dummies]), ["age", *(f"educ[{level}]" for level in levels[1:])]
        assert list(model.categories_["educ"]) == levels
    reference = sm.GLM(y, sm.add_constant(design), family=sm.families.Binomial()).fit(tol=1e-12)
    table = model.coef_table()
    assert list(table.index) == ["intercept", *names]
    # Two fitters, two summation orders: far inside rtol.
    np.testing.assert_allclose(table["coef"], reference.params, rtol=1e-8, atol=1e-12)
    np.testing.assert_allclose(table["std err"], reference.bse, rtol=1e-8)
    # Predictions use the levels of fit: on rows without the reference
    # level (whose own distinct values are others), and on the frame with
    # its categories declared in another order.
    fitted = np.asarray(reference.fittedvalues)
    if levels is not None:
        rows = np.flatnonzero(values != levels[0])
        subset = X.iloc[rows] if library == "pandas" else X[rows]
        np.testing.assert_allclose(model.predict_proba(subset)[:, 1], fitted[rows], rtol=1e-8, atol=1e-14)
    reordered = _reordered(X) if levels is not None else None
    for frame in (X, reordered):
        if frame is not None:
            np.testing.assert_allclose(model.predict_proba(frame)[:, 1], fitted, rtol=1e-8, atol=1e-14)
