// The POSIX part of base/platform.hpp (Linux, macOS and other Unix systems):
// threads, standard error, forks and pages of machine code.
#include "base/platform.hpp"

#include <cstring>
#include <pthread.h>
#include <sys/mman.h>
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

// The System V unwinder reads frame descriptions, which generated code does not
// need: no exception or cancellation passes through it.
void* map_machine_code(const void* code, size_t size, size_t, unsigned) {
    void* memory = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) return nullptr;
    std::memcpy(memory, code, size);
    if (mprotect(memory, size, PROT_READ | PROT_EXEC) != 0) {
        munmap(memory, size);
        return nullptr;
    }
    __builtin___clear_cache(static_cast<char*>(memory), static_cast<char*>(memory) + size);
    return memory;
}

void unmap_machine_code(void* memory, size_t size, size_t) { munmap(memory, size); }

}  // namespace kelvane::platform
