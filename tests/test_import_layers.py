"""Imports run one way: no module of the package imports one that imports it back, and each
subpackage of the launcher imports only the subpackages its docstring allows."""

from __future__ import annotations

import ast
import re
from pathlib import Path

import pytest

PACKAGE = Path(__file__).parents[1] / "src" / "vaxo_ortane"
LAUNCHER = "vaxo_ortane.launcher"


def _modules() -> dict[str, Path]:
    found = {}
    for path in PACKAGE.rglob("*.py"):
        parts = ("vaxo_ortane", *path.relative_to(PACKAGE).with_suffix("").parts)
        found[".".join(parts[:-1] if parts[-1] == "__init__" else parts)] = path
    return found


MODULES = _modules()


def _imports(path: Path) -> set[str]:
    """Every module of the package that ``path`` imports, lazily or not, for type checks too."""
    named: set[str] = set()
    for node in ast.walk(ast.parse(path.read_text(), str(path))):
        if isinstance(node, ast.Import):
            named |= {alias.name for alias in node.names}
        elif isinstance(node, ast.ImportFrom) and node.module and node.level == 0:
            named |= {f"{node.module}.{alias.name}" for alias in node.names} | {node.module}
    # "from a.b import c" names the module a.b.c when there is one, else a name in a.b.
    return named & MODULES.keys()


GRAPH = {
    name: {i for i in _imports(path) if i != name and not name.startswith(i + ".")} for name, path in MODULES.items()
}


def _circle() -> list[str] | None:
    state: dict[str, int] = {}  # 1: on the path, 2: done
    path: list[str] = []

    def visit(name: str) -> list[str] | None:
        state[name] = 1
        path.append(name)
        for target in sorted(GRAPH[name]):
            if state.get(target) == 1:
                return [*path[path.index(target) :], target]
            if target not in state and (found := visit(target)):
                return found
        path.pop()
        state[name] = 2
        return None

    for name in sorted(GRAPH):
        if name not in state and (found := visit(name)):
            return found
    return None


def test_no_module_imports_one_that_imports_it_back() -> None:
    circle = _circle()
    assert circle is None, " -> ".join(circle or [])


def _subpackages() -> dict[str, set[str]]:
    allowed = {}
    for name, path in MODULES.items():
        if name.count(".") == 2 and name.startswith(LAUNCHER + ".") and path.name == "__init__.py":
            doc = ast.get_docstring(ast.parse(path.read_text())) or ""
            line = re.search(r"^May import: (.*)$", doc, re.M)
            assert line, f"{path}: its docstring says what it holds, then 'May import: ...'"
            text = line.group(1).strip().rstrip(".")
            allowed[name] = (
                set()
                if text == "nothing else of the launcher"
                else {f"{LAUNCHER}.{part.strip()}" for part in text.split(",")}
            )
    return allowed


ALLOWED = _subpackages()


def _owner(module: str) -> str | None:
    """The launcher subpackage that ``module`` belongs to, if any."""
    return next((p for p in ALLOWED if module == p or module.startswith(p + ".")), None)


@pytest.mark.parametrize("package", sorted(ALLOWED))
def test_a_subpackage_imports_only_what_its_docstring_allows(package: str) -> None:
    refused = sorted(
        f"{name} imports {target}"
        for name, targets in GRAPH.items()
        if _owner(name) == package
        for target in targets
        if target.startswith(LAUNCHER + ".")
        and (owner := _owner(target)) != package
        and (owner is None or owner not in ALLOWED[package])
    )
    assert not refused, "\n".join(refused)


def test_nothing_outside_the_launcher_imports_it() -> None:
    inward = sorted(
        f"{name} imports {target}"
        for name, targets in GRAPH.items()
        if not name.startswith(LAUNCHER)
        for target in targets
        if target.startswith(LAUNCHER)
    )
    assert not inward, "\n".join(inward)


def test_at_most_eight_modules_at_the_top_of_the_launcher() -> None:
    top = sorted(p.name for p in (PACKAGE / "launcher").glob("*.py"))
    assert len(top) <= 8, top
