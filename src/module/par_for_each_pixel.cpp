// The one place where kelvane releases the interpreter lock.
#include "module/par_for_each_pixel.hpp"

#include "module/py_ref.hpp"

namespace kelvane {

void par_for_each_pixel(const PixelZip& zip, BlockFn kernel, const void* context, KernelTraits traits) {
    WorkerPool& pool = WorkerPool::global();  // with the lock: it may be re-created after a fork

    PyThreadState* saved = PyEval_SaveThread();
    t_interpreter_lock_released = true;
    TaskOutcome outcome = traverse(pool, zip, kernel, context, traits);
    // Re-taken in plain code, not in a destructor: during interpreter shutdown
    // this call may end the thread by unwinding it.
    PyEval_RestoreThread(saved);
    t_interpreter_lock_released = false;

    if (outcome) throw std::move(*outcome);
}

}  // namespace kelvane
