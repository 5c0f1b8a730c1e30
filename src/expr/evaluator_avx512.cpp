// Tile evaluator compiled for the avx512 target.
#include "expr/evaluator.hpp"

#include <cmath>
#include <cstring>
#include <type_traits>
#include <utility>
#include <immintrin.h>

namespace kelvane {
namespace {
#define KELVANE_LANES 16
#include "expr/evaluator_impl.inc"
}  // namespace

namespace expr_targets {
const ExprKernelTable kAvx512 = {"avx512", &evaluate_block_tiles, &evaluate_block_transposed};
}  // namespace expr_targets
}  // namespace kelvane
