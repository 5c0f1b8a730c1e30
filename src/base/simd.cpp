// Which CPU target this machine runs.
#include "base/simd.hpp"

namespace kelvane {

#if KELVANE_X86_TARGETS
SimdLevel x86_simd_level();  // simd_x86.cpp
#endif

SimdLevel cpu_simd_level() {
#if KELVANE_X86_TARGETS
    static const SimdLevel level = x86_simd_level();
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
