// The CompiledExpr type object and its instances.
#include "module/compiled_expr.hpp"

#include "expr/planner.hpp"
#include "module/failure.hpp"

#include <new>

namespace kelvane {
namespace {

PyTypeObject* g_type = nullptr;  // lives until the process ends

PyObject* refuse_construction(PyTypeObject* type, PyObject*, PyObject*) {
    std::string name = "<unknown>";
    if (OwnedRef n = OwnedRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__name__"))) {
        if (const char* utf8 = PyUnicode_Check(n.get()) ? PyUnicode_AsUTF8(n.get()) : nullptr) name = utf8;
    }
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "No constructor defined for %s", name.c_str());
    return nullptr;
}

void dealloc(PyObject* self) {
    auto* obj = reinterpret_cast<CompiledExprObject*>(self);
    PyTypeObject* type = Py_TYPE(self);
    obj->ops.~vector();
    obj->borrow_count.~atomic();
    delete obj->tables.load(std::memory_order_acquire);
    obj->tables.~atomic();
    obj->pixels_without_tables.~atomic();
    for (auto& kept : obj->kept_plans) {
        delete kept.load(std::memory_order_acquire);
        kept.~atomic();
    }
    for (auto& kept : obj->kept_code) {
        delete kept.load(std::memory_order_acquire);
        kept.~atomic();
    }
    freefunc free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_slot(self);
    Py_DECREF(type);  // instances of heap types own a reference to their type
}

PyType_Slot g_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&refuse_construction)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc)},
    {0, nullptr},
};

PyType_Spec g_spec = {
    "builtins.CompiledExpr",
    static_cast<int>(sizeof(CompiledExprObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    g_slots,
};

}  // namespace

PyTypeObject* compiled_expr_type() {
    if (!g_type) g_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&g_spec));
    return g_type;
}

OwnedRef make_compiled_expr(std::vector<ExprOp> ops, uint32_t num_bands) {
    PyTypeObject* type = compiled_expr_type();
    if (!type) throw_pending_python_error();
    allocfunc alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);
    if (!self) throw_pending_python_error();
    auto* obj = reinterpret_cast<CompiledExprObject*>(self);
    new (&obj->ops) std::vector<ExprOp>(std::move(ops));
    obj->num_bands = num_bands;
    new (&obj->borrow_count) std::atomic<int64_t>(0);
    new (&obj->tables) std::atomic<const PlanTables*>(nullptr);
    new (&obj->pixels_without_tables) std::atomic<int64_t>(0);
    for (auto& kept : obj->kept_plans) new (&kept) std::atomic<const TilePlan*>(nullptr);
    for (auto& kept : obj->kept_code) new (&kept) std::atomic<const MachineCode*>(nullptr);
    return OwnedRef::steal(self);
}

}  // namespace kelvane
