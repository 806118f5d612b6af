#!/usr/bin/env python3
"""Checks that dependencies point one way.

Usage: layers.py BUILD_DIR/layers.json SOURCE_DIR

The library graph (written by CMake: each target's layer, sources and linked
targets) must have no cycle and no link to a higher layer. The module graph
(a module is a header and its source; an arrow is an #include "dir/name.hpp")
must have no cycle, and a module may include only modules of its own target
or of the targets it links, directly or through them.
"""
import json
import os
import re
import sys


def cycles(graph):
    """Edges that lie on a cycle."""
    def reaches(start, goal):
        seen, todo = set(), [start]
        while todo:
            node = todo.pop()
            if node == goal:
                return True
            if node not in seen:
                seen.add(node)
                todo.extend(graph.get(node, ()))
        return False
    return sorted((a, b) for a, bs in graph.items() for b in bs if reaches(b, a))


def main():
    layout = json.load(open(sys.argv[1]))
    root = sys.argv[2]
    rank = {name: i for i, name in enumerate(layout["layers"])}
    targets = layout["targets"]
    errors = []

    links = {name: set(t["links"]) & targets.keys() for name, t in targets.items()}
    for a, b in cycles(links):
        errors.append("library link in a cycle: %s -> %s" % (a, b))
    for name, deps in links.items():
        for dep in deps:
            if rank[targets[dep]["layer"]] > rank[targets[name]["layer"]]:
                errors.append("upward link: %s (%s) -> %s (%s)"
                              % (name, targets[name]["layer"], dep, targets[dep]["layer"]))

    def closure(name):
        seen, todo = set(), [name]
        while todo:
            node = todo.pop()
            if node not in seen:
                seen.add(node)
                todo.extend(links[node])
        return seen

    owner = {}  # module -> target; a program's modules never outrank a library's
    for name in sorted(targets, key=lambda n: rank[targets[n]["layer"]], reverse=True):
        for source in targets[name]["sources"]:
            owner[os.path.splitext(source)[0]] = name

    modules = {}
    for module, name in owner.items():
        for ext in (".hpp", ".cpp"):
            path = os.path.join(root, module + ext)
            if not os.path.exists(path):
                continue
            for include in re.findall(r'^\s*#include\s+"([^"]+)"', open(path).read(), re.M):
                other = os.path.splitext(include)[0]
                if "/" not in include or other == module:
                    continue
                if other not in owner:
                    errors.append("%s%s includes %s, which no target builds" % (module, ext, include))
                    continue
                modules.setdefault(module, set()).add(other)
                if owner[other] not in closure(name):
                    errors.append("%s (%s) includes %s (%s) without linking it"
                                  % (module, name, other, owner[other]))
    for a, b in cycles(modules):
        errors.append("module include in a cycle: %s -> %s" % (a, b))

    for error in errors:
        print(error)
    print("%d targets, %d modules, %d problems" % (len(targets), len(modules), len(errors)))
    sys.exit(1 if errors else 0)


if __name__ == "__main__":
    main()
