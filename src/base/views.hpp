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

inline constexpr int64_t kBandElementSize = 2;
inline constexpr int64_t kOutElementSize = 4;

inline constexpr int64_t kCacheLineBytes = 64;

// Outputs of at least this many bytes are written with streaming stores: far
// larger than the caches, they would only be evicted again before anyone
// reads them.
inline constexpr int64_t kStreamingStoreBytes = 24 << 20;

inline bool streams_output(const OutView& out) {
    return out.rows * out.cols * kOutElementSize >= kStreamingStoreBytes;
}

// A loop that streams its output asks for its bands' samples this many bytes
// ahead of those it reads (a prefetch per band and group). Left to the
// hardware, a loop of much arithmetic per sample read its bands from memory
// at two thirds of the rate it could compute (the 2-core Xeon VM with
// AVX-512: the 30-instruction program at 4096 x 4096, 2.1 to 3.4 Gpixel/s by
// where the arrays lay, 4.4 to 4.6 with it; the fixed EVI 4.0 -> 5.4, the
// normalized difference 5.9 -> 7.0). 4096 bytes measured the same; loops
// that do not stream, over grids that stay in the caches, gained nothing.
inline constexpr int64_t kPrefetchBytes = 2048;

// The bytes [lo, hi) that the elements of a rows x cols strided region can
// touch, whatever the signs of its strides.
struct ByteExtent {
    const std::byte* lo;
    const std::byte* hi;
    bool overlaps(const ByteExtent& other) const { return lo < other.hi && other.lo < hi; }
};

template <class Byte>
inline ByteExtent byte_extent(const StridedView<Byte>& v, int64_t element_size) {
    const int64_t dr = (v.rows - 1) * v.row_stride, dc = (v.cols - 1) * v.col_stride;
    return ByteExtent{v.data + (dr < 0 ? dr : 0) + (dc < 0 ? dc : 0),
                      v.data + (dr > 0 ? dr : 0) + (dc > 0 ? dc : 0) + element_size};
}

// Whether an output can touch memory that one of the bands can: then only the
// walk order of the pixels keeps the result defined. The one overlap check,
// for whole calls, blocks and runs alike.
inline bool output_overlaps_bands(const OutView& out, const BandView* bands, size_t num_bands) {
    if (out.rows == 0 || out.cols == 0) return false;
    const ByteExtent out_extent = byte_extent(out, kOutElementSize);
    for (size_t k = 0; k < num_bands; ++k) {
        const BandView& band = bands[k];
        if (band.rows == 0 || band.cols == 0) continue;
        if (byte_extent(band, kBandElementSize).overlaps(out_extent)) return true;
    }
    return false;
}

}  // namespace kelvane
