// The tile evaluator's block kernels, one table per CPU target.
#pragma once

#include "base/simd.hpp"
#include "frame/pixel_zip.hpp"

namespace kelvane {

// Tile block kernels of one target (same bits as evaluate_pixel). Context: an
// ExprContext with a plan. Zip parts: index grid, output.
struct ExprKernelTable {
    const char* target;
    BlockFn evaluate_tiles;
    // For bands that all run across the output (a column-major output of
    // row-major bands): tiles go along the bands into a buffer, which is
    // then written along the output.
    BlockFn evaluate_tiles_transposed;
};

namespace expr_targets {
extern const ExprKernelTable kScalar;
#if KELVANE_X86_TARGETS
extern const ExprKernelTable kSse2, kAvx2, kAvx512;
#elif KELVANE_NEON_TARGET
extern const ExprKernelTable kNeon;
#endif
}

const ExprKernelTable& expr_kernels_for(SimdLevel level);
// The table used by the module: the widest the CPU offers.
const ExprKernelTable& expr_kernels();

}  // namespace kelvane
