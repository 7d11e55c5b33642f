# Sphinx, because its Python domain documents an extension module's API from its own docstrings.
# The guide's pages are Markdown (MyST), as the README they grew from; the reference is generated
# by the local extension in _ext/ from the type stubs and the installed module.
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent / "_ext"))

project = "ostrel"
copyright = "the ostrel developers"
author = "the ostrel developers"
release = version = __import__("ostrel").__version__

extensions = ["myst_parser", "stub_reference"]
source_suffix = {".md": "markdown", ".rst": "restructuredtext"}
exclude_patterns = ["_build"]
myst_heading_anchors = 3

stub_reference_module = "ostrel"
stub_reference_path = "stubs/ostrel-stubs/__init__.pyi"

html_theme = "pydata_sphinx_theme"
html_title = "ostrel"
html_theme_options = {"navigation_with_keys": False, "show_toc_level": 2}
html_static_path = []
