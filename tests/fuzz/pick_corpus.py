"""Picks a fuzz target's kept inputs from a libFuzzer merge control file.

    pick_corpus.py CONTROL SEEDS_DIR MAX

Prints at most MAX inputs, greedily: the one that reaches the most edges the
seeds (the inputs in SEEDS_DIR) and those picked so far do not, first, the
smaller on a tie, until none adds an edge.
"""
import os
import sys

control, seeds, cap = sys.argv[1], os.path.realpath(sys.argv[2]), int(sys.argv[3])
lines = open(control).read().split("\n")
count = int(lines[0])
files = lines[2:2 + count]
edges = {}
for line in lines[2 + count:]:
    if line.startswith("COV "):
        parts = line.split()
        edges[int(parts[1])] = set(parts[2:])

def is_seed(path):
    return os.path.realpath(os.path.dirname(path)) == seeds

covered = set()
for i, f in enumerate(files):
    if is_seed(f):
        covered |= edges.get(i, set())
candidates = {i for i, f in enumerate(files) if not is_seed(f)}
for _ in range(cap):
    best = max(candidates, key=lambda i: (len(edges.get(i, set()) - covered), -os.path.getsize(files[i])),
               default=None)
    if best is None or not edges.get(best, set()) - covered:
        break
    covered |= edges[best]
    candidates.discard(best)
    print(files[best])
