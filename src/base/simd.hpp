// The CPU targets every kernel is compiled for, and the choice among them.
#pragma once

namespace kelvane {

enum class SimdLevel { Scalar = 0, Sse2 = 1, Avx2 = 2, Avx512 = 3 };

// The widest level this CPU runs.
SimdLevel cpu_simd_level();
// The level the module uses: cpu_simd_level(), or Scalar in a KELVANE_FORCE_SCALAR build.
SimdLevel best_simd_level();

// One kernel table per target: the one for `level`.
template <class Table>
const Table& table_for(SimdLevel level, const Table& scalar, const Table& sse2, const Table& avx2,
                       const Table& avx512) {
    switch (level) {
        case SimdLevel::Scalar: return scalar;
        case SimdLevel::Sse2: return sse2;
        case SimdLevel::Avx2: return avx2;
        case SimdLevel::Avx512: return avx512;
    }
    return scalar;
}

// The table of the widest target this CPU runs, chosen once.
template <class Table>
const Table& best_table(const Table& scalar, const Table& sse2, const Table& avx2, const Table& avx512) {
    static const Table& table = table_for(best_simd_level(), scalar, sse2, avx2, avx512);
    return table;
}

}  // namespace kelvane
