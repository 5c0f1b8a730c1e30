// Argument binding and argument errors.
#include "module/call_frame.hpp"

#include <exception>
#include <string_view>
#include <vector>

namespace kelvane {
namespace {

[[noreturn]] void type_error(std::string message) {
    throw ErrorValue{ErrorKind::TypeError, std::move(message)};
}

std::string quoted_list(const std::vector<const char*>& names) {
    const size_t k = names.size();
    auto q = [](const char* s) { return std::string("'").append(s).append("'"); };
    if (k == 1) return q(names[0]);
    if (k == 2) return q(names[0]) + " and " + q(names[1]);
    std::string out;
    for (size_t i = 0; i + 1 < k; ++i) out += q(names[i]) + ", ";
    return out + "and " + q(names[k - 1]);
}

// The keyword's text; a name that cannot be encoded matches no parameter.
std::string_view keyword_text(PyObject* key) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, &size) : nullptr;
    if (!text) {
        PyErr_Clear();
        return {};  // no parameter has an empty name
    }
    return std::string_view(text, static_cast<size_t>(size));
}

std::string str_of(PyObject* obj) {
    OwnedRef s = OwnedRef::steal(PyObject_Str(obj));
    if (!s) throw_pending_python_error();
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(s.get(), &size);
    if (!utf8) throw_pending_python_error();
    return std::string(utf8, size);
}

}  // namespace

void bind_arguments(const FunctionSignature& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** slots) {
    const std::string fn = std::string(sig.name) + "()";
    if (static_cast<size_t>(nargs) > sig.count) {
        type_error(fn + " takes " + std::to_string(sig.count) + " positional arguments but " +
                   std::to_string(nargs) + " " + (nargs == 1 ? "was" : "were") + " given");
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];

    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        const std::string_view text = keyword_text(key);
        size_t p = 0;
        while (p < sig.count && text != sig.params[p]) ++p;
        if (p == sig.count) type_error(fn + " got an unexpected keyword argument '" + str_of(key) + "'");
        if (slots[p]) type_error(fn + " got multiple values for argument '" + sig.params[p] + "'");
        slots[p] = args[nargs + k];
    }

    std::vector<const char*> missing;
    for (size_t p = 0; p < sig.count; ++p) {
        if (!slots[p]) missing.push_back(sig.params[p]);
    }
    if (!missing.empty()) {
        const size_t k = missing.size();
        type_error(fn + " missing " + std::to_string(k) + " required positional " +
                   (k == 1 ? "argument" : "arguments") + ": " + quoted_list(missing));
    }
}

namespace {

// The argument error: a new TypeError that keeps the conversion's cause (if any)
// without chaining the conversion's own exception.
[[noreturn]] void throw_argument_error(const std::string& message, PyObject* cause /* new ref or null */) {
    OwnedRef owned_cause = OwnedRef::steal(cause);
    OwnedRef text = OwnedRef::steal(
        PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    OwnedRef error = OwnedRef::steal(
        PyObject_CallFunctionObjArgs(PyExc_TypeError, expect_object(text.get()), nullptr));
    expect_object(error.get());
    PyException_SetCause(error.get(), owned_cause.release());  // also suppresses the context
    throw PythonError{OwnedRef::borrow(PyExc_TypeError), std::move(error), OwnedRef()};
}

}  // namespace

void rethrow_as_argument_error(const char* param) {
    const std::string prefix = std::string("argument '") + param + "': ";
    try {
        throw;
    } catch (const ErrorValue& e) {
        if (e.kind != ErrorKind::TypeError) throw;
        throw_argument_error(prefix + e.message, nullptr);
    } catch (PythonError& e) {
        if (!e.is_exactly(PyExc_TypeError)) throw;
        throw_argument_error(prefix + str_of(e.value.get()), PyException_GetCause(e.value.get()));
    }
}

}  // namespace kelvane
