// Choosing the index kernels for this CPU.
#include "indices/index_kernels.hpp"

namespace kelvane {

SimdLevel best_simd_level() {
    static const SimdLevel level = [] {
#ifdef KELVANE_FORCE_SCALAR
        return SimdLevel::Scalar;
#endif
        __builtin_cpu_init();
        if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
            __builtin_cpu_supports("avx512vl"))
            return SimdLevel::Avx512;
        if (__builtin_cpu_supports("avx2")) return SimdLevel::Avx2;
        return SimdLevel::Sse2;  // the x86-64 baseline
    }();
    return level;
}

const IndexKernelTable& index_kernels_for(SimdLevel level) {
    switch (level) {
        case SimdLevel::Scalar: return index_targets::kScalar;
        case SimdLevel::Sse2: return index_targets::kSse2;
        case SimdLevel::Avx2: return index_targets::kAvx2;
        case SimdLevel::Avx512: return index_targets::kAvx512;
    }
    return index_targets::kScalar;
}

const IndexKernelTable& index_kernels() {
    static const IndexKernelTable& table = index_kernels_for(best_simd_level());
    return table;
}

}  // namespace kelvane
