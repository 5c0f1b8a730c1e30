// Turning failures into Python exceptions, and Python exceptions into failures.
#include "module/failure.hpp"

#include <string>

namespace kelvane {
namespace {

PyObject* g_panic_exception = nullptr;  // lives until the process ends

const char kPanicDoc[] =
    "\n"
    "The exception raised when kelvane's native code, called from Python, panics.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

PyObject* python_type_of(ErrorKind kind) {
    switch (kind) {
        case ErrorKind::TypeError: return PyExc_TypeError;
        case ErrorKind::ValueError: return PyExc_ValueError;
        case ErrorKind::OverflowError: return PyExc_OverflowError;
        case ErrorKind::ImportError: return PyExc_ImportError;
        case ErrorKind::RuntimeError: return PyExc_RuntimeError;
        case ErrorKind::SystemError: return PyExc_SystemError;
    }
    return PyExc_SystemError;
}

}  // namespace

PyObject* panic_exception_type() {
    if (!g_panic_exception) {
        g_panic_exception = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicDoc,
                                                      PyExc_BaseException, nullptr);
        if (!g_panic_exception) {
            PyErr_Print();
            abort_with_report("failed to create the PanicException type");
        }
    }
    return g_panic_exception;
}

void raise_error_value(const ErrorValue& e) {
    // Sized, so that a message quoting user text with a NUL in it stays whole.
    OwnedRef message = OwnedRef::steal(
        PyUnicode_FromStringAndSize(e.message.data(), static_cast<Py_ssize_t>(e.message.size())));
    if (message) PyErr_SetObject(python_type_of(e.kind), message.get());
}

void raise_panic(const Panic& p) {
    const std::string& text =
        p.message().empty() ? std::string("a panic occurred in kelvane's native code") : p.message();
    OwnedRef message = OwnedRef::steal(PyUnicode_FromStringAndSize(text.data(), (Py_ssize_t)text.size()));
    if (!message) abort_with_report("uncaught panic at ffi boundary");
    PyErr_SetObject(panic_exception_type(), message.get());
}

void throw_pending_python_error() {
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    if (!type) {
        throw ErrorValue{ErrorKind::SystemError, "attempted to fetch exception but none was set"};
    }
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb && value) PyException_SetTraceback(value, tb);
    PythonError error{OwnedRef::steal(type), OwnedRef::steal(value), OwnedRef::steal(tb)};
    if (error.type.get() != panic_exception_type()) throw error;

    // A PanicException that Python code caught and handed back to us: report it
    // and continue as the same panic.
    std::string message = "a panic from Python code reached kelvane's native code";
    if (OwnedRef text = OwnedRef::steal(PyObject_Str(error.value.get()))) {
        Py_ssize_t size = 0;
        if (const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size)) message.assign(utf8, size);
    }
    PyErr_Clear();
    PySys_WriteStderr("--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n");
    PySys_WriteStderr("Python stack trace below:\n");
    PyErr_Restore(error.type.release(), error.value.release(), error.traceback.release());
    PyErr_PrintEx(0);
    throw Panic::resumed(std::move(message));
}

void raise_unexpected(const char* function, const char* what) noexcept {
    try {
        std::string message = std::string(function) + "(): unexpected C++ exception";
        // Bytes outside ASCII become '?', so that the message always decodes.
        for (const char* c = what; c && *c; ++c) {
            if (c == what) message += ": ";
            message += static_cast<unsigned char>(*c) < 0x80 ? *c : '?';
        }
        raise_panic(Panic(std::move(message)));
    } catch (...) {
        PyErr_NoMemory();
    }
}

std::string take_pending_error_description() {
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    OwnedRef t = OwnedRef::steal(type), v = OwnedRef::steal(value), b = OwnedRef::steal(tb);
    std::string text = "unknown error";
    if (v) {
        OwnedRef name = OwnedRef::steal(PyObject_GetAttrString(t.get(), "__name__"));
        OwnedRef str = OwnedRef::steal(PyObject_Str(v.get()));
        const char* n = name ? PyUnicode_AsUTF8(name.get()) : nullptr;
        const char* s = str ? PyUnicode_AsUTF8(str.get()) : nullptr;
        text = std::string(n ? n : "Exception") + ": " + (s ? s : "");
    }
    PyErr_Clear();
    return text;
}

void fail_python_api_call(std::source_location where) {
    if (PyErr_Occurred()) PyErr_Print();
    throw Panic("Python API call failed", where);
}

}  // namespace kelvane
