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

// A function's name and parameter names, as the binding sees them.
struct FunctionSignature {
    const char* name;
    const char* const* params;
    size_t count;
};

// The one place a function's parameters are written: their count is the
// length of the list, and the binding, the text signature and the function
// table all read it from here.
template <size_t N>
struct Signature {
    const char* name;
    const char* params[N];
    constexpr operator FunctionSignature() const { return FunctionSignature{name, params, N}; }
};

// A module function as the function table registers it.
using FastEntry = PyObject* (*)(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
struct ModuleFunction {
    FunctionSignature signature;
    FastEntry entry;
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
    BoundArguments(const Signature<N>& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
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
    const Signature<N>& sig_;
    std::array<PyObject*, N> slots_{};
};

// Entry of a module function: binds, runs the body and translates failures.
template <size_t N, class Body>
PyObject* call_frame(const Signature<N>& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     Body&& body) noexcept {
    return run_at_entry(sig.name, [&]() -> PyObject* {
        BoundArguments<N> bound(sig, args, nargs, kwnames);
        return body(bound);
    });
}

}  // namespace kelvane
