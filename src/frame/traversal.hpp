// Parallel pixel traversal: cuts the grid into blocks and runs a block kernel
// over them on the worker pool.
#pragma once

#include "frame/pixel_zip.hpp"
#include "frame/worker_pool.hpp"

namespace kelvane {

// What the traversal needs to know about a kernel besides its code.
struct KernelTraits {
    // Whether the kernel can fail: then which pixels it has written when it
    // fails depends on the cut, so even small grids are walked block by block
    // in cut order. A kernel that cannot fail may walk a small grid whole,
    // and its cuts move to where they split no cache line of the output (as
    // far as the output's runs allow).
    bool can_fail;
    // Rough cost of one pixel relative to a fixed index (1).
    int64_t cost_per_pixel;
};

// Runs `kernel` over every block of `zip` on `pool` and waits for all of them.
// Returns the failure of the first failing block in cut order, if any. Runs
// without the interpreter lock; never throws.
TaskOutcome traverse(WorkerPool& pool, const PixelZip& zip, BlockFn kernel, const void* context,
                     KernelTraits traits) noexcept;

// Grids whose pixels cost at most this much are computed on the calling thread
// alone: a worker's share of a smaller grid is worth less than handing it over.
// Where that lies depends on the processor: on the 2-core Xeon VM (AVX-512, a
// fixed index at ~5 Gpixel/s on one thread) sharing wins from 144 x 144 up
// (256 x 256: 9.4 us shared, 12.5 alone; 128 x 128: 3.4 either way); on the
// 2-core EPYC VM (~8 Gpixel/s) 256 x 256 was even (6.5 to 10 us shared, 7.4
// to 8.1 alone) and 362 x 362 gained (11 to 13 against 14 to 16).
inline constexpr int64_t kCallingThreadWork = 16 * 1024;

// Grids with at least this much work (milliseconds of it) are handed to the
// workers whole while the calling thread sleeps: the hand-off is small against
// them, and after an OpenMP pool's parallel region (numba's), whose threads
// spin on for milliseconds, the workers then join in at once, where a
// calling thread working alongside would leave a worker aside (measured
// with the shared peers harness at 4096 x 4096). Smaller grids are computed
// by the calling thread alongside the workers.
inline constexpr int64_t kHandOverWork = 8 * 1024 * 1024;

// Grids with more work than this wake sleeping workers to help; smaller ones
// are shared only with workers that are awake (after a call, workers look for
// more work for a while), as a worker woken from its sleep arrives 10 to 30 us
// later on the 2-core VM, when the calling thread has done most of the work.
inline constexpr int64_t kWakeWorkersWork = 256 * 1024;

// The one cut of a call that the calling thread works alongside, when its
// halves are too small to be cut again, gives the caller this many 32nds of the
// grid (kernels that cannot fail): a worker starts on its share a microsecond
// or so later, once it has seen the work and taken it (a 256 x 256 fixed index
// on the Xeon VM, medians of 20,000 calls back to back: 7.7 us, against 8.1 in
// even halves and 8.1 at 18 32nds). Where the halves are cut again the caller
// evens out by taking back blocks, and an uneven first cut cost 2 to 3% at
// 362 x 362 and 512 x 512.
inline constexpr int kCallerShare = 17;

// A kernel that cannot fail has no block cut below this much work: each cut
// costs a fork and a join, and each block a start of the kernel's loops, more
// than a share this small gains in balance. On the 2-core Xeon VM, back to
// back, medians of 20,000 calls with 16 Ki, 64 Ki, 128 Ki and 256 Ki: a
// 256 x 256 fixed index 8.6, 8.1, 7.7 and 7.7 us (the last two cut once and
// unevenly, above), EVI 10.2, 9.0, 8.3 and 8.3; 362 x 362 14.8, 14.4, 14.0
// and 14.0; 512 x 512 27.8, 27.0, 26.7 and 27.0; 724 x 724 at 128 Ki 51.7,
// at 256 Ki 54. With no limit at all, 256 x 256 took 10 us on the EPYC VM,
// 7 with 16 Ki. A kernel that can fail keeps every cut the budget allows:
// which pixels a failing call leaves written follows from them.
inline constexpr int64_t kSmallestCutWork = 128 * 1024;

}  // namespace kelvane
