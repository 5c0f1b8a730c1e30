// Index kernels compiled for the avx512 target (16 lanes).
#include "base/numeric.hpp"
#include "indices/index_kernels.hpp"

#include <cstring>
#include <utility>
#include <immintrin.h>
#include <optional>

namespace kelvane {
namespace {
#define KELVANE_LANES 16
#include "indices/index_kernels_impl.inc"
}  // namespace

namespace index_targets {
const IndexKernelTable kAvx512 = {
    "avx512",
    &index_block<2, NormalizedDifference>,
    &index_block<2, Ratio>,
    &index_block<2, AdjustedDifference>,
    &index_block<3, Evi>,
};
}  // namespace index_targets
}  // namespace kelvane
