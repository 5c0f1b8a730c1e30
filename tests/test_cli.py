"""kelvane-calc against kelvane_indices.evaluate on the whole arrays, bit for bit, and its refusals."""

import math
import os
import signal
import subprocess
import sys
import textwrap
from pathlib import Path

import numpy as np
import pytest

rasterio = pytest.importorskip("rasterio")
pytest.importorskip("kelvane")
from rasterio.transform import Affine  # noqa: E402

import kelvane_indices as ki  # noqa: E402
from kelvane_indices import cli  # noqa: E402

posix_only = pytest.mark.skipif(sys.platform == "win32", reason="sends a real SIGINT to a POSIX process")

ROOT = Path(__file__).resolve().parent.parent
TRANSFORM = Affine(10.0, 0.0, 600000.0, 0.0, -10.0, 4700020.0)
CRS = "EPSG:32633"
SHAPE = (203, 157)  # neither a multiple of any window below nor of the 16-pixel tiles
EVI = "2.5 * (N - R) / (N + 6 * R - 7.5 * B + 1)"


def bands(shape=SHAPE, seed=0):
    """N, R, B with zeros (the nodata value below) and 65535 sprinkled in."""
    rng = np.random.default_rng(seed)
    out = {}
    for name in "NRB":
        values = rng.integers(0, 12000, shape).astype(np.uint16)
        values[rng.random(shape) < 0.03] = 0
        values[rng.random(shape) < 0.01] = 65535
        out[name] = values
    return out


def write(path, data, nodata=None, crs=CRS, transform=TRANSFORM, dtype=None, **options):
    """A GeoTIFF of one band (2-D data) or several (3-D, pixel-interleaved unless told)."""
    data = np.asarray(data)
    stack = data[None] if data.ndim == 2 else data
    profile = dict(driver="GTiff", width=stack.shape[2], height=stack.shape[1], count=stack.shape[0],
                   dtype=dtype or stack.dtype.name, crs=crs, transform=transform, nodata=nodata, **options)
    with rasterio.open(path, "w", **profile) as ds:
        ds.write(stack.astype(profile["dtype"]))
    return str(path)


def calc(*argv):
    return cli.main([str(a) for a in argv])


def read(path):
    """The first band and what the file says about itself."""
    with rasterio.open(path) as ds:
        info = dict(dtypes=ds.dtypes, count=ds.count, shape=ds.shape, crs=ds.crs, transform=ds.transform,
                    nodata=ds.nodata, block=ds.block_shapes[0], tiled=ds.profile.get("tiled"), tags=ds.tags(), overviews=ds.overviews(1),
                    compression=ds.compression.name.lower() if ds.compression else None,
                    layout=ds.tags(ns="IMAGE_STRUCTURE").get("LAYOUT"))
        return ds.read(1), info


def assert_bits(got, want):
    assert got.dtype == np.float32 and want.dtype == np.float32
    np.testing.assert_array_equal(got.view(np.uint32), want.view(np.uint32))


def leftovers(folder):
    return sorted(p.name for p in Path(folder).iterdir() if "kelvane-" in p.name)


# ---------------------------------------------------------------------------------------------
# Values, georeferencing, nodata and type, bit for bit against evaluate() on whole arrays

def _single_files(tmp, data, keys="NRB", nodata=0):
    return {k: write(tmp / f"{k}.tif", data[k], nodata=nodata) for k in keys}


