"""Native checks of the lock-free core: SIMD targets against the scalar path, and
a stress of the pool and the traversal, plainly and under ThreadSanitizer."""

import os
import shutil
import subprocess
from pathlib import Path

import pytest

HERE = Path(__file__).parent / "native"

pytestmark = pytest.mark.skipif(shutil.which("g++") is None, reason="needs g++")


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


def test_every_simd_target_gives_the_scalar_bits(tmp_path):
    build_and_run(tmp_path, "simd")


def test_pool_and_traversal_stress(tmp_path):
    build_and_run(tmp_path, "pool")


def test_pool_and_traversal_stress_under_thread_sanitizer(tmp_path):
    done = build_and_run(tmp_path, "pool", "-fsanitize=thread", "-g")
    assert "ThreadSanitizer" not in done.stderr
