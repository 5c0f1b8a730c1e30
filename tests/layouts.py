"""The same 2-D values in several memory layouts, for inputs and for outputs."""
import numpy as np

LAYOUT_NAMES = ("C", "F", "transposed", "reversed", "stepped", "every_other", "unaligned")

# Element values placed around stepped views, distinct from anything a test computes.
_FILLER = {np.dtype(np.uint16): 0xBEEF, np.dtype(np.float32): np.uint32(0x7FC0DEAD).view(np.float32)}


def _filler(dtype):
    return _FILLER.get(np.dtype(dtype), 0)


def make_layout(arr, name):
    """A new array in layout `name` holding the values of the 2-D array `arr`."""
    arr = np.asarray(arr)
    assert arr.ndim == 2
    rows, cols = arr.shape
    if name == "C":
        return np.array(arr, order="C")
    if name == "F":
        return np.asfortranarray(arr.copy())
    if name == "transposed":
        return np.ascontiguousarray(arr.T).T
    if name == "reversed":
        return np.ascontiguousarray(arr[::-1, ::-1])[::-1, ::-1]
    if name == "stepped":
        big = np.full((2 * rows + 3, 3 * cols + 2), _filler(arr.dtype), dtype=arr.dtype)
        view = big[1 : 1 + 2 * rows : 2, 2 : 2 + 3 * cols : 3]
        view[...] = arr
        return view
    if name == "every_other":
        # every other element of rows 2 * cols - 1 long: the view's last element ends the buffer
        big = np.full((rows, max(2 * cols - 1, 0)), _filler(arr.dtype), dtype=arr.dtype)
        view = big[:, ::2]
        view[...] = arr
        return view
    if name == "unaligned":
        item = arr.dtype.itemsize
        buf = np.zeros(arr.nbytes + 2 * item + 1, dtype=np.uint8)
        view = buf[1 : 1 + arr.nbytes].view(arr.dtype).reshape(rows, cols)
        view[...] = arr
        assert rows * cols == 0 or view.ctypes.data % item != 0
        return view
    raise ValueError(name)


def layouts(arr):
    """Yield (name, view) pairs, each a fresh array with the values of 2-D `arr` in another layout."""
    for name in LAYOUT_NAMES:
        view = make_layout(arr, name)
        assert view.shape == np.shape(arr) and np.array_equal(view, arr, equal_nan=view.dtype.kind == "f")
        yield name, view


def out_layouts(shape):
    """Yield (name, out) pairs of fresh float32 outputs of `shape`, every element a NaN sentinel."""
    sentinel = np.full(shape, _filler(np.float32), dtype=np.float32)
    yield from layouts(sentinel)
