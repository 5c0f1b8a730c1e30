// Plain 2-D views of array memory. No Python types: these cross into the code
// that runs without the interpreter lock.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kelvane {

// Strides are in bytes, so that arrays whose strides are not a multiple of the
// element size still address exactly the elements NumPy shows. Element (r, c)
// lives at data + r * row_stride + c * col_stride; data may be unaligned.
template <class Byte>
struct StridedView {
    Byte* data = nullptr;
    int64_t rows = 0;
    int64_t cols = 0;
    int64_t row_stride = 0;
    int64_t col_stride = 0;
};

// Read-only view of native uint16 samples.
using BandView = StridedView<const std::byte>;
// Writable view of native float32 values.
using OutView = StridedView<std::byte>;

// The bytes [lo, hi) that the elements of a rows x cols strided region can
// touch, whatever the signs of its strides.
struct ByteExtent {
    const std::byte* lo;
    const std::byte* hi;
    bool overlaps(const ByteExtent& other) const { return lo < other.hi && other.lo < hi; }
};

inline ByteExtent byte_extent(const std::byte* data, int64_t rows, int64_t cols, int64_t row_stride,
                              int64_t col_stride, int64_t element_size) {
    const int64_t dr = (rows - 1) * row_stride, dc = (cols - 1) * col_stride;
    return ByteExtent{data + (dr < 0 ? dr : 0) + (dc < 0 ? dc : 0),
                      data + (dr > 0 ? dr : 0) + (dc > 0 ? dc : 0) + element_size};
}

inline constexpr int64_t kBandElementSize = 2;
inline constexpr int64_t kOutElementSize = 4;

}  // namespace kelvane
