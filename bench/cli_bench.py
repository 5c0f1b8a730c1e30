#!/usr/bin/env python3
"""kelvane-calc against gdal_calc.py and rio calc on a full Sentinel-2 tile, side by side in one run.

    python bench/make_scene.py tile /tmp/kelvane-scene        # once: 10980 x 10980 bands, three encodings
    python bench/cli_bench.py --scene /tmp/kelvane-scene      # NDVI and EVI, every encoding, every tool

Each tool runs as its own process under /usr/bin/time -v (wall time and peak resident memory),
on the same inputs, writing the same kind of output: float32, tiled 512 x 512, ZSTD level 1 with
the floating-point predictor, compressed on all CPUs (kelvane-calc's defaults, passed to the
others with --co). The inputs are read once before each encoding's runs, so every tool finds
them in the page cache. kelvane-calc runs with --timings, which gives the share of its time
spent computing. After the runs the outputs are compared over a window: where both tools give a
value, the largest difference (float32 against float64 arithmetic) is printed.

What the peers are given is what their users write: gdal_calc.py (Debian's GDAL, run with
Debian's python3) evaluates `(A.astype(float64) - B) / (A.astype(float64) + B)` with NumPy one
block at a time; rio calc (rasterio's, from this environment) the same in its Lisp syntax,
reading float64. EVI is computed on reflectance (digital numbers x 0.0001) by all three.
Each row is the fastest of --reps runs, the tools taking turns; "others" is the share of the
CPUs that other processes used during that run (on a shared machine, rows with more than a few
per cent are slowed by them; --wait-quiet S waits for a quiet second before each run).
Needs GNU time (`apt-get install time`), gdal-bin and python3-gdal for gdal_calc.py, rasterio.
"""

from __future__ import annotations

import argparse
import datetime
import json
import os
import platform
import re
import shutil
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT))  # kelvane_indices from this tree, as the runs below get it
PYTHON = sys.executable
RIO = str(Path(PYTHON).with_name("rio"))
GDAL_CALC = shutil.which("gdal_calc.py") or "/usr/bin/gdal_calc.py"
GDAL_PYTHON = "/usr/bin/python3"
FILES = {"N": "B08", "R": "B04", "B": "B02"}
EXT = {"jp2": ".jp2", "cog": ".tif", "raw": ".tif"}
SET_NAMES = {"jp2": "JPEG 2000, lossless (as ESA ships)", "cog": "GeoTIFF, deflate, 1024 tiles",
             "raw": "GeoTIFF, uncompressed, strips"}
CREATION = {"TILED": "YES", "BLOCKXSIZE": "512", "BLOCKYSIZE": "512", "COMPRESS": "ZSTD", "ZSTD_LEVEL": "1",
            "PREDICTOR": "3", "NUM_THREADS": "ALL_CPUS", "BIGTIFF": "IF_SAFER"}

S = "0.0001"
INDICES = {
    "ndvi": dict(
        kelvane=["NDVI"],
        bands="NR",
        gdal="(A.astype(float64) - B) / (A.astype(float64) + B)",
        rio="(/ (- (read 1 1 'float64') (read 2 1 'float64')) (+ (read 1 1 'float64') (read 2 1 'float64')))"),
    "evi": dict(
        kelvane=["EVI", "--scale", S],
        bands="NRB",
        gdal=f"2.5 * (A * {S} - B * {S}) / (A * {S} + 6 * (B * {S}) - 7.5 * (C * {S}) + 1)",
        rio=(f"(* 2.5 (/ (- (* {S} (read 1 1 'float64')) (* {S} (read 2 1 'float64'))) "
             f"(+ (- (+ (* {S} (read 1 1 'float64')) (* 6 (* {S} (read 2 1 'float64')))) "
             f"(* 7.5 (* {S} (read 3 1 'float64')))) 1)))")),
}


def inputs(scene: Path, key: str, bands: str):
    return [scene / key / f"{FILES[b]}{EXT[key]}" for b in bands]


