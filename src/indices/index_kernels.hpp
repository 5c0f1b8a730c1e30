// The fixed spectral-index kernels: their parameters and the per-target tables
// of block kernels, chosen once for this CPU.
#pragma once

#include "frame/pixel_zip.hpp"

#include <bit>
#include <cstdint>

namespace kelvane {

// The single-precision value nearest to 1e-10, added to every denominator.
inline constexpr float DENOM_EPSILON = std::bit_cast<float>(uint32_t{0x2EDBE6FF});

// Scalars of the index functions, rounded once to single precision.
struct IndexParams {
    float l = 0.0f;
    float g = 0.0f;
    float c1 = 0.0f;
    float c2 = 0.0f;
    // Write the output with streaming stores: for outputs far larger than the
    // caches, which would only be evicted again before anyone reads them.
    bool streaming_stores = false;
};

// Outputs of at least this many bytes are written with streaming stores.
inline constexpr int64_t kStreamingStoreBytes = 24 << 20;

// Block kernels of one CPU target. Zip parts: the output, then the bands.
struct IndexKernelTable {
    const char* target;
    BlockFn normalized_difference;
    BlockFn ratio;
    BlockFn adjusted_difference;
    BlockFn evi;
};

enum class SimdLevel { Scalar = 0, Sse2 = 1, Avx2 = 2, Avx512 = 3 };

// The widest level this CPU runs.
SimdLevel best_simd_level();
// Every level's table: tests prove they all give the same bits.
const IndexKernelTable& index_kernels_for(SimdLevel level);
// The table used by the module: the widest the CPU offers.
const IndexKernelTable& index_kernels();

namespace index_targets {
extern const IndexKernelTable kScalar, kSse2, kAvx2, kAvx512;
}

}  // namespace kelvane
