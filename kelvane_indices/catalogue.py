"""The spectral index catalogue: Awesome Spectral Indices, as data shipped with the package.

The data (kelvane_indices/data/spectral_indices.json) is built by tools/build_catalogue.py from
the catalogue that the spyndex package publishes, MIT-licensed by David Montero Loaiza and the
catalogue's contributors; the licence travels in that file and in LICENSE-spectral-indices.txt.
Names, band symbols and constant defaults are the catalogue's, so code written for
`spyndex.computeIndex` moves over unchanged.
"""

from __future__ import annotations

import difflib
import json
from dataclasses import dataclass, field
from pathlib import Path
from types import MappingProxyType
from typing import Any, Dict, List, Mapping, Optional, Tuple

_DATA = json.loads((Path(__file__).parent / "data" / "spectral_indices.json").read_text(encoding="utf-8"))


@dataclass(frozen=True)
class IndexEntry:
    """One index of the catalogue."""

    short_name: str
    long_name: str
    formula: str
    bands: Tuple[str, ...]           # symbols read as bands, e.g. ("N", "R")
    constants: Mapping[str, Optional[float]] = field(repr=False)  # defaults; None: no default, give one
    domain: str = ""
    reference: str = ""
    platforms: Tuple[str, ...] = field(default=(), repr=False)

    def describe(self) -> str:
        """One line: name, long name, bands and domain."""
        return f"{self.short_name}: {self.long_name} [{', '.join(self.bands)}] ({self.domain})"


def _entry(raw: Dict[str, Any]) -> IndexEntry:
    defaults = {name: _DATA["constants"][name]["default"] for name in raw["constants"]}
    return IndexEntry(raw["short_name"], raw["long_name"], raw["formula"], tuple(raw["bands"]),
                      MappingProxyType(defaults), raw["domain"], raw["reference"], tuple(raw["platforms"]))


catalogue: Mapping[str, IndexEntry] = MappingProxyType({name: _entry(raw) for name, raw in _DATA["indices"].items()})
"""Read-only mapping from short name (as in the catalogue, e.g. "NDVI", "EVI") to IndexEntry."""

#: What each band symbol of the catalogue means, e.g. BAND_NAMES["N"] == "Near-Infrared (NIR)".
BAND_NAMES: Mapping[str, str] = MappingProxyType({k: v["long_name"] for k, v in _DATA["bands"].items()})
#: What each constant symbol means, e.g. CONSTANT_NAMES["L"] == "Canopy background adjustment".
CONSTANT_NAMES: Mapping[str, str] = MappingProxyType({k: v["description"] for k, v in _DATA["constants"].items()})
#: How many indices the published catalogue holds, and which the grammar could not express (none so far).
CATALOGUE_TOTAL: int = _DATA["total"]
LEFT_OUT: Mapping[str, str] = MappingProxyType(_DATA["left_out"])
SOURCE: str = _DATA["source"]


def lookup(name: str) -> IndexEntry:
    """The entry called `name`; a case-insensitive match if there is exactly one, else a ValueError."""
    if not isinstance(name, str):
        raise TypeError(f"an index is named by a string such as 'NDVI', not {type(name).__name__}")
    entry = catalogue.get(name)
    if entry is not None:
        return entry
    folded = [key for key in catalogue if key.lower() == name.lower()]
    if len(folded) == 1:
        return catalogue[folded[0]]
    close = difflib.get_close_matches(name, list(catalogue), n=3, cutoff=0.6)
    hint = f"; did you mean {', '.join(close)}?" if close else "; search it with kelvane_indices.search(WORD)"
    raise ValueError(f"{name!r} is not an index of the catalogue{hint}")


def search(word: str = "") -> List[IndexEntry]:
    """Entries whose short name, long name, domain or bands contain `word` (case-insensitive)."""
    word = word.lower()
    return [entry for entry in catalogue.values()
            if not word or word in entry.short_name.lower() or word in entry.long_name.lower()
            or word == entry.domain.lower() or word in (b.lower() for b in entry.bands)]
