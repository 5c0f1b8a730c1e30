// Choosing the tile evaluator for this CPU.
#include "expr/tiles.hpp"

namespace kelvane {

using namespace expr_targets;

const ExprKernelTable& expr_kernels_for(SimdLevel level) { return table_for(level, kScalar, kSse2, kAvx2, kAvx512); }
const ExprKernelTable& expr_kernels() { return best_table(kScalar, kSse2, kAvx2, kAvx512); }

}  // namespace kelvane
