"""Native checks of the lock-free core, built by CMake from the module's own
sources and flags (the KELVANE_NATIVE_CHECKS targets): every SIMD target
against the scalar path, the choice of path, and the pool and the traversal at
1 to 4 workers and four times the processors; and the layout rules of src/
(tools/include_graph.py).

The same checks in a ThreadSanitizer build, in a scalar-only build, and in the
cross builds for aarch64 Linux (run under qemu-user) and for Windows x86-64
(MinGW-w64, run under Wine) run when KELVANE_NATIVE_BUILDS names them
(`thread`, `scalar-only`, `aarch64`, `windows`, comma-separated): each is a
build of its own, so CI runs them as stages after the suite."""

import os
import platform
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent


def toolchain(name):
    return ["-DCMAKE_TOOLCHAIN_FILE=" + str(ROOT / "tools" / f"{name}.cmake")]


def wine():
    return shutil.which("wine64") or shutil.which("/usr/lib/wine/wine64") or shutil.which("wine")


# The builds the checks run in: CMake options on top of a Release build of the
# core, the targets built (all of them when None), what a program is run
# under (a cross build's emulator) and the tools the build needs.
BUILDS = {
    "plain": ([], None, [], ["g++"]),
    "thread": (["-DKELVANE_SANITIZER=thread"], ["pool_checks"], [], ["g++"]),
    "scalar-only": (["-DKELVANE_FORCE_SCALAR=ON"], ["simd_checks"], [], ["g++"]),
    "aarch64": (toolchain("aarch64-linux-gnu"), ["simd_checks", "pool_checks"],
                ["qemu-aarch64", "-L", "/usr/aarch64-linux-gnu"], ["aarch64-linux-gnu-g++", "qemu-aarch64"]),
    "windows": (toolchain("x86_64-w64-mingw32"), ["simd_checks", "pool_checks"], [wine() or "wine64"],
                ["x86_64-w64-mingw32-g++-posix", wine() or "wine64"]),
}

needs_toolchain = pytest.mark.skipif(shutil.which("cmake") is None, reason="needs cmake")
ASKED_FOR = os.environ.get("KELVANE_NATIVE_BUILDS", "").split(",")


def stage(kind):
    return pytest.mark.skipif(kind not in ASKED_FOR, reason=f"runs when KELVANE_NATIVE_BUILDS names {kind}")


def tools_of(kind):
    missing = [tool for tool in BUILDS[kind][3] if shutil.which(tool) is None]
    return pytest.mark.skipif(bool(missing), reason=f"the {kind} build needs {', '.join(missing)}")


@pytest.fixture(scope="module")
def native_build(tmp_path_factory):
    """Builds the native programs once per kind of build; returns their folder."""
    built = {}

    def build(kind):
        if kind not in built:
            where = tmp_path_factory.mktemp("native-" + kind)
            options, targets = BUILDS[kind][:2]
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
    pytest.param("plain", "simd_checks", marks=tools_of("plain")),
    pytest.param("plain", "pool_checks", marks=tools_of("plain")),
    pytest.param("thread", "pool_checks", marks=[stage("thread"), tools_of("thread")]),
    pytest.param("scalar-only", "simd_checks", marks=[stage("scalar-only"), tools_of("scalar-only")]),
    pytest.param("aarch64", "simd_checks", marks=[stage("aarch64"), tools_of("aarch64")]),
    pytest.param("aarch64", "pool_checks", marks=[stage("aarch64"), tools_of("aarch64")]),
    pytest.param("windows", "simd_checks", marks=[stage("windows"), tools_of("windows")]),
    pytest.param("windows", "pool_checks", marks=[stage("windows"), tools_of("windows")]),
])
def test_native_checks(native_build, kind, checks):
    env = dict(os.environ)
    env.pop("LD_PRELOAD", None)
    if kind == "windows":
        # A prefix of the build's own, quiet, so that a first run sets it up without asking.
        env.update(WINEPREFIX=str(native_build(kind) / "wine-prefix"), WINEDEBUG="-all")
    program = native_build(kind) / (checks + ".exe" if kind == "windows" else checks)
    done = subprocess.run([*BUILDS[kind][2], str(program)], capture_output=True, text=True, timeout=600,
                          env=env)
    assert done.returncode == 0, done.stdout[-4000:] + done.stderr[-4000:]
    assert done.stdout.strip().endswith(" 0 failed"), done.stdout[-4000:]
    assert "ThreadSanitizer" not in done.stderr, done.stderr[-4000:]


@needs_toolchain
@tools_of("plain")
@pytest.mark.skipif(platform.machine() not in ("x86_64", "AMD64"), reason="the bench's probes are x86-64 programs")
def test_bench_probes_build_from_the_same_objects(native_build):
    for probe in ("kernel_harness", "tile_traffic", "stepped_traffic"):
        assert (native_build("plain") / probe).is_file()


def test_layout_rules_of_src():
    """Folders include only folders below them, the core includes no Python,
    and intrinsics and system calls stay in their targets' and systems' files."""
    done = subprocess.run([sys.executable, str(ROOT / "tools" / "include_graph.py")],
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stdout + done.stderr
