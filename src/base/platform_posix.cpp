// The POSIX part of base/platform.hpp (Linux, macOS and other Unix systems):
// threads, standard error and forks.
#include "base/platform.hpp"

#include <cstring>
#include <pthread.h>
#include <unistd.h>

namespace kelvane::platform {
namespace {

struct ThreadStart {
    void (*body)(void*);
    void* arg;
};

void* run_thread(void* raw) {
    const ThreadStart start = *static_cast<ThreadStart*>(raw);
    delete static_cast<ThreadStart*>(raw);
    start.body(start.arg);
    return nullptr;
}

}  // namespace

std::string start_detached_thread(void (*body)(void*), void* arg, size_t stack_bytes) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, stack_bytes);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    auto* start = new ThreadStart{body, arg};
    pthread_t thread;
    const int error = pthread_create(&thread, &attr, &run_thread, start);
    pthread_attr_destroy(&attr);
    if (error == 0) return {};
    delete start;
    return std::string(std::strerror(error)) + " (os error " + std::to_string(error) + ")";
}

void write_to_stderr(const char* text, size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(STDERR_FILENO, text, size);
        if (n <= 0) return;
        text += n;
        size -= static_cast<size_t>(n);
    }
}

void call_in_forked_children(void (*in_child)()) { pthread_atfork(nullptr, nullptr, in_child); }

}  // namespace kelvane::platform
