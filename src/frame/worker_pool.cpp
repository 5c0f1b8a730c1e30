// Work-stealing fork-join pool.
//
// Each worker owns a deque of jobs: it pushes and pops at the bottom, idle
// workers steal from the top. The deques are short (one entry per fork level)
// and touched a few dozen times per computation, so each is guarded by a plain
// lock (SpinLock); the hot path is the kernels, not the scheduling.
//
// Callers: a calling thread works alongside the workers as a guest, with a
// deque of its own among kGuestSlots, so that on n processors n threads
// compute, as in an OpenMP team, and the caller needs no waking at the end.
// The worker bound to the caller's processor stands aside meanwhile (two
// threads on one processor only take turns). Callers beyond the guest slots,
// and long calls (frame/traversal.hpp), queue their whole job in the shared
// injector and wait on a latch.
//
// Waiting: an idle worker looks for work for kIdleLookFor, then sleeps; a guest
// or a latch waiter looks for kCallerLooksFor, then sleeps. In a virtual
// machine a thread woken from a condition runs 10 to 30 us later, more than a
// call on cached data computes. Between looks they yield, so that a thread on
// the same processor with something to do runs; a worker whose processor
// another thread keeps (kCrowdedGap) sleeps at once for a while. Each thread
// sleeps on its own condition: new work wakes one worker that may take it, a
// finished job its joiner. Workers are bound one to each processor where the
// pool has one per processor (base/platform.hpp). `pending_` counts queued jobs
// and `sleepers_` sleeping threads; both are sequentially consistent so that a
// thread that queues work and one that goes to sleep cannot both miss each
// other (a store-load pair on each side, as in Dekker's algorithm).
#include "frame/worker_pool.hpp"

#include "base/fork.hpp"
#include "base/platform.hpp"
#if defined(__x86_64__) || defined(__i386__)
#include "base/pause_x86.hpp"
#endif

#include <atomic>
#include <bit>
#include <chrono>
#include <cstdlib>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <sstream>
#include <thread>
#include <utility>
#include <vector>

namespace kelvane {
namespace {

constexpr size_t kDequeCapacity = 512;
// Callers that may work alongside the workers at once; further callers hand
// their whole job over and wait.
constexpr unsigned kGuestSlots = 4;
constexpr size_t kStackBytes = 2u << 20;
// Long enough for back-to-back calls from a Python loop, with some work
// between them, to find the workers awake; short enough that a process calling
// now and then spends little on looking (bench/pool_wait.py measures both).
constexpr std::chrono::microseconds kIdleLookFor{100};
// Covers the calls on grids of up to about a million pixels on two cores;
// longer calls sleep, where the wake-up is small against the call.
constexpr std::chrono::microseconds kCallerLooksFor{250};

inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
    cpu_pause_x86();
#elif defined(__aarch64__)
    __asm__ __volatile__("yield");
#endif
}

using Clock = std::chrono::steady_clock;

// Looks at `ready` until it holds or `limit` has passed, giving the processor
// away between looks. Returns whether it holds. `longest_gap`, if given,
// learns the longest time between two looks: how long another thread kept
// the processor.
template <class Ready>
bool look_for(Ready ready, std::chrono::microseconds limit, Clock::duration* longest_gap = nullptr) {
    auto last = Clock::now();
    const auto until = last + limit;
    for (;;) {
        if (ready()) return true;
        cpu_relax();
        if (ready()) return true;
        std::this_thread::yield();
        const auto now = Clock::now();
        if (longest_gap && now - last > *longest_gap) *longest_gap = now - last;
        last = now;
        if (now >= until) return ready();
    }
}

struct Latch {
    std::mutex mutex;
    std::condition_variable cv;
    std::atomic<bool> released{false};  // written under `mutex`, read with or without it

