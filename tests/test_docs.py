"""Every ```python block in docs/*.md runs, in order, as a reader would paste it.

The blocks of one page share a namespace, run from the repository root. A block whose first
lines say `# requires: NAME[, NAME]` is skipped when one of those modules cannot be imported.
"""

import importlib.util
import re
from pathlib import Path

import pytest

pytest.importorskip("kelvane")

ROOT = Path(__file__).resolve().parent.parent
DOCS = ROOT / "docs"
FENCE = re.compile(r"^```python[ \t]*\n(.*?)^```[ \t]*$", re.M | re.S)
REQUIRES = re.compile(r"^#\s*requires:\s*(.+)$", re.M)


def blocks(page):
    text = page.read_text(encoding="utf-8")
    for match in FENCE.finditer(text):
        line = text.count("\n", 0, match.start()) + 2  # first line of code in the page
        yield line, match.group(1)


def missing_modules(code):
    names = []
    for found in REQUIRES.finditer(code):
        names += [n.strip() for n in found.group(1).split(",") if n.strip()]
    return [n for n in names if importlib.util.find_spec(n) is None]


PAGES = sorted(p for p in DOCS.glob("*.md") if any(True for _ in blocks(p)))


def test_every_page_with_code_is_collected():
    assert {p.name for p in PAGES} >= {"index.md", "instructions.md", "errors.md", "threads-and-holds.md",
                                        "numerics.md", "recipes.md"}


@pytest.mark.parametrize("page", PAGES, ids=[p.name for p in PAGES])
def test_page_code_runs(page, monkeypatch):
    monkeypatch.chdir(ROOT)
    namespace = {"__name__": f"docs_{page.stem.replace('-', '_')}"}
    skipped = []
    for line, code in blocks(page):
        missing = missing_modules(code)
        if missing:
            skipped.append(f"line {line} (needs {', '.join(missing)})")
            continue
        # Pad with newlines so tracebacks point at the line in the Markdown page.
        compiled = compile("\n" * (line - 1) + code, str(page), "exec")
        exec(compiled, namespace)
    if skipped:
        pytest.skip(f"ran the rest; skipped blocks at {'; '.join(skipped)}")
