// A program as it runs: what every worker of a call reads, and the tile plan
// it is lowered to when it cannot fail. No Python types.
#pragma once

#include "base/views.hpp"
#include "expr/ops.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kelvane {

// Where a tile operation takes a value from: a stack slot, a band read in
// place, a constant, a table looked up by a band's samples, or a leaf
// operation computed where it is read.
struct TileOperand {
    enum Kind : uint8_t { Slot, Band, Scalar, Table, Leaf };
    Kind kind = Slot;
    uint32_t index = 0;  // slot position, band position, or entry of TilePlan::tables or ::leaves
    float value = 0.0f;
};

// One step of a program evaluated a tile at a time: an operation of the table
// in ops.hpp over whole tiles. Pushes are not steps of their own: a band or
// constant is read where an operation consumes it, which spares writing it to
// a slot and reading it back; a step of a push kind (kLoad) copies operand a
// into its slot. Each pixel still sees the same single-precision operations
// in the same order as on the stack machine.
struct TileOp {
    static constexpr ExprOpKind kLoad = ExprOpKind::PushBand;
    ExprOpKind kind;
    uint32_t dst;  // slot written
    TileOperand a, b;
};

// A leaf operation (kLeafOp) of two bands read forwards along the runs, or of
// such a band and a constant, computed inside the one operation that consumes
// its value: the value never goes through a slot, and the consumer's loop
// keeps the divider busy while the samples convert. Same operation on the
// same operands, so the same bits.
struct TileLeaf {
    ExprOpKind kind;
    TileOperand a, b;
};

// A part of a program whose only input is one band and which calls the C
// library (kLibraryCallOp): over a large grid it is cheaper to evaluate it
// once for each of the 65536 sample values (the same operations on the same
// inputs, so the same bits) and to look the results up.
struct TileTable {
    uint32_t band;
    std::vector<TileOp> ops;  // leave the value in slot 0 (slots counted from the value's own)
    int depth;                // slots the ops use
};

struct TilePlan {
    std::vector<TileOp> ops;  // leave the result in slot 0
    std::vector<TileTable> tables;
    std::vector<TileLeaf> leaves;
    // Bytes from one sample to the next of the bands read forwards in place:
    // adjacent samples, or every other one when all bands hold every other
    // sample along the runs (a [:, ::2] slice of each).
    int64_t band_step = kBandElementSize;
};

// A program's tables are built once it has evaluated its library-call parts
// pixel by pixel over this many pixels, counting the call about to run; until
// then it evaluates every pixel.
inline constexpr int64_t kTablePixels = 4 << 16;
inline constexpr int64_t kTableSize = 1 << 16;

// What a running program reads; shared read-only by every worker of one call.
class MachineCode;

struct ExprContext {
    const ExprOp* ops = nullptr;
    size_t num_ops = 0;
    const BandView* bands = nullptr;
    size_t num_bands = 0;
    int max_depth = 0;  // deepest stack the program reaches (set by cannot_fail)
    bool streaming_stores = false;  // streams_output()
    // The program as tile operations (plan_tiles); its result ends in slot 0.
    const TileOp* plan = nullptr;
    size_t plan_size = 0;
    bool plan_runs_down = false;  // the direction the plan was made for
    const TileLeaf* leaves = nullptr;
    int64_t band_step = kBandElementSize;  // TilePlan::band_step
    // For each entry of TilePlan::tables: its kTableSize values and its band.
    const float* const* tables = nullptr;
    const uint32_t* table_bands = nullptr;
    // The plan as machine code (expr/machine_code.hpp), which then computes
    // every tile in its place; null: the tile evaluator does.
    const MachineCode* code = nullptr;
};

// Points `program` at the operations and leaves of `plan` (tables aside).
inline void use_plan(ExprContext& program, const TilePlan& plan) {
    program.plan = plan.ops.data();
    program.plan_size = plan.ops.size();
    program.leaves = plan.leaves.data();
    program.band_step = plan.band_step;
}

}  // namespace kelvane
