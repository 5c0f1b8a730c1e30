"""Chunked runs under dask (threads and worker processes) match one call on the whole array;
failures reach the caller as ordinary exceptions; worker processes can share the processors."""

import os
import subprocess
import sys
import threading
import time
from pathlib import Path

import numpy as np
import pytest

kelvane = pytest.importorskip("kelvane")
da = pytest.importorskip("dask.array")

linux_only = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="affinity masks and /proc are Linux's")

EXAMPLES = str(Path(__file__).resolve().parent.parent / "examples")
sys.path.insert(0, EXAMPLES)
import dask_recipes  # noqa: E402

ROWS, COLS = 300, 500
CHUNKS = (128, 96)  # uneven, so edge chunks are narrower than the rest

NDWI_LIKE = [
    {"type": "push_band", "index": 0},
    {"type": "push_band", "index": 1},
    {"type": "sub"},
    {"type": "push_band", "index": 0},
    {"type": "push_band", "index": 1},
    {"type": "add"},
    {"type": "push_scalar", "value": 0.5},
    {"type": "pow"},
    {"type": "div"},
    {"type": "push_band", "index": 2},
    {"type": "sqrt"},
    {"type": "mul"},
]

# (name, in-place function, scalars between the bands and out_buffer, number of bands)
INDICES = [
    ("normalized_difference", kelvane.calculate_normalized_difference_inplace, (), 2),
    ("ratio", kelvane.calculate_ratio_inplace, (), 2),
    ("adjusted_difference", kelvane.calculate_adjusted_difference_inplace, (5000.0,), 2),
    ("evi", kelvane.calculate_evi_inplace, (2.5, 6.0, 7.5, 10000.0), 3),
]


@pytest.fixture(scope="module")
def bands():
    rng = np.random.default_rng(7)
    stack = rng.integers(0, 12000, size=(3, ROWS, COLS), dtype=np.uint16)
    stack[0, :4, :4] = 0  # zero denominators at a chunk corner
    stack[1, :4, :4] = 0
    return list(stack)


def whole(func, arrays, scalars):
    out = np.empty((ROWS, COLS), dtype=np.float32)
    func(*arrays, *scalars, out)
    return out


def whole_program(instructions, arrays):
    out = np.empty((ROWS, COLS), dtype=np.float32)
    kelvane.execute_expr_inplace(kelvane.compile_expr(instructions, len(arrays)), arrays, out)
    return out


def assert_bits_equal(got, expected):
    got = np.asarray(got)
    assert got.dtype == np.float32 and got.shape == expected.shape
    assert np.array_equal(got.view(np.uint32), expected.view(np.uint32))


def chunked(arrays):
    return [da.from_array(a, chunks=CHUNKS) for a in arrays]


@pytest.mark.parametrize("name, func, scalars, nbands", INDICES, ids=[i[0] for i in INDICES])
def test_map_blocks_threads(bands, name, func, scalars, nbands):
    lazy = dask_recipes.map_index(func, *chunked(bands[:nbands]), scalars=scalars)
    assert lazy.numblocks == (3, 6)
    got = lazy.compute(scheduler="threads", num_workers=2)
    assert_bits_equal(got, whole(func, bands[:nbands], scalars))


def test_map_blocks_program_threads(bands):
    got = dask_recipes.map_program(NDWI_LIKE, *chunked(bands)).compute(scheduler="threads", num_workers=2)
    assert_bits_equal(got, whole_program(NDWI_LIKE, bands))


def test_misaligned_chunks_are_rechunked(bands):
    nir = da.from_array(bands[0], chunks=(100, 250))
    red = da.from_array(bands[1], chunks=CHUNKS)
    got = dask_recipes.map_index(kelvane.calculate_normalized_difference_inplace, nir, red)
    assert_bits_equal(got.compute(scheduler="threads"),
                      kelvane.calculate_normalized_difference(bands[0], bands[1]))