    void signal() {
        // All under the mutex: a waiter that saw `released` without it returns
        // only after it has held the mutex once more, so after this unlock,
        // the last touch of the latch.
        std::lock_guard<std::mutex> lock(mutex);
        released.store(true, std::memory_order_release);
        cv.notify_one();
    }
    void wait() {
        if (look_for([&] { return released.load(std::memory_order_acquire); }, kCallerLooksFor)) {
            // Sleeps if the signaller is between its store and its unlock
            // (preempted, say), rather than spinning against it.
            std::lock_guard<std::mutex> lock(mutex);
            return;
        }
        std::unique_lock<std::mutex> lock(mutex);
        cv.wait(lock, [&] { return released.load(std::memory_order_relaxed); });
    }
};

// Guards the deques: held for a few instructions, never across a call. A
// waiter spins rather than sleeps: a thread put to sleep on a lock in a
// virtual machine is woken tens of microseconds later (a halted virtual
// processor has to be run again), longer than a whole small call. It yields
// between rounds of spinning, in case the holder was preempted on its
// processor.
class SpinLock {
public:
    void lock() {
        for (;;) {
            if (!locked_.exchange(true, std::memory_order_acquire)) return;
            for (int spins = 0; locked_.load(std::memory_order_relaxed); ++spins) {
                if (spins < 64) {
                    cpu_relax();
                } else {
                    std::this_thread::yield();
                    spins = 0;
                }
            }
        }
    }
    void unlock() { locked_.store(false, std::memory_order_release); }

private:
    std::atomic<bool> locked_{false};
};

struct Job {
    Task task;
    int owner;                   // worker that queued it, -1 for an outside caller
    Latch* latch = nullptr;      // outside caller waiting for it
    TaskOutcome outcome;
    std::atomic<bool> done{false};
};

struct alignas(64) WorkerDeque {
    SpinLock lock;
    Job* jobs[kDequeCapacity];
    size_t top = 0;     // next to steal
    size_t bottom = 0;  // next free slot
    // Of a worker: the processor it is bound to (-1: none), and the number of
    // callers working alongside the pool on that processor, for whom it stands aside.
    std::atomic<int> processor{-1};
    std::atomic<int> hosted{0};
    // Its sleep: a thread sleeps on its own condition, so that a wake-up goes
    // to one thread that can use it.
    std::mutex sleep_mutex;
    std::condition_variable wake_cv;
    std::atomic<bool> asleep{false};  // written under `sleep_mutex`
    std::atomic<int64_t> hosted_at{0};  // Clock ticks: when a guest last came to its processor
    std::atomic<int64_t> crowded_until{0};  // Clock ticks; see kCrowdedGap
    // Set when a call long enough to wake crowded workers woke this one.
    std::atomic<bool> woken_for_long_work{false};
};

// A worker whose processor another thread held this long between two of its
// looks shares it with a thread that does not give it up, such as an OpenMP
// worker spinning for milliseconds after its parallel region, or a thread
// computing. For kCrowdedFor it then sleeps as soon as it is idle, without
// looking: its looks would hand the processor to that thread for a whole time
// slice each and leave work it should take waiting meanwhile, where a thread
// woken from its sleep is run promptly (on the 2-core Xeon VM, 1024 x 1024
// calls in numba's spinning took ~135 us so, 240 us with the worker kept
// away, 121 us with no spinning).
constexpr std::chrono::microseconds kCrowdedGap{1000};
constexpr std::chrono::microseconds kCrowdedFor{10000};

thread_local int t_worker_index = -1;
thread_local const void* t_worker_pool = nullptr;
// Whom a guest's new work may wake: sleeping workers, and of them also those
// whose processor is crowded.
thread_local bool t_guest_wakes = false;
thread_local bool t_guest_wakes_crowded = false;

class Pool final : public WorkerPool {
public:
    explicit Pool(unsigned n) : n_(n), deques_(n + kGuestSlots) {}

    // Starts every worker and waits until all have started.
    bool start(std::string& cause) {
        unsigned created = 0;
        std::string error;
        for (; created < n_; ++created) {
            auto* start_args = new StartArgs{this, static_cast<int>(created)};
            error = platform::start_detached_thread(&Pool::thread_main, start_args, kStackBytes);
            if (!error.empty()) {
                delete start_args;
                break;
            }
        }
        {
            std::unique_lock<std::mutex> lock(start_mutex_);
            start_cv_.wait(lock, [&] { return started_ == created; });
        }
        if (!error.empty()) {
            // Threads already started stay parked for the life of the process.
            cause = "could not start worker thread: " + error;
            return false;
        }
        return true;
    }

