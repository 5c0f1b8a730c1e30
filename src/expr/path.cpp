// Choosing how a call runs a program.
#include "expr/path.hpp"

#include "expr/reference.hpp"
#include "expr/tiles.hpp"

namespace kelvane {

ExprPath choose_expr_path(const ExprOp* ops, size_t num_ops, OutView out, std::vector<BandView> bands) {
    ExprPath path;
    ExprContext program{ops, num_ops, bands.data(), bands.size()};
    // Programs that can fail run pixel by pixel, so that failures and the
    // pixels written before them are exactly those of the stack machine. A
    // program that cannot fail runs a tile at a time, unless the output shares
    // memory with a band (through another buffer object): then only the
    // pixel-by-pixel order keeps the result defined.
    path.tiles = cannot_fail(program, out.rows, out.cols) && !output_overlaps_bands(out, bands.data(), bands.size());
    path.max_depth = program.max_depth;
    path.streaming = streams_output(out);
    if (path.tiles) walk_forwards(out, bands.data(), bands.size());
    path.zip = PixelZip::index_grid(out.rows, out.cols);
    path.zip.add(out);
    if (path.tiles) {
        // Tiles run along the output's walk, unless every band runs across
        // the output: then along the bands, through a transposing buffer.
        Runs band_runs = Runs::Either;
        for (const BandView& v : bands) band_runs = combine(band_runs, runs_of(v));
        const std::optional<bool> bands_along_rows = along_rows(band_runs);
        const std::optional<bool> out_along_rows = along_rows(runs_of(out));
        path.transposed = bands_along_rows && out_along_rows && *bands_along_rows != *out_along_rows;
        path.runs_down = path.transposed ? !*bands_along_rows : path.zip.layout_tendency < 0;
        // Transposing tiles want blocks of whole band lines, so the grid is
        // cut as the bands lean rather than as the output does. Where the cut
        // falls is seen only in failures, and these programs cannot fail.
        if (path.transposed) path.zip.layout_tendency = *bands_along_rows ? 2 : -2;
    }
    path.out = out;
    path.bands = std::move(bands);
    return path;
}

BlockFn ExprPath::kernel(const ExprKernelTable& tiles_table) const {
    if (!tiles) return &evaluate_block_per_pixel;
    return transposed ? tiles_table.evaluate_tiles_transposed : tiles_table.evaluate_tiles;
}

}  // namespace kelvane
