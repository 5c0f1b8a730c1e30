// Choosing the index kernels for this CPU.
#include "indices/index_kernels.hpp"

namespace kelvane {

using namespace index_targets;

const IndexKernelTable& index_kernels_for(SimdLevel level) { return table_for(level, kScalar, kSse2, kAvx2, kAvx512); }
const IndexKernelTable& index_kernels() { return best_table(kScalar, kSse2, kAvx2, kAvx512); }

}  // namespace kelvane