def test_apply_ufunc_parallelized(bands):
    xr = pytest.importorskip("xarray")
    coords = {"y": np.arange(ROWS) * -10.0, "x": np.arange(COLS) * 10.0}
    arrays = [xr.DataArray(b, dims=("y", "x"), coords=coords).chunk({"y": 128, "x": 96}) for b in bands]
    evi = dask_recipes.apply_index(kelvane.calculate_evi_inplace, *arrays,
                                   scalars=(2.5, 6.0, 7.5, 10000.0), output_name="evi")
    assert evi.chunks is not None and evi.name == "evi"
    assert_bits_equal(evi.compute(scheduler="threads").values,
                      whole(kelvane.calculate_evi_inplace, bands, (2.5, 6.0, 7.5, 10000.0)))
    program = dask_recipes.apply_program(NDWI_LIKE, *arrays)
    assert_bits_equal(program.compute(scheduler="threads").values, whole_program(NDWI_LIKE, bands))
    eager = dask_recipes.apply_index(kelvane.calculate_ratio_inplace, *(a.compute() for a in arrays[:2]))
    assert_bits_equal(eager.values, whole(kelvane.calculate_ratio_inplace, bands[:2], ()))


@pytest.fixture(scope="module")
def cluster_client(tmp_path_factory):
    """One two-process cluster for the module, its workers on disjoint processor shares."""
    distributed = pytest.importorskip("distributed")
    cloudpickle = pytest.importorskip("cloudpickle")
    # The worker processes do not have examples/ on their path: ship the recipes by value.
    cloudpickle.register_pickle_by_value(dask_recipes)
    try:
        with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                      dashboard_address=None, silence_logs=50) as cluster, \
                distributed.Client(cluster, timeout="60s") as client:
            # Before any task, so that no worker has imported kelvane yet.
            client.register_plugin(dask_recipes.cpu_share_plugin(2, str(tmp_path_factory.mktemp("shares"))))
            yield client
    finally:
        cloudpickle.unregister_pickle_by_value(dask_recipes)


def test_distributed_worker_processes(bands, cluster_client):
    func, scalars = kelvane.calculate_evi_inplace, (2.5, 6.0, 7.5, 10000.0)
    evi, prog = cluster_client.compute([dask_recipes.map_index(func, *chunked(bands), scalars=scalars),
                                        dask_recipes.map_program(NDWI_LIKE, *chunked(bands))])
    evi, prog = evi.result(timeout=60), prog.result(timeout=60)
    workers = cluster_client.run(lambda: __import__("os").getpid())
    assert len(set(workers.values())) == 2
    assert_bits_equal(evi, whole(func, bands, scalars))
    assert_bits_equal(prog, whole_program(NDWI_LIKE, bands))


from reference import op, push_band, push_scalar  # noqa: E402

# (id, program, bands given, message); each one fails inside kelvane at every pixel.
REFUSED_PROGRAMS = [
    ("band-not-given", [push_band(0), push_band(2), op("sub")], 2, "reads band 2, but the program is given 2 bands"),
    ("65-deep", [push_band(0)] * 65, 1, "65th value on the stack, which has 64 slots"),
    ("65-deep-after-pops", [push_band(0)] * 64 + [op("add")] + [push_scalar(1)] * 2, 1, "64 slots"),
    ("binary-on-one-value", [push_band(0), op("add")], 1, "needs 2 values on the stack but finds 1"),
    ("unary-on-empty-stack", [op("sqrt"), push_band(0)], 1, "needs 1 value on the stack but finds 0"),
    ("underflow-after-pops", [push_band(0), push_band(0), op("mul"), op("div")], 1, "finds 1"),
]
# Programs at the edges that kelvane runs.
ACCEPTED_PROGRAMS = [
    ("64-deep", [push_band(0)] * 64, 1),
    ("64-deep-folded", [push_band(0)] * 64 + [op("add")] * 63, 1),
    ("64-deep-twice", [push_band(0)] * 64 + [op("add")] * 63 + [push_band(0)] * 63 + [op("sub")] * 63, 1),
    ("empty", [], 1),
    ("leftover-values", [push_band(1), push_band(0), op("neg")], 2),
    ("ndwi-like", NDWI_LIKE, 3),
]


