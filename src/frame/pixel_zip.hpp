// PixelZip: several same-shaped strided views (and optionally the grid's own
// coordinates) walked in lockstep; its layout classification, how a block is
// cut in two, and the walk order inside a block. No Python types.
#pragma once

#include "base/errors.hpp"
#include "base/views.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>

namespace kelvane {

// How many leading elements of a unit-stride run (elements of `size` bytes,
// `step` bytes apart) come before the first one at a multiple of `boundary`
// bytes; 0 for other runs. Tile grids and cuts start there, so that their
// runs are aligned for streaming stores or cover whole cache lines.
inline int64_t elements_before_boundary(const std::byte* first, int64_t step, int64_t size, int64_t boundary) {
    const auto address = static_cast<int64_t>(reinterpret_cast<uintptr_t>(first) % static_cast<uintptr_t>(boundary));
    if (step != size || address % size != 0) return 0;
    return (boundary - address) % boundary / size;
}

enum LayoutFlags : uint8_t {
    kCContiguous = 1,
    kFContiguous = 2,
    kCPreferred = 4,
    kFPreferred = 8,
    kAllLayoutFlags = 15,
};

inline int layout_tendency_of(uint8_t flags) {
    return ((flags & kCContiguous) ? 1 : 0) - ((flags & kFContiguous) ? 1 : 0) +
           ((flags & kCPreferred) ? 1 : 0) - ((flags & kFPreferred) ? 1 : 0);
}

// Layout of one strided view; strides and element size in bytes.
uint8_t layout_flags_of(int64_t rows, int64_t cols, int64_t row_stride, int64_t col_stride,
                        int64_t element_size);

struct ZipPart {
    std::byte* data;  // element (0, 0) of the block
    int64_t row_stride;
    int64_t col_stride;
    int64_t element_size;
};

struct PixelZip {
    static constexpr int kMaxParts = 4;
    ZipPart parts[kMaxParts] = {};
    int num_parts = 0;
    // With an index grid, the kernel also learns each position in whole-grid
    // coordinates; grid_row/grid_col are the block's first position.
    bool has_index_grid = false;
    int64_t grid_row = 0;
    int64_t grid_col = 0;
    int64_t rows = 0;
    int64_t cols = 0;
    uint8_t layout = kAllLayoutFlags;
    int layout_tendency = 0;

    // Starts a zip over the grid's coordinates (no flags, tendency 0).
    static PixelZip index_grid(int64_t rows, int64_t cols);
    static PixelZip of(const OutView& out);
    void add(const OutView& v) { add_part(v.data, v.rows, v.cols, v.row_stride, v.col_stride, kOutElementSize); }
    void add(const BandView& v) {
        add_part(const_cast<std::byte*>(v.data), v.rows, v.cols, v.row_stride, v.col_stride, kBandElementSize);
    }

    int64_t size() const { return rows * cols; }

