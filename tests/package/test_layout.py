"""The package's layers: each imports only the ones below it, no import circles, no module too long
to read, and a worker that does not draw never loads plotting."""

import ast
import pathlib
import subprocess
import sys

import velmora_funnel

PACKAGE = pathlib.Path(velmora_funnel.__file__).parent
# From the bottom up; errors and the kernels lie below all of them, the public face above.
LAYERS = ["errors", "_kernels", "_version", "comparison", "io", "run", "reports", "cli", ""]
# Lazy on purpose: CompareResult.plot() draws through the reports layer.
UPWARD_ALLOWED = {("comparison.result", "reports.plot")}


def _name(path):
    parts = path.relative_to(PACKAGE).with_suffix("").parts
    return ".".join(parts[:-1] if parts[-1] == "__init__" else parts)


def _layer(module):
    top = module.split(".")[0]
    return LAYERS.index(top) if top in LAYERS else len(LAYERS) - 1


def _imports(path, module):
    """``(imported module, at module level)`` of one file, type-checking imports left out."""
    tree = ast.parse(path.read_text())
    package = module if path.name == "__init__.py" else module.rpartition(".")[0]
    found = []

    def visit(node, top_level):
        for child in ast.iter_child_nodes(node):
            if isinstance(child, ast.If) and "TYPE_CHECKING" in ast.unparse(child.test):
                continue
            if isinstance(child, ast.ImportFrom) and child.level:
                base = package.split(".") if package else []
                base = base[: len(base) - (child.level - 1)] if child.level > 1 else base
                target = ".".join([*base, *([child.module] if child.module else [])])
                names = [target] if child.module else [f"{target}.{a.name}".strip(".") for a in child.names]
                found.extend((name, top_level) for name in names)
            visit(child, top_level and not isinstance(child, (ast.FunctionDef, ast.AsyncFunctionDef)))

    visit(tree, True)
    return found


def test_layers_import_downward_only_without_circles():
    graph, upward = {}, []
    for path in sorted(PACKAGE.rglob("*.py")):
        module = _name(path)
        assert len(path.read_text().splitlines()) <= 500, f"{module} has grown past 500 lines"
        graph[module] = set()
        for target, top_level in _imports(path, module):
            if _layer(target) > _layer(module) and (module, target) not in UPWARD_ALLOWED:
                upward.append(f"{module} -> {target}")
            if top_level:
                graph[module].add(target)
    assert upward == []
    state = {}

    def walk(module, trail):
        state[module] = "open"
        for target in graph.get(module, ()):
            # A package's own __init__ importing its submodules is no circle.
            if state.get(target) == "open" and not module.startswith(f"{target}."):
                raise AssertionError(f"import circle: {' -> '.join([*trail, target])}")
            if target not in state:
                walk(target, [*trail, target])
        state[module] = "done"

    for module in graph:
        if module not in state:
            walk(module, [module])


def test_comparing_and_asserting_load_no_plotting_nor_reports():
    """A batch worker that does not draw, and a test suite using assert_funnel, never import matplotlib."""
    code = (
        "import sys, velmora_funnel.testing, velmora_funnel.run.pairs\n"
        "print(sorted(m for m in sys.modules if m == 'matplotlib' or m.startswith('velmora_funnel.reports.')))"
    )
    loaded = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert loaded.strip() == "['velmora_funnel.reports.cells']"