def run_on_engine(program, nbands):
    out = np.zeros((3, 4), dtype=np.float32)
    kelvane.execute_expr_inplace(kelvane.compile_expr(program, nbands),
                                 [np.full((3, 4), 5, dtype=np.uint16)] * nbands, out)


@pytest.mark.parametrize("program, nbands, message", [p[1:] for p in REFUSED_PROGRAMS],
                         ids=[p[0] for p in REFUSED_PROGRAMS])
def test_program_that_cannot_run_is_refused_before_any_task(bands, program, nbands, message):
    with pytest.raises(ValueError, match=message):
        dask_recipes.map_program(program, *chunked(bands[:nbands]))
    # The check refuses only what kelvane itself would fail on.
    with pytest.raises(BaseException) as failure:
        run_on_engine(program, nbands)
    assert dask_recipes.is_panic(failure.value)


@pytest.mark.parametrize("program, nbands", [p[1:] for p in ACCEPTED_PROGRAMS], ids=[p[0] for p in ACCEPTED_PROGRAMS])
def test_program_at_the_stack_limits_is_accepted(bands, program, nbands):
    run_on_engine(program, nbands)
    got = dask_recipes.map_program(program, *chunked(bands[:nbands])).compute(scheduler="threads")
    assert_bits_equal(got, whole_program(program, bands[:nbands]))


def smaller_band_task(bands):
    """A hand-built task whose third band is smaller than the output: kelvane finds out only
    while computing, after the chunk has started."""
    dask = pytest.importorskip("dask")
    return dask.delayed(dask_recipes.ProgramPerChunk(NDWI_LIKE, 3))(bands[0], bands[1], bands[2][:40, :50])


def test_failing_chunk_reaches_the_threaded_caller_as_runtime_error(bands):
    try:
        smaller_band_task(bands).compute(scheduler="threads", num_workers=2)
    except Exception as exc:  # noqa: BLE001 - what a caller's generic handler sees
        assert type(exc) is RuntimeError and str(exc) == "ndarray: index out of bounds"
        assert dask_recipes.is_panic(exc.__cause__)
    else:
        raise AssertionError("the chunk did not fail")


def test_chunk_reading_an_output_being_written(bands):
    """The other documented failure at run time: a band that another running call writes."""
    dask = pytest.importorskip("dask")
    shape = (4096, 4096)
    a, b = (np.random.default_rng(k).integers(0, 65536, shape, dtype=np.uint16) for k in range(2))
    out = np.empty(shape, np.float32)
    # powf of a sum of two bands is computed at every pixel (no table): a call long enough to overlap.
    slow = kelvane.compile_expr([push_band(0), push_band(1), op("add"), push_scalar(0.5), op("pow")], 2)
    probe = out.view(np.uint16)[:8, :8]  # a band in the output's memory
    task = dask.delayed(dask_recipes.PerChunk(kelvane.calculate_ratio_inplace))(probe, probe)
    writer = threading.Thread(target=kelvane.execute_expr_inplace, args=(slow, [a, b], out), daemon=True)
    seen, deadline = [], time.monotonic() + 60
    writer.start()
    while writer.is_alive() and not seen and time.monotonic() < deadline:
        try:
            task.compute(scheduler="threads")
        except RuntimeError as exc:
            seen.append(exc)
    writer.join(60)
    assert not writer.is_alive(), "the computation did not return"
    if not seen:
        pytest.skip("the computation ended before it could be observed")
    assert str(seen[0]) == "called `Result::unwrap()` on an `Err` value: AlreadyBorrowed"
    assert dask_recipes.is_panic(seen[0].__cause__)


def test_failing_chunk_reaches_the_distributed_client(bands, cluster_client):
    with pytest.raises(RuntimeError, match="^ndarray: index out of bounds$"):
        cluster_client.compute(smaller_band_task(bands)).result(timeout=60)
    # Both workers are still there and compute.
    good = cluster_client.compute(dask_recipes.map_program(NDWI_LIKE, *chunked(bands)))
    assert_bits_equal(good.result(timeout=60), whole_program(NDWI_LIKE, bands))
    assert len(cluster_client.scheduler_info(n_workers=-1)["workers"]) == 2


