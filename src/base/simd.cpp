// Which CPU target this machine runs.
#include "base/simd.hpp"

namespace kelvane {

SimdLevel cpu_simd_level() {
#if KELVANE_X86_TARGETS
    static const SimdLevel level = [] {
        __builtin_cpu_init();
        if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
            __builtin_cpu_supports("avx512vl"))
            return SimdLevel::Avx512;
        if (__builtin_cpu_supports("avx2")) return SimdLevel::Avx2;
        return SimdLevel::Sse2;  // the x86-64 baseline
    }();
    return level;
#elif KELVANE_NEON_TARGET
    return SimdLevel::Neon;  // Advanced SIMD is the aarch64 baseline
#else
    return SimdLevel::Scalar;
#endif
}

SimdLevel best_simd_level() {
#ifdef KELVANE_FORCE_SCALAR
    return SimdLevel::Scalar;
#else
    return cpu_simd_level();
#endif
}

bool runs_simd_level(SimdLevel level) {
    switch (level) {
        case SimdLevel::Scalar: return true;
#if KELVANE_X86_TARGETS
        case SimdLevel::Sse2:
        case SimdLevel::Avx2:
        case SimdLevel::Avx512: return static_cast<int>(level) <= static_cast<int>(cpu_simd_level());
#elif KELVANE_NEON_TARGET
        case SimdLevel::Neon: return true;
#endif
        default: return false;
    }
}

const char* simd_level_name(SimdLevel level) {
    switch (level) {
        case SimdLevel::Scalar: return "scalar";
        case SimdLevel::Sse2: return "sse2";
        case SimdLevel::Avx2: return "avx2";
        case SimdLevel::Avx512: return "avx512";
        case SimdLevel::Neon: return "neon";
    }
    return "scalar";
}

}  // namespace kelvane
