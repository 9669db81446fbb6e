#!/usr/bin/env python3
"""Finds import cycles among the modules of a package or a folder of scripts.

    python tools/import_cycles.py [FOLDER ...]      (default: vexa bench)

Every import statement counts, at module level or inside a function (an import hidden in
a function still ties the two modules together); imports under `if TYPE_CHECKING:` do
not, as they never run. A folder with an __init__.py is a package (its modules named
vexa.formula.ops, ...), any other folder a set of scripts that import each other by
file name (bench/). `from P import x` is an import of the module P.x when the folder
holds one, else of P when P binds the name x itself (else x is a module the build makes,
an extension module or the table's view, which imports nothing of the folder). Prints
each cycle, its modules in import order, and exits 1 when there is one.
"""

from __future__ import annotations

import ast
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


def modules(folder):
    """{module name: path} of the Python files under `folder`."""
    folder = Path(folder)
    found = {}
    package = (folder / "__init__.py").is_file()
    for path in sorted(folder.rglob("*.py")):
        parts = path.relative_to(folder).with_suffix("").parts
        if package:
            parts = (folder.name, *parts)
            if parts[-1] == "__init__":
                parts = parts[:-1]
        found[".".join(parts)] = path
    return found


def _type_checking(test):
    return (isinstance(test, ast.Name) and test.id == "TYPE_CHECKING") or (
        isinstance(test, ast.Attribute) and test.attr == "TYPE_CHECKING"
    )


def _imports(tree):
    """The import statements of a module that run, at any depth."""
    stack = [tree]
    while stack:
        node = stack.pop()
        if isinstance(node, ast.If) and _type_checking(node.test):
            stack.extend(node.orelse)
            continue
        if isinstance(node, (ast.Import, ast.ImportFrom)):
            yield node
        stack.extend(ast.iter_child_nodes(node))


def _bound(tree):
    """The names a module binds at its top level (`from . import x` binds a submodule, which
    is no name of the module's own)."""
    names = set()
    for node in tree.body:
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)):
            names.add(node.name)
        elif isinstance(node, ast.ImportFrom) and node.level == 1 and node.module is None:
            continue
        elif isinstance(node, (ast.Import, ast.ImportFrom)):
            names.update((a.asname or a.name).partition(".")[0] for a in node.names)
        elif isinstance(node, (ast.Assign, ast.AnnAssign, ast.AugAssign)):
            targets = node.targets if isinstance(node, ast.Assign) else [node.target]
            for target in targets:
                names.update(n.id for n in ast.walk(target) if isinstance(n, ast.Name))
    return names


def edges(known):
    """{module: the known modules it imports}."""
    trees = {name: ast.parse(path.read_text("utf-8"), str(path)) for name, path in known.items()}
    bound = {name: _bound(tree) for name, tree in trees.items()}
    graph = {}
    for name, path in known.items():
        is_package = path.name == "__init__.py"
        package = name if is_package else name.rpartition(".")[0]
        targets = set()
        for node in _imports(trees[name]):
            if isinstance(node, ast.Import):
                for alias in node.names:
                    parts = alias.name.split(".")
                    # import a.b.c imports a, a.b and a.b.c: the deepest known one counts
                    for k in range(len(parts), 0, -1):
                        if ".".join(parts[:k]) in known:
                            targets.add(".".join(parts[:k]))
                            break
                continue
            base = node.module or ""
            if node.level:
                anchor = package.split(".") if package else []
                anchor = anchor[: len(anchor) - (node.level - 1)]
                base = ".".join([*anchor, *([base] if base else [])])
            for alias in node.names:
                sub = f"{base}.{alias.name}" if base else alias.name
                if sub in known:
                    targets.add(sub)
                elif base in known and (alias.name == "*" or alias.name in bound[base]):
                    targets.add(base)
        targets.discard(name)
        graph[name] = sorted(targets)
    return graph


def cycles(graph):
    """The strongly connected components of more than one module, each as (a cycle through
    its first module, all its modules) (Tarjan's algorithm, iteratively)."""
    index, low, on_stack, stack, found = {}, {}, set(), [], []
    counter = 0
    for root in graph:
        if root in index:
            continue
        work = [(root, iter(graph[root]))]
        index[root] = low[root] = counter
        counter += 1
        stack.append(root)
        on_stack.add(root)
        while work:
            node, children = work[-1]
            child = next(children, None)
            if child is not None:
                if child not in index:
                    index[child] = low[child] = counter
                    counter += 1
                    stack.append(child)
                    on_stack.add(child)
                    work.append((child, iter(graph[child])))
                elif child in on_stack:
                    low[node] = min(low[node], index[child])
                continue
            work.pop()
            if work:
                parent = work[-1][0]
                low[parent] = min(low[parent], low[node])
            if low[node] == index[node]:
                component = []
                while True:
                    m = stack.pop()
                    on_stack.discard(m)
                    component.append(m)
                    if m == node:
                        break
                if len(component) > 1:
                    found.append((_path_through(graph, set(component)), sorted(component)))
    return found


def _path_through(graph, component):
    """A cycle within a strongly connected component: from its first module, the
    shortest way back to it."""
    start = min(component)
    previous, frontier = {start: None}, [start]
    while frontier:
        nxt = []
        for m in frontier:
            for t in graph[m]:
                if t == start:
                    path = [m]
                    while previous[path[-1]] is not None:
                        path.append(previous[path[-1]])
                    return [*reversed(path), start]
                if t in component and t not in previous:
                    previous[t] = m
                    nxt.append(t)
        frontier = nxt
    return sorted(component)


def find(folders):
    known = {}
    for folder in folders:
        known.update(modules(folder))
    return cycles(edges(known))


def main(argv):
    folders = [Path(a) for a in argv[1:]] or [ROOT / "vexa", ROOT / "bench"]
    found = find(folders)
    for cycle, tied in found:
        print("import cycle: " + " -> ".join(cycle))
        others = sorted(set(tied) - set(cycle))
        if others:
            print("  and the other modules tied to it: " + ", ".join(others))
    names = ", ".join(str(f) for f in folders)
    print(f"{len(found)} import cycle{'s' if len(found) != 1 else ''} in {names}")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
