"""The worker pool and Python threads: pool size, thread-count independence, lock release, races, fork."""
import math
import os
import shutil
import subprocess
import sys
import threading
import time
import types

import numpy as np
import pytest

import kelvane
import reference as ref
from reference import op, push_band, push_scalar
from layouts import make_layout

linux_only = pytest.mark.skipif(not sys.platform.startswith("linux"),
                                reason="affinity masks, control groups, /proc, fork and LD_PRELOAD are Linux's")

TESTS = os.path.dirname(os.path.abspath(__file__))
ALREADY_BORROWED = "called `Result::unwrap()` on an `Err` value: AlreadyBorrowed"
EVI = (2.5, 6.0, 7.5, 1.0)


def run_python(code, timeout=90, env=None):
    full_env = dict(os.environ, **(env or {}))
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=timeout, env=full_env)
    assert done.returncode == 0, f"exit {done.returncode}\n{done.stdout}\n{done.stderr}"
    return done.stdout


def _cgroup_cpu_limit():
    """Whole processors allowed by the control group's CPU quota, or None when there is no quota."""
    candidates = []
    with open("/proc/self/cgroup") as f:
        for line in f:
            _, controllers, path = line.rstrip("\n").split(":", 2)
            if controllers == "":
                candidates += [(f"/sys/fs/cgroup{path}/cpu.max", None), ("/sys/fs/cgroup/cpu.max", None)]
            elif "cpu" in controllers.split(","):
                for root in ("/sys/fs/cgroup/cpu", "/sys/fs/cgroup/cpu,cpuacct"):
                    candidates.append((f"{root}{path}/cpu.cfs_quota_us", f"{root}{path}/cpu.cfs_period_us"))
    for quota_file, period_file in candidates:
        try:
            with open(quota_file) as f:
                fields = f.read().split()
            if period_file is not None:
                with open(period_file) as f:
                    fields.append(f.read().strip())
        except OSError:
            continue
        if fields[0] in ("max", "-1"):
            return None
        return max(1, int(fields[0]) // int(fields[1]))
    return None


def cpu_mask(count):
    available = sorted(os.sched_getaffinity(0))
    if len(available) < count:
        pytest.skip(f"needs {count} processors")
    return set(available[:count])


def expected_workers(mask):
    return min(len(mask), _cgroup_cpu_limit() or len(mask), 255)


COUNT_WORKERS = """
import os
os.sched_setaffinity(0, {mask!r})
import numpy
before = len(os.listdir("/proc/self/task"))
import kelvane
print(len(os.listdir("/proc/self/task")) - before)
"""
IGNORED_ENV = {"RAYON_NUM_THREADS": "7", "OMP_NUM_THREADS": "7", "KELVANE_NUM_THREADS": "7", "NUM_THREADS": "7"}


@linux_only
@pytest.mark.skipif(os.environ.get("KELVANE_UNDER_SANITIZER") == "thread",
                    reason="ThreadSanitizer starts a thread of its own")
@pytest.mark.parametrize("env", [{}, IGNORED_ENV], ids=["plain", "thread-env-vars"])
@pytest.mark.parametrize("cpus", [1, 2])
def test_pool_size_follows_affinity_mask(cpus, env):
    mask = cpu_mask(cpus)
    assert int(run_python(COUNT_WORKERS.format(mask=mask), env=env)) == expected_workers(mask)


def _bands(shape=(301, 517)):
    rng = np.random.default_rng(42)
    bands = [rng.integers(0, 65536, shape, dtype=np.uint16) for _ in range(3)]
    bands[0][::7] = 0
    bands[1][:, ::5] = 0
    bands[2][::3, ::3] = rng.integers(0, 8, bands[2][::3, ::3].shape)
    return bands


def workload(calculate):
    """Outputs of every index function for a few layout mixes; `calculate` is the module or the reference."""
    a, b, c = _bands()
    results = {"alloc": calculate.calculate_normalized_difference(a, b)}
    for out_layout, band_layout in [("C", "C"), ("F", "F"), ("F", "C"), ("reversed", "stepped"), ("unaligned", "transposed")]:
        A, B, C = (make_layout(x, band_layout) for x in (a, b, c))
        calls = {
            "nd": lambda o: calculate.calculate_normalized_difference_inplace(A, B, o),
            "ratio": lambda o: calculate.calculate_ratio_inplace(A, B, o),
            "adjusted": lambda o: calculate.calculate_adjusted_difference_inplace(A, B, 0.5, o),
            "evi": lambda o: calculate.calculate_evi_inplace(A, B, C, *EVI, o),
        }
        for name, run in calls.items():
            out = make_layout(np.zeros(a.shape, np.float32), out_layout)
            run(out)
            results[f"{name}-{out_layout}-{band_layout}"] = np.array(out)
    return results


def _assign(reference):
    def inplace(*args):
        args[-1][...] = reference(*args[:-1])

    return inplace


# The module's functions computed by the NumPy reference.
REFERENCE = types.SimpleNamespace(
    calculate_normalized_difference=ref.nd,
    calculate_normalized_difference_inplace=_assign(ref.nd),
    calculate_ratio_inplace=_assign(ref.ratio),
    calculate_adjusted_difference_inplace=_assign(ref.adjusted_difference),
    calculate_evi_inplace=_assign(ref.evi),
)


COMPUTE = """
import os, sys
os.sched_setaffinity(0, {mask!r})
sys.path.insert(0, {tests!r})
import numpy as np, kelvane
from test_pool_threads import workload
np.savez({path!r}, **workload(kelvane))
"""


@linux_only
def test_results_identical_with_one_and_two_workers(tmp_path):
    want = workload(REFERENCE)
    for cpus in (1, 2):
        path = str(tmp_path / f"out{cpus}.npz")
        run_python(COMPUTE.format(mask=cpu_mask(cpus), tests=TESTS, path=path))
        with np.load(path) as got:
            assert sorted(got.files) == sorted(want)
            for key in want:
                ref.assert_bits_equal(got[key], want[key])


def run_threads(*targets, timeout=60):
    """Run each target in a daemon thread; a computation that never returns fails the test."""
    threads = [threading.Thread(target=t, daemon=True) for t in targets]
    for t in threads:
        t.start()
    deadline = time.monotonic() + timeout
    for t in threads:
        t.join(max(0.0, deadline - time.monotonic()))
    assert not any(t.is_alive() for t in threads), "a computation did not return"


def slow_program(pairs=1):
    """`pairs` times two powf calls per pixel: on 4096 x 4096 bands, a call to watch from another thread."""
    term = [push_band(0), push_scalar(0.5), op("pow"), push_band(1), push_scalar(1.5), op("pow"), op("add")]
    return kelvane.compile_expr(term + (term + [op("add")]) * (pairs - 1), 2)


def program_lasting(seconds, bands, out):
    """A slow program whose call on these bands lasts at least `seconds` on this machine, however fast it is."""
    pairs = 1
    while True:
        program = slow_program(pairs)
        # The best of two calls: the first call on a fresh output also pays for faulting its pages in.
        elapsed = math.inf
        for _ in range(2):
            t0 = time.perf_counter()
            kelvane.execute_expr_inplace(program, bands, out)
            elapsed = min(elapsed, time.perf_counter() - t0)
        if elapsed >= seconds or pairs >= 256:
            return program
        pairs = min(256, max(pairs + 1, math.ceil(1.2 * pairs * seconds / max(elapsed, 1e-4))))


def test_interpreter_lock_released_while_computing():
    shape = (4096, 4096)
    a, b = (np.random.default_rng(k).integers(0, 65536, shape, dtype=np.uint16) for k in range(2))
    out = np.empty(shape, np.float32)
    slow = program_lasting(0.1, [a, b], out)
    stamps, window, stop = [], [], threading.Event()

    def count():
        n = 0
        while not stop.is_set():
            n += 1
            if n % 16 == 0:
                stamps.append(time.perf_counter())

    def compute():
        try:
            time.sleep(0.02)
            for _ in range(10):
                t0 = time.perf_counter()
                kelvane.execute_expr_inplace(slow, [a, b], out)
                window[:] = [t0, time.perf_counter()]
                if window[1] - t0 > 0.08:
                    break
        finally:
            stop.set()

    interval = sys.getswitchinterval()
    sys.setswitchinterval(0.001)
    try:
        run_threads(count, compute)
    finally:
        sys.setswitchinterval(interval)
    # With the lock held, the counter could run only in a switch interval (1 ms) at either end of the call.
    t0, t1 = window
    quarter = (t1 - t0) / 4
    assert quarter > 0.005, f"call too short to observe ({t1 - t0:.3f} s)"
    assert sum(t0 + quarter < s < t1 - quarter for s in stamps) > 0


def backed_band(values):
    """A uint16 band that is a view of a float32 array (its memory can later serve as an output)."""
    backing = np.zeros((values.shape[0], 2 * values.shape[1]), np.uint16)
    backing[:, ::2] = values
    backing = backing.view(np.float32)
    return backing.view(np.uint16)[:, ::2], backing


def assert_nothing_held(*backings):
    for backing in backings:
        a = np.full(backing.shape, 3, np.uint16)
        kelvane.calculate_normalized_difference_inplace(a, np.ones_like(a), backing)
        assert (backing == 0.5).all()


def test_two_threads_writing_one_output():
    a_values, b_values = _bands((1024, 1024))[:2]
    (a, a_mem), (b, b_mem) = backed_band(a_values), backed_band(b_values)
    out = np.empty((1024, 1024), np.float32)
    errors, start, done = [], threading.Barrier(2, timeout=30), threading.Barrier(2, timeout=30)

    def writer():
        for _ in range(300):
            start.wait()
            try:
                kelvane.calculate_normalized_difference_inplace(a, b, out)
            except BaseException as exc:
                errors.append(exc)
            done.wait()
            if errors:
                return

    run_threads(writer, writer)
    assert errors, "the two calls never overlapped"
    assert all(type(e).__name__ == "PanicException" and str(e) == ALREADY_BORROWED for e in errors), errors
    assert len(errors) == 1  # the first call of the round succeeded
    ref.assert_bits_equal(out, ref.nd(a_values, b_values))
    assert_nothing_held(out, a_mem, b_mem)


def test_reading_an_output_being_written_is_refused():
    shape = (4096, 4096)
    a, b = (np.random.default_rng(k).integers(0, 65536, shape, dtype=np.uint16) for k in range(2))
    out = np.empty(shape, np.float32)
    probe = out.view(np.uint16)[1:][:0, ::2]  # empty, its address strictly inside the output
    empty_band, empty_out = np.zeros((0, 4096), np.uint16), np.zeros((0, 4096), np.float32)
    slow = program_lasting(0.1, [a, b], out)
    writer = threading.Thread(target=kelvane.execute_expr_inplace, args=(slow, [a, b], out), daemon=True)
    seen, deadline = [], time.monotonic() + 60
    writer.start()
    while writer.is_alive() and not seen and time.monotonic() < deadline:
        try:
            kelvane.calculate_ratio_inplace(probe, empty_band, empty_out)
        except BaseException as exc:
            seen.append(exc)
    writer.join(60)
    assert not writer.is_alive(), "the computation did not return"
    if not seen:
        pytest.skip("the computation ended before it could be observed")
    assert str(seen[0]) == ALREADY_BORROWED
    kelvane.calculate_ratio_inplace(probe, empty_band, empty_out)


# The small grid runs on each calling thread alone; the larger one goes to the
# pool, where more callers than it has guest places queue their whole calls.
@pytest.mark.parametrize("shape", [(129, 67), (400, 260)])
def test_many_threads_share_bands_and_pool(shape):
    a, b, c = _bands(shape)
    want = {"nd": ref.nd(a, b), "adjusted": ref.adjusted_difference(a, b, 0.5), "evi": ref.evi(a, b, c, *EVI)}
    failures = []

    def worker(k):
        try:
            for i in range(15):
                out = make_layout(np.zeros(a.shape, np.float32), ["C", "F", "reversed"][(k + i) % 3])
                name = ["nd", "adjusted", "evi"][(k * 7 + i) % 3]
                if name == "nd":
                    kelvane.calculate_normalized_difference_inplace(a, b, out)
                elif name == "adjusted":
                    kelvane.calculate_adjusted_difference_inplace(a, b, 0.5, out)
                else:
                    kelvane.calculate_evi_inplace(a, b, c, *EVI, out)
                ref.assert_bits_equal(out, want[name])
        except BaseException as exc:  # noqa: BLE001 - reported below
            failures.append(exc)

    run_threads(*(lambda k=k: worker(k) for k in range(12)))
    assert not failures, failures


FORK_POOL = """
import os, sys, multiprocessing
sys.path.insert(0, {tests!r})
import numpy as np, kelvane, reference as ref

def work(seed):
    rng = np.random.default_rng(seed)
    n, r, b = (rng.integers(0, 65536, (211, 97), dtype=np.uint16) for _ in range(3))
    out = np.empty((211, 97), np.float32, order="F")
    kelvane.calculate_evi_inplace(n, r, b, 2.5, 6.0, 7.5, 1.0, out)
    ref.assert_bits_equal(out, ref.evi(n, r, b, 2.5, 6.0, 7.5, 1.0))
    return len(os.listdir("/proc/self/task"))

a = np.arange(12, dtype=np.uint16).reshape(3, 4)
kelvane.calculate_normalized_difference_inplace(a, a, np.empty((3, 4), np.float32))
with multiprocessing.get_context("fork").Pool(2) as pool:
    print(pool.map_async(work, range(6)).get(timeout=60))
"""


@linux_only
def test_fork_started_pool_workers_compute():
    threads = run_python(FORK_POOL.format(tests=TESTS))
    workers = expected_workers(os.sched_getaffinity(0))
    assert eval(threads) == [1 + workers] * 6  # the child's own thread and its re-created pool


FORK_DURING_CALL = """
import os, sys, threading, time
sys.path.insert(0, {tests!r})
import numpy as np, kelvane, reference as ref

shape = (4096, 4096)
nir, red, blue = (np.asfortranarray(np.random.default_rng(k).integers(0, 65536, shape, dtype=np.uint16)) for k in range(3))
x = np.empty(shape, np.float32)  # a C output with F bands: a strided walk, a long call
probe = x.view(np.uint16)[1:][:0, ::2]
empty_band, empty_out = np.zeros((0, 4096), np.uint16), np.zeros((0, 4096), np.float32)
ended = []
def long_call():
    kelvane.calculate_evi_inplace(nir, red, blue, 2.5, 6.0, 7.5, 1.0, x)
    ended.append(time.perf_counter())
writer = threading.Thread(target=long_call)
writer.start()
while True:  # until the writer holds x
    try:
        kelvane.calculate_ratio_inplace(probe, empty_band, empty_out)
    except BaseException as exc:
        assert "AlreadyBorrowed" in str(exc), exc
        break
    assert writer.is_alive()
forked_at = time.perf_counter()
pid = os.fork()
if pid == 0:
    try:
        kelvane.calculate_normalized_difference_inplace(nir, red, x)
        ref.assert_bits_equal(x[:64], ref.nd(nir[:64], red[:64]))
        kelvane.calculate_ratio_inplace(probe, empty_band, empty_out)
        os._exit(0)
    except BaseException:
        import traceback
        traceback.print_exc()
        sys.stderr.flush()
    os._exit(1)
deadline = time.monotonic() + 60
while time.monotonic() < deadline:
    done, status = os.waitpid(pid, os.WNOHANG)
    if done:
        break
    time.sleep(0.01)
else:
    os.kill(pid, 9)
    raise SystemExit("child hung")
writer.join()
assert os.waitstatus_to_exitcode(status) == 0, status
assert ended[0] > forked_at, "the call ended before the fork"
ref.assert_bits_equal(x[:64], ref.evi(nir[:64], red[:64], blue[:64], 2.5, 6.0, 7.5, 1.0))
print("ok")
"""


@linux_only
def test_fork_during_computation_drops_inherited_holds():
    assert run_python(FORK_DURING_CALL.format(tests=TESTS), timeout=120) == "ok\n"


NO_POOL = """
import os, numpy as np
os.environ["KELVANE_TEST_FAIL_THREADS"] = "1"
import kelvane
expr = kelvane.compile_expr([{"type": "push_band", "index": 0}], 1)
assert type(expr) is kelvane.CompiledExpr
for shape in [(3, 4), (1, 1), (0, 5)]:
    a, out = np.ones(shape, np.uint16), np.zeros(shape, np.float32)
    calls = [
        lambda: kelvane.calculate_normalized_difference_inplace(a, a, out),
        lambda: kelvane.calculate_normalized_difference(a, a),
        lambda: kelvane.calculate_ratio_inplace(a, a, out),
        lambda: kelvane.calculate_adjusted_difference_inplace(a, a, 0.5, out),
        lambda: kelvane.calculate_evi_inplace(a, a, a, 2.5, 6.0, 7.5, 1.0, out),
        lambda: kelvane.execute_expr_inplace(expr, [a], out),
    ]
    for call in calls * 2:  # twice: the failed call released its holds
        try:
            call()
        except BaseException as exc:
            assert type(exc).__name__ == "PanicException", repr(exc)
            assert str(exc).startswith("The global thread pool has not been initialized."), str(exc)
        else:
            raise AssertionError("computed without a pool")
    assert not out.any()
try:
    kelvane.calculate_ratio_inplace(np.ones((2, 2), np.uint16), np.ones((2, 3), np.uint16), out)
except ValueError as exc:
    assert str(exc).startswith("Shape mismatch at index 1"), exc
else:
    raise AssertionError("shapes not checked")
print("ok")
"""


@linux_only
def test_pool_creation_failure(tmp_path):
    gcc = shutil.which("gcc")
    if gcc is None:
        pytest.skip("gcc is not available")
    shim = tmp_path / "fail_pthread_create.so"
    source = os.path.join(TESTS, "shims", "fail_pthread_create.c")
    subprocess.run([gcc, "-shared", "-fPIC", "-O1", "-o", str(shim), source, "-ldl"], check=True, timeout=60)
    # Keep whatever is preloaded already (a sanitizer runtime) in front of the shim.
    preload = " ".join(filter(None, [os.environ.get("LD_PRELOAD"), str(shim)]))
    assert run_python(NO_POOL, env={"LD_PRELOAD": preload}) == "ok\n"


@pytest.mark.skipif("KELVANE_UNDER_SANITIZER" in os.environ, reason="sanitizers need larger stack frames")
@pytest.mark.parametrize("depth", [16, 64])
@pytest.mark.parametrize("order", ["C", "F"])  # F: tiles along the bands, transposed into the output
def test_deep_program_on_a_thread_with_a_small_stack(depth, order):
    """A small grid runs on the calling thread: a deep program's tiles, and an index's, must fit
    a small stack."""
    code = (
        "import threading, numpy as np, kelvane\n"
        f"program = [{{'type': 'push_band', 'index': 0}}] * {depth} + [{{'type': 'add'}}] * {depth - 1}\n"
        "band = np.arange(64 * 64, dtype=np.uint16).reshape(64, 64)\n"
        f"out = np.empty((64, 64), np.float32, order='{order}')\n"
        f"index_out = np.empty((64, 64), np.float32, order='{order}')\n"
        "def run():\n"
        "    kelvane.calculate_evi_inplace(band, band, band, 1.0, 1.0, 1.0, 1.0, index_out)\n"
        "    kelvane.calculate_normalized_difference_inplace(band, band, index_out)\n"
        "    kelvane.execute_expr_inplace(kelvane.compile_expr(program, 1), [band], out)\n"
        "threading.stack_size(112 * 1024)\n"
        "t = threading.Thread(target=run)\n"
        "t.start()\n"
        "t.join()\n"
        f"assert np.array_equal(out, band.astype(np.float32) * {depth})\n"
        "assert np.isfinite(index_out).all()\n"
        "print('ok')\n"
    )
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0 and result.stdout.strip() == "ok", result.stderr
