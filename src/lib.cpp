// kelvane's entry point: the module definition and its initialisation.
#include "expr/compiled_expr.hpp"
#include "expr/expr_functions.hpp"
#include "frame/worker_pool.hpp"
#include "indices/index_functions.hpp"
#include "module/convert.hpp"
#include "module/failure.hpp"

#include <atomic>

namespace kelvane {
namespace {

// Registered in this order; the documentation is CPython's text-signature form.
PyMethodDef g_functions[] = {
    {"calculate_normalized_difference_inplace",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&py_calculate_normalized_difference_inplace)),
     METH_FASTCALL | METH_KEYWORDS,
     "calculate_normalized_difference_inplace(band_a, band_b, out_buffer)\n--\n\n"},
    {"calculate_ratio_inplace",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&py_calculate_ratio_inplace)),
     METH_FASTCALL | METH_KEYWORDS, "calculate_ratio_inplace(band_a, band_b, out_buffer)\n--\n\n"},
    {"calculate_adjusted_difference_inplace",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&py_calculate_adjusted_difference_inplace)),
     METH_FASTCALL | METH_KEYWORDS,
     "calculate_adjusted_difference_inplace(band_a, band_b, l, out_buffer)\n--\n\n"},
    {"calculate_evi_inplace",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&py_calculate_evi_inplace)),
     METH_FASTCALL | METH_KEYWORDS, "calculate_evi_inplace(nir, red, blue, g, c1, c2, l, out_buffer)\n--\n\n"},
    {"calculate_normalized_difference",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&py_calculate_normalized_difference)),
     METH_FASTCALL | METH_KEYWORDS, "calculate_normalized_difference(band_a, band_b)\n--\n\n"},
    {"compile_expr", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&py_compile_expr)),
     METH_FASTCALL | METH_KEYWORDS, "compile_expr(instructions, num_bands)\n--\n\n"},
    {"execute_expr_inplace",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&py_execute_expr_inplace)),
     METH_FASTCALL | METH_KEYWORDS, "execute_expr_inplace(expr, bands, out_buffer)\n--\n\n"},
};

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "kelvane",
    "",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Process-wide: the interpreter that first initialised the module, and the module.
std::atomic<int64_t> g_initialising_interpreter{-1};
PyObject* g_cached_module = nullptr;

const char kSubinterpreterMessage[] =
    "PyO3 modules do not yet support subinterpreters, see "
    "https://docs.python.org/3/c-api/init.html#sub-interpreter-support";

// Appends `name` to __all__ and sets the attribute.
void add_name(PyObject* module, PyObject* name, PyObject* object) {
    OwnedRef all = OwnedRef::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_pending_python_error();
        PyErr_Clear();
        all = OwnedRef::steal(expect_object(PyList_New(0)));
        if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) throw_pending_python_error();
    }
    if (!PyList_Check(all.get())) refuse_conversion_to_list(all.get());
    if (PyList_Append(all.get(), name) < 0) {
        panic("could not append __name__ to __all__: " + take_pending_error_description());
    }
    if (PyObject_SetAttr(module, name, object) < 0) throw_pending_python_error();
}

void run_body(PyObject* module) {
    WorkerPool::create_global();  // a failure only makes later computations fail

    OwnedRef module_name = OwnedRef::steal(PyModule_GetNameObject(module));
    if (!module_name) throw_pending_python_error();
    for (PyMethodDef& def : g_functions) {
        OwnedRef function = OwnedRef::steal(PyCMethod_New(&def, module, module_name.get(), nullptr));
        if (!function) throw_pending_python_error();
        OwnedRef name = OwnedRef::steal(PyObject_GetAttrString(function.get(), "__name__"));
        if (!name) throw_pending_python_error();
        add_name(module, name.get(), function.get());
    }

    PyTypeObject* type = compiled_expr_type();
    if (!type) {
        PyObject *cause_type = nullptr, *cause = nullptr, *tb = nullptr;
        PyErr_Fetch(&cause_type, &cause, &tb);
        PyErr_NormalizeException(&cause_type, &cause, &tb);
        Py_XDECREF(cause_type);
        Py_XDECREF(tb);
        OwnedRef error = OwnedRef::steal(expect_object(PyObject_CallFunction(
            PyExc_RuntimeError, "s", "An error occurred while initializing class CompiledExpr")));
        PyException_SetCause(error.get(), cause);
        throw PythonError{OwnedRef::borrow(PyExc_RuntimeError), std::move(error), OwnedRef()};
    }
    OwnedRef name = OwnedRef::steal(expect_object(PyUnicode_FromString("CompiledExpr")));
    add_name(module, name.get(), reinterpret_cast<PyObject*>(type));
}

PyObject* initialise() {
    PyInterpreterState* interpreter = PyInterpreterState_Get();
    const int64_t id = PyInterpreterState_GetID(interpreter);
    if (id == -1) throw_pending_python_error();
    int64_t expected = -1;
    if (!g_initialising_interpreter.compare_exchange_strong(expected, id) && expected != id) {
        throw ErrorValue{ErrorKind::ImportError, kSubinterpreterMessage};
    }
    if (g_cached_module) {
        Py_INCREF(g_cached_module);
        return g_cached_module;
    }
    OwnedRef module = OwnedRef::steal(PyModule_Create2(&g_module_def, 3));
    if (!module) throw_pending_python_error();
    run_body(module.get());
    g_cached_module = module.get();
    Py_INCREF(g_cached_module);  // the record's own reference
    return module.release();
}

}  // namespace
}  // namespace kelvane

PyMODINIT_FUNC PyInit_kelvane(void) {
    return kelvane::run_at_entry([] { return kelvane::initialise(); });
}