# id -> (files(tmp, data) -> {symbol: "PATH[:BAND]"}, extra argv, expected(data) -> float32 array)
CASES = {
    "ndvi index, file nodata, 64-row windows": (
        lambda t, d: _single_files(t, d, "NR"), ["NDVI", "--block-size", "64"],
        lambda d: ki.evaluate("(N - R) / (N + R)", N=d["N"], R=d["R"], nodata=0)),
    "evi formula, scale and offset, windows of 50 x 40": (
        lambda t, d: _single_files(t, d), [EVI, "--scale", "0.0001", "--offset", "R=-0.1", "--block-size", "50x40"],
        lambda d: ki.evaluate(EVI, d, nodata=0, scale=1e-4, offset={"R": -0.1})),
    "evi index with sensor names, tiled inputs, automatic windows": (
        lambda t, d: {"B08": write(t / "b8.tif", d["N"], 0, tiled=True, blockxsize=32, blockysize=32),
                      "B04": write(t / "b4.tif", d["R"], 0, tiled=True, blockxsize=32, blockysize=32),
                      "B02": write(t / "b2.tif", d["B"], 0, tiled=True, blockxsize=32, blockysize=32)},
        ["EVI", "--sensor", "sentinel-2", "--scale", "B08=0.0001", "--scale", "0.0001", "--constant", "L=0.5",
         "--co", "BLOCKYSIZE=48", "--co", "blockxsize=64"],
        lambda d: ki.compute_index("EVI", d, nodata=0, scale=1e-4, constants={"L": 0.5})),
    "pixel-interleaved stack, bands picked by number, --nodata overrides the tag": (
        lambda t, d: {s: f"{write(t / 'stack.tif', np.stack([d['B'], d['R'], d['N']]), nodata=7)}:{i}"
                      for s, i in (("N", 3), ("R", 2))},
        ["(N - R) / (N + R)", "--nodata", "0", "--block-size", "17"],
        lambda d: ki.evaluate("(N - R) / (N + R)", N=d["N"], R=d["R"], nodata=0)),
    "band-interleaved stack, one band read twice, nodata tags ignored": (
        lambda t, d: {s: f"{write(t / 'stack.tif', np.stack([d['N'], d['R']]), nodata=0, interleave='band')}:{i}"
                      for s, i in (("N", 1), ("M", 1), ("R", 2))},
        ["sqrt(abs(N * M - R)) / 3", "--nodata", "none", "--block-size", "100"],
        lambda d: ki.evaluate("sqrt(abs(N * M - R)) / 3", N=d["N"], M=d["N"], R=d["R"])),
    "uint8 band beside uint16, per-band nodata": (
        lambda t, d: {"N": write(t / "n.tif", d["N"], nodata=0),
                      "Q": write(t / "q.tif", (d["R"] % 256).astype(np.uint8), nodata=255)},
        ["N / (Q + 1) - k", "--constant", "k=0.25", "--nodata", "N=65535", "--block-size", "64x64"],
        lambda d: ki.evaluate("N / (Q + 1) - k", N=d["N"], Q=(d["R"] % 256).astype(np.uint8), k=0.25,
                              nodata={"N": 65535, "Q": 255})),
    "cloud optimized, deflate": (
        lambda t, d: _single_files(t, d, "NR", nodata=None), ["NDVI", "--cog", "--co", "COMPRESS=DEFLATE", "--co", "BLOCKXSIZE=128",
                                                             "--co", "BLOCKYSIZE=128"],
        lambda d: ki.evaluate("(N - R) / (N + R)", N=d["N"], R=d["R"])),
}


@pytest.mark.parametrize("case", list(CASES))
def test_output_matches_evaluate_on_whole_arrays(case, tmp_path, monkeypatch):
    files, argv, expected = CASES[case]
    monkeypatch.setattr(cli, "WINDOW_PIXELS", 48 * SHAPE[1])  # several windows even when automatic
    data = bands()
    out = tmp_path / "out.tif"
    args = [a for symbol, path in files(tmp_path, data).items() for a in ("-b", f"{symbol}={path}")]
    assert calc(*argv, *args, "-o", out, "--quiet") == 0
    got, info = read(out)
    assert_bits(got, expected(data))
    assert info["dtypes"] == ("float32",) and info["count"] == 1 and info["shape"] == SHAPE
    assert info["crs"] == rasterio.crs.CRS.from_string(CRS) and info["transform"] == TRANSFORM
    assert math.isnan(info["nodata"])
    assert info["tiled"]
    assert info["tags"]["KELVANE_VERSION"] == ki.__version__ and info["tags"]["KELVANE_FORMULA"]
    if "--cog" in argv:
        assert info["compression"] == "deflate" and info["overviews"] and info["layout"] == "COG"
    else:
        assert info["compression"] in ("zstd", "deflate")
    assert leftovers(tmp_path) == []


# ---------------------------------------------------------------------------------------------
# Bad input: one line, status 1, nothing written

def _two(t, other, **kw):
    return ["-b", f"N={write(t / 'n.tif', bands()['N'])}", "-b", f"R={write(t / 'r.tif', other, **kw)}"]


