#!/usr/bin/env python3
"""The whole tree's folder-level include graph and its layering.

Every #include "..." of a product source file (tests, test support, fuzz targets and benchmarks are
left out: they may reach across layers) is resolved to the header it names, the way the compiler
finds it: beside the including file first, then under the include roots the build gives. Each
edge "from -> to (n)" counts the include lines of files in folder "from" that name a header in
folder "to".

The layers, lowest first: abi, platform, engine, then usbformat and launcherres side by side, app
(which makes USB media through usbformat's C interface), tools. A file may include its own layer
or a lower one; an include of a higher layer, or of a sibling on the same rank, is a layering
fault. Folders that include each other in a cycle are named too; --check fails on them as well.

  scripts/include-graph.py                 the graph at folder depth 2 (engine/drive, app/contents)
  scripts/include-graph.py --depth N       at another folder depth
  scripts/include-graph.py --check         the graph, then fail on a layering fault
"""
import argparse
import collections
import os
import re
import sys

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
PRODUCT = ["abi", "platform", "engine", "usbformat", "launcherres", "app", "tools"]
RANK = {"abi": 0, "platform": 1, "engine": 2, "usbformat": 3, "launcherres": 3, "app": 4, "tools": 5}
# Roots a quoted include is looked up under after the including file's own folder.
INCLUDE_ROOTS = ["", "abi/include", "platform/include", "engine/include", "engine", "usbformat/include",
                 "usbformat", "launcherres/include", "tools"]
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')


def is_product(path):
    name = os.path.basename(path)
    if "/testing/" in path or "/test/" in path:
        return False
    return not (name.endswith("_test.cc") or "test_util" in name or "test_support" in name
                or name.startswith("fake_") or name.startswith("scripted_") and "drive" in path)


def sources():
    for top in PRODUCT:
        for folder, dirs, files in os.walk(os.path.join(ROOT, top)):
            dirs[:] = [d for d in dirs if not d.startswith("build")]
            for f in files:
                if f.endswith((".cc", ".h", ".c", ".cpp")):
                    rel = os.path.relpath(os.path.join(folder, f), ROOT)
                    if is_product(rel):
                        yield rel


def resolve(including, name):
    here = os.path.dirname(including)
    for base in [here] + INCLUDE_ROOTS:
        candidate = os.path.normpath(os.path.join(base, name))
        if os.path.isfile(os.path.join(ROOT, candidate)):
            return candidate
    return None  # a system or generated header


def folder_of(path, depth):
    # A program's main() file sits above everything, its own folder included.
    if os.path.basename(path).endswith("main.cc"):
        return path
    parts = os.path.dirname(path).split("/")
    return "/".join(parts[:depth]) if parts != [""] else path


def find_cycles(edges):
    """One cycle through each strongly connected group of folders (Tarjan), shortest names first."""
    graph = collections.defaultdict(set)
    for a, b in edges:
        graph[a].add(b)
    index, low, stack, on_stack, groups = {}, {}, [], set(), []

    def visit(v):
        index[v] = low[v] = len(index)
        stack.append(v)
        on_stack.add(v)
        for w in sorted(graph[v]):
            if w not in index:
                visit(w)
                low[v] = min(low[v], low[w])
            elif w in on_stack:
                low[v] = min(low[v], index[w])
        if low[v] == index[v]:
            group = []
            while True:
                w = stack.pop()
                on_stack.discard(w)
                group.append(w)
                if w == v:
                    break
            if len(group) > 1:
                groups.append(sorted(group))

    for v in sorted(list(graph)):
        if v not in index:
            visit(v)
    cycles = []
    for group in groups:
        members = set(group)
        # Walk from the first member inside the group back to it: breadth-first for the shortest loop.
        start = group[0]
        previous = {start: None}
        queue = collections.deque([start])
        end = None
        while queue and end is None:
            v = queue.popleft()
            for w in sorted(graph[v] & members):
                if w == start:
                    end = v
                    break
                if w not in previous:
                    previous[w] = v
                    queue.append(w)
        path = [start]
        v = end
        while v is not None and v != start:
            path.insert(1, v)
            v = previous[v]
        cycles.append(path + [start])
    return cycles


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--depth", type=int, default=2)
    parser.add_argument("--check", action="store_true")
    args = parser.parse_args()

    edges = collections.Counter()
    faults = []
    for src in sorted(sources()):
        with open(os.path.join(ROOT, src), encoding="utf-8", errors="replace") as f:
            for line in f:
                m = INCLUDE.match(line)
                if not m:
                    continue
                target = resolve(src, m.group(1))
                if target is None:
                    continue
                a, b = folder_of(src, args.depth), folder_of(target, args.depth)
                if a != b:
                    edges[(a, b)] += 1
                la, lb = src.split("/")[0], target.split("/")[0]
                if la != lb and la in RANK and lb in RANK and RANK[lb] >= RANK[la]:
                    faults.append(f"{src} includes {target} ({la} may not include {lb})")

    by_source = collections.defaultdict(list)
    for (a, b), n in sorted(edges.items()):
        by_source[a].append(f"{b}({n})")
    for a in sorted(by_source):
        print(f"{a} -> {' '.join(by_source[a])}")

    cycles = find_cycles(edges)
    for cycle in cycles:
        print("folder cycle: " + " -> ".join(cycle), file=sys.stderr)

    if args.check:
        if cycles:
            return 1
        for fault in faults:
            print("layering fault: " + fault, file=sys.stderr)
        if faults:
            return 1
        print("include graph: every include points to the same or a lower layer")
    return 0


if __name__ == "__main__":
    sys.exit(main())
