"""Prints which folders of src/ include which, and checks the layout's rules.

A file's folder says whether it may touch Python: base, frame, indices and expr
run without the interpreter lock and include neither Python's nor NumPy's
headers nor anything from module/; module/ and lib.cpp are the module's side.
Folders include only folders below them: base <- frame <- indices, expr <-
module <- lib. Instruction sets and systems stay in their own files: x86
intrinsics in the x86 targets' files (*_x86.*, *_sse2.cpp, *_avx2.cpp,
*_avx512.cpp), Advanced SIMD ones in the neon target's (*_neon.*), and calls
of one system in the platform files (base/platform_*.cpp). Exit status 1
when a rule is broken.
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
# What may appear only in the files whose names match the second pattern.
CONFINED = [
    ("x86 intrinsics", re.compile(r"\b_mm\w*\(|\b__m(128|256|512)|\b__mmask|<\w*intrin\.h>|\b_xgetbv|\b__cpuid|\b__builtin_ia32_\w+|\b__builtin_cpu_\w+"),
     re.compile(r"_(x86|sse2|avx2|avx512)\.\w+$")),
    ("Advanced SIMD intrinsics", re.compile(r"<arm_neon\.h>|\bv\w+q_[suf](8|16|32|64)\b|\b(float|u?int)\d+x\d+_t\b"),
     re.compile(r"_neon\.\w+$")),
    ("calls of one system", re.compile(r"\bsched_\w+|\bgettid\b|/proc/|/sys/fs/cgroup|\bpthread_\w+|<(unistd|pthread|sched)\.h>|"
                                       r"\bsysconf\b|\bSTDERR_FILENO\b|<windows\.h>|\b_beginthreadex\b|\bmmap\b|\bmprotect\b|<sys/mman\.h>"),
     re.compile(r"^base/platform_\w+\.cpp$")),
]


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
        name = str(path.relative_to(SRC))
        for what, pattern, allowed in CONFINED:
            found = pattern.search(text)
            if found and not allowed.search(name):
                problems.append(f"{name} has {what} ({found.group(0)}), which belong in their own files")
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