    unsigned num_workers() const override { return n_; }

    int current_worker() const override { return t_worker_pool == this ? t_worker_index : -1; }

    TaskOutcome run_and_wait(Task task) override {
        Latch latch;
        Job job{task, -1, &latch, {}, {}};
        {
            std::lock_guard<SpinLock> hold(injector_lock_);
            injector_.push_back(&job);
            injected_.fetch_add(1, std::memory_order_seq_cst);
            pending_.fetch_add(1, std::memory_order_seq_cst);
        }
        announce_work();
        latch.wait();
        return std::move(job.outcome);
    }

    TaskOutcome run_alongside(Task task, bool wake_sleepers) override {
        if (t_worker_pool == this) return run_task(task);
        const int slot = claim_guest_slot();
        if (slot < 0) return run_and_wait(task);
        GuestStay stay(*this, slot, wake_sleepers);
        return run_task(task);
    }

    std::pair<TaskOutcome, TaskOutcome> join(Task first, Task second) override {
        const int self = t_worker_index;
        WorkerDeque& deque = deques_[self];
        Job job{second, self, nullptr, {}, {}};
        bool queued = push(deque, &job);
        if (queued && (!is_guest(self) || t_guest_wakes)) announce_work(!is_guest(self) || t_guest_wakes_crowded);

        TaskOutcome first_outcome = run_task(first);

        if (!queued || take_back(deque, &job)) {
            TaskOutcome second_outcome = run_task(second);
            return {std::move(first_outcome), std::move(second_outcome)};
        }
        // Stolen: help with other work until the thief has finished it.
        while (!job.done.load(std::memory_order_acquire)) {
            if (Job* other = find_work(self)) {
                execute(other);
                continue;
            }
            // A guest helps only with work in the deques (`steal`), not with whole calls.
            sleep_until(self, [&] {
                return job.done.load(std::memory_order_seq_cst) || (is_guest(self) ? deque_work() : any_work());
            }, is_guest(self) ? kCallerLooksFor : kIdleLookFor);
        }
        return {std::move(first_outcome), std::move(job.outcome)};
    }

private:
    struct StartArgs {
        Pool* pool;
        int index;
    };

    // A calling thread's stay as a guest, from a claimed slot to the end of its
    // task: it is the pool's thread n + slot meanwhile, and the worker bound to
    // its processor, if any, stands aside (the two would only take turns on it).
    class GuestStay {
    public:
        GuestStay(Pool& pool, int slot, bool wake_sleepers)
            : pool_(pool), slot_(slot), saved_index_(t_worker_index), saved_pool_(t_worker_pool) {
            const int64_t now = Clock::now().time_since_epoch().count();
            const int processor = platform::current_processor();
            for (unsigned w = 0; w < pool.n_ && processor >= 0; ++w) {
                if (pool.deques_[w].processor.load(std::memory_order_relaxed) == processor) host_ = &pool.deques_[w];
            }
            if (host_) {
                host_->hosted.fetch_add(1, std::memory_order_seq_cst);
                host_->hosted_at.store(now, std::memory_order_relaxed);
            }
            t_worker_index = static_cast<int>(pool.n_) + slot;
            t_worker_pool = &pool;
            // Calls that follow each other closely are worth a wake-up even when
            // small: the woken worker then stays awake for the next ones, unless
            // its processor is crowded (it then sleeps again at once).
            t_guest_wakes = wake_sleepers || now - pool.last_guest_end_.load(std::memory_order_relaxed) <
                                                     Clock::duration(kIdleLookFor).count();
            t_guest_wakes_crowded = wake_sleepers;
        }
        // Every join of the task has completed by now: the slot's deque is empty.
        ~GuestStay() {
            t_worker_index = saved_index_;
            t_worker_pool = saved_pool_;
            t_guest_wakes = false;
            t_guest_wakes_crowded = false;
            pool_.guests_.fetch_and(~(1u << slot_), std::memory_order_seq_cst);
            pool_.last_guest_end_.store(Clock::now().time_since_epoch().count(), std::memory_order_relaxed);
            if (!host_) return;
            host_->hosted.fetch_sub(1, std::memory_order_seq_cst);
            // It may have gone to sleep with work queued that it now may take.
            if (pool_.any_work() && host_->asleep.load(std::memory_order_seq_cst)) wake(*host_);
        }
        GuestStay(const GuestStay&) = delete;
        GuestStay& operator=(const GuestStay&) = delete;

