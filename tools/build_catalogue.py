#!/usr/bin/env python3
"""Rebuild kelvane_indices/data/spectral_indices.json from the Awesome Spectral Indices catalogue.

The catalogue's published data ships inside the `spyndex` package (MIT licence, David Montero
Loaiza and contributors); this script reads it from an installed spyndex, keeps every index
whose formula kelvane's grammar accepts, and writes the result with its licence and source:

    pip install spyndex && python tools/build_catalogue.py

kelvane does not need spyndex at run time: the JSON it writes is part of the package.
"""

from __future__ import annotations

import argparse
import json
import sys
from importlib import metadata
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT))

from kelvane_indices._grammar import FormulaError, parse, symbols_of  # noqa: E402

TARGET = ROOT / "kelvane_indices" / "data" / "spectral_indices.json"


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", type=Path, default=TARGET)
    args = parser.parse_args(argv)

    import spyndex  # noqa: F401  (only to find its data)

    data = Path(spyndex.__file__).parent / "data"
    indices = json.loads((data / "spectral-indices-dict.json").read_text())["SpectralIndices"]
    constants = json.loads((data / "constants.json").read_text())
    bands = json.loads((data / "bands.json").read_text())
    licence = ""
    for file in metadata.files("spyndex") or []:
        if file.name.startswith("LICENSE"):
            licence = file.read_text()

    kept, left_out = {}, {}
    for name in sorted(indices):
        entry = indices[name]
        try:
            formula_symbols = symbols_of(parse(entry["formula"]))
        except FormulaError as exc:
            left_out[name] = str(exc)
            continue
        kept[name] = {
            "short_name": entry["short_name"],
            "long_name": entry["long_name"],
            "formula": entry["formula"],
            # Symbols in the catalogue's order; those with a constant's entry are constants.
            "bands": [s for s in entry["bands"] if s not in constants],
            "constants": [s for s in entry["bands"] if s in constants],
            "domain": entry["application_domain"],
            "reference": entry["reference"],
            "platforms": entry.get("platforms", []),
        }
        missing = set(formula_symbols) ^ set(entry["bands"])
        if missing:
            raise SystemExit(f"{name}: formula symbols and listed bands differ: {sorted(missing)}")

    result = {
        "source": "Awesome Spectral Indices, as shipped by the spyndex package "
                  f"{metadata.version('spyndex')} (https://github.com/awesome-spectral-indices)",
        "licence": licence,
        "total": len(indices),
        "left_out": left_out,
        "indices": kept,
        "constants": {k: {"default": v["default"], "description": v["description"]} for k, v in constants.items()},
        "bands": {k: {"long_name": v["long_name"], "common_name": v.get("common_name"),
                      "min_wavelength": v.get("min_wavelength"), "max_wavelength": v.get("max_wavelength")}
                  for k, v in bands.items()},
    }
    args.out.parent.mkdir(parents=True, exist_ok=True)
    args.out.write_text(json.dumps(result, indent=1, sort_keys=True) + "\n")
    print(f"{len(kept)} of {len(indices)} indices written to {args.out} ({len(left_out)} left out)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
