# The two everyday commands (see README.md):
#   make demo   set up what is missing, then fit the demo data set
#   make test   set up what is missing, then run the tests and linters
# `make ci-checks` runs the long checks that .ci/run adds after `make test`.
# Set-up steps leave stamps under build/stamps, so a second run that finds
# nothing changed skips them.

PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python
STAMPS := build/stamps
ENGINE_BUILD := build/engine-tests
SOURCES := $(shell find src -name '*.cpp' -o -name '*.hpp') $(shell find python -type f -not -path '*/__pycache__/*') \
  CMakeLists.txt pyproject.toml

# Checks that mk/*.mk files add: TEST_CHECKS run with `make test`,
# CI_CHECKS with `make ci-checks`, which begins with the tests that `make
# test` leaves out: those marked slow (pyproject.toml's markers).
TEST_CHECKS :=
CI_CHECKS := pytest-slow
include $(wildcard mk/*.mk)

.PHONY: setup demo test ci-checks engine-tests pytest pytest-slow
setup: $(STAMPS)/installed

demo: $(STAMPS)/installed
	$(PY) demo/fit_anes96.py

test: engine-tests pytest $(TEST_CHECKS)

ci-checks: $(STAMPS)/installed $(CI_CHECKS)

# The Spark Connect test in a process of its own: a Connect session cannot
# start beside the classic one the other Spark tests share.
pytest: $(STAMPS)/installed
	$(PY) -m pytest -m "not slow" --ignore=tests/spark/test_spark_connect.py
	$(PY) -m pytest tests/spark/test_spark_connect.py

pytest-slow: $(STAMPS)/installed
	$(PY) -m pytest -m slow

engine-tests: $(STAMPS)/requirements
	$(VENV)/bin/cmake -S . -B $(ENGINE_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) -DQUORVI_ENGINE_TESTS=ON \
	  -DPython_EXECUTABLE=$(abspath $(PY)) > /dev/null
	$(VENV)/bin/cmake --build $(ENGINE_BUILD)
	cd $(ENGINE_BUILD) && $(abspath $(VENV)/bin/ctest) --output-on-failure

$(STAMPS)/debian: requirements/debian.txt
	scripts/install-debian-packages.sh requirements/debian.txt
	@mkdir -p $(STAMPS) && touch $@

$(PY):
	$(PYTHON) -m venv $(VENV)

$(STAMPS)/requirements: requirements/dev.txt | $(PY) $(STAMPS)/debian
	$(PY) -m pip install --quiet --upgrade pip
	$(PY) -m pip install --quiet -r requirements/dev.txt
	@mkdir -p $(STAMPS) && touch $@

# The build itself: scikit-build-core keeps its CMake folder under build/,
# so a rebuild after a change compiles only what changed.
$(STAMPS)/installed: $(STAMPS)/requirements $(SOURCES)
	$(PY) -m pip install --quiet --no-build-isolation --no-deps .
	@touch $@
