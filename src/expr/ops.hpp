// The band-math operations. One row of KELVANE_EXPR_OPS and one functor make
// an operation: the row gives its kind code, the name that selects it, its
// stack effect, its functor and what the planner may do with it; the
// compiler, the reference machine, the planner and the tile evaluator all
// read it, and the reference machine and the tiles share the functor, so
// none of them can drift from the others.
#pragma once

#include "base/numeric.hpp"

#include <bit>
#include <cmath>
#include <cstdint>
#include <string_view>
#include <type_traits>

namespace kelvane {

// What the planner may do with an operation besides running it.
enum OpTraits : uint8_t {
    kPlainOp = 0,
    // Cheap arithmetic of two operands: computed as a leaf, inside the one
    // operation that reads its value, when its operands are read in place.
    kLeafOp = 1,
    // Calls the C library: a part of a program that uses it on one band only
    // is tabulated over the 65536 sample values, and it weighs ~30 pixels.
    kLibraryCallOp = 2,
    // Put in a plan by the planner only, in place of an operation whose
    // operands it has proven to be of a kind: no instruction names it.
    kPlannedOp = 4,
};

// X(kind, "type" text, values popped, values pushed, functor, traits)
#define KELVANE_EXPR_OPS(X)                                  \
    X(PushBand, "push_band", 0, 1, PushOp, kPlainOp)         \
    X(PushScalar, "push_scalar", 0, 1, PushOp, kPlainOp)     \
    X(Add, "add", 2, 1, AddOp, kLeafOp)                      \
    X(Sub, "sub", 2, 1, SubOp, kLeafOp)                      \
    X(Mul, "mul", 2, 1, MulOp, kLeafOp)                      \
    X(Div, "div", 2, 1, DivOp, kLeafOp)                      \
    X(Pow, "pow", 2, 1, PowOp, kLibraryCallOp)               \
    X(Neg, "neg", 1, 1, NegOp, kPlainOp)                     \
    X(Abs, "abs", 1, 1, AbsOp, kPlainOp)                     \
    X(Sqrt, "sqrt", 1, 1, SqrtOp, kPlainOp)                  \
    X(DivIntegers, "", 2, 1, DivIntegersOp, kLeafOp | kPlannedOp)

enum class ExprOpKind : uint32_t {
#define KELVANE_X(kind, text, pops, pushes, functor, traits) kind,
    KELVANE_EXPR_OPS(KELVANE_X)
#undef KELVANE_X
};

struct ExprOpInfo {
    std::string_view text;
    int pops;
    int pushes;
    uint8_t traits;
};

inline constexpr ExprOpInfo kExprOpInfo[] = {
#define KELVANE_X(kind, text, pops, pushes, functor, traits) {text, pops, pushes, traits},
    KELVANE_EXPR_OPS(KELVANE_X)
#undef KELVANE_X
};

inline constexpr uint32_t kExprOpKindCount = sizeof(kExprOpInfo) / sizeof(kExprOpInfo[0]);

inline constexpr const ExprOpInfo& info_of(ExprOpKind kind) { return kExprOpInfo[static_cast<uint32_t>(kind)]; }

// One compiled instruction: its kind and a 32-bit operand (a band position for
// PushBand, a float's bits for PushScalar, unused otherwise).
struct ExprOp {
    ExprOpKind kind;
    uint32_t operand;

    uint32_t band() const { return operand; }
    float scalar() const { return std::bit_cast<float>(operand); }
};

inline constexpr int EVAL_STACK_SLOTS = 64;

// The functors: apply() on one float or on a vector of floats alike (a GCC
// vector of the including target's width), so that every path performs the
// same single-precision operation. Internal linkage: each CPU target's
// translation unit keeps its own copies, compiled for that target only.
namespace {

struct PushOp {  // in tiles: copies its operand into a slot
    template <class V> static V apply(V x) { return x; }
};
struct AddOp {
    template <class V> static V apply(V a, V b) { return a + b; }
};
struct SubOp {
    template <class V> static V apply(V a, V b) { return a - b; }
};
struct MulOp {
    template <class V> static V apply(V a, V b) { return a * b; }
};
struct DivOp {
    template <class V> static V apply(V a, V b) { return divide_with_epsilon(a, b); }
};
// Div where the planner has proven the operands integers that
// divide_integers_with_epsilon takes: the same quotient.
struct DivIntegersOp {
    template <class V> static V apply(V a, V b) { return divide_integers_with_epsilon(a, b); }
};
struct PowOp {  // the C library's powf, lane by lane
    template <class V>
    static V apply(V a, V b) {
        if constexpr (sizeof(V) == 4) {
            return ::powf(a, b);
        } else {
            V r;
            for (size_t k = 0; k < sizeof(V) / 4; ++k) r[k] = ::powf(a[k], b[k]);
            return r;
        }
    }
};
// Sign flips and clears touch the sign bit only, NaNs included.
struct NegOp {
    template <class V> static V apply(V x) {
        if constexpr (sizeof(V) == 4) {
            return std::bit_cast<float>(std::bit_cast<uint32_t>(x) ^ 0x80000000u);
        } else {
            typedef uint32_t Bits __attribute__((vector_size(sizeof(V))));  // the lanes as bits
            return (V)((Bits)x ^ 0x80000000u);
        }
    }
};
struct AbsOp {
    template <class V> static V apply(V x) {
        if constexpr (sizeof(V) == 4) {
            return std::bit_cast<float>(std::bit_cast<uint32_t>(x) & 0x7FFFFFFFu);
        } else {
            typedef uint32_t Bits __attribute__((vector_size(sizeof(V))));
            return (V)((Bits)x & 0x7FFFFFFFu);
        }
    }
};
// The square root of every lane of a vector, correctly rounded: defined by
// each wide target (frame/lanes_x86.inc, frame/lanes_neon.inc).
template <class V>
inline V sqrt_lanes(V x);

struct SqrtOp {  // correctly rounded in every instruction set
    template <class V> static V apply(V x) {
        if constexpr (sizeof(V) == 4) {
            return std::sqrt(x);
        } else {
            return sqrt_lanes(x);
        }
    }
};

// An operation's row as a type: its functor, stack effect and traits.
template <class Functor, int Pops, uint8_t Traits>
struct OpRow {
    using Op = Functor;
    static constexpr int kPops = Pops;
    static constexpr uint8_t kTraits = Traits;
};

// Calls fn(OpRow<...>{}) with the row of `kind`.
template <class Fn>
inline void with_op(ExprOpKind kind, Fn&& fn) {
    switch (kind) {
#define KELVANE_X(kind, text, pops, pushes, functor, traits) \
    case ExprOpKind::kind: fn(OpRow<functor, pops, traits>{}); break;
        KELVANE_EXPR_OPS(KELVANE_X)
#undef KELVANE_X
    }
}

}  // namespace

}  // namespace kelvane