R = bands()["R"]
# id -> (argv(tmp) before -o, words the message must hold)
BAD = {
    "missing file": (lambda t: ["NDVI", "-b", f"N={t / 'nope.tif'}", "-b", f"R={t / 'r.tif'}"], ["no such file", "nope.tif"]),
    "not a raster": (lambda t: ["NDVI", "-b", f"N={t}", "-b", "R=x.tif"], ["directory"]),
    "band out of range": (lambda t: ["NDVI", *_two(t, R)[:3], f"R={t / 'r.tif'}:2"], ["has 1 band", "band 2"]),
    "float band": (lambda t: ["NDVI", *_two(t, R.astype(np.float32) / 1e4)], ["float32", "uint16 or uint8"]),
    "int16 band": (lambda t: ["NDVI", *_two(t, R.astype(np.int16))], ["int16", "uint16 or uint8"]),
    "sizes differ": (lambda t: ["NDVI", *_two(t, R[:100])], ["differ in size", "n.tif", "r.tif", "157 x 203", "157 x 100"]),
    "crs differs": (lambda t: ["NDVI", *_two(t, R, crs="EPSG:32634")], ["differ in CRS", "EPSG:32633", "EPSG:32634"]),
    "transform differs": (lambda t: ["NDVI", *_two(t, R, transform=Affine(10, 0, 600010, 0, -10, 4700020))],
                          ["differ in transform", "600000", "600010"]),
    "unknown symbol": (lambda t: ["NDVI", *_two(t, R), "-b", "Q=q.tif"], ["reads no 'Q'", "N, R"]),
    "product name without --sensor": (lambda t: ["NDVI", "-b", "B08=x.tif"], ["--sensor"]),
    "band missing": (lambda t: ["EVI", *_two(t, R)], ["EVI reads band B", "-b B="]),
    "formula name missing": (lambda t: ["N - R * k", *_two(t, R)], ["reads 'k'", "--constant k="]),
    "unknown index": (lambda t: ["NDVII", *_two(t, R)], ["not an index", "NDVI"]),
    "refused formula": (lambda t: ["N if R else 1", *_two(t, R)], ["conditional", "column"]),
    "unfinished formula": (lambda t: ["(N - R", *_two(t, R)], ["formula"]),
    "unknown constant": (lambda t: ["SAVI", *_two(t, R), "--constant", "X=1"], ["no 'X'", "L"]),
    "band given twice": (lambda t: ["NDVI", *_two(t, R), "-b", f"N={t / 'r.tif'}"], ["given twice"]),
    "bad scale": (lambda t: ["NDVI", *_two(t, R), "--scale", "fast"], ["--scale", "not a number"]),
    "scale of no band": (lambda t: ["NDVI", *_two(t, R), "--scale", "G=2"], ["no band 'G'"]),
    "unknown sensor": (lambda t: ["NDVI", *_two(t, R), "--sensor", "spot-5"], ["unknown sensor", "sentinel-2"]),
    "bad block size": (lambda t: ["NDVI", *_two(t, R), "--block-size", "0x5"], ["--block-size"]),
    "bad tile size": (lambda t: ["NDVI", *_two(t, R), "--co", "BLOCKXSIZE=100"], ["multiple of 16"]),
    "unknown option": (lambda t: ["NDVI", *_two(t, R), "--fast"], ["unrecognized", "--help"]),
    "no output": (lambda t: ["NDVI", *_two(t, R), "--quiet"], ["-o"]),
    "output directory missing": (lambda t: ["NDVI", *_two(t, R), "-o", t / "no" / "o.tif"], ["no such directory"]),
    "output is an input": (lambda t: ["NDVI", *_two(t, R), "-o", t / "r.tif", "--overwrite"], ["also the input"]),
}


@pytest.mark.parametrize("case", list(BAD))
def test_bad_input_one_line_status_1(case, tmp_path, capsys):
    argv, words = BAD[case]
    args = argv(tmp_path)
    if "-o" not in args and case != "no output":
        args += ["-o", tmp_path / "out.tif"]
    before = sorted(os.listdir(tmp_path))
    assert calc(*args) == 1
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and err.startswith("kelvane-calc: "), err
    for word in words:
        assert word in err, err
    assert sorted(os.listdir(tmp_path)) == before  # no output, no temporary file


def test_existing_output_needs_overwrite(tmp_path, capsys):
    out = tmp_path / "out.tif"
    out.write_bytes(b"earlier")
    args = ["NDVI", *_two(tmp_path, R), "-o", out]
    assert calc(*args) == 1
    assert "exists; pass --overwrite" in capsys.readouterr().err
    assert out.read_bytes() == b"earlier"
    assert calc(*args, "--overwrite", "--quiet") == 0
    assert read(out)[1]["dtypes"] == ("float32",)


