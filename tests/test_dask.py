"""Chunked runs under dask (threads and worker processes) match one call on the whole array."""

import sys
from pathlib import Path

import numpy as np
import pytest

kelvane = pytest.importorskip("kelvane")
da = pytest.importorskip("dask.array")

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "examples"))
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


def test_distributed_worker_processes(bands):
    distributed = pytest.importorskip("distributed")
    cloudpickle = pytest.importorskip("cloudpickle")
    # The worker processes do not have examples/ on their path: ship the recipes by value.
    cloudpickle.register_pickle_by_value(dask_recipes)
    try:
        with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                      dashboard_address=None, silence_logs=40) as cluster, \
                distributed.Client(cluster, timeout="60s") as client:
            func, scalars = kelvane.calculate_evi_inplace, (2.5, 6.0, 7.5, 10000.0)
            evi, prog = client.compute([dask_recipes.map_index(func, *chunked(bands), scalars=scalars),
                                        dask_recipes.map_program(NDWI_LIKE, *chunked(bands))])
            evi, prog = evi.result(timeout=60), prog.result(timeout=60)
            workers = client.run(lambda: __import__("os").getpid())
    finally:
        cloudpickle.unregister_pickle_by_value(dask_recipes)
    assert len(set(workers.values())) == 2
    assert_bits_equal(evi, whole(func, bands, scalars))
    assert_bits_equal(prog, whole_program(NDWI_LIKE, bands))
