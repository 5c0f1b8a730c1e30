// Which CPU target this machine runs.
#include "base/simd.hpp"

namespace kelvane {

SimdLevel cpu_simd_level() {
    static const SimdLevel level = [] {
        __builtin_cpu_init();
        if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
            __builtin_cpu_supports("avx512vl"))
            return SimdLevel::Avx512;
        if (__builtin_cpu_supports("avx2")) return SimdLevel::Avx2;
        return SimdLevel::Sse2;  // the x86-64 baseline
    }();
    return level;
}

SimdLevel best_simd_level() {
#ifdef KELVANE_FORCE_SCALAR
    return SimdLevel::Scalar;
#else
    return cpu_simd_level();
#endif
}

}  // namespace kelvane