def test_missing_rasterio_says_how_to_install(tmp_path, capsys, monkeypatch):
    monkeypatch.setitem(sys.modules, "rasterio", None)
    assert calc("NDVI", "-b", "N=n.tif", "-b", "R=r.tif", "-o", tmp_path / "o.tif") == 1
    assert "pip install 'kelvane[geotiff]'" in capsys.readouterr().err


# ---------------------------------------------------------------------------------------------
# A run that fails or is interrupted part-way leaves no partial file and keeps the earlier one

FAILURES = {"engine": (RuntimeError("kelvane failed: stack underflow"), 1, "computing failed"),
            "io": (rasterio.errors.RasterioIOError("disk full"), 1, "disk full"),
            "ctrl-c": (KeyboardInterrupt(), 130, "interrupted")}


@pytest.mark.parametrize("where, failure, status, words", [
    (where, *FAILURES[kind]) for where, kind in [("third window", "engine"), ("third window", "io"),
                                                 ("third window", "ctrl-c"), ("cog translation", "io"),
                                                 ("cog translation", "ctrl-c")]])
def test_failure_part_way_keeps_earlier_output(where, failure, status, words, tmp_path, capsys, monkeypatch):
    args = ["NDVI", *_two(tmp_path, R), "--block-size", "32", "--overwrite", "--quiet", "--cog"]
    out = tmp_path / "out.tif"
    out.write_bytes(b"earlier")
    if where == "third window":
        calls = []
        compute = cli.Job.compute

        def failing(self, arrays, dest):
            calls.append(1)
            if len(calls) == 3:
                raise failure
            return compute(self, arrays, dest)

        monkeypatch.setattr(cli.Job, "compute", failing)
    else:
        def failing_copy(src, dst, **options):
            Path(dst).write_bytes(b"partial")
            raise failure

        monkeypatch.setattr(rasterio.shutil, "copy", failing_copy)
    assert calc(*args, "-o", out) == status
    err = capsys.readouterr().err
    assert words in err and err.count("\n") == 1, err
    assert out.read_bytes() == b"earlier"
    assert leftovers(tmp_path) == []


@posix_only
def test_interrupt_by_signal_in_a_real_process(tmp_path):
    """SIGINT in the middle of a run: short message, status 130, no traceback, no temporary file."""
    files = _two(tmp_path, R)
    out = tmp_path / "out.tif"
    out.write_bytes(b"earlier")
    # The third window sends the process a real SIGINT, as Ctrl-C would.
    script = textwrap.dedent(f"""
        import os, signal, sys
        from kelvane_indices import cli
        compute, calls = cli.Job.compute, []
        def interrupted(self, arrays, dest):
            calls.append(1)
            if len(calls) == 3:
                os.kill(os.getpid(), signal.SIGINT)
            return compute(self, arrays, dest)
        cli.Job.compute = interrupted
        sys.exit(cli.main({[str(a) for a in ["NDVI", *files, "-o", out, "--overwrite", "--block-size", "16"]]!r}))
    """)
    env = dict(os.environ, PYTHONPATH=str(ROOT) + os.pathsep + os.environ.get("PYTHONPATH", ""))
    proc = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True, timeout=120,
                          preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    assert proc.returncode == 130, proc.stderr
    assert "Traceback" not in proc.stderr and proc.stderr.startswith("kelvane-calc: interrupted")
    assert out.read_bytes() == b"earlier"
    assert leftovers(tmp_path) == []


def test_console_module_reports_without_traceback(tmp_path):
    env = dict(os.environ, PYTHONPATH=str(ROOT) + os.pathsep + os.environ.get("PYTHONPATH", ""))
    proc = subprocess.run([sys.executable, "-m", "kelvane_indices.cli", "NDVI", "-b", f"N={tmp_path / 'x.tif'}",
                           "-b", "R=y.tif", "-o", tmp_path / "o.tif"], env=env, capture_output=True, text=True,
                          timeout=120)
    assert proc.returncode == 1 and proc.stderr.count("\n") == 1 and "no such file" in proc.stderr


# ---------------------------------------------------------------------------------------------
# The catalogue from the command line

@pytest.mark.parametrize("word, present, status", [("water", "NDWI", 0), ("ndvi", "kNDVI", 0), ("", "EVI", 0),
                                                   ("no-such-index", "", 1)])
def test_list(word, present, status, capsys):
    assert calc("--list", word) == status
    out = capsys.readouterr()
    lines = out.out.splitlines()
    assert all(len(line.split()) >= 3 for line in lines)
    if present:
        assert any(line.split()[0] == present for line in lines)
    else:
        assert not lines and word in out.err
