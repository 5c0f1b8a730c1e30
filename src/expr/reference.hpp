// The reference machine: a program run on a stack, one pixel at a time, with
// every failure it can meet; and the validator that tells when none can.
#pragma once

#include "expr/program.hpp"
#include "frame/pixel_zip.hpp"

namespace kelvane {

// The stack machine for one pixel: the reference semantics, failures included.
float evaluate_pixel(const ExprContext& program, int64_t row, int64_t col);

// Per-pixel block kernel (zip parts: index grid, output).
void evaluate_block_per_pixel(const PixelZip& block, const void* context);

// True when no pixel of an rows x cols output can fail: the stack never under-
// or overflows and every band read exists and covers the grid. Such programs
// may be evaluated a tile of pixels at a time. Sets program.max_depth.
bool cannot_fail(ExprContext& program, int64_t rows, int64_t cols);

}  // namespace kelvane
