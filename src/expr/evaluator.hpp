// Evaluation of a compiled program over the output grid. No Python types.
#pragma once

#include "expr/expr_op.hpp"
#include "frame/pixel_zip.hpp"
#include "indices/index_kernels.hpp"

#include <cstddef>
#include <vector>

namespace kelvane {

// What a running program reads; shared read-only by every worker of one call.
struct ExprContext {
    const ExprOp* ops = nullptr;
    size_t num_ops = 0;
    const BandView* bands = nullptr;
    size_t num_bands = 0;
    int max_depth = 0;  // deepest stack the program reaches (set by cannot_fail)
    bool streaming_stores = false;  // see kStreamingStoreBytes
};

// The stack machine for one pixel: the reference semantics, failures included.
float evaluate_pixel(const ExprContext& program, int64_t row, int64_t col);

// Per-pixel block kernel (zip parts: index grid, output).
void evaluate_block_per_pixel(const PixelZip& block, const void* context);

// True when no pixel of an rows x cols output can fail: the stack never under-
// or overflows and every band read exists and covers the grid. Such programs
// may be evaluated a tile of pixels at a time.
bool cannot_fail(ExprContext& program, int64_t rows, int64_t cols);

// Tile block kernels, one per CPU target (same bits as evaluate_pixel).
struct ExprKernelTable {
    const char* target;
    BlockFn evaluate_tiles;
};

namespace expr_targets {
extern const ExprKernelTable kScalar, kSse2, kAvx2, kAvx512;
}

const ExprKernelTable& expr_kernels_for(SimdLevel level);
// The table used by the module: the widest the CPU offers.
const ExprKernelTable& expr_kernels();

}  // namespace kelvane
