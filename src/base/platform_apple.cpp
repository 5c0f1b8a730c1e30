// The macOS part of base/platform.hpp (and that of other Unix systems that
// are not Linux): the scheduler's count of processors and the system's
// thread ids. Threads, standard error and forks are in platform_posix.cpp.
#include "base/platform.hpp"

#include <cstdint>
#include <pthread.h>
#include <unistd.h>

namespace kelvane::platform {

int bind_to_processor(unsigned, unsigned) { return -1; }

int current_processor() { return -1; }

int runnable_threads() { return -1; }

unsigned available_processors() {
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? static_cast<unsigned>(online) : 0;
}

unsigned long long current_thread_id() {
#if defined(__APPLE__)
    uint64_t id = 0;
    pthread_threadid_np(nullptr, &id);
    return id;
#else
    return static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(pthread_self()));
#endif
}

}  // namespace kelvane::platform
