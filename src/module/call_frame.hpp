// The call frame shared by every module function: binding of positional and
// keyword arguments, per-parameter conversion with the argument-error rule, and
// the translation of failures at the entry.
#pragma once

#include "module/failure.hpp"

#include <array>
#include <cstddef>
#include <string>
#include <utility>

namespace kelvane {

struct FunctionSignature {
    const char* name;
    const char* const* params;
    size_t count;
};

// Fills `slots` (borrowed references, one per parameter) or throws the binding
// TypeError.
void bind_arguments(const FunctionSignature& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** slots);

// Re-raises a conversion failure of `param` as the argument error: an exact
// TypeError gets the parameter's name in front; anything else passes unchanged.
[[noreturn]] void rethrow_as_argument_error(const char* param);

template <size_t N>
class BoundArguments {
public:
    BoundArguments(const FunctionSignature& sig, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames)
        : sig_(sig) {
        bind_arguments(sig, args, nargs, kwnames, slots_.data());
    }

    // Converts parameter i with `convert`, naming it in an argument error.
    template <class Convert>
    auto convert(size_t i, Convert&& convert) const -> decltype(convert(std::declval<PyObject*>())) {
        try {
            return convert(slots_[i]);
        } catch (const ErrorValue&) {
            rethrow_as_argument_error(sig_.params[i]);
        } catch (const PythonError&) {
            rethrow_as_argument_error(sig_.params[i]);
        }
    }

private:
    const FunctionSignature& sig_;
    std::array<PyObject*, N> slots_{};
};

// Entry of a module function: binds, runs the body and translates failures.
template <size_t N, class Body>
PyObject* call_frame(const FunctionSignature& sig, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, Body&& body) {
    return run_at_entry([&]() -> PyObject* {
        BoundArguments<N> bound(sig, args, nargs, kwnames);
        return body(bound);
    });
}

}  // namespace kelvane
