"""The API reference, generated: signatures from the type stubs, text from the module.

`.. stub-reference::` writes, for the module named in the `module` option, every
class, method, property and function the stubs declare, in the stubs' order, as
the Python domain's directives: each signature as the stubs spell it (every
overload), each body the docstring the installed module itself carries. A public
name of the module or of one of its classes that the stubs leave out, or a
stubbed name the module lacks, is a warning (and so an error under `-W`), so the
page cannot fall behind the module. `.. stub-aliases::` lists the private type
aliases and dictionaries the signatures use, as the stubs define them.

Docstrings are plain text: they become paragraphs of text with each `name` in
backquotes a literal, and are never read as reStructuredText.
"""

from __future__ import annotations

import ast
import importlib
import inspect
import re
from pathlib import Path
from typing import ClassVar

from docutils import nodes
from docutils.parsers.rst import directives
from sphinx.util import logging
from sphinx.util.docutils import SphinxDirective

logger = logging.getLogger(__name__)

# Dunder methods that belong to the documented surface; the others (__new__ is
# the class's own signature) are the interpreter's business.
SPECIAL = {
    "__add__",
    "__radd__",
    "__iadd__",
    "__len__",
    "__getitem__",
    "__eq__",
    "__ne__",
    "__copy__",
    "__deepcopy__",
    "__reduce__",
    "__sizeof__",
}


def stub_tree(app) -> ast.Module:
    path = Path(app.srcdir).parent / app.config.stub_reference_path
    return ast.parse(path.read_text(), filename=str(path))


def signature(function: ast.FunctionDef, drop_first: bool) -> str:
    """`(parameters) -> return` as the stub spells it, without self or cls."""
    arguments = function.args
    if drop_first:
        arguments = ast.arguments(
            posonlyargs=arguments.posonlyargs[1:]
            if arguments.posonlyargs
            else arguments.posonlyargs,
            args=arguments.args if arguments.posonlyargs else arguments.args[1:],
            vararg=arguments.vararg,
            kwonlyargs=arguments.kwonlyargs,
            kw_defaults=arguments.kw_defaults,
            kwarg=arguments.kwarg,
            defaults=arguments.defaults,
        )
    text = f"({ast.unparse(arguments)})"
    if function.returns is not None:
        text += f" -> {ast.unparse(function.returns)}"
    return text


def decorators(function: ast.FunctionDef) -> set[str]:
    return {ast.unparse(d) for d in function.decorator_list}


def public(name: str) -> bool:
    return not name.startswith("_") or name in SPECIAL


def paragraphs(text: str | None) -> list[nodes.Node]:
    """Plain-text docstring paragraphs, `quoted` names as literals."""
    result = []
    for block in re.split(r"\n\s*\n", inspect.cleandoc(text or "")):
        if not block.strip():
            continue
        paragraph = nodes.paragraph()
        for i, piece in enumerate(re.split(r"`([^`]+)`", " ".join(block.split()))):
            paragraph += nodes.literal(piece, piece) if i % 2 else nodes.Text(piece)
        result.append(paragraph)
    return result


def stub_docstring(tree: ast.Module, path: str) -> str | None:
    """The docstring the stubs give the object at `path` (the last overload's)."""
    scope, found = tree.body, None
    for part in path.split("."):
        named = [s for s in scope if getattr(s, "name", None) == part]
        if not named:
            return None
        found = named[-1]
        scope = getattr(found, "body", [])
    return ast.get_docstring(found) if found is not None else None


class Docstring(SphinxDirective):
    """The docstring of one object of the installed module, as paragraphs; the
    stubs' where the module has none."""

    required_arguments = 1

    def run(self):
        target = importlib.import_module(self.config.stub_reference_module)
        for part in self.arguments[0].split("."):
            target = getattr(target, part)
        doc = target.__doc__ or stub_docstring(stub_tree(self.env.app), self.arguments[0])
        return paragraphs(doc)


