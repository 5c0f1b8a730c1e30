// Which x86-64 target this CPU runs: the widest whose instructions the CPU
// has and whose registers the system saves. Compiled for x86-64 only.
#include "base/simd.hpp"

#if defined(_MSC_VER)
#include <intrin.h>  // __cpuid, __cpuidex, _xgetbv (clang-cl has no __builtin_cpu_supports runtime)
#endif

namespace kelvane {

#if defined(_MSC_VER)
namespace {

// Whether the system saves every register state in `mask` (XCR0).
bool system_saves(unsigned long long mask) { return (_xgetbv(0) & mask) == mask; }

}  // namespace

SimdLevel x86_simd_level() {
    int r[4];
    __cpuid(r, 0);
    const int highest = r[0];
    __cpuid(r, 1);
    const bool osxsave = (r[2] & (1 << 27)) != 0, avx = (r[2] & (1 << 28)) != 0;
    if (!osxsave || !avx || highest < 7 || !system_saves(0x6)) return SimdLevel::Sse2;  // XMM, YMM
    __cpuidex(r, 7, 0);
    const unsigned ebx = static_cast<unsigned>(r[1]);
    const bool avx2 = (ebx & (1u << 5)) != 0;
    const bool avx512 = (ebx & (1u << 16)) != 0 && (ebx & (1u << 30)) != 0 && (ebx & (1u << 31)) != 0;
    if (avx512 && system_saves(0xE6)) return SimdLevel::Avx512;  // opmask, ZMM
    if (avx2) return SimdLevel::Avx2;
    return SimdLevel::Sse2;
}
#else
SimdLevel x86_simd_level() {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
        __builtin_cpu_supports("avx512vl"))
        return SimdLevel::Avx512;
    if (__builtin_cpu_supports("avx2")) return SimdLevel::Avx2;
    return SimdLevel::Sse2;  // the x86-64 baseline
}
#endif

}  // namespace kelvane
