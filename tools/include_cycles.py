#!/usr/bin/env python3
"""Finds cycles among the #include lines of the native sources.

    python tools/include_cycles.py [FOLDER ...]   (default: quorix vexa/src tests/native)

Every `#include "name"` counts, whatever the conditions around it (a cycle that a
macro hides today is one edit away from a real one); `#include <name>` is a system
header and ties nothing. A name is looked for beside the file that includes it, then in
quorix/include, quorix/src and vexa/src, as the builds look for it; a name found nowhere
under the folders (a generated header) ties nothing. Prints each cycle, its files in
include order, and exits 1 when there is one.
"""

from __future__ import annotations

import re
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
SEARCH = [ROOT / "quorix" / "include", ROOT / "quorix" / "src", ROOT / "vexa" / "src"]
SUFFIXES = {".h", ".hpp", ".c", ".cc", ".cpp", ".inc", ".def"}
_INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"', re.MULTILINE)


def files(folders):
    """The native source files under `folders`, resolved."""
    found = []
    for folder in folders:
        found += [p.resolve() for p in sorted(Path(folder).rglob("*")) if p.suffix in SUFFIXES]
    return found


def graph(paths):
    """{file: [files it includes]} over `paths`."""
    known = set(paths)
    edges = {}
    for path in paths:
        targets = []
        for name in _INCLUDE.findall(path.read_text(encoding="utf-8", errors="replace")):
            for base in [path.parent, *SEARCH]:
                candidate = (base / name).resolve()
                if candidate in known:
                    targets.append(candidate)
                    break
        edges[path] = targets
    return edges


def find(folders):
    """Each cycle, as a list of files that starts and ends with the same file."""
    edges = graph(files(folders))
    cycles, state, stack = [], {}, []

    def visit(node):
        state[node] = "open"
        stack.append(node)
        for target in edges.get(node, ()):
            if state.get(target) == "open":
                cycles.append(stack[stack.index(target) :] + [target])
            elif target not in state:
                visit(target)
        stack.pop()
        state[node] = "done"

    sys.setrecursionlimit(max(1000, 4 * len(edges)))
    for node in edges:
        if node not in state:
            visit(node)
    return cycles


def _shown(path):
    return str(path.relative_to(ROOT)) if path.is_relative_to(ROOT) else str(path)


def main(argv):
    default = [ROOT / "quorix", ROOT / "vexa" / "src", ROOT / "tests" / "native"]
    folders = [Path(a) for a in argv] or default
    cycles = find(folders)
    for cycle in cycles:
        print(" -> ".join(_shown(p) for p in cycle))
    count = len(files(folders))
    print(f"{count} files, {len(cycles)} include cycle{'s' if len(cycles) != 1 else ''}")
    return 1 if cycles else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
