"""Prints which folders of src/ include which, and checks the layout's rules.

A file's folder says whether it may touch Python: base, frame, indices and expr
run without the interpreter lock and include neither Python's nor NumPy's
headers nor anything from module/; module/ and lib.cpp are the module's side.
Folders include only folders below them: base <- frame <- indices, expr <-
module <- lib. Exit status 1 when a rule is broken.
"""
import re
import sys
from collections import defaultdict
from pathlib import Path

SRC = Path(__file__).resolve().parent.parent / "src"
PYTHON_FREE = ("base", "frame", "indices", "expr")
# The folders each folder may include (besides itself).
ALLOWED = {
    "base": set(),
    "frame": {"base"},
    "indices": {"base", "frame"},
    "expr": {"base", "frame"},
    "module": {"base", "frame", "indices", "expr"},
    "lib": {"base", "frame", "indices", "expr", "module"},
}
PYTHON_HEADERS = re.compile(r"#\s*include\s*<(Python\.h|numpy/[^>]*)>")
LOCAL = re.compile(r'#\s*include\s*"([^"]+)"')


def folder_of(path):
    rel = path.relative_to(SRC)
    return rel.parts[0] if len(rel.parts) > 1 else rel.stem


def main():
    edges = defaultdict(lambda: defaultdict(int))
    problems = []
    for path in sorted(SRC.rglob("*")):
        if path.suffix not in (".cpp", ".hpp", ".inc"):
            continue
        here = folder_of(path)
        text = path.read_text()
        for target in LOCAL.findall(text):
            there = target.split("/")[0] if "/" in target else here
            edges[here][there] += 1
            if there != here and there not in ALLOWED.get(here, set()):
                problems.append(f"{path.relative_to(SRC)} includes {target}: {here}/ may not include {there}/")
        if here in PYTHON_FREE and PYTHON_HEADERS.search(text):
            problems.append(f"{path.relative_to(SRC)} includes Python's or NumPy's headers")
    for here in ALLOWED:
        targets = ", ".join(f"{t} ({n})" for t, n in sorted(edges[here].items()) if t != here)
        print(f"{here:8} -> {targets or '-'}")
    for line in problems:
        print("BROKEN:", line)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