def command(tool: str, index: str, paths, out: Path, overrides):
    recipe = INDICES[index]
    if tool == "kelvane-calc":
        argv = [PYTHON, "-m", "kelvane_indices.cli", *recipe["kelvane"]]
        for symbol, path in zip(recipe["bands"], paths):
            argv += ["-b", f"{symbol}={path}"]
        return argv + ["-o", str(out), "--quiet", "--timings", *[a for o in overrides for a in ("--co", o)]]
    options = dict(CREATION, **dict(o.split("=", 1) for o in overrides))
    co = [a for k, v in options.items() for a in ("--co", f"{k}={v}")]
    if tool == "gdal_calc.py":
        argv = [GDAL_PYTHON, GDAL_CALC, "--quiet", "--calc", recipe["gdal"]]
        for letter, path in zip("ABC", paths):
            argv += [f"-{letter}", str(path)]
        return argv + ["--outfile", str(out), "--type", "Float32", "--NoDataValue", "-9999", *co]
    if tool == "rio calc":
        return [RIO, "calc", recipe["rio"], *map(str, paths), str(out), "-t", "float32", *co]
    raise ValueError(tool)


CLK = os.sysconf("SC_CLK_TCK")


def busy_seconds():
    """CPU seconds the whole machine has been busy (user, nice, system, irq, softirq)."""
    with open("/proc/stat") as fh:
        f = [int(x) for x in fh.readline().split()[1:]]
    return (f[0] + f[1] + f[2] + f[5] + f[6]) / CLK


def wait_quiet(max_s):
    """Waits up to max_s seconds for a second in which other processes use under 5 % of the CPUs."""
    end = time.monotonic() + max_s
    while time.monotonic() < end:
        before = busy_seconds()
        time.sleep(1.0)
        if (busy_seconds() - before) / len(os.sched_getaffinity(0)) < 0.05:
            return


def timed(argv, env):
    """Runs argv under GNU time; returns wall seconds, peak RSS in MiB, CPU seconds, stderr, and
    the share of the CPUs that other processes used meanwhile."""
    busy = busy_seconds()
    proc = subprocess.run(["/usr/bin/time", "-v", *argv], env=env, capture_output=True, text=True)
    busy = busy_seconds() - busy
    err = proc.stderr
    if proc.returncode != 0:
        raise RuntimeError(f"{argv[:4]} failed ({proc.returncode}):\n{err[-2000:]}")

    def field(name):
        return re.search(rf"{re.escape(name)}: (.+)", err).group(1).strip()

    clock = [float(p) for p in field("Elapsed (wall clock) time (h:mm:ss or m:ss)").split(":")]
    wall = sum(p * 60 ** i for i, p in enumerate(reversed(clock)))
    rss = int(field("Maximum resident set size (kbytes)")) / 1024
    cpu = float(field("User time (seconds)")) + float(field("System time (seconds)"))
    others = max(0.0, busy - cpu) / (len(os.sched_getaffinity(0)) * wall)
    return wall, rss, cpu, err, others


def warm(paths):
    for path in paths:
        with open(path, "rb") as f:
            while f.read(1 << 24):
                pass


def compare(a: Path, b: Path, rows=2048):
    """Largest |a - b| over the first rows where both hold a value; and how many such pixels."""
    import rasterio
    from rasterio.windows import Window

    values = []
    for path in (a, b):
        with rasterio.open(path) as ds:
            data = ds.read(1, window=Window(0, 0, ds.width, min(rows, ds.height))).astype(np.float64)
            if ds.nodata is not None and not np.isnan(ds.nodata):
                data[data == ds.nodata] = np.nan
            values.append(data)
    both = np.isfinite(values[0]) & np.isfinite(values[1])
    return float(np.max(np.abs(values[0][both] - values[1][both]))), int(both.sum())


