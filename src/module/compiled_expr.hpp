// The CompiledExpr class: a compiled instruction list and its band count.
#pragma once

#include "expr/ops.hpp"
#include "module/py_ref.hpp"

#include <atomic>
#include <vector>

namespace kelvane {

class MachineCode;
struct PlanTables;
struct TilePlan;

struct CompiledExprObject {
    PyObject_HEAD
    std::vector<ExprOp> ops;
    uint32_t num_bands;
    // Shared holds of running calls. Nothing takes an exclusive hold on an
    // instance, so a shared hold is never refused.
    std::atomic<int64_t> borrow_count;
    // The tables of the program's powf parts (PlanTables), built by the first
    // call after `pixels_without_tables` reaches kTablePixels and kept for every
    // later call; null until then. Published once, freed with the object.
    std::atomic<const PlanTables*> tables;
    std::atomic<int64_t> pixels_without_tables;
    // Tile plans of calls whose bands all advance by one sample along the
    // runs, or all by two, which then depend on the program alone: one per
    // step (index 4 * by two), run direction (+ 2 * down) and use of the
    // tables (+ 1). Built by the first such call, published once, freed with
    // the object.
    std::atomic<const TilePlan*> kept_plans[8];
    // The machine code of each kept plan (one that cannot run if the plan or
    // the machine has none), made and published alike.
    std::atomic<const MachineCode*> kept_code[8];
};

// The type object, created once per process on first use; null with a Python
// error set if it cannot be created.
PyTypeObject* compiled_expr_type();

// A new instance owning `ops`.
OwnedRef make_compiled_expr(std::vector<ExprOp> ops, uint32_t num_bands);

// A shared hold on an instance for the duration of a call.
class SharedExprHold {
public:
    explicit SharedExprHold(CompiledExprObject* expr) : expr_(expr) {
        expr_->borrow_count.fetch_add(1, std::memory_order_acquire);
    }
    ~SharedExprHold() { expr_->borrow_count.fetch_sub(1, std::memory_order_release); }
    SharedExprHold(const SharedExprHold&) = delete;
    SharedExprHold& operator=(const SharedExprHold&) = delete;

private:
    CompiledExprObject* expr_;
};

}  // namespace kelvane
