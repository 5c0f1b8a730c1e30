// The planner: lowering a program that cannot fail to tile operations, and
// building the tables of its library-call parts.
#include "expr/planner.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace kelvane {

namespace {

bool is_leaf_op(ExprOpKind kind) { return (info_of(kind).traits & kLeafOp) != 0; }

bool has_second_operand(ExprOpKind kind) { return info_of(kind).pops == 2; }

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
        if (!is_leaf_op(producer.kind) || !simple(producer.a) || !simple(producer.b)) continue;
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
        // A consumer reads a leaf as its only operand, or beside a slot, a
        // constant, a forward band or (both being of two bands) another leaf;
        // a library call reads none.
        const ExprOpInfo& reader = info_of(consumer->kind);
        bool evaluable = reader.pops == 1 && consumer->kind != TileOp::kLoad;
        if (is_leaf_op(consumer->kind)) {
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

// What the planner knows of a value: a multiple of 2^-fraction_bits (whole
// numbers 0, halves 1, ...) in [lo, hi], never -0 unless minus_zero, every
// operation that made it exact (|lo|, |hi| <= 2^(24 - fraction_bits)); or
// nothing (known false). Divisions of such values may go through
// divide_integers_with_epsilon (divides_integers).
struct ExactRange {
    bool known = false;
    int fraction_bits = 0;
    double lo = 0.0, hi = 0.0;
    bool minus_zero = false;
};

// Finer steps gain nothing on sums of bands, whose scaled magnitude would pass
// 2^18; 8 keeps the epsilon below half a unit in the last place of the
// smallest divisor, 2^-8.
constexpr int kMostFractionBits = 8;

// Whether every operation that made a value of this magnitude and step was exact.
bool exact(double magnitude, int fraction_bits) {
    return fraction_bits <= kMostFractionBits && std::ldexp(magnitude, fraction_bits) <= 16777216.0;  // 2^24
}

ExactRange range_of_band() { return ExactRange{true, 0, 0.0, 65535.0, false}; }

ExactRange range_of_scalar(float v) {
    for (int bits = 0; bits <= kMostFractionBits; ++bits) {
        const double scaled = std::ldexp(static_cast<double>(v), bits);
        if (scaled == std::nearbyint(scaled)) {
            if (!exact(std::fabs(v), bits)) return {};
            return ExactRange{true, bits, v, v, std::signbit(v)};
        }
    }
    return {};  // NaNs and infinities land here too
}

ExactRange range_of(ExprOpKind kind, const ExactRange& x, const ExactRange& y) {
    if (!x.known || (info_of(kind).pops == 2 && !y.known)) return {};
    ExactRange r;
    const int steps = std::max(x.fraction_bits, y.fraction_bits);
    switch (kind) {
        case ExprOpKind::Add:  // -0 only as -0 + -0
            r = ExactRange{true, steps, x.lo + y.lo, x.hi + y.hi, x.minus_zero && y.minus_zero};
            break;
        case ExprOpKind::Sub:  // -0 only as -0 - +0
            r = ExactRange{true, steps, x.lo - y.hi, x.hi - y.lo, x.minus_zero};
            break;
        case ExprOpKind::Mul: {
            // -0 only as a zero times a factor of the other sign (these
            // products are never small enough to underflow).
            const double corners[] = {x.lo * y.lo, x.lo * y.hi, x.hi * y.lo, x.hi * y.hi};
            auto may_be_zero = [](const ExactRange& v) { return v.lo <= 0.0 && v.hi >= 0.0; };
            const bool minus_zero = x.minus_zero || y.minus_zero || (may_be_zero(x) && y.lo < 0.0) ||
                                    (may_be_zero(y) && x.lo < 0.0);
            r = ExactRange{true, x.fraction_bits + y.fraction_bits, *std::min_element(corners, corners + 4),
                           *std::max_element(corners, corners + 4), minus_zero};
            break;
        }
        case ExprOpKind::Neg: r = ExactRange{true, x.fraction_bits, -x.hi, -x.lo, x.lo <= 0.0}; break;
        case ExprOpKind::Abs:
            r = ExactRange{true, x.fraction_bits, x.lo >= 0.0 ? x.lo : x.hi <= 0.0 ? -x.hi : 0.0,
                           std::max(-x.lo, x.hi), false};
            break;
        default: return {};
    }
    if (!exact(std::max(-r.lo, r.hi), r.fraction_bits)) return {};
    return r;
}

// Div of values that divide_integers_with_epsilon takes: whole numbers as
// base/numeric.hpp allows, or (halves, quarters, ...) values that scaled to
// whole numbers are at most 2^18, the divisor never 0; docs/numerics.md
// proves the quotient correctly rounded for both.
bool divides_integers(const ExactRange& a, const ExactRange& b) {
    if (!a.known || !b.known || a.minus_zero) return false;
    const double largest = std::max({-a.lo, a.hi, b.hi});
    const int fraction_bits = std::max(a.fraction_bits, b.fraction_bits);
    if (fraction_bits == 0) return largest <= kLargestDividedInteger && b.lo >= 0.0;
    return b.lo > 0.0 && std::ldexp(largest, fraction_bits) <= kLargestScaledDividedInteger;
}

}  // namespace

TilePlan plan_tiles(const ExprContext& program, bool down, bool tables) {
    TilePlan result;
    std::vector<TileOp>& plan = result.ops;
    std::vector<TileOperand> stack;  // what each stack position holds
    // What each stack position's value was computed from: the plan's
    // operations from first_op on, reading `band` (kNoBand: constants only,
    // kBands: more than one band), calling the C library or not; and what is
    // known of the value's exactness.
    constexpr int64_t kNoBand = -1, kBands = -2;
    struct Inputs {
        size_t first_op;
        int64_t band;
        bool calls_library;
        ExactRange range;
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
        inputs[position] = Inputs{plan.size(), inputs[position].band, false, inputs[position].range};
        result.tables.push_back(std::move(table));
    };
    auto place = [&](TileOperand operand, uint32_t position) {
        // A band that cannot be read in place along the runs goes to a slot.
        if (operand.kind == TileOperand::Band) {
            const BandView& band = program.bands[operand.index];
            const int64_t step = down ? band.row_stride : band.col_stride;
            if (step != result.band_step && step != -kBandElementSize) {
                plan.push_back(TileOp{TileOp::kLoad, position, operand, {}});
                return TileOperand{TileOperand::Slot, position, 0.0f};
            }
        }
        return operand;
    };
    for (size_t i = 0; i < program.num_ops; ++i) {
        const ExprOp op = program.ops[i];
        const uint32_t depth = static_cast<uint32_t>(stack.size());
        const ExprOpInfo& info = info_of(op.kind);
        const bool library_call = (info.traits & kLibraryCallOp) != 0;
        if (op.kind == ExprOpKind::PushBand) {
            inputs.push_back(Inputs{plan.size(), op.band(), false, range_of_band()});
            stack.push_back(place(TileOperand{TileOperand::Band, op.band(), 0.0f}, depth));
        } else if (op.kind == ExprOpKind::PushScalar) {
            inputs.push_back(Inputs{plan.size(), kNoBand, false, range_of_scalar(op.scalar())});
            stack.push_back(TileOperand{TileOperand::Scalar, 0, op.scalar()});
        } else if (info.pops == 2) {
            const TileOperand b = stack[depth - 1], a = stack[depth - 2];
            const Inputs& x = inputs[depth - 2];
            const Inputs& y = inputs[depth - 1];
            const bool of_integers = op.kind == ExprOpKind::Div && divides_integers(x.range, y.range);
            plan.push_back(TileOp{of_integers ? ExprOpKind::DivIntegers : op.kind, depth - 2, a, b});
            stack.pop_back();
            stack.back() = TileOperand{TileOperand::Slot, depth - 2, 0.0f};
            const Inputs merged{x.first_op, either(x.band, y.band), x.calls_library || y.calls_library || library_call,
                                range_of(op.kind, x.range, y.range)};
            inputs.pop_back();
            inputs.back() = merged;
            if (tables && merged.calls_library && merged.band >= 0) tabulate(depth - 2);
        } else {
            plan.push_back(TileOp{op.kind, depth - 1, stack.back(), {}});
            inputs.back().range = range_of(op.kind, inputs.back().range, {});
            stack.back() = TileOperand{TileOperand::Slot, depth - 1, 0.0f};
            inputs.back().calls_library = inputs.back().calls_library || library_call;
            if (tables && library_call && inputs.back().band >= 0) tabulate(depth - 1);
        }
    }
    // The result is the bottom of the stack: make sure it is in slot 0.
    if (!stack.empty() && stack[0].kind != TileOperand::Slot) plan.push_back(TileOp{TileOp::kLoad, 0, stack[0], {}});
    fuse_leaves(result, program, down);
    return result;
}

int64_t pixel_cost(const TileOp* ops, size_t size) {
    int64_t library_calls = 0;
    for (size_t i = 0; i < size; ++i) library_calls += (info_of(ops[i].kind).traits & kLibraryCallOp) != 0;
    return 1 + static_cast<int64_t>(size / 4) + 30 * library_calls;
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
