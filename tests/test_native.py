"""Native checks of the lock-free core: SIMD targets against the scalar path, and
a stress of the pool and the traversal, plainly and under ThreadSanitizer."""

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

HERE = Path(__file__).parent / "native"

needs_compiler = pytest.mark.skipif(shutil.which("g++") is None, reason="needs g++")


def build_and_run(tmp_path, what, *flags):
    exe = tmp_path / "native_checks"
    subprocess.run(["bash", str(HERE / "build_native.sh"), str(exe), *flags], check=True,
                   capture_output=True, timeout=300)
    env = dict(os.environ)
    env.pop("LD_PRELOAD", None)
    done = subprocess.run([str(exe), what], capture_output=True, text=True, timeout=300, env=env)
    assert done.returncode == 0, done.stdout + done.stderr[-4000:]
    assert done.stdout.strip().endswith("0 failed"), done.stdout
    return done


@needs_compiler
def test_every_simd_target_gives_the_scalar_bits(tmp_path):
    build_and_run(tmp_path, "simd")


@needs_compiler
def test_pool_and_traversal_stress(tmp_path):
    build_and_run(tmp_path, "pool")


@needs_compiler
def test_pool_and_traversal_stress_under_thread_sanitizer(tmp_path):
    done = build_and_run(tmp_path, "pool", "-fsanitize=thread", "-g")
    assert "ThreadSanitizer" not in done.stderr


def test_folders_include_only_folders_below_them_and_the_core_no_python():
    done = subprocess.run([sys.executable, str(HERE.parent.parent / "tools" / "include_graph.py")],
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stdout + done.stderr
