// The two ways a failure travels inside kelvane, free of Python types so that
// code running without the interpreter lock can raise them.
//
//  * ErrorValue: an expected failure (bad argument, shape mismatch, unknown op).
//    Thrown up to the function's entry, where the call frame raises it as the
//    Python exception of its kind with its message.
//  * Panic: an internal failure (a refused hold, an evaluation out of bounds, a
//    missing worker pool). Its report goes to standard error when it is raised;
//    the call frame turns it into PanicException.
#pragma once

#include <source_location>
#include <string>
#include <utility>

namespace kelvane {

enum class ErrorKind { TypeError, ValueError, OverflowError, ImportError, RuntimeError, SystemError };

struct ErrorValue {
    ErrorKind kind;
    std::string message;
};

class Panic {
public:
    // Raising a panic writes its report to standard error at once, naming the
    // thread and the place where the invariant failed.
    explicit Panic(std::string message,
                   std::source_location where = std::source_location::current());

    // A panic that arrives already reported (a PanicException caught in Python and
    // handed back to us): no second report.
    static Panic resumed(std::string message) { return Panic(std::move(message), Quiet{}); }

    const std::string& message() const noexcept { return message_; }

private:
    struct Quiet {};
    Panic(std::string message, Quiet) : message_(std::move(message)) {}
    std::string message_;
};

[[noreturn]] inline void panic(std::string message,
                               std::source_location where = std::source_location::current()) {
    throw Panic(std::move(message), where);
}

// The bounds message shared by every indexed access that can fail.
std::string index_out_of_bounds(unsigned long long len, unsigned long long index);

// Writes a report in the panic format without raising anything, then aborts: for
// failures that cannot become an exception.
[[noreturn]] void abort_with_report(const char* message,
                                    std::source_location where = std::source_location::current());

}  // namespace kelvane
