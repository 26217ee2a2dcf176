"""What `import _quorvi` shows: its attributes, docstrings and signatures,
and what check_arma prints."""

import shutil
import subprocess
import sys

import pytest

import _quorvi

IRLS_SIGNATURE = (
    "irls(arg0: typing.Annotated[numpy.typing.ArrayLike, numpy.float64], "
    "arg1: typing.Annotated[numpy.typing.ArrayLike, numpy.float64], "
    "arg2: typing.SupportsFloat, arg3: typing.SupportsInt) -> dict"
)


def armadillo_version_of_build():
    """The version constants of the Armadillo headers on the compiler's include
    path, which is where the build found them, as the preprocessor expands them."""
    compiler = shutil.which("g++") or shutil.which("c++")
    if compiler is None:
        pytest.skip("no C++ compiler to read the Armadillo version constants with")
    source = (
        "#include <armadillo_bits/arma_version.hpp>\n"
        "ARMA_VERSION_MAJOR ARMA_VERSION_MINOR ARMA_VERSION_PATCH\n"
    )
    expanded = subprocess.run(
        [compiler, "-E", "-P", "-x", "c++", "-"], input=source, capture_output=True, text=True, check=True
    ).stdout
    return ".".join(expanded.split()[-3:])


def test_module_exposes_exactly_the_two_functions():
    public = sorted(name for name in dir(_quorvi) if not name.startswith("_"))
    assert public == ["check_arma", "irls"]
    assert _quorvi.__doc__ is None
    for function in (_quorvi.irls, _quorvi.check_arma):
        assert function.__module__ == "_quorvi"


@pytest.mark.parametrize(
    ("function", "doc"),
    [
        (_quorvi.irls, IRLS_SIGNATURE + "\n\nRun Iteratively Reweighted Least Squares (IRLS)\n"),
        (_quorvi.check_arma, "check_arma() -> None\n\nCheck armadillo info\n"),
    ],
)
def test_docstrings_are_signature_then_text(function, doc):
    assert function.__doc__ == doc


def test_check_arma_prints_the_build_information(capfd):
    assert _quorvi.check_arma() is None
    out, err = capfd.readouterr()
    assert out == f"Armadillo version: {armadillo_version_of_build()}\nLAPACK enabled\nBLAS enabled\n"
    assert err == ""


def test_check_arma_writes_to_the_process_stdout_not_sys_stdout():
    # A replaced sys.stdout does not see the C++ stream's output: only the
    # file descriptor does.
    script = (
        "import io, sys, _quorvi\n"
        "sys.stdout = io.StringIO()\n"
        "_quorvi.check_arma()\n"
        "assert sys.stdout.getvalue() == ''\n"
    )
    child = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    assert child.stdout.startswith("Armadillo version: ")


@pytest.mark.parametrize(("args", "kwargs"), [((1,), {}), ((), {"x": 1})])
def test_check_arma_takes_no_arguments(args, kwargs):
    with pytest.raises(TypeError, match=r"^check_arma\(\): incompatible function arguments"):
        _quorvi.check_arma(*args, **kwargs)
