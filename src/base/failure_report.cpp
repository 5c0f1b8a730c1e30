// Internal-failure reports on standard error.
#include "base/errors.hpp"
#include "base/platform.hpp"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace kelvane {
namespace {

std::atomic<bool> g_first_report_written{false};

void write_all(const std::string& text) {
    // One write per report, so that reports from several workers do not interleave.
    platform::write_to_stderr(text.data(), text.size());
}

void write_report(const std::string& message, const std::source_location& where) {
    // kelvane names none of its threads, nor does it know the names of Python's.
    std::string text = "thread '<unnamed>' (" + std::to_string(platform::current_thread_id()) +
                       ") panicked at " + where.file_name() + ":" + std::to_string(where.line()) +
                       ":" + std::to_string(where.column()) + ":\n" + message + "\n";
    if (!g_first_report_written.exchange(true, std::memory_order_relaxed)) {
        text += "note: this is an internal failure of kelvane's native code; it reaches Python as "
                "PanicException, whose traceback shows the call that failed\n";
    }
    write_all(text);
}

}  // namespace

Panic::Panic(std::string message, std::source_location where) : message_(std::move(message)) {
    write_report(message_, where);
}

std::string index_out_of_bounds(unsigned long long len, unsigned long long index) {
    return "index out of bounds: the len is " + std::to_string(len) + " but the index is " +
           std::to_string(index);
}

void abort_with_report(const char* message, std::source_location where) {
    write_report(message, where);
    std::abort();
}

}  // namespace kelvane
