// Choosing the tile evaluator for this CPU.
#include "expr/tiles.hpp"

namespace kelvane {

const ExprKernelTable& expr_kernels_for(SimdLevel level) {
    using namespace expr_targets;
    return table_for(level, kScalar, kSse2, kAvx2, kAvx512);
}

const ExprKernelTable& expr_kernels() {
    static const ExprKernelTable& table = expr_kernels_for(best_simd_level());
    return table;
}

}  // namespace kelvane
