// execute_expr_inplace: runs a CompiledExpr over a stack of bands.
#include "expr/machine_code.hpp"
#include "expr/path.hpp"
#include "expr/planner.hpp"
#include "expr/tiles.hpp"
#include "module/call_frame.hpp"
#include "module/compiled_expr.hpp"
#include "module/convert.hpp"
#include "module/expr_functions.hpp"
#include "module/holds.hpp"
#include "module/par_for_each_pixel.hpp"

#include <memory>

namespace kelvane {
namespace {

constexpr Signature kSignature{"execute_expr_inplace", {"expr", "bands", "out_buffer"}};

OwnedRef convert_compiled_expr(PyObject* obj) {
    PyTypeObject* type = compiled_expr_type();
    if (!type) throw_pending_python_error();
    if (!PyObject_TypeCheck(obj, type)) refuse_conversion(obj, "CompiledExpr");
    return OwnedRef::borrow(obj);
}

// Publishes `built` in `slot` for every later call, unless a call on another
// thread published its own first; returns the one kept.
template <class T>
const T& keep_first(std::atomic<const T*>& slot, std::unique_ptr<T> built) {
    const T* kept = nullptr;
    if (slot.compare_exchange_strong(kept, built.get(), std::memory_order_acq_rel, std::memory_order_acquire)) {
        return *built.release();
    }
    return *kept;
}

// The tables of the program's powf parts for a call over `pixels` pixels: the
// ones an earlier call kept, or new ones once the program has computed powf
// pixel by pixel over as many pixels as four tables have entries (building one
// then adds at most a quarter to what those calls cost). Null: evaluate powf
// per pixel this time.
const PlanTables* tables_for(CompiledExprObject& expr, const TilePlan& plan, size_t num_bands, int64_t pixels) {
    if (const PlanTables* kept = expr.tables.load(std::memory_order_acquire)) {
        // The program alone decides its tables, whatever the bands' layout.
        if (kept->pointers.size() != plan.tables.size()) panic("kept tables do not match the plan");
        return kept;
    }
    if (expr.pixels_without_tables.fetch_add(pixels, std::memory_order_relaxed) + pixels < kTablePixels) return nullptr;
    auto built = std::make_unique<PlanTables>(plan, num_bands, [](const PixelZip& grid, const ExprContext& part) {
        par_for_each_pixel(grid, expr_kernels().evaluate_tiles, &part,
                           KernelTraits{false, pixel_cost(part.plan, part.plan_size)});
    });
    return &keep_first(expr.tables, std::move(built));
}

// Which of the CompiledExpr's kept plans a call uses: -1 unless its bands all
// advance by one sample along the runs or all by two (the plan then depends
// on the views, and each such call makes its own).
int kept_plan_index(const ExprContext& program, bool tables) {
    int64_t step = kBandElementSize;
    for (size_t k = 0; k < program.num_bands; ++k) {
        const BandView& band = program.bands[k];
        const int64_t along = program.plan_runs_down ? band.row_stride : band.col_stride;
        if (k == 0) step = along;
        if (along != step) return -1;
    }
    if (step != kBandElementSize && step != 2 * kBandElementSize) return -1;
    return 4 * (step == kBandElementSize ? 0 : 1) + 2 * (program.plan_runs_down ? 1 : 0) + (tables ? 1 : 0);
}

// The tile plan of a call: the kept one, made by the first call that needs
// it, or the call's own in `own`.
const TilePlan& plan_for(CompiledExprObject& expr, const ExprContext& program, bool tables, TilePlan& own) {
    const int index = kept_plan_index(program, tables);
    if (index < 0) {
        own = plan_tiles(program, program.plan_runs_down, tables);
        return own;
    }
    std::atomic<const TilePlan*>& slot = expr.kept_plans[index];
    if (const TilePlan* kept = slot.load(std::memory_order_acquire)) return *kept;
    return keep_first(slot, std::make_unique<TilePlan>(plan_tiles(program, program.plan_runs_down, tables)));
}

// The machine code of a kept plan, made by the first call that uses it; null
// for a plan of the call's own or one without code.
const MachineCode* code_for(CompiledExprObject& expr, const ExprContext& program, bool tables, const TilePlan& plan) {
    const int index = kept_plan_index(program, tables);
    if (index < 0) return nullptr;
    std::atomic<const MachineCode*>& slot = expr.kept_code[index];
    const MachineCode* kept = slot.load(std::memory_order_acquire);
    if (!kept) kept = &keep_first(slot, std::make_unique<MachineCode>(MachineCode::compile(plan, program.num_bands)));
    return kept->runnable() ? kept : nullptr;
}

PyObject* py_execute_expr_inplace(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_frame(kSignature, args, nargs, kwnames, [](const auto& a) -> PyObject* {
        OwnedRef expr_ref = a.convert(0, convert_compiled_expr);
        std::vector<ArrayRef> bands = a.convert(1, convert_band_sequence);
        ArrayRef out = a.convert(2, convert_output_array);

        auto* expr = reinterpret_cast<CompiledExprObject*>(expr_ref.get());
        SharedExprHold expr_hold(expr);
        if (bands.size() != expr->num_bands) throw ErrorValue{ErrorKind::ValueError, "Band count mismatch."};

        CallHolds holds(CallHolds::ReleaseOrder::Sequence);
        for (const ArrayRef& band : bands) holds.hold_read(band);
        holds.hold_write(out);

        std::vector<BandView> views;
        views.reserve(bands.size());
        for (const ArrayRef& band : bands) views.push_back(band_view(band));
        const std::vector<ExprOp> ops = expr->ops;  // the call's private copy

        const ExprPath path = choose_expr_path(ops.data(), ops.size(), out_view(out), std::move(views));
        ExprContext program{ops.data(), ops.size(), path.bands.data(), path.bands.size()};
        program.max_depth = path.max_depth;
        program.streaming_stores = path.streaming;
        program.plan_runs_down = path.runs_down;
        TilePlan own_plan;
        const TilePlan* plan = &own_plan;  // empty for per-pixel evaluation
        if (path.tiles) {
            bool tabulated = true;
            plan = &plan_for(*expr, program, true, own_plan);
            if (!plan->tables.empty()) {
                if (const PlanTables* tables = tables_for(*expr, *plan, path.bands.size(), path.out.rows * path.out.cols)) {
                    program.tables = tables->pointers.data();
                    program.table_bands = tables->bands.data();
                } else {
                    tabulated = false;
                    plan = &plan_for(*expr, program, false, own_plan);
                }
            }
            use_plan(program, *plan);
            program.code = code_for(*expr, program, tabulated, *plan);
        }
        // Per-pixel evaluation may fail, and then always goes through the pool;
        // tiles stay on the calling thread when their cost is small.
        const KernelTraits traits{!path.tiles, pixel_cost(plan->ops.data(), plan->ops.size())};
        par_for_each_pixel(path.zip, path.kernel(expr_kernels()), &program, traits);
        Py_INCREF(Py_None);
        return Py_None;
    });
}

}  // namespace

const ModuleFunction kExecuteExprInplaceFunction{kSignature, &py_execute_expr_inplace};

}  // namespace kelvane
