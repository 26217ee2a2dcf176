# `make test-coretypes`: the Python suite once for each OpenBLAS core type
# (kernel set) that this machine's CPU can execute, chosen by
# OPENBLAS_CORETYPE; the others are skipped (scripts/pytest_each_coretype.py).
# It shows a comparison that holds with this CPU's kernels but not with
# another's. A developer's check: not part of `make test` or .ci/run, which
# run with the kernels OpenBLAS picks by itself.
# PYTEST_ARGS passes arguments to pytest, e.g. PYTEST_ARGS=tests/test_fit.py.
PYTEST_ARGS ?=

.PHONY: test-coretypes
test-coretypes: $(STAMPS)/installed
	$(PY) scripts/pytest_each_coretype.py $(PY) $(PYTEST_ARGS)
