// How a call runs a program: per pixel or in tiles, along the output or
// transposed, streamed or not. A pure function of the program and the views,
// which the native checks call directly.
#pragma once

#include "expr/program.hpp"
#include "frame/pixel_zip.hpp"

#include <vector>

namespace kelvane {

struct ExprPath {
    // Per pixel, on the stack machine in cut order, unless the program cannot
    // fail on this grid and the output shares no memory with a band: then a
    // tile at a time (the order of pixels then leaves no trace).
    bool tiles = false;
    // Tiles along the bands, written through a transposing buffer: every band
    // runs across the output (a column-major output of row-major bands).
    bool transposed = false;
    bool runs_down = false;  // the tiles' runs (and the plan's) go down columns
    bool streaming = false;  // streams_output()
    int max_depth = 0;       // the deepest the stack goes (cannot_fail)
    // The views as the kernels read them: for tiles, mirrored along the axes
    // on which all of them step backwards (walk_forwards).
    OutView out;
    std::vector<BandView> bands;
    // The grid to traverse (index grid, output), leaning the way it should be cut.
    PixelZip zip;

    // The block kernel of this path, from `tiles_table` for tiles.
    BlockFn kernel(const struct ExprKernelTable& tiles_table) const;
};

ExprPath choose_expr_path(const ExprOp* ops, size_t num_ops, OutView out, std::vector<BandView> bands);

}  // namespace kelvane
