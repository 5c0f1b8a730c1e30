// The per-pixel stack machine, and the check that decides when a program may
// run a tile at a time instead.
#include "expr/reference.hpp"

#include <cstring>

namespace kelvane {
namespace {

// The slot a kind found missing: its deepest operand, as an unsigned word.
[[noreturn]] void underflow(size_t depth, int pops, std::source_location where = std::source_location::current()) {
    throw Panic(index_out_of_bounds(EVAL_STACK_SLOTS, static_cast<unsigned long long>(depth) -
                                                          static_cast<unsigned long long>(pops)),
                where);
}

}  // namespace

float evaluate_pixel(const ExprContext& program, int64_t row, int64_t col) {
    if (program.num_ops == 0) return 0.0f;
    float slot[EVAL_STACK_SLOTS] = {};
    size_t d = 0;
    for (size_t i = 0; i < program.num_ops; ++i) {
        const ExprOp op = program.ops[i];
        const int pops = info_of(op.kind).pops;
        if (d < static_cast<size_t>(pops)) underflow(d, pops);
        if (op.kind == ExprOpKind::PushBand) {
            const uint32_t k = op.band();
            if (k >= program.num_bands) panic(index_out_of_bounds(program.num_bands, k));
            const BandView& band = program.bands[k];
            if (row >= band.rows || col >= band.cols) panic("ndarray: index out of bounds");
            if (d >= EVAL_STACK_SLOTS) panic(index_out_of_bounds(EVAL_STACK_SLOTS, d));
            slot[d++] = sample_value(band.data + row * band.row_stride + col * band.col_stride);
            continue;
        }
        if (op.kind == ExprOpKind::PushScalar) {
            if (d >= EVAL_STACK_SLOTS) panic(index_out_of_bounds(EVAL_STACK_SLOTS, d));
            slot[d++] = op.scalar();
            continue;
        }
        with_op(op.kind, [&](auto row_of_op) {
            using Row = decltype(row_of_op);
            if constexpr (Row::kPops == 2) {
                slot[d - 2] = Row::Op::apply(slot[d - 2], slot[d - 1]);
                --d;
            } else if constexpr (Row::kPops == 1) {
                slot[d - 1] = Row::Op::apply(slot[d - 1]);
            }
        });
    }
    return slot[0];  // the bottom of the stack, whatever is left above it
}

void evaluate_block_per_pixel(const PixelZip& block, const void* context) {
    const ExprContext& program = *static_cast<const ExprContext*>(context);
    walk_block(block, [&](const PixelRun& run) {
        std::byte* out = run.data[0];
        for (int64_t i = 0; i < run.n; ++i) {
            const float value = evaluate_pixel(program, run.row + (run.down ? i : 0), run.col + (run.down ? 0 : i));
            std::memcpy(out + i * run.stride[0], &value, sizeof value);
        }
    });
}

bool cannot_fail(ExprContext& program, int64_t rows, int64_t cols) {
    int depth = 0;
    program.max_depth = 0;
    for (size_t i = 0; i < program.num_ops; ++i) {
        const ExprOp op = program.ops[i];
        const ExprOpInfo& info = info_of(op.kind);
        if (depth < info.pops) return false;
        depth -= info.pops;
        if (info.pushes > 0 && depth >= EVAL_STACK_SLOTS) return false;
        depth += info.pushes;
        if (depth > program.max_depth) program.max_depth = depth;
        if (op.kind == ExprOpKind::PushBand) {
            if (op.band() >= program.num_bands) return false;
            const BandView& band = program.bands[op.band()];
            if (band.rows < rows || band.cols < cols) return false;
        }
    }
    return true;
}

}  // namespace kelvane
