// The Windows part of base/platform.hpp: the processors of the process's
// affinity, thread ids, threads of the native API, standard error; Windows
// processes are not forked; pages of machine code.
#include "base/platform.hpp"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <process.h>

#include <cstring>

namespace kelvane::platform {
namespace {

struct ThreadStart {
    void (*body)(void*);
    void* arg;
};

unsigned __stdcall run_thread(void* raw) {
    const ThreadStart start = *static_cast<ThreadStart*>(raw);
    delete static_cast<ThreadStart*>(raw);
    start.body(start.arg);
    return 0;
}

}  // namespace

int bind_to_processor(unsigned, unsigned) { return -1; }

int current_processor() { return -1; }

int runnable_threads() { return -1; }

unsigned available_processors() {
    DWORD_PTR process_mask = 0, system_mask = 0;
    unsigned n = 0;
    if (GetProcessAffinityMask(GetCurrentProcess(), &process_mask, &system_mask)) {
        for (; process_mask != 0; process_mask &= process_mask - 1) ++n;
    }
    // A process over several processor groups has a mask of 0 (the API
    // answers for one group only): the scheduler's count of all of them.
    if (n == 0) n = static_cast<unsigned>(GetActiveProcessorCount(ALL_PROCESSOR_GROUPS));
    return n;
}

unsigned long long current_thread_id() { return GetCurrentThreadId(); }

std::string start_detached_thread(void (*body)(void*), void* arg, size_t stack_bytes) {
    auto* start = new ThreadStart{body, arg};
    // The stack size is reserved, not committed: what the pthreads' stack size means.
    const uintptr_t handle = _beginthreadex(nullptr, static_cast<unsigned>(stack_bytes), &run_thread, start,
                                            STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (handle != 0) {
        CloseHandle(reinterpret_cast<HANDLE>(handle));  // detached: nobody joins a worker
        return {};
    }
    const unsigned long error = GetLastError();
    delete start;
    return "the system could not create a thread (os error " + std::to_string(error) + ")";
}

void write_to_stderr(const char* text, size_t size) {
    HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    if (err == nullptr || err == INVALID_HANDLE_VALUE) return;
    while (size > 0) {
        DWORD written = 0;
        const DWORD chunk = size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size);
        if (!WriteFile(err, text, chunk, &written, nullptr) || written == 0) return;
        text += written;
        size -= written;
    }
}

void call_in_forked_children(void (*)()) {}

void* map_machine_code(const void* code, size_t size, size_t function_table, unsigned functions) {
    void* memory = VirtualAlloc(nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (!memory) return nullptr;
    std::memcpy(memory, code, size);
    DWORD previous;
    if (!VirtualProtect(memory, size, PAGE_EXECUTE_READ, &previous)) {
        VirtualFree(memory, 0, MEM_RELEASE);
        return nullptr;
    }
    FlushInstructionCache(GetCurrentProcess(), memory, size);
    // Without its entries the unwinder would take the generated functions for
    // leaves and misread every frame above them.
    auto* table = reinterpret_cast<PRUNTIME_FUNCTION>(static_cast<BYTE*>(memory) + function_table);
    if (functions > 0 && !RtlAddFunctionTable(table, functions, reinterpret_cast<DWORD64>(memory))) {
        VirtualFree(memory, 0, MEM_RELEASE);
        return nullptr;
    }
    return memory;
}

void unmap_machine_code(void* memory, size_t, size_t function_table) {
    if (function_table > 0) {
        RtlDeleteFunctionTable(reinterpret_cast<PRUNTIME_FUNCTION>(static_cast<BYTE*>(memory) + function_table));
    }
    VirtualFree(memory, 0, MEM_RELEASE);
}

}  // namespace kelvane::platform
