# The import graph of the nuvex package: every module placed on a layer of the package docstring,
# imports only downward (or within a layer, without a circle), and no use of other modules' private names.
import ast
import re
from pathlib import Path

import pytest

PACKAGE = Path(__file__).resolve().parents[2] / "python" / "nuvex"
FRONT = {"__init__", "__main__"}  # the package's front door, above every layer


def module_files(package=PACKAGE):
    """{module: [files]}: a module is a top-level .py file or a sub-package (all its files)."""
    out = {}
    for path in sorted(package.rglob("*.py")):
        rel = path.relative_to(package)
        name = rel.parts[0][:-3] if len(rel.parts) == 1 else rel.parts[0]
        out.setdefault(name, []).append(path)
    return out


def declared_layers(docstring):
    """{module: layer} from the numbered lines of the docstring's layer list (parenthesised notes
    dropped, continuation lines joined)."""
    lines, current = [], None
    for line in docstring.splitlines():
        if re.match(r"^\d+\.\s", line):
            current = line
            lines.append(current)
        elif current is not None and line.startswith("   ") and line.strip():
            lines[-1] += " " + line.strip()
        else:
            current = None
    layers = {}
    for line in lines:
        text = re.sub(r"\([^)]*\)", "", line)
        number, _, rest = text.partition(".")
        _, sep, names = rest.partition(":")
        assert sep, f"layer line without a module list: {line!r}"
        for name in names.split(","):
            name = name.strip()
            assert name not in layers, f"module {name} is placed twice in the layer list"
            layers[name] = int(number)
    return layers


def _type_checking_block(node):
    test = node.test
    return isinstance(node, ast.If) and (
        (isinstance(test, ast.Name) and test.id == "TYPE_CHECKING")
        or (isinstance(test, ast.Attribute) and test.attr == "TYPE_CHECKING"))


def _walk_runtime(tree):
    """Every node that can run: annotations-only imports under `if TYPE_CHECKING:` are left out."""
    todo = [tree]
    while todo:
        node = todo.pop()
        yield node
        for child in ast.iter_child_nodes(node):
            if isinstance(child, ast.If) and _type_checking_block(child):
                todo.extend(child.orelse)
                continue
            todo.append(child)


def imports_of(path, own, modules, package=PACKAGE):
    """(imported package modules, private names used) of one file; `own` is the file's module.

    Counts imports anywhere in the file (also inside functions: an import deferred to first use is
    still a dependency) and importlib.import_module of a package module."""
    tree = ast.parse(path.read_text(), str(path))
    folder = list(path.relative_to(package).parts[:-1])  # [] for a top-level module
    found, private, bound = set(), [], {}

    def is_module(parts):
        return package.joinpath(*parts).with_suffix(".py").exists() or package.joinpath(*parts).is_dir()

    for node in _walk_runtime(tree):
        if isinstance(node, ast.ImportFrom):
            if node.level == 0:
                dotted = (node.module or "").split(".")
                if dotted[0] != "nuvex":
                    continue
                parts = dotted[1:]
            elif node.level - 1 > len(folder):
                continue
            else:
                parts = folder[:len(folder) - (node.level - 1)] + (node.module.split(".") if node.module else [])
            for alias in node.names:
                full = parts + [alias.name]
                if not full or full[0] not in modules:
                    continue
                found.add(full[0])
                if is_module(full):
                    if len(full) == 1:
                        bound[alias.asname or alias.name] = full[0]
                elif alias.name.startswith("_") and not alias.name.startswith("__") and full[0] != own:
                    private.append(".".join(full))
        elif isinstance(node, ast.Import):
            for alias in node.names:
                parts = alias.name.split(".")
                if parts[0] == "nuvex" and len(parts) > 1 and parts[1] in modules:
                    found.add(parts[1])
        elif isinstance(node, ast.Call):
            func = node.func
            name = func.attr if isinstance(func, ast.Attribute) else getattr(func, "id", "")
            if name == "import_module" and node.args and isinstance(node.args[0], ast.Constant):
                first = str(node.args[0].value).lstrip(".").split(".")[0]
                if first in modules:
                    found.add(first)
    # `module._name` where `module` was bound by `from . import module`
    for node in ast.walk(tree):
        if (isinstance(node, ast.Attribute) and isinstance(node.value, ast.Name) and node.value.id in bound
                and node.attr.startswith("_") and not node.attr.startswith("__")
                and bound[node.value.id] != own):
            private.append(f"{bound[node.value.id]}.{node.attr}")
    found.discard(own)
    return found, private