    private:
        Pool& pool_;
        const int slot_;
        const int saved_index_;
        const void* const saved_pool_;
        WorkerDeque* host_ = nullptr;
    };

    static void thread_main(void* raw) {
        StartArgs args = *static_cast<StartArgs*>(raw);
        delete static_cast<StartArgs*>(raw);
        args.pool->worker_loop(args.index);
    }

    [[noreturn]] void worker_loop(int index) {
        t_worker_index = index;
        t_worker_pool = this;
        deques_[index].processor.store(platform::bind_to_processor(static_cast<unsigned>(index), n_),
                                       std::memory_order_relaxed);
        {
            std::lock_guard<std::mutex> lock(start_mutex_);
            ++started_;
            start_cv_.notify_all();
        }
        try {
            for (;;) {
                Job* job = deques_[index].hosted.load(std::memory_order_seq_cst) ? nullptr : find_work(index);
                if (job) {
                    execute(job);
                } else {
                    wait_idle(index);
                }
            }
        } catch (...) {
            // Tasks report their failures as outcomes; anything escaping to
            // here broke the pool's own bookkeeping, and nothing can recover it.
            static const char kMessage[] = "Rayon: detected unexpected panic; aborting\n";
            platform::write_to_stderr(kMessage, sizeof kMessage - 1);
            std::abort();
        }
    }

    static TaskOutcome run_task(Task task) {
        try {
            task.run(task.context);
        } catch (Panic& failure) {
            return TaskOutcome(std::move(failure));
        } catch (...) {
            // Kernels fail only by panicking; anything else is a failure too.
            return TaskOutcome(Panic("a task failed with a C++ exception that is not a panic"));
        }
        return {};
    }

    void execute(Job* job) {
        Latch* latch = job->latch;
        job->outcome = run_task(job->task);
        if (latch) {
            latch->signal();
            return;
        }
        const int owner = job->owner;
        // After this store the joiner may return and the job is gone.
        job->done.store(true, std::memory_order_seq_cst);
        if (sleepers_.load(std::memory_order_seq_cst) > 0) wake(deques_[owner]);
    }

    bool push(WorkerDeque& d, Job* job) {
        std::lock_guard<SpinLock> hold(d.lock);
        if (d.bottom - d.top == kDequeCapacity) return false;  // full: run it in place
        d.jobs[d.bottom++ % kDequeCapacity] = job;
        pending_.fetch_add(1, std::memory_order_seq_cst);
        return true;
    }

    // Takes `job` back if it is still at the bottom of this worker's deque.
    bool take_back(WorkerDeque& d, Job* job) {
        std::lock_guard<SpinLock> hold(d.lock);
        if (d.bottom == d.top || d.jobs[(d.bottom - 1) % kDequeCapacity] != job) return false;
        --d.bottom;
        pending_.fetch_sub(1, std::memory_order_seq_cst);
        return true;
    }

    Job* pop_bottom(WorkerDeque& d) {
        std::lock_guard<SpinLock> hold(d.lock);
        if (d.bottom == d.top) return nullptr;
        pending_.fetch_sub(1, std::memory_order_seq_cst);
        return d.jobs[--d.bottom % kDequeCapacity];
    }

    Job* steal_top(WorkerDeque& d) {
        std::lock_guard<SpinLock> hold(d.lock);
        if (d.bottom == d.top) return nullptr;
        pending_.fetch_sub(1, std::memory_order_seq_cst);
        return d.jobs[d.top++ % kDequeCapacity];
    }

    bool is_guest(int self) const { return self >= static_cast<int>(n_); }

    int claim_guest_slot() {
        unsigned taken = guests_.load(std::memory_order_relaxed);
        for (;;) {
            const unsigned free = ~taken & ((1u << kGuestSlots) - 1);
            if (free == 0) return -1;
            const unsigned bit = free & (~free + 1);
            if (guests_.compare_exchange_weak(taken, taken | bit, std::memory_order_seq_cst)) {
                return std::countr_zero(bit);
            }
        }
    }

