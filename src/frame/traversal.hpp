// Parallel pixel traversal: cuts the grid into blocks and runs a block kernel
// over them on the worker pool.
#pragma once

#include "frame/pixel_zip.hpp"
#include "frame/worker_pool.hpp"

namespace kelvane {

// Runs `kernel` over every block of `zip` on `pool` and waits for all of them.
// Returns the failure of the first failing block in cut order, if any. Runs
// without the interpreter lock; never throws.
TaskOutcome traverse(WorkerPool& pool, const PixelZip& zip, BlockFn kernel, const void* context) noexcept;

// Grids of at most this many pixels are walked on the calling thread, block by
// block in the same cut order: waking a worker costs more than the work.
inline constexpr int64_t kCallingThreadPixels = 32 * 1024;

// Runs every pixel of `zip` through `kernel`, with the interpreter lock released
// for the whole computation and re-taken before returning or rethrowing the
// kernel's failure. The one place where kelvane releases the lock.
void par_for_each_pixel(const PixelZip& zip, BlockFn kernel, const void* context);

}  // namespace kelvane
