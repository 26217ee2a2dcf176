"""Checks an installed quorvi wheel from inside the environment it went into.

Run by `make wheel-check` with the Python of a new virtual environment that
holds only the repaired wheel and its declared dependencies:

    python -I distcheck/installed_wheel.py CMAKE_CACHE

CMAKE_CACHE is the CMakeCache.txt of the build that made the wheel; the
Armadillo version that check_arma must print is read from the headers that
build found, since that is what the module was compiled against.
"""

import re
import subprocess
import sys
import sysconfig
from pathlib import Path

import numpy as np

import _quorvi
import quorvi
from quorvi import _native

# Libraries of the C library that every manylinux system provides; everything
# else that the extension needs must come from inside the wheel. Not the
# system's C++ runtime (libstdc++, libgcc_s): the release wheel links libc++
# statically, so it runs where the system's is older than the build's.
SYSTEM_LIBRARIES = {
    "linux-vdso.so.1",
    "ld-linux-x86-64.so.2",
    "libc.so.6",
    "libm.so.6",
    "libpthread.so.0",
    "libdl.so.2",
    "librt.so.1",
}
# The library the package must carry (scipy-openblas32's, copied beside the
# engine by the build); a copy loaded from elsewhere would mean the wheel only
# works where another OpenBLAS is installed.
BUNDLED = ("openblas",)


def expected_armadillo_version(cmake_cache: Path) -> str:
    include_dir = re.search(r"^ARMADILLO_INCLUDE_DIR:PATH=(.*)$", cmake_cache.read_text(), re.MULTILINE)
    assert include_dir, f"no ARMADILLO_INCLUDE_DIR in {cmake_cache}"
    header = (Path(include_dir[1]) / "armadillo_bits" / "arma_version.hpp").read_text()
    parts = [
        re.search(rf"#define\s+ARMA_VERSION_{part}\s+(\d+)", header)[1]
        for part in ("MAJOR", "MINOR", "PATCH")
    ]
    return ".".join(parts)


SITE_PACKAGES = Path(sysconfig.get_paths()["purelib"]).resolve()


def check_installed_here(extension: Path, package_extension: Path) -> None:
    assert extension.parent == SITE_PACKAGES, f"{extension} is not from this environment's {SITE_PACKAGES}"
    assert package_extension.parent == SITE_PACKAGES / "quorvi", f"{package_extension} is not in quorvi/"
    stub = SITE_PACKAGES / "_quorvi-stubs" / "__init__.pyi"
    assert stub.is_file(), f"the type stub package is missing: {stub}"
    marker = SITE_PACKAGES / "quorvi" / "py.typed"
    assert marker.is_file(), f"the package's typing marker is missing: {marker}"


# The engine: one shared library in the package folder, which both
# extension modules link through a run path relative to their own files.
ENGINE = SITE_PACKAGES / "quorvi" / "libquorvi_irls.so"


def check_libraries_resolve_inside_wheel(extension: Path) -> None:
    package = SITE_PACKAGES / "quorvi"
    ldd = subprocess.run(["ldd", str(extension)], capture_output=True, text=True, check=True).stdout
    print(ldd, end="")
    assert "not found" not in ldd, "a needed library is missing"
    resolved = dict(re.findall(r"^\s*(\S+) => (\S+)", ldd, re.MULTILINE))
    engines = [path for name, path in resolved.items() if "quorvi_irls" in name]
    assert engines and all(Path(path).resolve() == ENGINE for path in engines), f"engine: {engines}"
    outside = {name: path for name, path in resolved.items() if Path(path).resolve().parent != package}
    unexpected = {name: path for name, path in outside.items() if name not in SYSTEM_LIBRARIES}
    assert not unexpected, f"libraries resolved outside the wheel: {unexpected}"
    for name in BUNDLED:
        assert any(name in library for library in resolved.keys() - outside.keys()), f"{name} is not bundled"


def check_fit() -> None:
    rng = np.random.default_rng(20261208)
    X = np.column_stack([np.ones(500), rng.standard_normal((500, 3))])
    y = (rng.random(500) < 1 / (1 + np.exp(-X @ [0.3, 1.0, -0.5, 0.25]))).astype(float)
    result = _quorvi.irls(X, y, 1e-10, 50)
    assert list(result) == ["coefficients", "iterations", "time", "converged"], list(result)
    assert result["converged"], result
    # The maximum-likelihood estimate zeroes the score X'(y - mu); this holds
    # whatever BLAS computed it, so it checks the bundled OpenBLAS end to end.
    mu = 1 / (1 + np.exp(-X @ result["coefficients"]))
    score = X.T @ (y - mu)
    assert np.abs(score).max() < 1e-8 * len(y), score
    print(f"fit: {result['iterations']} iterations, coefficients {result['coefficients']}")
    # The estimator's implicit intercept fits the same model on the same
    # engine; its updates solve for the step from the score rather than for
    # the coefficients, so the two agree to rounding, not to the bit.
    model = quorvi.LogisticRegression(tol=1e-10, max_iter=50).fit(X[:, 1:], y)
    both = np.concatenate([model.intercept_, model.coef_[0]])
    np.testing.assert_allclose(both, result["coefficients"], rtol=1e-9, atol=1e-12)
    print(f"estimator: {model.n_iter_[0]} iterations, standard errors {np.sqrt(np.diag(model.covariance_))}")


def check_bundled_libraries_loaded() -> None:
    # What the dynamic loader really mapped in this process, after a fit of
    # each module: one engine, the package's own, whichever module loaded it.
    mapped = {line.split()[-1] for line in Path("/proc/self/maps").read_text().splitlines() if ".so" in line}
    engines = {Path(path).resolve() for path in mapped if "quorvi_irls" in path}
    assert engines == {ENGINE}, f"engines loaded: {engines}"
    copies = sorted(path.name for path in SITE_PACKAGES.rglob("*quorvi_irls*"))
    assert copies == [ENGINE.name], f"copies of the engine in the environment: {copies}"
    prefix = Path(sys.prefix).resolve()
    from_system = [
        path for path in mapped if any(name in path for name in BUNDLED) and prefix not in Path(path).parents
    ]
    assert not from_system, f"loaded from outside the environment: {from_system}"


def check_arma_output(cmake_cache: Path) -> None:
    # check_arma writes through the C++ stream to file descriptor 1, which
    # Python's sys.stdout redirection cannot capture: a child process can.
    output = subprocess.run(
        [sys.executable, "-I", "-c", "import _quorvi; _quorvi.check_arma()"], capture_output=True, check=True
    ).stdout
    expected = f"Armadillo version: {expected_armadillo_version(cmake_cache)}\nLAPACK enabled\nBLAS enabled\n"
    assert output == expected.encode(), f"check_arma printed {output!r}, expected {expected!r}"
    print(output.decode(), end="")


def main() -> None:
    extension = Path(_quorvi.__file__).resolve()
    package_extension = Path(_native.__file__).resolve()
    print(f"modules: {extension}, {package_extension}")
    check_installed_here(extension, package_extension)
    check_libraries_resolve_inside_wheel(extension)
    check_libraries_resolve_inside_wheel(package_extension)
    check_fit()
    check_bundled_libraries_loaded()
    check_arma_output(Path(sys.argv[1]))
    print("installed wheel: all checks passed")


if __name__ == "__main__":
    main()