    // Work a guest could take: queued in a deque, not a whole call in the injector.
    bool deque_work() const {
        return pending_.load(std::memory_order_seq_cst) > injected_.load(std::memory_order_seq_cst);
    }

    bool any_work() const { return pending_.load(std::memory_order_seq_cst) > 0; }

    Job* find_work(int self) {
        if (pending_.load(std::memory_order_seq_cst) == 0) return nullptr;
        if (self >= 0) {
            if (Job* job = pop_bottom(deques_[self])) return job;
        }
        if (is_guest(self)) return steal(self);
        {
            std::lock_guard<SpinLock> hold(injector_lock_);
            if (!injector_.empty()) {
                Job* job = injector_.front();
                injector_.erase(injector_.begin());
                injected_.fetch_sub(1, std::memory_order_seq_cst);
                pending_.fetch_sub(1, std::memory_order_seq_cst);
                return job;
            }
        }
        return steal(self);
    }

    // Steals from the other workers' deques, then from the guests'.
    Job* steal(int self) {
        for (unsigned k = 1; k <= n_; ++k) {
            unsigned victim = (static_cast<unsigned>(self) + k) % n_;
            if (static_cast<int>(victim) == self) continue;
            if (Job* job = steal_top(deques_[victim])) return job;
        }
        const unsigned guests = guests_.load(std::memory_order_seq_cst);
        for (unsigned slot = 0; slot < kGuestSlots; ++slot) {
            const int victim = static_cast<int>(n_ + slot);
            if (victim == self || !(guests >> slot & 1)) continue;
            if (Job* job = steal_top(deques_[victim])) return job;
        }
        return nullptr;
    }

    // Wakes one sleeping worker that may take work, if any sleeps; one whose
    // processor is crowded only with `crowded_too`.
    void announce_work(bool crowded_too = true) {
        if (sleepers_.load(std::memory_order_seq_cst) == 0) return;
        const int64_t now = crowded_too ? 0 : Clock::now().time_since_epoch().count();
        for (unsigned w = 0; w < n_; ++w) {
            WorkerDeque& worker = deques_[w];
            if (!worker.asleep.load(std::memory_order_seq_cst) || worker.hosted.load(std::memory_order_seq_cst)) continue;
            if (!crowded_too && now < worker.crowded_until.load(std::memory_order_relaxed)) continue;
            if (wake(worker)) {
                if (crowded_too) worker.woken_for_long_work.store(true, std::memory_order_relaxed);
                return;
            }
        }
    }

    static bool wake(WorkerDeque& sleeper) {
        std::lock_guard<std::mutex> lock(sleeper.sleep_mutex);
        if (!sleeper.asleep.load(std::memory_order_relaxed)) return false;
        sleeper.asleep.store(false, std::memory_order_relaxed);
        sleeper.wake_cv.notify_one();
        return true;
    }

    // An idle worker: returns when there is work it may take (or spuriously).
    void wait_idle(int self) {
        WorkerDeque& me = deques_[self];
        bool crowded = Clock::now().time_since_epoch().count() < me.crowded_until.load(std::memory_order_relaxed);
        const bool check = me.woken_for_long_work.exchange(false, std::memory_order_relaxed);
        if (!crowded && check && others_runnable()) {
            // Woken from its sleep, the worker ran at once, ahead of whatever
            // else wants its processor; looking with yields would hand it
            // over for a whole time slice before the first gap showed. (Small
            // calls do not ask: a crowded worker is no help to them.)
            crowded = true;
            me.crowded_until.store(Clock::now().time_since_epoch().count() + Clock::duration(kCrowdedFor).count(),
                                   std::memory_order_relaxed);
        }
        Clock::duration longest_gap{};
        sleep_until(self, [&] { return any_work() && !me.hosted.load(std::memory_order_seq_cst); },
                    crowded ? std::chrono::microseconds{0} : kIdleLookFor, &longest_gap);
        if (longest_gap < kCrowdedGap) return;
        // A caller working alongside on this processor keeps it too, also with
        // the Python code between its calls, and does not crowd it.
        const int64_t now = Clock::now().time_since_epoch().count();
        if (now - me.hosted_at.load(std::memory_order_relaxed) < Clock::duration(kCrowdedFor).count()) return;
        me.crowded_until.store(now + Clock::duration(kCrowdedFor).count(), std::memory_order_relaxed);
    }

