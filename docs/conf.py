"""Sphinx settings for tamsu's documentation.

Built from the installed package (autodoc imports it, compiled modules
included), so install first (./setup.sh), then:

    .venv/bin/python -m sphinx -W --keep-going -b html docs docs/_build/html
"""

import tamsu

project = "tamsu"
author = "the tamsu developers"
copyright = "the tamsu developers"
release = tamsu.__version__
version = release

extensions = ["myst_parser", "sphinx.ext.autodoc"]
source_suffix = {".md": "markdown"}
# Headings become link targets (page.md#phone-sets), as on a Git forge.
myst_heading_anchors = 3
exclude_patterns = ["_build"]

# The typed signatures as written in the code, not a second copy of them in
# every description.
autodoc_typehints = "signature"
autodoc_member_order = "bysource"
autodoc_default_options = {"members": True, "show-inheritance": True}

html_theme = "alabaster"
html_title = f"tamsu {release}"
