// What the core asks of the operating system, one small file per system
// (CMake picks it by the target system): platform_linux.cpp with
// platform_posix.cpp on Linux, platform_apple.cpp with platform_posix.cpp on
// macOS and other Unix systems, platform_windows.cpp on Windows. Nothing else
// in src/ calls the system directly.
#pragma once

#include <cstddef>
#include <string>

namespace kelvane::platform {

// The processors this process may run on: its affinity mask and the CPU
// quota of its control groups on Linux, the scheduler's count elsewhere; 0
// when the system does not say.
unsigned available_processors();

// Binds the calling thread to the `index`-th processor of the process's
// affinity mask, when the mask has exactly `pool_size` processors: a pool with
// one worker per processor then keeps one on each, instead of two sharing one
// until the scheduler moves them apart. Otherwise (a CPU quota below the mask,
// systems other than Linux) does nothing. Returns the processor's number, or
// -1 when it did not bind the thread.
int bind_to_processor(unsigned index, unsigned pool_size);

// The number of the processor the calling thread runs on right now (it may
// move at any time), or -1 where the system does not say.
int current_processor();

// The number of threads of the whole system that run or wait for a processor
// right now, or -1 where the system does not say. Cheap enough for a worker
// to ask now and then (on Linux a read of the kernel's load average file, under
// a microsecond).
int runnable_threads();

// The calling thread's id, as the system's tools show it (for failure reports).
unsigned long long current_thread_id();

// Starts a detached thread running body(arg) on a stack of `stack_bytes`:
// pthreads where they exist, the native thread API on Windows. Returns ""
// or why the thread could not be started, with the system's error number.
std::string start_detached_thread(void (*body)(void*), void* arg, size_t stack_bytes);

// Writes all of [text, text + size) to standard error, in one call where the
// system allows, so that reports from several threads do not interleave.
void write_to_stderr(const char* text, size_t size);

// Copies `size` bytes of machine code into pages of their own, which are then
// made executable and never writable again; null when the system refuses
// (a policy against generated code, say). Where the system unwinds the stack
// through tables of functions (Windows x64), the `functions` RUNTIME_FUNCTION
// entries at byte `function_table` of the code are registered with it, so that
// exceptions, debuggers and profilers can walk through the generated
// functions; elsewhere there are none. Freed with unmap_machine_code, given
// the same `function_table`.
void* map_machine_code(const void* code, size_t size, size_t function_table, unsigned functions);
void unmap_machine_code(void* memory, size_t size, size_t function_table);

// Has `in_child` called in the child after every fork (nothing where
// processes are not forked).
void call_in_forked_children(void (*in_child)());

}  // namespace kelvane::platform
