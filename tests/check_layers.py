#!/usr/bin/env python3
"""Checks the include structure of the product; exits 1 naming every violation.

- The engine's layers (zipsync/base < zip < net < update) include only their own layer and
  those below, and every engine include names its layer ("base/Path.h").
- Headers under an engine layer's internal/ directory are included only by the engine and its
  tests.
- The installer's core never includes the toolkit or the wizard.
- No include circle between the product's modules (a header and its source form one module).
"""
import os
import re
import sys

LAYERS = ["base", "zip", "net", "update"]
PRODUCT = ["zipsync", "installer", "tools"]
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]', re.M)


def sources(root, top):
    for dirpath, _, names in os.walk(os.path.join(root, top)):
        for name in sorted(names):
            if name.endswith((".h", ".cpp")):
                yield os.path.relpath(os.path.join(dirpath, name), root)


def includes(root, path):
    with open(os.path.join(root, path), encoding="utf-8", errors="replace") as f:
        return INCLUDE.findall(f.read())


def resolve(root, path, target, roots):
    """The repository path of a quoted include, or None for a system header."""
    for base in [os.path.dirname(path)] + roots:
        candidate = os.path.normpath(os.path.join(base, target))
        if os.path.isfile(os.path.join(root, candidate)):
            return candidate
    return None


def check_layers(root, problems):
    for path in sources(root, "zipsync"):
        parts = path.split(os.sep)
        if len(parts) < 3 or parts[1] not in LAYERS:
            continue
        own = LAYERS.index(parts[1])
        for kind, target in includes(root, path):
            if kind != '"':
                continue
            layer = target.split("/")[0]
            if layer not in LAYERS:
                problems.append(f"{path}: include \"{target}\" does not name its layer")
            elif LAYERS.index(layer) > own:
                problems.append(f"{path}: layer {parts[1]} includes the higher layer {layer} (\"{target}\")")


def check_internal(root, problems):
    tops = ["installer", "tools", "bench", os.path.join("tests", "installer"), os.path.join("tests", "tools"),
            os.path.join("tests", "support")]
    for top in tops:
        for path in sources(root, top):
            for kind, target in includes(root, path):
                if kind == '"' and "/internal/" in target:
                    problems.append(f"{path}: includes the engine's internal header \"{target}\"")


def check_core(root, problems):
    gui = {name for name in os.listdir(os.path.join(root, "installer", "gui")) if name.endswith(".h")}
    for path in sources(root, os.path.join("installer", "core")):
        for kind, target in includes(root, path):
            if target.startswith("FL/") or (kind == '"' and os.path.basename(target) in gui):
                problems.append(f"{path}: the installer's core includes the wizard or the toolkit (\"{target}\")")


def module(path):
    return os.path.splitext(path)[0]


def check_circles(root, problems):
    roots = ["zipsync", os.path.join("installer", "core"), os.path.join("installer", "gui"),
             os.path.join("tools", "zipsync")]
    graph = {}
    for top in PRODUCT:
        for path in sources(root, top):
            edges = graph.setdefault(module(path), set())
            for kind, target in includes(root, path):
                if kind != '"':
                    continue
                resolved = resolve(root, path, target, roots)
                if resolved and module(resolved) != module(path):
                    edges.add(module(resolved))
    # Tarjan's strongly connected components, iteratively.
    index, low, on_stack, stack, order = {}, {}, set(), [], [0]
    circles = []
    for start in sorted(graph):
        if start in index:
            continue
        work = [(start, iter(sorted(graph.get(start, ()))))]
        index[start] = low[start] = order[0]
        order[0] += 1
        stack.append(start)
        on_stack.add(start)
        while work:
            node, children = work[-1]
            child = next(children, None)
            if child is not None:
                if child not in index:
                    index[child] = low[child] = order[0]
                    order[0] += 1
                    stack.append(child)
                    on_stack.add(child)
                    work.append((child, iter(sorted(graph.get(child, ())))))
                elif child in on_stack:
                    low[node] = min(low[node], index[child])
                continue
            work.pop()
            if work:
                low[work[-1][0]] = min(low[work[-1][0]], low[node])
            if low[node] == index[node]:
                component = []
                while True:
                    member = stack.pop()
                    on_stack.discard(member)
                    component.append(member)
                    if member == node:
                        break
                if len(component) > 1:
                    circles.append(sorted(component))
    for component in circles:
        problems.append("include circle between " + ", ".join(component))


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..")
    problems = []
    check_layers(root, problems)
    check_internal(root, problems)
    check_core(root, problems)
    check_circles(root, problems)
    for problem in problems:
        print(problem)
    if problems:
        return 1
    print("include structure holds")
    return 0


if __name__ == "__main__":
    sys.exit(main())
