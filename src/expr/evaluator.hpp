// Evaluation of a compiled program over the output grid. No Python types.
#pragma once

#include "base/numeric.hpp"
#include "base/simd.hpp"
#include "expr/expr_op.hpp"
#include "frame/pixel_zip.hpp"

#include <cstddef>
#include <functional>
#include <optional>
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

// One step of a program evaluated a tile at a time. Pushes are not steps of
// their own: a band or constant is read where an operation consumes it, which
// spares writing it to a slot and reading it back. Each pixel still sees the
// same single-precision operations in the same order as on the stack machine.
struct TileOp {
    enum Kind : uint8_t { Load, Add, Sub, Mul, Div, Pow, Neg, Abs, Sqrt };
    Kind kind;
    uint32_t dst;  // slot written
    TileOperand a, b;
};

// An arithmetic operation (Add, Sub, Mul or Div) of two bands read forwards
// along the runs, or of such a band and a constant, computed inside the one
// operation that consumes its value: the value never goes through a slot, and
// the consumer's loop keeps the divider busy while the samples convert. Same
// operation on the same operands, so the same bits.
struct TileLeaf {
    TileOp::Kind kind;
    TileOperand a, b;
};

// A part of a program whose only input is one band and which calls powf:
// over a large grid it is cheaper to evaluate it once for each of the 65536
// sample values (the same operations on the same inputs, so the same bits)
// and to look the results up.
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

// A program's tables are built once it has evaluated its powf parts pixel by
// pixel over this many pixels, counting the call about to run; until then it
// evaluates every pixel.
inline constexpr int64_t kTablePixels = 4 << 16;
inline constexpr int64_t kTableSize = 1 << 16;

// What a running program reads; shared read-only by every worker of one call.
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
};

// The stack machine for one pixel: the reference semantics, failures included.
float evaluate_pixel(const ExprContext& program, int64_t row, int64_t col);

// Per-pixel block kernel (zip parts: index grid, output).
void evaluate_block_per_pixel(const PixelZip& block, const void* context);

// True when no pixel of an rows x cols output can fail: the stack never under-
// or overflows and every band read exists and covers the grid. Such programs
// may be evaluated a tile of pixels at a time.
bool cannot_fail(ExprContext& program, int64_t rows, int64_t cols);

// Lowers a program that cannot fail into tile operations, for runs that go
// down columns (`down`) or along rows. A band whose samples are not adjacent
// along the runs (forwards or backwards) is copied into a slot first instead
// of being read in place, unless every band holds every other sample. With
// `tables`, the parts that call powf with one band as their only input become
// tables.
TilePlan plan_tiles(const ExprContext& program, bool down, bool tables);

// Points `program` at the operations and leaves of `plan` (tables aside).
inline void use_plan(ExprContext& program, const TilePlan& plan) {
    program.plan = plan.ops.data();
    program.plan_size = plan.ops.size();
    program.leaves = plan.leaves.data();
    program.band_step = plan.band_step;
}

// The tables of a plan, each evaluated over every sample value in order (a
// table may look up the ones before it); `run` computes one grid with the
// tile evaluator.
struct PlanTables {
    std::vector<std::vector<float>> values;
    std::vector<const float*> pointers;  // for ExprContext::tables
    std::vector<uint32_t> bands;         // for ExprContext::table_bands

    PlanTables(const TilePlan& plan, size_t num_bands,
               const std::function<void(const PixelZip& grid, const ExprContext& part)>& run);
};

// Tile block kernels, one per CPU target (same bits as evaluate_pixel).
struct ExprKernelTable {
    const char* target;
    BlockFn evaluate_tiles;
    // For bands that all run across the output (a column-major output of
    // row-major bands): tiles go along the bands into a buffer, which is
    // then written along the output.
    BlockFn evaluate_tiles_transposed;
};

namespace expr_targets {
extern const ExprKernelTable kScalar, kSse2, kAvx2, kAvx512;
}

const ExprKernelTable& expr_kernels_for(SimdLevel level);
// The table used by the module: the widest the CPU offers.
const ExprKernelTable& expr_kernels();

}  // namespace kelvane
