// The fixed spectral-index kernels: their parameters and the per-target tables
// of block kernels, chosen once for this CPU.
#pragma once

#include "base/simd.hpp"
#include "frame/pixel_zip.hpp"

#include <cstdint>

namespace kelvane {

// Scalars of the index functions, rounded once to single precision.
struct IndexParams {
    float l = 0.0f, g = 0.0f, c1 = 0.0f, c2 = 0.0f;  // those of the function's parameters
    bool streaming_stores = false;                   // streams_output()
};

// Block kernels of one CPU target. Zip parts: the output, then the bands.
struct IndexKernelTable {
    const char* target;
    BlockFn normalized_difference;
    BlockFn ratio;
    BlockFn adjusted_difference;
    BlockFn evi;
};

// Every level's table: tests prove they all give the same bits.
const IndexKernelTable& index_kernels_for(SimdLevel level);
// The table used by the module: the widest the CPU offers.
const IndexKernelTable& index_kernels();

namespace index_targets {
extern const IndexKernelTable kScalar;
#if KELVANE_X86_TARGETS
extern const IndexKernelTable kSse2, kAvx2, kAvx512;
#elif KELVANE_NEON_TARGET
extern const IndexKernelTable kNeon;
#endif
}

}  // namespace kelvane
