// Forks: process-wide state tells by the generation that the threads it knew
// about are gone.
#pragma once

#include <cstdint>

namespace kelvane {

// Incremented in a forked child (once watch_forks has run).
uint64_t fork_generation();

// Installs the handler that counts forks; idempotent. Called with the
// interpreter lock held, or before any other thread exists.
void watch_forks();

}  // namespace kelvane
