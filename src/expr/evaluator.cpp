// The per-pixel stack machine, and the check that decides when a program may
// run a tile at a time instead.
#include "expr/evaluator.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>


namespace kelvane {
namespace {

inline float load_sample(const BandView& band, int64_t row, int64_t col) {
    uint16_t v;
    std::memcpy(&v, band.data + row * band.row_stride + col * band.col_stride, sizeof v);
    return static_cast<float>(v);
}

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
        const int pops = kExprOpInfo[static_cast<uint32_t>(op.kind)].pops;
        if (d < static_cast<size_t>(pops)) underflow(d, pops);
        switch (op.kind) {
            case ExprOpKind::PushBand: {
                const uint32_t k = op.band();
                if (k >= program.num_bands) panic(index_out_of_bounds(program.num_bands, k));
                const BandView& band = program.bands[k];
                if (row >= band.rows || col >= band.cols) panic("ndarray: index out of bounds");
                if (d >= EVAL_STACK_SLOTS) panic(index_out_of_bounds(EVAL_STACK_SLOTS, d));
                slot[d++] = load_sample(band, row, col);
                break;
            }
            case ExprOpKind::PushScalar:
                if (d >= EVAL_STACK_SLOTS) panic(index_out_of_bounds(EVAL_STACK_SLOTS, d));
                slot[d++] = op.scalar();
                break;
            case ExprOpKind::Add: slot[d - 2] = slot[d - 2] + slot[d - 1]; --d; break;
            case ExprOpKind::Sub: slot[d - 2] = slot[d - 2] - slot[d - 1]; --d; break;
            case ExprOpKind::Mul: slot[d - 2] = slot[d - 2] * slot[d - 1]; --d; break;
            case ExprOpKind::Div: {
                const float divisor = slot[d - 1] + DENOM_EPSILON;
                slot[d - 2] = slot[d - 2] / divisor;
                --d;
                break;
            }
            case ExprOpKind::Pow: slot[d - 2] = ::powf(slot[d - 2], slot[d - 1]); --d; break;
            case ExprOpKind::Neg:
                slot[d - 1] = std::bit_cast<float>(std::bit_cast<uint32_t>(slot[d - 1]) ^ 0x80000000u);
                break;
            case ExprOpKind::Abs:
                slot[d - 1] = std::bit_cast<float>(std::bit_cast<uint32_t>(slot[d - 1]) & 0x7FFFFFFFu);
                break;
            case ExprOpKind::Sqrt: slot[d - 1] = std::sqrt(slot[d - 1]); break;
        }
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
        const ExprOpInfo& info = kExprOpInfo[static_cast<uint32_t>(op.kind)];
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

namespace {

bool is_arithmetic(TileOp::Kind kind) {
    return kind == TileOp::Add || kind == TileOp::Sub || kind == TileOp::Mul || kind == TileOp::Div;
}

bool has_second_operand(TileOp::Kind kind) { return is_arithmetic(kind) || kind == TileOp::Pow; }

bool is_forward_band(const ExprContext& program, const TileOperand& operand, bool down, int64_t band_step) {
    if (operand.kind != TileOperand::Band) return false;
    const BandView& band = program.bands[operand.index];
    return (down ? band.row_stride : band.col_stride) == band_step;
}

// Turns each arithmetic operation of forward bands and constants into a leaf of
// the operation that reads its slot, where the evaluator can compute it: a
// unary operation, or an arithmetic one whose other operand is a slot, a
// constant, a forward band or (both being of two bands) another leaf.
void fuse_leaves(TilePlan& result, const ExprContext& program, bool down) {
    std::vector<TileOp>& plan = result.ops;
    auto simple = [&](const TileOperand& x) {
        return x.kind == TileOperand::Scalar || is_forward_band(program, x, down, result.band_step);
    };
    auto of_two_bands = [](const TileLeaf& leaf) {
        return leaf.a.kind == TileOperand::Band && leaf.b.kind == TileOperand::Band;
    };
    std::vector<bool> fused(plan.size(), false);
    result.leaves.reserve(plan.size());
    for (size_t i = 0; i < plan.size(); ++i) {
        const TileOp& producer = plan[i];
        if (!is_arithmetic(producer.kind) || !simple(producer.a) || !simple(producer.b)) continue;
        if (producer.a.kind == TileOperand::Scalar && producer.b.kind == TileOperand::Scalar) continue;
        // The value's reader: the first later operation that reads its slot,
        // unless one writes the slot before.
        TileOp* consumer = nullptr;
        TileOperand* read = nullptr;
        auto reads = [&](const TileOperand& x) { return x.kind == TileOperand::Slot && x.index == producer.dst; };
        for (size_t j = i + 1; j < plan.size(); ++j) {
            TileOp& op = plan[j];
            if (reads(op.a)) {
                read = &op.a;
            } else if (has_second_operand(op.kind) && reads(op.b)) {
                read = &op.b;
            } else if (op.dst == producer.dst) {
                break;
            }
            if (read) {
                consumer = &op;
                break;
            }
        }
        if (!read) continue;
        const TileLeaf leaf{producer.kind, producer.a, producer.b};
        bool evaluable = consumer->kind == TileOp::Neg || consumer->kind == TileOp::Abs || consumer->kind == TileOp::Sqrt;
        if (is_arithmetic(consumer->kind)) {
            const TileOperand& other = read == &consumer->a ? consumer->b : consumer->a;
            evaluable = other.kind == TileOperand::Leaf
                            ? of_two_bands(leaf) && of_two_bands(result.leaves[other.index])
                            : other.kind == TileOperand::Slot || simple(other);
        }
        if (!evaluable) continue;
        *read = TileOperand{TileOperand::Leaf, static_cast<uint32_t>(result.leaves.size()), 0.0f};
        result.leaves.push_back(leaf);
        fused[i] = true;
    }
    size_t kept = 0;
    for (size_t i = 0; i < plan.size(); ++i) {
        if (!fused[i]) plan[kept++] = plan[i];
    }
    plan.resize(kept);
}

}  // namespace

TilePlan plan_tiles(const ExprContext& program, bool down, bool tables) {
    TilePlan result;
    std::vector<TileOp>& plan = result.ops;
    std::vector<TileOperand> stack;  // what each stack position holds
    // What each stack position's value was computed from: the plan's
    // operations from first_op on, reading `band` (kNoBand: constants only,
    // kBands: more than one band), calling powf or not.
    constexpr int64_t kNoBand = -1, kBands = -2;
    struct Inputs {
        size_t first_op;
        int64_t band;
        bool calls_powf;
    };
    std::vector<Inputs> inputs;
    bool every_other = program.num_bands > 0;
    for (size_t k = 0; k < program.num_bands; ++k) {
        const BandView& band = program.bands[k];
        every_other = every_other && (down ? band.row_stride : band.col_stride) == 2 * kBandElementSize;
    }
    if (every_other) result.band_step = 2 * kBandElementSize;
    // Sized once: this runs on every call, and a tiny grid costs less than a few reallocations.
    plan.reserve(2 * program.num_ops);
    stack.reserve(program.num_ops);
    inputs.reserve(program.num_ops);
    auto either = [](int64_t x, int64_t y) { return x == kNoBand ? y : y == kNoBand ? x : x == y ? x : kBands; };
    // Moves the operations that computed the value at `position` into a table.
    auto tabulate = [&](uint32_t position) {
        TileTable table{static_cast<uint32_t>(inputs[position].band), {}, 1};
        auto local = [&](TileOperand& operand) {
            if (operand.kind == TileOperand::Slot) {
                operand.index -= position;
                table.depth = std::max(table.depth, static_cast<int>(operand.index) + 1);
            }
        };
        for (size_t i = inputs[position].first_op; i < plan.size(); ++i) {
            TileOp op = plan[i];
            op.dst -= position;
            table.depth = std::max(table.depth, static_cast<int>(op.dst) + 1);
            local(op.a);
            local(op.b);
            table.ops.push_back(op);
        }
        plan.resize(inputs[position].first_op);
        stack[position] = TileOperand{TileOperand::Table, static_cast<uint32_t>(result.tables.size()), 0.0f};
        inputs[position] = Inputs{plan.size(), inputs[position].band, false};
        result.tables.push_back(std::move(table));
    };
    auto place = [&](TileOperand operand, uint32_t position) {
        // A band that cannot be read in place along the runs goes to a slot.
        if (operand.kind == TileOperand::Band) {
            const BandView& band = program.bands[operand.index];
            const int64_t step = down ? band.row_stride : band.col_stride;
            if (step != result.band_step && step != -kBandElementSize) {
                plan.push_back(TileOp{TileOp::Load, position, operand, {}});
                return TileOperand{TileOperand::Slot, position, 0.0f};
            }
        }
        return operand;
    };
    for (size_t i = 0; i < program.num_ops; ++i) {
        const ExprOp op = program.ops[i];
        const uint32_t depth = static_cast<uint32_t>(stack.size());
        switch (op.kind) {
            case ExprOpKind::PushBand:
                inputs.push_back(Inputs{plan.size(), op.band(), false});
                stack.push_back(place(TileOperand{TileOperand::Band, op.band(), 0.0f}, depth));
                break;
            case ExprOpKind::PushScalar:
                inputs.push_back(Inputs{plan.size(), kNoBand, false});
                stack.push_back(TileOperand{TileOperand::Scalar, 0, op.scalar()});
                break;
            case ExprOpKind::Add:
            case ExprOpKind::Sub:
            case ExprOpKind::Mul:
            case ExprOpKind::Div:
            case ExprOpKind::Pow: {
                const TileOperand b = stack[depth - 1], a = stack[depth - 2];
                const auto kind = static_cast<TileOp::Kind>(TileOp::Add + (static_cast<int>(op.kind) -
                                                                           static_cast<int>(ExprOpKind::Add)));
                plan.push_back(TileOp{kind, depth - 2, a, b});
                stack.pop_back();
                stack.back() = TileOperand{TileOperand::Slot, depth - 2, 0.0f};
                const Inputs& x = inputs[depth - 2];
                const Inputs& y = inputs[depth - 1];
                const Inputs merged{x.first_op, either(x.band, y.band),
                                    x.calls_powf || y.calls_powf || kind == TileOp::Pow};
                inputs.pop_back();
                inputs.back() = merged;
                if (tables && merged.calls_powf && merged.band >= 0) tabulate(depth - 2);
                break;
            }
            case ExprOpKind::Neg:
            case ExprOpKind::Abs:
            case ExprOpKind::Sqrt: {
                const auto kind = static_cast<TileOp::Kind>(TileOp::Neg + (static_cast<int>(op.kind) -
                                                                           static_cast<int>(ExprOpKind::Neg)));
                plan.push_back(TileOp{kind, depth - 1, stack.back(), {}});
                stack.back() = TileOperand{TileOperand::Slot, depth - 1, 0.0f};
                break;
            }
        }
    }
    // The result is the bottom of the stack: make sure it is in slot 0.
    if (!stack.empty() && stack[0].kind != TileOperand::Slot) plan.push_back(TileOp{TileOp::Load, 0, stack[0], {}});
    fuse_leaves(result, program, down);
    return result;
}

namespace {

// Every uint16 sample value in order: the band a table is evaluated over.
BandView all_sample_values() {
    static const std::vector<uint16_t> values = [] {
        std::vector<uint16_t> v(kTableSize);
        for (int64_t i = 0; i < kTableSize; ++i) v[i] = static_cast<uint16_t>(i);
        return v;
    }();
    return BandView{reinterpret_cast<const std::byte*>(values.data()), 1, kTableSize, kTableSize * kBandElementSize,
                    kBandElementSize};
}

}  // namespace

PlanTables::PlanTables(const TilePlan& plan, size_t num_bands,
                       const std::function<void(const PixelZip& grid, const ExprContext& part)>& run) {
    const std::vector<BandView> sample_values(num_bands, all_sample_values());
    pointers.reserve(plan.tables.size());
    for (const TileTable& table : plan.tables) bands.push_back(table.band);
    for (const TileTable& table : plan.tables) {
        std::vector<float>& out = values.emplace_back(kTableSize);
        ExprContext part{nullptr, 0, sample_values.data(), sample_values.size()};
        part.max_depth = table.depth;
        part.plan = table.ops.data();
        part.plan_size = table.ops.size();
        part.tables = pointers.data();
        part.table_bands = bands.data();
        PixelZip grid = PixelZip::index_grid(1, kTableSize);
        grid.add(OutView{reinterpret_cast<std::byte*>(out.data()), 1, kTableSize, kTableSize * kOutElementSize,
                         kOutElementSize});
        run(grid, part);
        pointers.push_back(out.data());
    }
}

}  // namespace kelvane

namespace kelvane {

const ExprKernelTable& expr_kernels_for(SimdLevel level) {
    using namespace expr_targets;
    return table_for(level, kScalar, kSse2, kAvx2, kAvx512);
}

const ExprKernelTable& expr_kernels() {
    static const ExprKernelTable& table = expr_kernels_for(best_simd_level());
    return table;
}

}  // namespace kelvane