@linux_only
def test_worker_processes_get_disjoint_processors(cluster_client):
    available = os.sched_getaffinity(0)
    if len(available) < 2:
        pytest.skip("needs 2 processors")
    sets = list(cluster_client.run(lambda: sorted(__import__("os").sched_getaffinity(0))).values())
    assert len(sets) == 2 and not set(sets[0]) & set(sets[1])
    assert set(sets[0]) | set(sets[1]) == available


PINNED_POOL = """
import json, os, subprocess, sys
sys.path.insert(0, {examples!r})
import dask_recipes
assert "kelvane" not in sys.modules, "importing the recipes started kelvane's pool"
shares = len(os.sched_getaffinity(0))
first = dask_recipes.claim_cpu_share(shares, {lock_dir!r})
assert dask_recipes.claim_cpu_share(shares, {lock_dir!r}) == first  # asking again: the same part
# Other processes, one after the other, claim the other parts while they live.
claim = "import sys; sys.path.insert(0, {examples!r}); import dask_recipes, json, time; " \
        f"print(json.dumps(sorted(dask_recipes.claim_cpu_share({{shares}}, {lock_dir!r}) or [])), flush=True); " \
        "time.sleep(30)"
others, others_parts = [], []
for _ in range(shares):
    others.append(subprocess.Popen([sys.executable, "-c", claim], stdout=subprocess.PIPE, text=True))
    others_parts.append(json.loads(others[-1].stdout.readline()))
for p in others:
    p.kill()
    p.wait()
dask_recipes.pin_process_to_cpus(first)
before = len(os.listdir("/proc/self/task"))
import kelvane
pool = len(os.listdir("/proc/self/task")) - before
print(json.dumps([sorted(first), others_parts, pool]))
"""


@linux_only
def test_pinned_process_pool_has_one_thread(tmp_path):
    code = PINNED_POOL.format(examples=EXAMPLES, lock_dir=str(tmp_path))
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    first, others, pool = __import__("json").loads(done.stdout)
    assert len(first) == 1 and pool == 1
    # Each process its own processor, every processor once, then nothing left to claim.
    claimed = [first] + others[:-1]
    assert sorted(c[0] for c in claimed) == sorted(os.sched_getaffinity(0)) and others[-1] == []


# ---------------------------------------------------------------------------------------------
# kelvane_indices: lazy in, lazy out; the same bits as one NumPy call; failures as exceptions.

@pytest.fixture(scope="module")
def ki():
    return pytest.importorskip("kelvane_indices")


def scene_of(bands):
    nir, red, blue = bands
    return {"N": nir, "R": red, "B": blue}


@pytest.mark.parametrize("index, kwargs", [
    ("NDVI", {}), ("EVI", {"scale": 1e-4}), ("EVI", {"scale": 1e-4, "offset": -0.1, "nodata": 0}),
    ("SAVI", {"L": 0.5, "nodata": {"R": 0}}),
])
def test_kelvane_indices_dask_and_xarray_match_numpy(bands, ki, index, kwargs):
    xr = pytest.importorskip("xarray")
    whole_scene = scene_of(bands)
    expected = ki.compute_index(index, whole_scene, **kwargs)
    lazy = ki.compute_index(index, {k: da.from_array(v, chunks=CHUNKS) for k, v in whole_scene.items()}, **kwargs)
    assert isinstance(lazy, da.Array)
    assert_bits_equal(lazy.compute(scheduler="threads"), expected)
    coords = {"y": np.arange(ROWS) * -10.0, "x": np.arange(COLS) * 10.0}
    arrays = {k: xr.DataArray(v, dims=("y", "x"), coords=coords) for k, v in whole_scene.items()}
    eager = ki.compute_index(index, arrays, **kwargs)
    chunked_arrays = ki.compute_index(index, {k: v.chunk({"y": 128, "x": 96}) for k, v in arrays.items()}, **kwargs)
    assert eager.name == chunked_arrays.name == index and eager.dims == ("y", "x")
    assert np.array_equal(eager.x, coords["x"]) and eager.attrs["formula"] == ki.catalogue[index].formula
    assert chunked_arrays.chunks is not None
    assert_bits_equal(eager.values, expected)
    assert_bits_equal(chunked_arrays.compute().values, expected)


