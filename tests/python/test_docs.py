"""Every code block of the README and the documentation pages runs as shown.

A page's blocks run in order in one namespace, from a scratch directory where
`examples/` is the project's: ```python blocks are executed, ```pycon blocks are
doctests whose printed values are compared with what the code prints (`...`
stands for the rest of a line or for lines left out). The only shell blocks are
the two set-up commands, which the test command itself runs; the README shows
both."""

import doctest
import io
import re
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").glob("**/*.md"))]
PAGES = [page for page in PAGES if "_build" not in page.parts]
SETUP_COMMANDS = ["pip install . && python examples/quickstart.py", "bash scripts/test.sh"]
FENCE = re.compile(r"^( *)```(\S*)[^\n]*\n(.*?)^\1```$", re.M | re.S)
# Directives of the site that hold no code: its tables of contents, and the
# changelog included whole.
DIRECTIVES = {"{toctree}", "{include}", "{stub-reference}", "{stub-aliases}"}


def blocks(text):
    """(language, code, line) of each fenced block, its indentation removed."""
    for match in FENCE.finditer(text):
        indent = len(match[1])
        code = "".join(line[indent:] for line in match[3].splitlines(keepends=True))
        yield match[2], code, text.count("\n", 0, match.start()) + 2


@pytest.mark.parametrize("page", PAGES, ids=lambda p: str(p.relative_to(ROOT)))
def test_page_runs_as_shown(page, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "examples").symlink_to(ROOT / "examples")
    namespace = {"__name__": "__main__"}
    parser = doctest.DocTestParser()
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE)
    commands = []
    for language, code, line in blocks(page.read_text()):
        where = f"{page.relative_to(ROOT)}:{line}"
        if language == "python":
            exec(compile(code, where, "exec"), namespace)
        elif language == "pycon":
            test = parser.get_doctest(code, namespace, where, str(page), line)
            report = io.StringIO()
            runner.run(test, out=report.write, clear_globs=False)
            assert runner.failures == 0, report.getvalue()
            namespace = test.globs  # a doctest runs in a copy of the namespace
        elif language not in DIRECTIVES:
            assert language == "sh" and code.strip() in SETUP_COMMANDS, where
            commands.append(code.strip())
    if page.name == "README.md":
        assert commands == SETUP_COMMANDS
