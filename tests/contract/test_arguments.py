"""Argument conversion: every accepted form of X, y, tol and max_iter gives
the fit of the equivalent float64 arrays, refused forms raise pybind11's
TypeError, and the caller's arrays are never written."""

import decimal
import tracemalloc

import numpy as np
import pytest

import _quorvi
from test_module import IRLS_SIGNATURE

TOL = 1e-10
MAX_ITER = 25


def fit(X, y, tol=TOL, max_iter=MAX_ITER):
    return _quorvi.irls(X, y, tol, max_iter)


# Each layout reaches the engine by a different road (in place, as the
# transpose, through a NumPy copy), and all of them run the same arithmetic,
# so the coefficients must agree to the bit, not merely to a tolerance.
class Tagged(np.ndarray):
    """An ndarray subclass: NumPy's conversion sees it as a plain array."""


def read_only(a):
    a = a.copy()
    a.setflags(write=False)
    return a


LAYOUTS = {
    "F order": lambda X, y: (np.asfortranarray(X), y),
    "list": lambda X, y: (X.tolist(), y.tolist()),
    "tuple rows": lambda X, y: (tuple(map(tuple, X)), tuple(y)),
    "big-endian": lambda X, y: (X.astype(">f8"), y.astype(">f8")),
    "read-only": lambda X, y: (read_only(X), read_only(y)),
    "column view": lambda X, y: (np.hstack([X, X])[:, : X.shape[1]], np.stack([y, y], axis=1)[:, 0]),
    "subclass": lambda X, y: (X.view(Tagged), y.view(Tagged)),
}


@pytest.mark.parametrize("layout", list(LAYOUTS))
def test_layouts_give_the_same_bits_as_c_order(problem, layout):
    X, y = problem
    expected = fit(np.ascontiguousarray(X), y)
    got = fit(*LAYOUTS[layout](X, y))
    np.testing.assert_array_equal(got["coefficients"], expected["coefficients"])
    assert got["iterations"] == expected["iterations"]


@pytest.mark.parametrize(
    "view",
    [
        lambda X, y: (X[::2], y[::2]),
        lambda X, y: (X[::-1], y[::-1]),
        lambda X, y: (X[::-3, ::-1], y[::-3]),
        lambda X, y: (np.asfortranarray(X)[1::2], y[1::2]),
    ],
    ids=["every second row", "reversed", "reversed both axes", "strided F order"],
)
def test_strided_views_fit_like_their_contiguous_copies(problem, view):
    X, y = view(*problem)
    expected = fit(np.ascontiguousarray(X), np.ascontiguousarray(y))
    np.testing.assert_array_equal(fit(X, y)["coefficients"], expected["coefficients"])


@pytest.mark.parametrize("dtype", [np.int32, np.int64, np.float32, np.uint8, bool])
def test_other_dtypes_are_converted_to_float64(dtype):
    rng = np.random.default_rng(5)
    X = np.column_stack([np.ones(60), rng.integers(0, 2, (60, 2))]).astype(dtype)
    y = (rng.random(60) < 0.4).astype(dtype)
    expected = fit(X.astype(np.float64), y.astype(np.float64))
    np.testing.assert_array_equal(fit(X, y)["coefficients"], expected["coefficients"])


def _misaligned(a, order):
    """A copy of a at an odd address, as a chunk that arrived over a network."""
    view = np.frombuffer(bytearray(a.nbytes + 1), dtype=np.float64, offset=1, count=a.size)
    shaped = view.reshape(a.shape, order=order)
    shaped[...] = a
    assert not shaped.flags.aligned
    return shaped


def test_misaligned_buffers_fit_to_the_bit_like_aligned_ones(problem):
    # The engine reads X only through unaligned loads into its own aligned
    # block buffer (and a misaligned y is copied), so the arithmetic is the
    # same as from aligned memory.
    X, y = problem
    aligned = _quorvi.irls(X, y, TOL, MAX_ITER)["coefficients"].tobytes()
    for order in "CF":
        result = _quorvi.irls(_misaligned(X, order), _misaligned(y, "C"), TOL, MAX_ITER)
        assert result["coefficients"].tobytes() == aligned, order


