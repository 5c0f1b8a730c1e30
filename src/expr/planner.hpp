// The planner: a program that cannot fail, lowered to tile operations, and
// the tables of its library-call parts.
#pragma once

#include "expr/program.hpp"
#include "frame/pixel_zip.hpp"

#include <functional>

namespace kelvane {

// Lowers a program that cannot fail into tile operations, for runs that go
// down columns (`down`) or along rows. A band whose samples are not adjacent
// along the runs (forwards or backwards) is copied into a slot first instead
// of being read in place, unless every band holds every other sample. With
// `tables`, the parts that call the C library with one band as their only
// input become tables.
TilePlan plan_tiles(const ExprContext& program, bool down, bool tables);

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

// What a pixel of a plan costs, in fixed-index pixels (the unit of the pool's
// work threshold): a tile operation about a quarter of one, a library call
// about 30.
int64_t pixel_cost(const TileOp* ops, size_t size);

}  // namespace kelvane
