# The robustness checks of `make ci-checks`: the extension and the whole test
# suite under AddressSanitizer and UndefinedBehaviorSanitizer, a leak check,
# a fuzzer and valgrind memcheck. Each is bounded by `timeout` and prints its
# figures; see checks/. A short run of the fuzzer is part of `make test` too.

SANITIZE_BUILD := build/sanitize
FUZZ_SEED ?= 20251208
FUZZ_SECONDS ?= 180
# fuzz-short: a fixed number of cases of the same seed, so each run checks
# the same cases (every kind of design block among them) in a few seconds.
FUZZ_SHORT_CASES ?= 300

.PHONY: sanitize leak-check fuzz fuzz-short valgrind
CI_CHECKS += sanitize leak-check fuzz valgrind
TEST_CHECKS += fuzz-short

# Its own CMake folder: the sanitized module is loaded from there through
# PYTHONPATH and never installed into .venv, where the normal build lives.
$(SANITIZE_BUILD)/build.ninja: CMakeLists.txt $(STAMPS)/requirements
	$(VENV)/bin/cmake -S . -B $(SANITIZE_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) -DQUORVI_SANITIZE=ON -DQUORVI_ENGINE_TESTS=ON \
	  -DPython_EXECUTABLE=$(abspath $(PY)) -Dpybind11_DIR="$$($(PY) -m pybind11 --cmakedir)" > /dev/null
	@touch $@

sanitize: $(SANITIZE_BUILD)/build.ninja
	$(VENV)/bin/cmake --build $(SANITIZE_BUILD)
	timeout 300 checks/sanitized.sh $(SANITIZE_BUILD) $(SANITIZE_BUILD)/engine_tests --gtest_brief=1
	timeout 120 checks/sanitized.sh $(SANITIZE_BUILD) $(PY) -c \
	  'import _quorvi, os, sys; sys.exit(0 if os.path.dirname(_quorvi.__file__) == os.path.abspath("$(SANITIZE_BUILD)") else f"loaded {_quorvi.__file__}, not the sanitized build")'
	timeout 120 checks/sanitized.sh $(SANITIZE_BUILD) $(PY) -c \
	  'from quorvi import _native; import os, sys; sys.exit(0 if os.path.dirname(_native.__file__) == os.path.abspath("$(SANITIZE_BUILD)/quorvi") else f"loaded {_native.__file__}, not the sanitized build")'
	# Not the Spark tests (tests/spark and the cases marked spark): their JVM
	# would inherit the preloaded ASan runtime (the partitions run the same
	# native chunk sums as the Dask tests' chunks).
	timeout 1200 checks/sanitized.sh $(SANITIZE_BUILD) $(PY) -m pytest -v --capture=sys -p no:cacheprovider \
	  --ignore=tests/spark -m "not spark" tests
	timeout 300 checks/sanitized.sh $(SANITIZE_BUILD) $(PY) checks/fuzz_irls.py --seed $(FUZZ_SEED) --seconds 45

leak-check: $(STAMPS)/installed
	timeout 600 $(PY) checks/leak_check.py

fuzz: $(STAMPS)/installed
	timeout 600 $(PY) checks/fuzz_irls.py --seed $(FUZZ_SEED) --seconds $(FUZZ_SECONDS)

# Two batches of cases, one per core; --seconds only bounds a stalled run.
fuzz-short: $(STAMPS)/installed
	timeout 120 $(PY) checks/fuzz_irls.py --seed $(FUZZ_SEED) --cases $(FUZZ_SHORT_CASES) \
	  --batch $$(( ($(FUZZ_SHORT_CASES) + 1) / 2 )) --seconds 60

valgrind: $(STAMPS)/installed $(STAMPS)/debian
	timeout 1200 $(PY) checks/valgrind_check.py
