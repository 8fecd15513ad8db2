# Sphinx configuration of the NUVEX documentation: API reference from the package's docstrings,
# figures made by docs/make_figures.py from real runs before the build (make docs).
import os
import sys

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
if not os.environ.get("PYTHONPATH"):
    sys.path.insert(0, os.path.join(ROOT, "build", "python"))

import nuvex  # noqa: E402

project = "NUVEX"
author = "the NUVEX developers"
copyright = "NUVEX developers"
version = release = nuvex.__version__

extensions = ["sphinx.ext.autodoc", "sphinx.ext.mathjax", "sphinx.ext.viewcode"]
autodoc_member_order = "bysource"
autodoc_typehints = "description"
autodoc_default_options = {"members": True, "undoc-members": False}
exclude_patterns = ["_build", "_figures/*.txt"]
html_theme = "alabaster"
html_theme_options = {"description": "Big Bang Nucleosynthesis solver", "page_width": "1100px"}
templates_path = []
