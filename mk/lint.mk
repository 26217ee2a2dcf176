# Linters and formatters, run by `make test` (README.md):
#   make lint     ruff (lint and format check) and clang-format on every
#                 tracked Python and C++ file; changes nothing
#   make tidy     clang-tidy (.clang-tidy) over the sources of the extension;
#                 skipped when neither the build nor .clang-tidy changed
#   make format   rewrites every tracked Python and C++ file in place
# The file lists come from git at run time, so a new tracked file is covered.
PYTHON_FILES = $$(git ls-files '*.py')
CXX_FILES = $$(git ls-files '*.cpp' '*.hpp')

TEST_CHECKS += lint tidy
.PHONY: lint tidy format

$(STAMPS)/lint-tools: requirements/lint.txt $(STAMPS)/requirements
	$(PY) -m pip install --quiet -r requirements/lint.txt
	@mkdir -p $(STAMPS) && touch $@

lint: $(STAMPS)/lint-tools
	$(VENV)/bin/ruff check $(PYTHON_FILES)
	$(VENV)/bin/ruff format --check $(PYTHON_FILES)
	$(VENV)/bin/clang-format --dry-run --Werror $(CXX_FILES)

# The compilation database is the one scikit-build-core's build of the
# extension leaves in its build folder, so clang-tidy sees the exact flags.
# The analysis takes tens of seconds, so a stamp skips it until the build
# (touched by every rebuild) or the configuration changes.
tidy: $(STAMPS)/tidy
$(STAMPS)/tidy: $(STAMPS)/installed $(STAMPS)/lint-tools .clang-tidy
	$(VENV)/bin/run-clang-tidy.py -quiet -j 2 -clang-tidy-binary $(VENV)/bin/clang-tidy \
	  -p $$(dirname build/cp311-*/compile_commands.json) > build/clang-tidy.log 2>&1 \
	  || { cat build/clang-tidy.log; exit 1; }
	@echo "clang-tidy: no warnings in $$(grep -c '^\[' build/clang-tidy.log) files"
	@touch $@

# Only the import order is fixed automatically: other lint fixes can change
# what code does (an import kept for its side effect looks unused).
format: $(STAMPS)/lint-tools
	$(VENV)/bin/ruff check --select I --fix --quiet $(PYTHON_FILES)
	$(VENV)/bin/ruff format $(PYTHON_FILES)
	$(VENV)/bin/clang-format -i $(CXX_FILES)
