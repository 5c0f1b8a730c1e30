// kelvane's entry point: the module definition and its initialisation.
#include "module/compiled_expr.hpp"
#include "module/expr_functions.hpp"
#include "frame/worker_pool.hpp"
#include "module/index_functions.hpp"
#include "module/convert.hpp"
#include "module/failure.hpp"

#include <atomic>
#include <string>

namespace kelvane {
namespace {

// Registered in this order.
const ModuleFunction* const kFunctionTable[] = {
    &kNormalizedDifferenceInplaceFunction, &kRatioInplaceFunction, &kAdjustedDifferenceInplaceFunction,
    &kEviInplaceFunction, &kNormalizedDifferenceFunction, &kCompileExprFunction, &kExecuteExprInplaceFunction,
};
constexpr size_t kFunctionCount = sizeof(kFunctionTable) / sizeof(kFunctionTable[0]);

// CPython's text-signature form of a function's documentation, from its signature.
std::string text_signature(const FunctionSignature& sig) {
    std::string text = std::string(sig.name) + "(";
    for (size_t i = 0; i < sig.count; ++i) text += (i ? ", " : "") + std::string(sig.params[i]);
    return text + ")\n--\n\n";
}

// The method records and their documentation, made once: CPython keeps
// pointers to both for as long as the functions live (an import that failed
// half-way may leave some alive), which can be until the process ends.
PyMethodDef* method_records() {
    static std::string docs[kFunctionCount];
    static PyMethodDef records[kFunctionCount];
    static bool made = false;
    if (!made) {
        for (size_t i = 0; i < kFunctionCount; ++i) {
            const ModuleFunction& f = *kFunctionTable[i];
            docs[i] = text_signature(f.signature);
            records[i] = PyMethodDef{f.signature.name,
                                     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f.entry)),
                                     METH_FASTCALL | METH_KEYWORDS, docs[i].c_str()};
        }
        made = true;
    }
    return records;
}

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
    PyMethodDef* records = method_records();
    for (size_t i = 0; i < kFunctionCount; ++i) {
        PyMethodDef& def = records[i];
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
    return kelvane::run_at_entry("PyInit_kelvane", [] { return kelvane::initialise(); });
}
