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

// Whether an output can touch memory that one of the bands can: then only the
// walk order of the pixels keeps the result defined.
inline bool output_overlaps_bands(const OutView& out, const BandView* bands, size_t num_bands) {
    if (out.rows == 0 || out.cols == 0) return false;
    const ByteExtent out_extent =
        byte_extent(out.data, out.rows, out.cols, out.row_stride, out.col_stride, kOutElementSize);
    for (size_t k = 0; k < num_bands; ++k) {
        const BandView& band = bands[k];
        if (band.rows == 0 || band.cols == 0) continue;
        if (byte_extent(band.data, band.rows, band.cols, band.row_stride, band.col_stride, kBandElementSize)
                .overlaps(out_extent))
            return true;
    }
    return false;
}

}  // namespace kelvane