def test_kelvane_indices_reads_fill_values_of_data_arrays(bands, ki):
    xr = pytest.importorskip("xarray")
    nir, red, _ = bands
    n = xr.DataArray(nir, dims=("y", "x"), attrs={"_FillValue": 0})
    r = xr.DataArray(red, dims=("y", "x"), attrs={"nodata": int(red[7, 7])})
    got = ki.evaluate("(N - R) / (N + R)", N=n, R=r)
    assert_bits_equal(got.values, ki.evaluate("(N - R) / (N + R)", N=nir, R=red, nodata={"N": 0, "R": int(red[7, 7])}))
    assert np.isnan(got.values[7, 7]) and np.isnan(got.values[0, 0])
    # An explicit nodata wins over the attribute.
    assert not np.isnan(ki.evaluate("N / R", N=n, R=r, nodata={"R": 65535}).values[7, 7])


@pytest.mark.parametrize("formula, kwargs, error, fragment", [
    ("(N - R) / (N + B)", {"B": None}, ValueError, "reads 'B', which has no value"),
    ("(N - R) / (N + R)", {"R": "int16"}, TypeError, "band 'R' is int16"),
    ("(N - " * 64 + "N" + ")" * 64, {}, ValueError, "stack slots"),
    ("(N - R) / (N + R)", {"R": "short"}, ValueError, "differ in shape"),
])
def test_kelvane_indices_refuses_before_any_task(bands, ki, formula, kwargs, error, fragment):
    nir, red, _ = bands
    given = {"N": da.from_array(nir, chunks=CHUNKS), "R": da.from_array(red, chunks=CHUNKS)}
    for name, change in kwargs.items():
        if change is None:
            given.pop(name, None)
        elif change == "int16":
            given[name] = given[name].astype(np.int16)
        else:
            given[name] = given[name][:-1]
    with pytest.raises(error, match=fragment.replace("(", r"\(").replace(")", r"\)")):
        ki.evaluate(formula, given)


def lying_blocks(ki, bands):
    """A lazy NDVI whose red blocks are one row shorter than their chunks say (a broken upstream
    step): the engine finds out only while computing the chunk."""
    nir, red, _ = bands
    short_red = da.from_array(red, chunks=CHUNKS).map_blocks(lambda b: b[:-1], dtype=np.uint16)
    return ki.evaluate("2 * (N - R) / (N + R)", N=da.from_array(nir, chunks=CHUNKS), R=short_red)


def test_kelvane_indices_failing_chunk_is_a_runtime_error_under_threads(bands, ki):
    try:
        lying_blocks(ki, bands).compute(scheduler="threads")
    except Exception as exc:  # noqa: BLE001 - what a caller's generic handler sees
        assert type(exc) is RuntimeError and "out of bounds" in str(exc)
        assert dask_recipes.is_panic(exc.__cause__)
    else:
        raise AssertionError("the chunk did not fail")


def test_kelvane_indices_on_distributed_workers(bands, ki, cluster_client):
    whole_scene = scene_of(bands)
    lazy = ki.compute_index("EVI", {k: da.from_array(v, chunks=CHUNKS) for k, v in whole_scene.items()},
                            scale=1e-4, nodata=0)
    assert_bits_equal(cluster_client.compute(lazy).result(timeout=60),
                      ki.compute_index("EVI", whole_scene, scale=1e-4, nodata=0))
    started = time.monotonic()
    with pytest.raises(RuntimeError, match="out of bounds"):
        cluster_client.compute(lying_blocks(ki, bands)).result(timeout=60)
    assert time.monotonic() - started < 30
    again = cluster_client.compute(ki.compute_index("NDVI", {k: da.from_array(v, chunks=CHUNKS)
                                                             for k, v in whole_scene.items()}))
    assert_bits_equal(again.result(timeout=60), ki.compute_index("NDVI", whole_scene))