def compute_alone(folder: Path, index: str) -> float:
    """Seconds for one evaluate() call over the whole scene held in memory (best of 3): the
    arithmetic alone, with the same nodata and scale kelvane-calc applies."""
    import rasterio

    import kelvane_indices

    recipe = INDICES[index]
    bands, nodata = {}, {}
    for symbol in recipe["bands"]:
        with rasterio.open(folder / f"{FILES[symbol]}{EXT[folder.name]}") as ds:
            bands[symbol], nodata[symbol] = ds.read(1), ds.nodata
    entry = kelvane_indices.catalogue[recipe["kelvane"][0]]
    scale = float(recipe["kelvane"][2]) if "--scale" in recipe["kelvane"] else None
    out = np.empty(next(iter(bands.values())).shape, dtype=np.float32)
    times = []
    for _ in range(3):
        start = time.perf_counter()
        kelvane_indices.evaluate(entry.formula, {**entry.constants, **bands}, out=out, nodata=nodata, scale=scale)
        times.append(time.perf_counter() - start)
    return min(times)


def machine():
    cpu = "unknown CPU"
    try:
        cpu = next(line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo") if line.startswith("model name"))
    except (OSError, StopIteration):
        pass
    mem = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") / 2 ** 30
    import rasterio

    gdal = subprocess.run([GDAL_PYTHON, "-c", "from osgeo import gdal; print(gdal.__version__)"],
                          capture_output=True, text=True).stdout.strip()
    deb_numpy = subprocess.run([GDAL_PYTHON, "-c", "import numpy; print(numpy.__version__)"],
                               capture_output=True, text=True).stdout.strip()
    return dict(cpu=cpu, cpus=len(os.sched_getaffinity(0)), memory_gib=round(mem, 1),
                python=platform.python_version(), numpy=np.__version__, rasterio=rasterio.__version__,
                rasterio_gdal=rasterio.__gdal_version__, debian_gdal=gdal, debian_numpy=deb_numpy)


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--scene", type=Path, default=ROOT / "bench" / "results" / "scene",
                        help="folder written by bench/make_scene.py tile (default bench/results/scene)")
    parser.add_argument("--sets", nargs="+", default=["jp2", "cog", "raw"], choices=list(EXT))
    parser.add_argument("--indices", nargs="+", default=list(INDICES), choices=list(INDICES))
    parser.add_argument("--tools", nargs="+", default=["kelvane-calc", "gdal_calc.py", "rio calc"],
                        choices=["kelvane-calc", "gdal_calc.py", "rio calc"])
    parser.add_argument("--reps", type=int, default=1, help="runs of each command; the fastest is kept")
    parser.add_argument("--co", action="append", default=[], metavar="KEY=VALUE",
                        help="a creation option for every tool's output, e.g. COMPRESS=NONE")
    parser.add_argument("--wait-quiet", type=float, default=0.0, metavar="S",
                        help="before each run, wait up to S seconds for other processes to go quiet")
    parser.add_argument("--out-dir", type=Path, default=ROOT / "bench" / "results")
    args = parser.parse_args(argv)

    if not Path("/usr/bin/time").exists():
        print("cli_bench: needs GNU time: apt-get install time", file=sys.stderr)
        return 1
    for key in args.sets:
        missing = [p for p in inputs(args.scene, key, "NRB") if not p.exists()]
        if missing:
            print(f"cli_bench: {missing[0]} is missing; build the scene with "
                  f"python bench/make_scene.py tile {args.scene}", file=sys.stderr)
            return 1
    env = dict(os.environ, PYTHONPATH=str(ROOT) + os.pathsep + os.environ.get("PYTHONPATH", ""))
    work = args.scene / "out"
    work.mkdir(exist_ok=True)
    info = machine()
    started = datetime.datetime.now(datetime.timezone.utc)
    print(f"# {info['cpu']}, {info['cpus']} CPUs, {info['memory_gib']} GiB; Python {info['python']}, "
          f"NumPy {info['numpy']}, rasterio {info['rasterio']} (GDAL {info['rasterio_gdal']}); "
          f"gdal_calc.py from Debian's GDAL {info['debian_gdal']} (NumPy {info['debian_numpy']}); "
          f"{started:%Y-%m-%d %H:%M} UTC", flush=True)
    with __import__("rasterio").open(inputs(args.scene, args.sets[0], "N")[0]) as ds:
        size = f"{ds.width} x {ds.height}"
    print(f"# scene {size} uint16 per band, in {args.scene}; output options "
          + " ".join(f"{k}={v}" for k, v in dict(CREATION, **dict(o.split("=", 1) for o in args.co)).items()),
          flush=True)
    alone = {index: compute_alone(args.scene / args.sets[0], index) for index in args.indices}
    print("# kelvane_indices.evaluate on the whole bands in memory, best of 3: "
          + ", ".join(f"{i} {t:.3f} s" for i, t in alone.items()), flush=True)
    header = (f"{'inputs':<5} {'index':<5} {'tool':<13} {'wall s':>7} {'peak MiB':>9} {'CPU s':>7} {'others':>6} "
              f"{'speed-up':>9}  notes")
    print(header)
    results = []
    for key in args.sets:
        for index in args.indices:
            paths = inputs(args.scene, key, INDICES[index]["bands"])
            warm(paths)
            best = {}
            outputs = {}
            for _ in range(args.reps):  # tools alternate, so the drift of a shared machine hits all alike
                for tool in args.tools:
                    out = work / f"{index}-{key}-{tool.split()[0].replace('.', '_')}.tif"
                    out.unlink(missing_ok=True)
                    if args.wait_quiet:
                        wait_quiet(args.wait_quiet)
                    wall, rss, cpu, err, others = timed(command(tool, index, paths, out, args.co), env)
                    if tool not in best or wall < best[tool]["wall_s"]:
                        row = dict(inputs=key, index=index, tool=tool, wall_s=round(wall, 2),
                                   peak_mib=round(rss), cpu_s=round(cpu, 1), others=round(others, 2))
                        found = re.search(r"computing ([\d.]+) s \(([\d.]+) % of wall\)", err)
                        if found:
                            row["compute_in_run_s"] = float(found.group(1))
                            row["compute_alone_s"] = round(alone[index], 3)
                            row["compute_alone_share"] = round(alone[index] / wall, 3)
                        best[tool] = row
                    outputs[tool] = out
            rows = [best[tool] for tool in args.tools]
            peers = [r["wall_s"] for r in rows if r["tool"] != "kelvane-calc"]
            for row in rows:
                notes = []
                if row["tool"] == "kelvane-calc" and peers:
                    row["speedup_vs_faster_peer"] = round(min(peers) / row["wall_s"], 2)
                    notes.append(f"computing alone {row['compute_alone_s']:.2f} s = "
                                 f"{row['compute_alone_share'] * 100:.0f} % of wall "
                                 f"(inside the run {row['compute_in_run_s']:.2f} s)")
                if row["tool"] != "kelvane-calc" and "kelvane-calc" in outputs:
                    diff, pixels = compare(outputs["kelvane-calc"], outputs[row["tool"]])
                    row["max_abs_diff_vs_kelvane"] = diff
                    notes.append(f"max |diff| vs kelvane-calc {diff:.1e} over {pixels / 1e6:.1f} Mpx")
                speed = f"{row['speedup_vs_faster_peer']:.2f}x" if "speedup_vs_faster_peer" in row else ""
                print(f"{key:<5} {index:<5} {row['tool']:<13} {row['wall_s']:>7.2f} {row['peak_mib']:>9} "
                      f"{row['cpu_s']:>7.1f} {row['others'] * 100:>5.0f}% {speed:>9}  {'; '.join(notes)}", flush=True)
                results.append(row)
            for out in outputs.values():
                out.unlink(missing_ok=True)
    args.out_dir.mkdir(parents=True, exist_ok=True)
    stamp = started.strftime("%Y%m%dT%H%MZ")
    path = args.out_dir / f"cli-{stamp}.json"
    options = dict(CREATION, **dict(o.split("=", 1) for o in args.co))
    path.write_text(json.dumps(dict(machine=info, started=started.isoformat(), scene=str(args.scene), size=size,
                                    creation_options=options, results=results), indent=1))
    print(f"# {path}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