def test_contiguous_float64_x_is_read_in_place_at_any_alignment():
    # A C-ordered or F-ordered float64 X is never copied, aligned or not; a
    # strided view is copied once. NumPy reports its arrays' memory to
    # tracemalloc (the engine's own working memory it does not see), so the
    # peak traced during the fit shows a copy of X: at least the size of X
    # with one, a small fraction of it without.
    rng = np.random.default_rng(12)
    X = np.column_stack([np.ones(2000), rng.standard_normal((2000, 499))])  # 8 MB
    y = (rng.random(2000) < 0.5).astype(np.float64)
    layouts = {
        "C": X,
        "F": np.asfortranarray(X),
        "misaligned C": _misaligned(X, "C"),
        "misaligned F": _misaligned(X, "F"),
        "strided": np.repeat(X, 2, axis=0)[::2],
    }
    peaks = {}
    for name, X_given in layouts.items():
        tracemalloc.start()
        _quorvi.irls(X_given, y, 1e-8, 1)
        peaks[name] = tracemalloc.get_traced_memory()[1] / X.nbytes
        tracemalloc.stop()
    assert max(peaks[name] for name in ("C", "F", "misaligned C", "misaligned F")) < 0.25, peaks
    assert 1.0 <= peaks["strided"] < 2.0, peaks


def test_callers_arrays_are_never_written(problem):
    X, y = problem
    arrays = [X, np.asfortranarray(X), X[::-1], X.astype(np.float32)]
    copies = [a.copy() for a in arrays]
    y_copy = y.copy()
    for a in arrays:
        fit(a, y)
        fit(a, y[:-1], max_iter=0)
    for a, before in zip(arrays, copies, strict=True):
        np.testing.assert_array_equal(a, before)
    np.testing.assert_array_equal(y, y_copy)


class WithFloat:
    def __float__(self):
        return 1e-10


class WithIndex:
    def __index__(self):
        return 0


@pytest.mark.parametrize("tol", [0, np.float32(1e-10), np.int64(1), WithFloat(), WithIndex(), True])
def test_tol_accepts_numbers(problem, tol):
    got = fit(*problem, tol=tol, max_iter=4)
    expected = fit(*problem, tol=float(tol), max_iter=4)
    np.testing.assert_array_equal(got["coefficients"], expected["coefficients"])
    assert got["iterations"] == expected["iterations"]


@pytest.mark.parametrize(
    ("max_iter", "iterations"),
    [
        (True, 1),
        (np.int64(2), 2),
        (np.int32(3), 3),
        (np.float32(2.9), 2),
        (decimal.Decimal("1.7"), 1),
        (-(2**31), 0),
    ],
)
def test_max_iter_accepts_integers_and_truncates_other_numbers(problem, max_iter, iterations):
    assert fit(*problem, tol=-1.0, max_iter=max_iter)["iterations"] == iterations


def incompatible_arguments(*args):
    return (
        "irls(): incompatible function arguments. The following argument types are supported:\n"
        f"    1. {IRLS_SIGNATURE[len('irls') :]}\n\n"
        "Invoked with: " + ", ".join(repr(a) for a in args)
    )


@pytest.mark.parametrize(
    "args",
    [
        ([[1.0, 2.0], [3.0]], [1.0, 0.0], 1e-8, 25),  # ragged: NumPy's ValueError is replaced
        ([[1.0]], [1.0], "1e-8", 25),
        ([[1.0]], [1.0], None, 25),
        ([[1.0]], [1.0], 1e-8j, 25),
        ([[1.0]], [1.0], 1e-8, 25.0),
        ([[1.0]], [1.0], 1e-8, np.float64(25)),
        ([[1.0]], [1.0], 1e-8, 2**31),
        ([[1.0]], [1.0], 1e-8, -(2**31) - 1),
        ([[1.0]], [1.0], 1e-8, "25"),
        ([["a"]], [1.0], 1e-8, 25),
        ([[1.0]], [1.0], 1e-8),
        ([[1.0]], [1.0], 1e-8, 25, 0),
    ],
    ids=lambda a: None,
)
def test_refused_arguments_raise_the_incompatible_arguments_type_error(args):
    with pytest.raises(TypeError) as raised:
        _quorvi.irls(*args)
    assert str(raised.value) == incompatible_arguments(*args)


def test_keyword_arguments_are_refused(problem):
    X, y = problem
    with pytest.raises(
        TypeError, match=r"(?s)^irls\(\): incompatible function arguments.*Invoked with: kwargs: X="
    ) as raised:
        _quorvi.irls(X=X, y=y, tol=1e-8, max_iter=25)
    assert raised.value.__cause__ is None
