// Choosing the tile evaluator for this CPU.
#include "expr/tiles.hpp"

namespace kelvane {

using namespace expr_targets;

namespace {
const ExprKernelTable* const kTables[kSimdLevels] = KELVANE_TARGET_TABLES;
}

const ExprKernelTable& expr_kernels_for(SimdLevel level) { return table_for(level, kTables); }
const ExprKernelTable& expr_kernels() { return best_table(kTables); }

}  // namespace kelvane
