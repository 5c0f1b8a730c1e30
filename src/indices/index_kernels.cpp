// Choosing the index kernels for this CPU.
#include "indices/index_kernels.hpp"

namespace kelvane {

const IndexKernelTable& index_kernels_for(SimdLevel level) {
    using namespace index_targets;
    return table_for(level, kScalar, kSse2, kAvx2, kAvx512);
}

const IndexKernelTable& index_kernels() {
    static const IndexKernelTable& table = index_kernels_for(best_simd_level());
    return table;
}

}  // namespace kelvane
