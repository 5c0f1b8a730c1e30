// Lazy import of NumPy's C interface (NumPy 1.2x and 2.x at run time).
#define KELVANE_NUMPY_API_DEFINITION
#include "module/numpy_api.hpp"

#include "module/failure.hpp"

#include <string>

namespace kelvane {
namespace {

bool g_numpy_ready = false;

// Fails with the pending Python error described in the message.
[[noreturn]] void fail_access(std::source_location where = std::source_location::current()) {
    throw Panic("Failed to access NumPy array API capsule: " + take_pending_error_description(), where);
}

}  // namespace

void ensure_numpy_api() {
    if (g_numpy_ready) return;
    OwnedRef numpy = OwnedRef::steal(PyImport_ImportModule("numpy"));
    if (!numpy) fail_access();
    OwnedRef version = OwnedRef::steal(PyObject_GetAttrString(numpy.get(), "__version__"));
    if (!version) fail_access();
    OwnedRef numpy_lib = OwnedRef::steal(PyImport_ImportModule("numpy.lib"));
    if (!numpy_lib) fail_access();
    OwnedRef parsed = OwnedRef::steal(
        PyObject_CallMethod(numpy_lib.get(), "NumpyVersion", "O", version.get()));
    if (!parsed) fail_access();
    OwnedRef major_obj = OwnedRef::steal(PyObject_GetAttrString(parsed.get(), "major"));
    if (!major_obj) fail_access();
    long major = PyLong_AsLong(major_obj.get());
    if (major == -1 && PyErr_Occurred()) fail_access();
    const char* core = major >= 2 ? "numpy._core" : "numpy.core";

    std::string module_name = std::string(core) + ".multiarray";
    OwnedRef multiarray = OwnedRef::steal(PyImport_ImportModule(module_name.c_str()));
    if (!multiarray) fail_access();
    OwnedRef capsule = OwnedRef::steal(PyObject_GetAttrString(multiarray.get(), "_ARRAY_API"));
    if (!capsule) fail_access();
    void* table = PyCapsule_GetPointer(capsule.get(), nullptr);
    if (!table) fail_access();

    PyArray_API = static_cast<void**>(table);
    PyArray_RUNTIME_VERSION = static_cast<int>(PyArray_GetNDArrayCFeatureVersion());
    g_numpy_ready = true;
}

}  // namespace kelvane
