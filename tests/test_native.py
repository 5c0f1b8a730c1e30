"""Native checks of the lock-free core, built by CMake from the module's own
sources and flags (the KELVANE_NATIVE_CHECKS targets): every SIMD target
against the scalar path, the choice of path, and the pool and the traversal at
1 to 4 workers and four times the processors; and the layout rules of src/.

The same checks in a ThreadSanitizer build and in a scalar-only build run when
KELVANE_NATIVE_BUILDS names them (`thread`, `scalar-only`, comma-separated):
each is a build of its own, so CI runs them as stages after the suite."""

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent

# The builds the checks run in: CMake options on top of a Release build of the
# core, and the targets built (all of them when None).
BUILDS = {
    "plain": ([], None),
    "thread": (["-DKELVANE_SANITIZER=thread"], ["pool_checks"]),
    "scalar-only": (["-DKELVANE_FORCE_SCALAR=ON"], ["simd_checks"]),
}

needs_toolchain = pytest.mark.skipif(shutil.which("g++") is None or shutil.which("cmake") is None,
                                     reason="needs g++ and cmake")
ASKED_FOR = os.environ.get("KELVANE_NATIVE_BUILDS", "").split(",")


def stage(kind):
    return pytest.mark.skipif(kind not in ASKED_FOR, reason=f"runs when KELVANE_NATIVE_BUILDS names {kind}")


@pytest.fixture(scope="module")
def native_build(tmp_path_factory):
    """Builds the native programs once per kind of build; returns their folder."""
    built = {}

    def build(kind):
        if kind not in built:
            where = tmp_path_factory.mktemp("native-" + kind)
            options, targets = BUILDS[kind]
            generator = ["-G", "Ninja"] if shutil.which("ninja") else []
            subprocess.run(["cmake", "-S", str(ROOT), "-B", str(where), "-DCMAKE_BUILD_TYPE=Release",
                            "-DKELVANE_MODULE=OFF", "-DKELVANE_NATIVE_CHECKS=ON", *generator, *options],
                           check=True, capture_output=True, timeout=300)
            chosen = ["--target", *targets] if targets else []
            done = subprocess.run(["cmake", "--build", str(where), "-j", "2", *chosen], capture_output=True, text=True,
                                  timeout=1200)
            assert done.returncode == 0, done.stdout[-4000:] + done.stderr[-4000:]
            built[kind] = where
        return built[kind]

    return build


@needs_toolchain
@pytest.mark.parametrize("kind, checks", [
    ("plain", "simd_checks"),
    ("plain", "pool_checks"),
    pytest.param("thread", "pool_checks", marks=stage("thread")),
    pytest.param("scalar-only", "simd_checks", marks=stage("scalar-only")),
])
def test_native_checks(native_build, kind, checks):
    env = dict(os.environ)
    env.pop("LD_PRELOAD", None)
    done = subprocess.run([str(native_build(kind) / checks)], capture_output=True, text=True, timeout=600,
                          env=env)
    assert done.returncode == 0, done.stdout[-4000:] + done.stderr[-4000:]
    assert done.stdout.strip().endswith(" 0 failed"), done.stdout[-4000:]
    assert "ThreadSanitizer" not in done.stderr, done.stderr[-4000:]


@needs_toolchain
def test_bench_probes_build_from_the_same_objects(native_build):
    for probe in ("kernel_harness", "tile_traffic", "stepped_traffic"):
        assert (native_build("plain") / probe).is_file()


def test_folders_include_only_folders_below_them_and_the_core_no_python():
    done = subprocess.run([sys.executable, str(ROOT / "tools" / "include_graph.py")],
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stdout + done.stderr
