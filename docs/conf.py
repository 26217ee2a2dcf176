"""Sphinx configuration of the quorvi documentation (`make docs`).

autodoc imports the installed package (the one `make setup` put into .venv),
so the API reference shows the docstrings of the build that is installed.
"""

import quorvi

project = "quorvi"
release = quorvi.__version__
version = release
copyright = "the quorvi developers"

extensions = [
    "sphinx.ext.autodoc",
    "numpydoc",
    "myst_parser",
]

# The pages are Markdown (MyST), like the README; the API reference is
# reStructuredText because its directives are autodoc's.
source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
root_doc = "index"
exclude_patterns = ["_build"]

# Headings down to level 3 get anchors, so pages can link to sections.
myst_heading_anchors = 3

# The class pages list the methods themselves (autodoc's :members:); numpydoc's
# own member tables would repeat them and need autosummary stubs.
numpydoc_show_class_members = False
numpydoc_class_members_toctree = False
autodoc_member_order = "bysource"
autodoc_typehints = "none"  # the numpydoc sections give the types

html_theme = "furo"
html_title = f"quorvi {release}"


def _skip_package_docstring(app, what, name, obj, options, lines):
    """api.rst documents the rest of quorvi.__all__ through automodule, which
    would also print the package's docstring in the middle of the page; its
    content (what the package is) opens the site's index page instead."""
    if what == "module" and name == "quorvi":
        lines.clear()


def setup(app):
    app.connect("autodoc-process-docstring", _skip_package_docstring)
