// The numeric constants every kernel shares, and the one divide that adds the
// denominator's epsilon.
#pragma once

#include <bit>
#include <cstdint>

namespace kelvane {

// The single-precision value nearest to 1e-10, added to every denominator.
inline constexpr float DENOM_EPSILON = std::bit_cast<float>(uint32_t{0x2EDBE6FF});

// a / (b + DENOM_EPSILON), the sum rounded to single precision before the
// division. V is a float or a vector of floats: every path divides alike.
template <class V>
inline V divide_with_epsilon(V a, V b) {
    const V divisor = b + DENOM_EPSILON;
    return a / divisor;
}

}  // namespace kelvane