    // Whether the system has more threads wanting a processor than this
    // pool's awake threads and one caller: another program, or another
    // runtime's spinning threads, shares the processors.
    bool others_runnable() const {
        const int runnable = platform::runnable_threads();
        const int awake = static_cast<int>(n_) - sleepers_.load(std::memory_order_relaxed);
        return runnable >= 0 && runnable > awake + 1;
    }

    // Looks for `ready()` for `look` (a zero `look` checks it once, without
    // giving the processor away), then sleeps until it holds or another
    // thread wakes this one (callers loop). Whoever makes `ready()` hold
    // stores first and then reads `sleepers_`; the sleeper raises `sleepers_`
    // first and then reads `ready()`: one of the two sees the other.
    template <class Ready>
    void sleep_until(int self, Ready ready, std::chrono::microseconds look, Clock::duration* longest_gap = nullptr) {
        if (look.count() == 0 ? ready() : look_for(ready, look, longest_gap)) return;
        // A gap seen before a sleep says nothing of the processor after it.
        if (longest_gap) *longest_gap = {};
        WorkerDeque& me = deques_[self];
        std::unique_lock<std::mutex> lock(me.sleep_mutex);
        me.asleep.store(true, std::memory_order_seq_cst);
        sleepers_.fetch_add(1, std::memory_order_seq_cst);
        while (me.asleep.load(std::memory_order_relaxed) && !ready()) me.wake_cv.wait(lock);
        me.asleep.store(false, std::memory_order_relaxed);
        sleepers_.fetch_sub(1, std::memory_order_seq_cst);
    }

    const unsigned n_;
    std::vector<WorkerDeque> deques_;
    SpinLock injector_lock_;
    std::vector<Job*> injector_;
    std::atomic<int64_t> pending_{0};
    std::atomic<int64_t> injected_{0};  // of `pending_`, the jobs in the injector
    std::atomic<unsigned> guests_{0};   // guest slots in use, one bit each
    std::atomic<int64_t> last_guest_end_{0};  // Clock ticks
    std::atomic<int> sleepers_{0};
    std::mutex start_mutex_;
    std::condition_variable start_cv_;
    unsigned started_ = 0;
};

// The global pool and the fork generation it was made in. Only touched with the
// interpreter lock held (import, and the start of each traversal).
Pool* g_pool = nullptr;
bool g_pool_attempted = false;
uint64_t g_pool_generation = 0;
std::string g_pool_failure = "the pool was never created";

void try_create_pool() {
    g_pool_attempted = true;
    g_pool_generation = fork_generation();
    auto* pool = new Pool(WorkerPool::available_workers());  // never destroyed
    std::string cause;
    if (pool->start(cause)) {
        g_pool = pool;
    } else {
        g_pool = nullptr;
        g_pool_failure = cause;
    }
}

}  // namespace

unsigned WorkerPool::available_workers() {
    const unsigned n = platform::available_processors();
    if (n == 0) return 1;
    return n < 255 ? n : 255;
}

void WorkerPool::create_global() {
    watch_forks();
    if (!g_pool_attempted) try_create_pool();
}

WorkerPool& WorkerPool::global() {
    // A forked child has the pool object but none of its threads.
    if (g_pool_attempted && g_pool_generation != fork_generation()) {
        try_create_pool();
    }
    if (!g_pool) panic("The global thread pool has not been initialized.: " + g_pool_failure);
    return *g_pool;
}

WorkerPool& WorkerPool::start(unsigned workers) {
    auto* pool = new Pool(workers > 0 ? workers : 1);  // never destroyed
    std::string cause;
    if (!pool->start(cause)) panic("could not start a pool of " + std::to_string(workers) + " workers: " + cause);
    return *pool;
}

}  // namespace kelvane