class Reference(SphinxDirective):
    """Every public object the stubs declare, with the module's docstrings."""

    option_spec: ClassVar = {"module": directives.unchanged_required}

    def run(self):
        module_name = self.options["module"]
        module = importlib.import_module(module_name)
        tree = stub_tree(self.env.app)
        lines = [f".. py:module:: {module_name}", ""]
        declared = set()
        for statement in tree.body:
            if isinstance(statement, ast.AnnAssign) and isinstance(statement.target, ast.Name):
                name = statement.target.id
                if name == "__version__":
                    declared.add(name)
                    lines += [
                        f".. py:data:: {name}",
                        f"   :type: {ast.unparse(statement.annotation)}",
                    ]
                    lines += ["", f"   The version, {getattr(module, name)!r}.", ""]
            elif isinstance(statement, ast.FunctionDef) and public(statement.name):
                declared.add(statement.name)
                lines += self.function(module, statement)
            elif isinstance(statement, ast.ClassDef) and public(statement.name):
                declared.add(statement.name)
                lines += self.klass(module, statement)
        for name in dir(module):
            if public(name) and not name.startswith("__") and name not in declared:
                logger.warning(
                    "%s.%s is not in the stubs", module_name, name, location=self.get_location()
                )
        return self.parse_text_to_nodes("\n".join(lines))

    def doc_lines(self, path: str, indent: str) -> list[str]:
        return [f"{indent}.. stub-docstring:: {path}", ""]

    def function(self, module, function: ast.FunctionDef) -> list[str]:
        if not hasattr(module, function.name):
            logger.warning("the stubs declare %s, which the module lacks", function.name)
        return [
            f".. py:function:: {function.name}{signature(function, False)}",
            "",
            *self.doc_lines(function.name, "   "),
        ]

    def klass(self, module, klass: ast.ClassDef) -> list[str]:
        live = getattr(module, klass.name, None)
        if live is None:
            logger.warning("the stubs declare %s, which the module lacks", klass.name)
            return []
        members: dict[str, list[ast.FunctionDef]] = {}
        constructor = ""
        for statement in klass.body:
            if isinstance(statement, ast.FunctionDef):
                if statement.name == "__new__":
                    constructor = signature(statement, True).split(" -> ")[0]
                elif public(statement.name):
                    members.setdefault(statement.name, []).append(statement)
        lines = [
            f".. py:class:: {klass.name}{constructor}",
            "   :final:",
            "",
            *self.doc_lines(klass.name, "   "),
        ]
        for name, overloads in members.items():
            if not hasattr(live, name):
                logger.warning("the stubs declare %s.%s, which the module lacks", klass.name, name)
            first = overloads[0]
            if "property" in decorators(first):
                kind = ast.unparse(first.returns)
                lines += [f"   .. py:property:: {name}", f"      :type: {kind}", ""]
            else:
                lines.append(f"   .. py:method:: {name}{signature(overloads[0], True)}")
                for other in overloads[1:]:
                    lines.append(f"                  {name}{signature(other, True)}")
                lines.append("")
            lines += self.doc_lines(f"{klass.name}.{name}", "      ")
        for name in dir(live):
            if public(name) and not name.startswith("__") and name not in members:
                logger.warning("%s.%s is not in the stubs", klass.name, name)
        return lines


class Aliases(SphinxDirective):
    """The private aliases and dictionaries of the stubs, as they define them."""

    def run(self):
        tree = stub_tree(self.env.app)
        lines = []
        for statement in tree.body:
            if isinstance(statement, ast.AnnAssign) and isinstance(statement.target, ast.Name):
                name = statement.target.id
                if name.startswith("_") and statement.value is not None:
                    lines += [f"``{name}`` = ``{ast.unparse(statement.value)}``", ""]
            elif isinstance(statement, ast.ClassDef) and statement.name.startswith("_"):
                fields = [
                    f"``{ast.unparse(s.target)}: {ast.unparse(s.annotation)}``"
                    for s in statement.body
                    if isinstance(s, ast.AnnAssign)
                ]
                methods = [
                    f"``{s.name}{signature(s, True)}``"
                    for s in statement.body
                    if isinstance(s, ast.FunctionDef)
                ]
                bases = ", ".join(ast.unparse(b) for b in statement.bases)
                lines += [f"``{statement.name}`` ({bases}): " + ", ".join(fields + methods), ""]
        return self.parse_text_to_nodes("\n".join(lines))


def setup(app):
    app.add_config_value("stub_reference_path", "", "env")
    app.add_config_value("stub_reference_module", "", "env")
    app.add_directive("stub-reference", Reference)
    app.add_directive("stub-docstring", Docstring)
    app.add_directive("stub-aliases", Aliases)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
