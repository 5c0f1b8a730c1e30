// The process-wide pool of worker threads: a work-stealing fork-join pool on
// the system's threads (base/platform.hpp). No Python types: workers never touch a Python object.
//
// Contract of the operations the traversal uses:
//  * run_alongside(task), from a thread that is not a worker: runs the task on
//    the calling thread as one of the pool's threads, so that the joins inside
//    it leave their second halves to idle workers, and returns its outcome once
//    every part has completed. When all guest places are taken, does
//    run_and_wait instead. Without `wake_sleepers` only workers that are
//    awake (looking for work) help: for a task shorter than a wake-up.
//  * run_and_wait(task), from a thread that is not a worker: queues the task,
//    waits on a latch of the caller's own (looks at it, then sleeps on it)
//    until it has completed, and returns its outcome.
//  * join(a, b), on a worker or a guest: runs a here while b waits in this thread's deque
//    where idle workers may steal it; if nobody took b by the time a is done,
//    runs b here too. Returns only when both have completed, with both outcomes.
#pragma once

#include "base/errors.hpp"

#include <cstdint>
#include <optional>
#include <string>

namespace kelvane {

// A task: a plain function over a context that outlives it.
struct Task {
    void (*run)(void* context);
    void* context;
};

using TaskOutcome = std::optional<Panic>;  // empty on success

class WorkerPool {
public:
    // The pool of this process, created at import; after a fork it is re-created
    // in the child before its first use. Panics with "The global thread pool has
    // not been initialized." and the cause when there is none.
    static WorkerPool& global();
    // Creates the pool at import, once; a failure is kept for later calls only.
    static void create_global();
    // The number of workers this process should have: the processors it may run on
    // (base/platform.hpp: affinity and control-group quota on Linux), at most 255.
    static unsigned available_workers();
    // A pool of its own with `workers` workers (at least one), started and
    // ready; for tests of the pool and the traversal at chosen sizes. Panics
    // with the cause when a worker cannot be started.
    static WorkerPool& start(unsigned workers);

    virtual unsigned num_workers() const = 0;
    virtual TaskOutcome run_and_wait(Task task) = 0;
    virtual TaskOutcome run_alongside(Task task, bool wake_sleepers) = 0;
    virtual std::pair<TaskOutcome, TaskOutcome> join(Task first, Task second) = 0;

    // Index of the calling thread among this pool's workers and guests, or -1 on any other thread.
    virtual int current_worker() const = 0;

protected:
    ~WorkerPool() = default;  // pools are never destroyed
};

}  // namespace kelvane
