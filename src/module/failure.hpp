// The failure model at the Python boundary: taking pending Python exceptions,
// and turning ErrorValue / PythonError / Panic into the exception Python sees.
#pragma once

#include "base/errors.hpp"
#include "module/py_ref.hpp"

#include <exception>
#include <new>
#include <string>

namespace kelvane {

// An exception that CPython or NumPy has already raised, carried unchanged.
struct PythonError {
    OwnedRef type, value, traceback;
    bool is_exactly(PyObject* exc_type) const { return type.get() == exc_type; }
};

// Takes the pending Python exception after a call reported failure. A
// PanicException coming back from Python is resumed as a panic.
[[noreturn]] void throw_pending_python_error();

// Takes (and clears) the pending Python exception as "Type: message", for the
// internal failures whose message describes the Python error behind them.
std::string take_pending_error_description();

// A CPython call that must return a new object returned none: print the pending
// exception, then fail internally.
[[noreturn]] void fail_python_api_call(std::source_location where = std::source_location::current());

inline PyObject* expect_object(PyObject* p, std::source_location where = std::source_location::current()) {
    if (!p) fail_python_api_call(where);
    return p;
}

// The PanicException class, created on first need.
PyObject* panic_exception_type();

void raise_error_value(const ErrorValue& e);
void raise_panic(const Panic& p);

// Raises PanicException for a C++ exception that is none of kelvane's own
// failure kinds, naming `function` (a standard exception's what() follows).
void raise_unexpected(const char* function, const char* what) noexcept;

// Runs a function body or the module initialisation (`function` names it) and
// turns every failure into the pending Python exception. This is the only place
// that does so, and nothing unwinds past it into CPython's frames: the last
// rungs take any exception, and a failure while raising one leaves MemoryError.
template <class Body>
PyObject* run_at_entry(const char* function, Body&& body) noexcept {
    try {
        try {
            return body();
        } catch (const ErrorValue& e) {
            raise_error_value(e);
        } catch (PythonError& e) {
            PyErr_Restore(e.type.release(), e.value.release(), e.traceback.release());
        } catch (const Panic& p) {
            raise_panic(p);
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
        } catch (const std::exception& e) {
            raise_unexpected(function, e.what());
        } catch (...) {
            raise_unexpected(function, nullptr);
        }
    } catch (...) {
        PyErr_NoMemory();  // only a message that could not be allocated gets here
    }
    return nullptr;
}

}  // namespace kelvane
