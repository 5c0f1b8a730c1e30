// compile_expr: a pure translation of instruction names into records. Nothing
// about the program as a whole is checked here; evaluation meets it.
#include "module/expr_functions.hpp"

#include "module/compiled_expr.hpp"
#include "module/call_frame.hpp"
#include "module/convert.hpp"

#include <bit>

namespace kelvane {
namespace {

constexpr Signature kSignature{"compile_expr", {"instructions", "num_bands"}};

// item[key], with the lookup's own exception on failure.
OwnedRef subscript(PyObject* item, const char* key) {
    OwnedRef k = OwnedRef::steal(PyUnicode_FromString(key));
    OwnedRef value = OwnedRef::steal(PyObject_GetItem(item, expect_object(k.get())));
    if (!value) throw_pending_python_error();
    return value;
}

ExprOp compile_instruction(PyObject* item) {
    const std::string text = convert_text(subscript(item, "type").get());
    for (uint32_t code = 0; code < kExprOpKindCount; ++code) {
        if (kExprOpInfo[code].text != text || (kExprOpInfo[code].traits & kPlannedOp)) continue;
        const auto kind = static_cast<ExprOpKind>(code);
        uint32_t operand = 0;
        if (kind == ExprOpKind::PushBand) operand = convert_count(subscript(item, "index").get());
        if (kind == ExprOpKind::PushScalar) {
            operand = std::bit_cast<uint32_t>(convert_float(subscript(item, "value").get()));
        }
        return ExprOp{kind, operand};
    }
    throw ErrorValue{ErrorKind::ValueError, "Unknown op: " + text};
}

PyObject* py_compile_expr(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_frame(kSignature, args, nargs, kwnames, [](const auto& a) -> PyObject* {
        std::vector<OwnedRef> items = a.convert(0, convert_object_sequence);
        const uint32_t num_bands = a.convert(1, convert_count);
        std::vector<ExprOp> ops;
        ops.reserve(items.size());
        for (const OwnedRef& item : items) ops.push_back(compile_instruction(item.get()));
        return make_compiled_expr(std::move(ops), num_bands).release();
    });
}

}  // namespace

const ModuleFunction kCompileExprFunction{kSignature, &py_compile_expr};

}  // namespace kelvane