    // The two halves of a cut: where and along which axis. The cut falls in
    // the middle, or, when `free_cut` (a kernel that cannot fail, for which
    // where it falls leaves no trace), `first_share` 32nds of the way along,
    // and when the cut goes across the first part's runs, near there where
    // its first run crosses a cache-line boundary: with runs a whole number
    // of cache lines apart, the halves then share no cache line of that part.
    static constexpr int kEvenShare = 16;  // of 32: the middle
    void split(PixelZip& first, PixelZip& second, bool free_cut = false, int first_share = kEvenShare) const;

private:
    void add_part(std::byte* data, int64_t rows, int64_t cols, int64_t row_stride, int64_t col_stride,
                  int64_t element_size);
};

// Which way the runs of a strided region go: along rows when its elements
// are closer together along a row than down a column (ties count as rows),
// else along columns. A region of one row or one column has no say. This is
// the one orientation rule; combining regions tells whether they agree.
enum class Runs : uint8_t { Either, AlongRows, AlongColumns, Mixed };

inline Runs runs_of(int64_t rows, int64_t cols, int64_t row_stride, int64_t col_stride) {
    if (rows < 2 || cols < 2) return Runs::Either;
    const int64_t rs = row_stride < 0 ? -row_stride : row_stride;
    const int64_t cs = col_stride < 0 ? -col_stride : col_stride;
    return cs <= rs ? Runs::AlongRows : Runs::AlongColumns;
}

template <class Byte>
inline Runs runs_of(const StridedView<Byte>& v) {
    return runs_of(v.rows, v.cols, v.row_stride, v.col_stride);
}

inline Runs combine(Runs a, Runs b) {
    if (a == Runs::Either) return b;
    if (b == Runs::Either || a == b) return a;
    return Runs::Mixed;
}

// Whether regions that agree run along rows (true) or along columns (false);
// empty when they disagree or none has a say.
inline std::optional<bool> along_rows(Runs runs) {
    if (runs == Runs::AlongRows) return true;
    if (runs == Runs::AlongColumns) return false;
    return std::nullopt;
}

// Mirrors every view along the axes on which all of them step backwards (all
// of them [::-1, ::-1] views, say): that pairs the same output pixel with the
// same band pixels and turns the walk into memory order. The walk order is
// then another one, so the caller may ask for this only for kernels that
// cannot fail; the rest of the condition is checked here: views of one shape,
// and an output that shares no memory with a band.
inline void walk_forwards(OutView& out, BandView* bands, size_t num_bands) {
    bool rows = out.rows > 1 && out.row_stride < 0;
    bool cols = out.cols > 1 && out.col_stride < 0;
    for (size_t k = 0; k < num_bands; ++k) {
        const BandView& v = bands[k];
        if (v.rows != out.rows || v.cols != out.cols) return;
        rows = rows && v.row_stride < 0;
        cols = cols && v.col_stride < 0;
    }
    if (!(rows || cols) || output_overlaps_bands(out, bands, num_bands)) return;
    auto mirror = [&](auto& v) {
        if (rows) {
            v.data += (v.rows - 1) * v.row_stride;
            v.row_stride = -v.row_stride;
        }
        if (cols) {
            v.data += (v.cols - 1) * v.col_stride;
            v.col_stride = -v.col_stride;
        }
    };
    mirror(out);
    for (size_t k = 0; k < num_bands; ++k) mirror(bands[k]);
}

// One run of pixels, the innermost loop of a walk: n positions, each part
// advancing by its stride (in bytes). For a zip with an index grid, the run
// starts at whole-grid position (row, col) and goes down a column when
// `down` is set, else along a row.
struct PixelRun {
    int64_t n;
    std::byte* data[PixelZip::kMaxParts];
    int64_t stride[PixelZip::kMaxParts];
    int64_t row;
    int64_t col;
    bool down;
};

// Walks one block: one flat run if every part shares a contiguity, else column
// by column when the zip leans to column order, else row by row.
template <class RunFn>
inline void walk_block(const PixelZip& z, RunFn&& run_fn) {
    if (z.rows == 0 || z.cols == 0) return;
    PixelRun run{};
    if (z.layout & (kCContiguous | kFContiguous)) {
        run.n = z.rows * z.cols;
        for (int p = 0; p < z.num_parts; ++p) {
            run.data[p] = z.parts[p].data;
            run.stride[p] = z.parts[p].element_size;
        }
        run.row = z.grid_row;
        run.col = z.grid_col;
        run.down = false;
        run_fn(run);
        return;
    }
    const bool by_columns = z.layout_tendency < 0;
    const int64_t outer = by_columns ? z.cols : z.rows;
    run.n = by_columns ? z.rows : z.cols;
    run.down = by_columns;
    for (int p = 0; p < z.num_parts; ++p) {
        run.stride[p] = by_columns ? z.parts[p].row_stride : z.parts[p].col_stride;
    }
    for (int64_t k = 0; k < outer; ++k) {
        for (int p = 0; p < z.num_parts; ++p) {
            const ZipPart& part = z.parts[p];
            run.data[p] = part.data + k * (by_columns ? part.col_stride : part.row_stride);
        }
        run.row = z.grid_row + (by_columns ? 0 : k);
        run.col = z.grid_col + (by_columns ? k : 0);
        run_fn(run);
    }
}

// How the parts of a block run together: Mixed when they disagree on which
// axis is contiguous in memory (a column-major output with row-major bands,
// say), so that any single walk order strides through one of them a whole row
// or column at a time. From part `first` on (1: the bands only).
inline Runs runs_of_parts(const PixelZip& z, int first = 0) {
    Runs runs = Runs::Either;
    for (int p = first; p < z.num_parts; ++p) {
        runs = combine(runs, runs_of(z.rows, z.cols, z.parts[p].row_stride, z.parts[p].col_stride));
    }
    return runs;
}

// The views of a block's parts: part 0 the output, the others bands.
inline OutView output_of(const PixelZip& z) {
    return OutView{z.parts[0].data, z.rows, z.cols, z.parts[0].row_stride, z.parts[0].col_stride};
}

// True when the memory that part 0 (the output) can touch in this block
// overlaps that of another part: then only the walk order itself keeps the
// result defined, and it must not be changed.
inline bool output_overlaps_inputs(const PixelZip& z) {
    BandView bands[PixelZip::kMaxParts];
    for (int p = 1; p < z.num_parts; ++p) {
        bands[p - 1] = BandView{z.parts[p].data, z.rows, z.cols, z.parts[p].row_stride, z.parts[p].col_stride};
    }
    return output_overlaps_bands(output_of(z), bands, static_cast<size_t>(z.num_parts - 1));
}

// Walks a block square tile by square tile. Only for kernels that cannot fail
// and whose output overlaps no input: for them the order of pixels leaves no
// trace, and tiles keep both orientations' memory close together. Squares of
// 64: a first choice for bands that disagree among themselves, a layout no
// benchmark times.
template <class RunFn>
inline void walk_block_in_tiles(const PixelZip& z, RunFn&& run_fn) {
    constexpr int64_t kTileSide = 64;
    for (int64_t r0 = 0; r0 < z.rows; r0 += kTileSide) {
        for (int64_t c0 = 0; c0 < z.cols; c0 += kTileSide) {
            PixelZip tile = z;
            tile.rows = z.rows - r0 < kTileSide ? z.rows - r0 : kTileSide;
            tile.cols = z.cols - c0 < kTileSide ? z.cols - c0 : kTileSide;
            tile.grid_row += r0;
            tile.grid_col += c0;
            for (int p = 0; p < z.num_parts; ++p) {
                tile.parts[p].data += r0 * z.parts[p].row_stride + c0 * z.parts[p].col_stride;
            }
            walk_block(tile, run_fn);
        }
    }
}

// A kernel over whole blocks; `context` holds what the kernel captured.
using BlockFn = void (*)(const PixelZip& block, const void* context);

}  // namespace kelvane