@pytest.fixture(scope="module")
def graph():
    modules = module_files()
    docstring = ast.get_docstring(ast.parse((PACKAGE / "__init__.py").read_text()))
    layers = declared_layers(docstring)
    edges, private = {}, {}
    for name, files in modules.items():
        deps, names = set(), []
        for f in files:
            d, p = imports_of(f, name, modules)
            deps |= d
            names += p
        edges[name] = deps
        private[name] = names
    return modules, layers, edges, private


def test_every_module_has_a_layer(graph):
    modules, layers, _, _ = graph
    missing = sorted(m for m in modules if m not in FRONT and m not in layers)
    assert not missing, f"modules not placed in the layer list of nuvex/__init__.py's docstring: {missing}"
    gone = sorted(m for m in layers if m not in modules)
    assert not gone, f"the layer list names modules that do not exist: {gone}"


def test_imports_point_down_or_sideways(graph):
    modules, layers, edges, _ = graph
    upward = [f"{m} (layer {layers[m]}) imports {d} (layer {layers[d]})"
              for m, deps in edges.items() if m not in FRONT
              for d in sorted(deps) if d in layers and m in layers and layers[d] > layers[m]]
    assert not upward, "upward imports: " + "; ".join(upward)
    assert not any(d in FRONT for m in edges for d in edges[m] if m not in FRONT), \
        "a module imports the package's front door (nuvex/__init__.py)"


def test_plots_is_a_leaf_on_the_first_layer(graph):
    _, layers, edges, _ = graph
    assert layers["plots"] == 1
    above = sorted(d for d in edges["plots"] if layers.get(d, 99) > 1)
    assert not above, f"plots imports modules above the first layer: {above}"


def test_the_import_graph_has_no_circle(graph):
    _, _, edges, _ = graph
    state = {}

    def visit(m, path):
        state[m] = "open"
        for d in sorted(edges.get(m, ())):
            if d in FRONT:
                continue
            if state.get(d) == "open":
                cycle = path[path.index(d):] + [d]
                pytest.fail("import circle: " + " -> ".join(cycle))
            if d not in state:
                visit(d, path + [d])
        state[m] = "done"

    for m in sorted(edges):
        if m not in FRONT and m not in state:
            visit(m, [m])


def test_no_module_uses_another_modules_private_names(graph):
    _, _, _, private = graph
    used = {m: p for m, p in private.items() if p and m not in FRONT}
    assert not used, f"private names used across modules: {used}"


def test_the_checker_sees_violations(tmp_path):
    # a planted upward import, a circle and a private name are found by the same code
    pkg = tmp_path / "nuvex"
    pkg.mkdir()
    (pkg / "__init__.py").write_text('"""doc\n\n1. base: low\n2. top: high, peer\n"""\n')
    (pkg / "low.py").write_text("def f():\n    from .high import g\n")
    (pkg / "high.py").write_text("from . import low\nfrom .peer import _hidden\nx = low._secret\n")
    (pkg / "peer.py").write_text("from .high import x\n_hidden = 1\n")
    modules = module_files(pkg)
    layers = declared_layers(ast.get_docstring(ast.parse((pkg / "__init__.py").read_text())))
    assert layers == {"low": 1, "high": 2, "peer": 2}
    low, _ = imports_of(pkg / "low.py", "low", modules, pkg)
    high, private = imports_of(pkg / "high.py", "high", modules, pkg)
    assert low == {"high"}                              # deferred import inside a function counts
    assert high == {"low", "peer"}
    assert sorted(private) == ["low._secret", "peer._hidden"]
