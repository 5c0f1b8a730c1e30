// Cutting the grid and scheduling its blocks on the pool.
#include "frame/traversal.hpp"

#include <algorithm>

namespace kelvane {

uint8_t layout_flags_of(int64_t rows, int64_t cols, int64_t row_stride, int64_t col_stride,
                        int64_t element_size) {
    const int64_t len[2] = {rows, cols};
    const int64_t stride[2] = {row_stride, col_stride};
    auto contiguous = [&](bool last_axis_first) {
        if (rows == 0 || cols == 0) return true;
        int64_t expected = element_size;
        for (int k = 0; k < 2; ++k) {
            int axis = last_axis_first ? 1 - k : k;
            if (len[axis] == 1) continue;
            if (stride[axis] != expected) return false;
            expected *= len[axis];
        }
        return true;
    };
    const bool c = contiguous(true);
    if (c && (rows <= 1 || cols <= 1)) return kAllLayoutFlags;
    if (c) return kCContiguous | kCPreferred;
    if (contiguous(false)) return kFContiguous | kFPreferred;
    if (rows > 1 && row_stride == element_size) return kFPreferred;
    if (cols > 1 && col_stride == element_size) return kCPreferred;
    return 0;
}

PixelZip PixelZip::index_grid(int64_t rows, int64_t cols) {
    PixelZip z;
    z.has_index_grid = true;
    z.rows = rows;
    z.cols = cols;
    z.layout = 0;
    z.layout_tendency = 0;
    return z;
}

PixelZip PixelZip::of(const OutView& out) {
    PixelZip z;
    z.rows = out.rows;
    z.cols = out.cols;
    z.add(out);
    return z;
}

void PixelZip::add_part(std::byte* data, int64_t r, int64_t c, int64_t row_stride, int64_t col_stride,
                        int64_t element_size) {
    if (r != rows || c != cols || num_parts == kMaxParts) panic("assertion failed: part.equal_dim(dimension)");
    parts[num_parts++] = ZipPart{data, row_stride, col_stride, element_size};
    const uint8_t flags = layout_flags_of(r, c, row_stride, col_stride, element_size);
    layout &= flags;
    layout_tendency += layout_tendency_of(flags);
}

namespace {

// The cut nearest to `middle` (0 < cut < n) at which elements of `size` bytes,
// `step` bytes apart from `first`, start a cache line; `middle` if there is none.
int64_t cut_at_line_boundary(int64_t middle, int64_t n, const std::byte* first, int64_t step, int64_t size) {
    if (step != size || reinterpret_cast<uintptr_t>(first) % size != 0) return middle;
    const int64_t per_line = kCacheLineBytes / size;
    const int64_t lead = elements_before_boundary(first, step, size, kCacheLineBytes);
    const int64_t below = middle - ((middle - lead) % per_line + per_line) % per_line;
    int64_t best = middle, best_distance = n;
    for (const int64_t cut : {below, below + per_line}) {
        const int64_t distance = cut > middle ? cut - middle : middle - cut;
        if (cut > 0 && cut < n && distance < best_distance) {
            best = cut;
            best_distance = distance;
        }
    }
    return best;
}

}  // namespace

void PixelZip::split(PixelZip& first, PixelZip& second, bool free_cut, int first_share) const {
    bool cut_rows;  // cut between rows (the first axis), else between columns
    if (layout & kCContiguous) {
        cut_rows = rows > 1 || cols <= 1;
    } else if ((layout & kFContiguous) || layout_tendency < 0) {
        cut_rows = !(cols > 1) && rows > 1;
    } else {
        cut_rows = rows > 1 || cols <= 1;
    }
    first = *this;
    second = *this;
    const ZipPart* runs = free_cut && num_parts > 0 ? &parts[0] : nullptr;
    // The axis cut: its length and grid position in each half, and each part's stride along it.
    const int64_t length = cut_rows ? rows : cols;
    int64_t ZipPart::*stride = cut_rows ? &ZipPart::row_stride : &ZipPart::col_stride;
    const int64_t at = free_cut ? std::max<int64_t>(1, length * first_share / 32) : length / 2;
    const int64_t k = runs ? cut_at_line_boundary(at, length, runs->data, runs->*stride, runs->element_size) : at;
    (cut_rows ? first.rows : first.cols) = k;
    (cut_rows ? second.rows : second.cols) = length - k;
    (cut_rows ? second.grid_row : second.grid_col) += k;
    for (int p = 0; p < num_parts; ++p) second.parts[p].data += k * parts[p].*stride;
}

namespace {

// One half of a cut, as it is handed to the pool.
struct Half {
    WorkerPool* pool;  // null: every block runs on the calling thread
    BlockFn kernel;
    const void* context;
    PixelZip block;
    uint64_t budget;   // inherited split budget, before this half's own decision
    uint64_t workers;  // n, the pool's size
    int cutter;        // worker that cut it (-1: the calling thread)
    bool moved;        // known to run away from its cutter (the halves of the first cut)
    bool free_cut;     // the kernel cannot fail: cuts may move off the middle
    int64_t min_cut;   // blocks of fewer pixels are not cut (kernels that cannot fail)
};

void run_half(void* raw);

// Runs both halves as a fork-join pair; the first half's failure wins over the
// second's, and neither is reported before both have finished.
void run_pair(Half& first, Half& second) {
    TaskOutcome a, b;
    if (first.pool) {
        auto outcomes = first.pool->join(Task{&run_half, &first}, Task{&run_half, &second});
        a = std::move(outcomes.first);
        b = std::move(outcomes.second);
    } else {
        try { run_half(&first); } catch (Panic& p) { a = std::move(p); }
        try { run_half(&second); } catch (Panic& p) { b = std::move(p); }
    }
    if (a) throw std::move(*a);
    if (b) throw std::move(*b);
}

void run_half(void* raw) {
    Half& half = *static_cast<Half*>(raw);
    const bool moved = half.moved || (half.pool && half.pool->current_worker() != half.cutter);
    uint64_t budget = half.budget;
    bool cut;
    if (moved) {
        // Work that moved to another thread may be cut again for the idle workers.
        budget = std::max<uint64_t>(half.workers, budget / 2);
        cut = half.block.size() > 1;
    } else {
        cut = budget > 0 && half.block.size() > 1;
        budget /= 2;
    }
    if (!cut || half.block.size() < half.min_cut) {
        half.kernel(half.block, half.context);
        return;
    }
    const int self = half.pool ? half.pool->current_worker() : -1;
    Half first{half.pool, half.kernel, half.context, {}, budget, half.workers, self, false, half.free_cut,
               half.min_cut};
    Half second = first;
    half.block.split(first.block, second.block, half.free_cut);
    run_pair(first, second);
}

struct TopPair {
    Half* first;
    Half* second;
};

void run_top_pair(void* raw) {
    TopPair& pair = *static_cast<TopPair*>(raw);
    run_pair(*pair.first, *pair.second);
}

}  // namespace

TaskOutcome traverse(WorkerPool& pool, const PixelZip& zip, BlockFn kernel, const void* context,
                     KernelTraits traits) noexcept {
    try {
        const bool on_caller = zip.size() * traits.cost_per_pixel <= kCallingThreadWork;
        if (zip.size() <= 1 || (on_caller && !traits.can_fail)) {
            kernel(zip, context);
            return {};
        }
        const uint64_t n = pool.num_workers();
        const int64_t min_cut = traits.can_fail ? 0 : kSmallestCutWork / std::max<int64_t>(1, traits.cost_per_pixel);
        Half first{on_caller ? nullptr : &pool, kernel, context, {}, n / 2, n, -1, true, !traits.can_fail, min_cut};
        Half second = first;
        const int64_t work = zip.size() * traits.cost_per_pixel;
        const bool alongside = !on_caller && work < kHandOverWork;
        // With halves too small to be cut again, the caller cannot even out a
        // worker's late start by taking back part of its half.
        const bool one_cut = alongside && !traits.can_fail && zip.size() / 2 < min_cut;
        zip.split(first.block, second.block, !traits.can_fail, one_cut ? kCallerShare : PixelZip::kEvenShare);
        TopPair pair{&first, &second};
        if (on_caller) {
            run_top_pair(&pair);
            return {};
        }
        if (!alongside) return pool.run_and_wait(Task{&run_top_pair, &pair});
        return pool.run_alongside(Task{&run_top_pair, &pair}, work > kWakeWorkersWork);
    } catch (Panic& p) {
        return TaskOutcome(std::move(p));
    } catch (...) {
        return TaskOutcome(Panic("a traversal failed with a C++ exception that is not a panic"));
    }
}

}  // namespace kelvane
