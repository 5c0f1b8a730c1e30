// The CPU targets every kernel is compiled for, and the choice among them.
// Which targets a build has follows the compiler's target: sse2, avx2 and
// avx512 on x86-64, neon on aarch64, and the scalar one everywhere.
#pragma once

namespace kelvane {

enum class SimdLevel { Scalar = 0, Sse2 = 1, Avx2 = 2, Avx512 = 3, Neon = 4 };

inline constexpr int kSimdLevels = 5;

#if defined(__x86_64__)
#define KELVANE_X86_TARGETS 1
#elif defined(__aarch64__)
#define KELVANE_NEON_TARGET 1
#endif

// The widest level this CPU runs (Scalar where the build has no wide target).
SimdLevel cpu_simd_level();
// The level the module uses: cpu_simd_level(), or Scalar in a KELVANE_FORCE_SCALAR build.
SimdLevel best_simd_level();
// Whether this build has kernels for `level` and this CPU runs them.
bool runs_simd_level(SimdLevel level);
// The level's name, as the kernel tables give it.
const char* simd_level_name(SimdLevel level);

// One kernel table per target: `tables` holds each level's, in the order of
// SimdLevel, null for a target this build has none of; the one for `level`,
// or the scalar one.
template <class Table>
const Table& table_for(SimdLevel level, const Table* const (&tables)[kSimdLevels]) {
    const Table* table = tables[static_cast<int>(level)];
    return table ? *table : *tables[0];
}

// The table of the widest target this CPU runs, chosen once.
template <class Table>
const Table& best_table(const Table* const (&tables)[kSimdLevels]) {
    static const Table& table = table_for(best_simd_level(), tables);
    return table;
}

// The tables of a kernel's targets (the names declared extern in the
// including header's namespace), in the order of SimdLevel.
#if KELVANE_X86_TARGETS
#define KELVANE_TARGET_TABLES {&kScalar, &kSse2, &kAvx2, &kAvx512, nullptr}
#elif KELVANE_NEON_TARGET
#define KELVANE_TARGET_TABLES {&kScalar, nullptr, nullptr, nullptr, &kNeon}
#else
#define KELVANE_TARGET_TABLES {&kScalar, nullptr, nullptr, nullptr, nullptr}
#endif

}  // namespace kelvane
