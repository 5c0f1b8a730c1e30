// The one place where kelvane releases the interpreter lock.
#pragma once

#include "frame/traversal.hpp"

namespace kelvane {

// Runs every pixel of `zip` through `kernel`, with the interpreter lock released
// for the whole computation and re-taken before returning or rethrowing the
// kernel's failure.
void par_for_each_pixel(const PixelZip& zip, BlockFn kernel, const void* context, KernelTraits traits);

}  // namespace kelvane
