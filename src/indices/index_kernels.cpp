// Choosing the index kernels for this CPU.
#include "indices/index_kernels.hpp"

namespace kelvane {

using namespace index_targets;

namespace {
const IndexKernelTable* const kTables[kSimdLevels] = KELVANE_TARGET_TABLES;
}

const IndexKernelTable& index_kernels_for(SimdLevel level) { return table_for(level, kTables); }
const IndexKernelTable& index_kernels() { return best_table(kTables); }

}  // namespace kelvane
