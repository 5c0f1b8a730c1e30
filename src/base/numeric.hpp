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

// The largest magnitude of an integer operand of divide_integers_with_epsilon,
// and of an operand that is a multiple of 2^-k (k <= 8), times 2^k.
inline constexpr float kLargestDividedInteger = 131072.0f;        // 2^17
inline constexpr float kLargestScaledDividedInteger = 262144.0f;  // 2^18

// divide_with_epsilon's quotient, bit for bit, where every lane of a and b
// holds an integer, |a| <= 2^17, 0 <= b <= 2^17 and a is not -0 (the
// differences and sums of two bands, for example), or where a and b are
// multiples of 2^-k (k <= 8) with |a| * 2^k, b * 2^k <= 2^18, b > 0 and a not
// -0 (a sum of two bands plus 0.5, say). A wide target may then
// divide through a reciprocal estimate and two fused corrections, which
// costs less than its divider; docs/numerics.md proves the quotient
// correctly rounded. Each wide target defines divide_integer_lanes
// (frame/lanes_x86.inc, frame/lanes_neon.inc).
template <class V>
inline V divide_integer_lanes(V a, V b);

template <class V>
inline V divide_integers_with_epsilon(V a, V b) {
    if constexpr (sizeof(V) == sizeof(float)) {
        return divide_with_epsilon(a, b);
    } else {
        return divide_integer_lanes(a, b);
    }
}

}  // namespace

}  // namespace kelvane
