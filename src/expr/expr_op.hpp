// The band-math instruction set: one table gives the kind codes, the names that
// select them and their stack effect, so that compiler, evaluator and messages
// cannot drift apart.
#pragma once

#include <bit>
#include <cstdint>
#include <string_view>

namespace kelvane {

// X(kind, "type" text, values popped, values pushed)
#define KELVANE_EXPR_OPS(X)             \
    X(PushBand, "push_band", 0, 1)      \
    X(PushScalar, "push_scalar", 0, 1)  \
    X(Add, "add", 2, 1)                 \
    X(Sub, "sub", 2, 1)                 \
    X(Mul, "mul", 2, 1)                 \
    X(Div, "div", 2, 1)                 \
    X(Pow, "pow", 2, 1)                 \
    X(Neg, "neg", 1, 1)                 \
    X(Abs, "abs", 1, 1)                 \
    X(Sqrt, "sqrt", 1, 1)

enum class ExprOpKind : uint32_t {
#define KELVANE_X(kind, text, pops, pushes) kind,
    KELVANE_EXPR_OPS(KELVANE_X)
#undef KELVANE_X
};

struct ExprOpInfo {
    std::string_view text;
    int pops;
    int pushes;
};

inline constexpr ExprOpInfo kExprOpInfo[] = {
#define KELVANE_X(kind, text, pops, pushes) {text, pops, pushes},
    KELVANE_EXPR_OPS(KELVANE_X)
#undef KELVANE_X
};

inline constexpr uint32_t kExprOpKindCount = sizeof(kExprOpInfo) / sizeof(kExprOpInfo[0]);

// One compiled instruction: its kind and a 32-bit operand (a band position for
// PushBand, a float's bits for PushScalar, unused otherwise).
struct ExprOp {
    ExprOpKind kind;
    uint32_t operand;

    uint32_t band() const { return operand; }
    float scalar() const { return std::bit_cast<float>(operand); }
};

inline constexpr int EVAL_STACK_SLOTS = 64;

}  // namespace kelvane
