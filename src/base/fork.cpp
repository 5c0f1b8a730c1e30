// Counting forks.
#include "base/fork.hpp"
#include "base/platform.hpp"

#include <atomic>

namespace kelvane {
namespace {

std::atomic<uint64_t> g_fork_generation{0};

void on_fork_child() { g_fork_generation.fetch_add(1, std::memory_order_relaxed); }

}  // namespace

uint64_t fork_generation() { return g_fork_generation.load(std::memory_order_relaxed); }

void watch_forks() {
    static bool installed = false;
    if (!installed) {
        platform::call_in_forked_children(&on_fork_child);
        installed = true;
    }
}

}  // namespace kelvane
