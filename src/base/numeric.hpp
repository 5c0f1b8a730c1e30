// The numeric basics every kernel shares: the denominator's epsilon and the one
// divide that adds it, and the conversion of a sample.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kelvane {

// The single-precision value nearest to 1e-10, added to every denominator.
inline constexpr float DENOM_EPSILON = std::bit_cast<float>(uint32_t{0x2EDBE6FF});

// Internal linkage: each CPU target's translation unit keeps its own copy,
// compiled for that target only.
namespace {

// The uint16 sample at p (any alignment) as a float: every sample converts
// exactly. The one scalar loader; the vector loaders are in frame/lanes.inc.
inline float sample_value(const std::byte* p) {
    uint16_t v;
    std::memcpy(&v, p, sizeof v);
    return static_cast<float>(v);
}

// a / (b + DENOM_EPSILON), the sum rounded to single precision before the
// division. V is a float or a vector of floats: every path divides alike.
template <class V>
inline V divide_with_epsilon(V a, V b) {
    const V divisor = b + DENOM_EPSILON;
    return a / divisor;
}

}  // namespace

}  // namespace kelvane
