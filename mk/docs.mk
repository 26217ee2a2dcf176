# The documentation site, run by `make ci-checks` (README.md, "Documentation"):
#   make docs   builds the HTML site from docs/ into build/docs (open
#               build/docs/index.html); any Sphinx warning fails the build
DOCS_BUILD := build/docs

CI_CHECKS += docs
.PHONY: docs

$(STAMPS)/docs-tools: requirements/docs.txt $(STAMPS)/requirements
	$(PY) -m pip install --quiet -r requirements/docs.txt
	@mkdir -p $(STAMPS) && touch $@

# autodoc imports the installed package, so the build comes first. -E reads
# every page again: an incremental build would not repeat the warnings of
# pages that did not change, and the site takes seconds to build.
docs: $(STAMPS)/installed $(STAMPS)/docs-tools
	$(VENV)/bin/sphinx-build -W --keep-going -E -q -b html docs $(DOCS_BUILD)
	@echo "docs: open $(DOCS_BUILD)/index.html"
