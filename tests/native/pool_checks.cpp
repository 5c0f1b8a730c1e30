// Native checks of the pool and the traversal, outside Python: many concurrent
// callers, nested fork-join and failing kernels at 1, 2, 3 and 4 workers, four
// times the processors and the process's own pool; every pixel is visited
// exactly once, cuts fall where they should, and the first failure in cut
// order is the one reported. Built from the base and frame objects alone, so
// that a ThreadSanitizer build of them is quick.
#include "check.hpp"
#include "frame/traversal.hpp"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

using namespace kelvane;
using native_checks::check;

// Pool stress: each pixel's float is incremented once; a failing kernel throws
// after finishing its block.
static void counting_block(const PixelZip& block, const void*) {
    walk_block(block, [&](const PixelRun& run) {
        for (int64_t i = 0; i < run.n; ++i) {
            std::byte* p = run.data[0] + i * run.stride[0];
            float v;
            std::memcpy(&v, p, 4);
            v += 1.0f;
            std::memcpy(p, &v, 4);
        }
    });
}

static void failing_block(const PixelZip& block, const void* raw) {
    counting_block(block, raw);
    if (block.rows * block.cols > 0) panic("block failed on purpose");
}

static void pool_stress(WorkerPool& pool, int64_t cost_per_pixel = 1000) {
    std::atomic<int> failures{0};
    auto caller = [&](int id) {
        std::mt19937 rng(100 + id);
        for (int iteration = 0; iteration < 60; ++iteration) {
            const int64_t rows = 1 + rng() % 300, cols = 1 + rng() % 300;
            std::vector<float> grid(rows * cols, 0.0f);
            const bool fortran = rng() % 2;
            OutView view{reinterpret_cast<std::byte*>(grid.data()), rows, cols, fortran ? 4 : 4 * cols,
                         fortran ? 4 * rows : 4};
            PixelZip zip = PixelZip::of(view);
            const bool fail = rng() % 4 == 0;
            const bool can_fail = fail || rng() % 2 == 0;  // else cuts may move to cache-line boundaries
            TaskOutcome outcome = traverse(pool, zip, fail ? &failing_block : &counting_block, nullptr,
                                           KernelTraits{can_fail, cost_per_pixel});
            bool once = true;
            for (float v : grid) once = once && v == 1.0f;
            if (!once || static_cast<bool>(outcome) != fail) failures.fetch_add(1);
            if (outcome && outcome->message() != "block failed on purpose") failures.fetch_add(1);
        }
    };
    std::vector<std::thread> threads;
    for (int id = 0; id < 8; ++id) threads.emplace_back(caller, id);
    for (auto& t : threads) t.join();
    check(failures.load() == 0, "pool stress, " + std::to_string(pool.num_workers()) + " workers, cost " +
                                    std::to_string(cost_per_pixel) + ": " + std::to_string(failures.load()) +
                                    " bad traversals");
}

// The stress again while threads keep every processor busy without yielding,
// as an OpenMP pool spinning after its parallel region does: workers find their
// processors crowded and sleep at once, and every call must still complete,
// small ones (which wake no crowded worker) and large ones alike.
static void pool_stress_crowded(WorkerPool& pool, unsigned processors) {
    std::atomic<bool> stop{false};
    std::vector<std::thread> spinners;
    for (unsigned k = 0; k < processors; ++k) {
        spinners.emplace_back([&] {
            while (!stop.load(std::memory_order_relaxed)) {
            }
        });
    }
    pool_stress(pool, 1);
    pool_stress(pool, 1000);
    stop.store(true);
    for (auto& t : spinners) t.join();
}

// A kernel that cannot fail has its grid cut where the output's runs cross a
// cache-line boundary, when the cuts go across the runs; one that can fail,
// in the middle of each block.
static std::mutex g_blocks_mutex;
static std::vector<PixelZip> g_blocks;

static void recording_block(const PixelZip& block, const void*) {
    std::lock_guard<std::mutex> lock(g_blocks_mutex);
    g_blocks.push_back(block);
}

static void cuts_on_cache_lines(WorkerPool& pool) {
    for (int64_t offset : {0, 4, 12, 60}) {
        for (bool can_fail : {false, true}) {
            const int64_t rows = 4100, cols = 2;
            std::vector<std::byte> storage(4 * rows * cols + 128);
            std::byte* base = storage.data() + (64 - reinterpret_cast<uintptr_t>(storage.data()) % 64) + offset;
            const OutView column_major{base, rows, cols, 4, 4 * rows};
            g_blocks.clear();
            const TaskOutcome outcome =
                traverse(pool, PixelZip::of(column_major), &recording_block, nullptr, KernelTraits{can_fail, 1000});
            // Where halving cuts fall: the middle of [start, end), recursively.
            std::vector<int64_t> middles{0};
            auto halve = [&](auto&& self, int64_t start, int64_t end) -> void {
                if (end - start < 2) return;
                middles.push_back(start + (end - start) / 2);
                self(self, start, start + (end - start) / 2);
                self(self, start + (end - start) / 2, end);
            };
            halve(halve, 0, rows);
            int64_t covered = 0;
            bool aligned = true, halved = true, cut_across = false;
            for (const PixelZip& block : g_blocks) {
                covered += block.rows * block.cols;
                // (A block cut from one of at most 16 lines may start anywhere.)
                if (block.grid_row > 0 && block.rows > 16) {
                    aligned = aligned && reinterpret_cast<uintptr_t>(block.parts[0].data) % 64 == 0;
                    cut_across = true;
                }
                halved = halved && std::find(middles.begin(), middles.end(), block.grid_row) != middles.end();
            }
            const std::string where = " offset " + std::to_string(offset) + (can_fail ? " can fail" : "") + ", " +
                                      std::to_string(pool.num_workers()) + " workers";
            check(!outcome && covered == rows * cols && cut_across, "cut blocks cover the grid" + where);
            check(can_fail || aligned, "free cuts fall on cache-line boundaries" + where);
            check(!can_fail || halved, "cuts of a kernel that can fail halve the blocks" + where);
        }
    }
}

// Fork-join nested `depth` levels deep: every leaf runs once, also when some
// fail, and the failure reported is that of the first failing leaf in order
// (each join reports its first task's failure before its second's).
struct JoinNode {
    WorkerPool* pool;
    int depth;
    int64_t id;  // leaves are numbered left to right
    std::atomic<int64_t>* leaves_run;
    int64_t fail_every;  // leaves whose id is a multiple of this fail (0: none)
};

static void run_join_node(void* raw) {
    const JoinNode& node = *static_cast<const JoinNode*>(raw);
    if (node.depth == 0) {
        node.leaves_run->fetch_add(1);
        if (node.fail_every > 0 && node.id % node.fail_every == node.fail_every - 1) {
            panic("leaf " + std::to_string(node.id));
        }
        return;
    }
    JoinNode first = node, second = node;
    first.depth = second.depth = node.depth - 1;
    first.id = 2 * node.id;
    second.id = 2 * node.id + 1;
    auto [a, b] = node.pool->join(Task{&run_join_node, &first}, Task{&run_join_node, &second});
    if (a) throw std::move(*a);
    if (b) throw std::move(*b);
}

static void nested_joins(WorkerPool& pool) {
    for (bool alongside : {false, true})
    for (int depth : {1, 4, 9}) {
        for (int64_t fail_every : {0, 1, 5, 300}) {
            std::atomic<int64_t> leaves_run{0};
            JoinNode root{&pool, depth, 0, &leaves_run, fail_every};
            const Task task{&run_join_node, &root};
            // (Alongside, deep trees wake the workers; shallow ones use those awake.)
            const TaskOutcome outcome = alongside ? pool.run_alongside(task, depth == 9) : pool.run_and_wait(task);
            const int64_t leaves = int64_t{1} << depth;
            const bool fails = fail_every > 0 && fail_every <= leaves;
            const std::string first_failure = "leaf " + std::to_string(fail_every - 1);
            check(leaves_run.load() == leaves && static_cast<bool>(outcome) == fails &&
                      (!outcome || outcome->message() == first_failure),
                  std::string(alongside ? "nested joins alongside, " : "nested joins, ") +
                      std::to_string(pool.num_workers()) + " workers, depth " + std::to_string(depth) +
                      ", every " + std::to_string(fail_every) + "th leaf failing");
        }
    }
}

// The pool and the traversal at 1, 2, 3 and 4 workers, four times as many as
// the machine's processors, and the process's own pool.
static void pool_checks() {
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    std::vector<WorkerPool*> pools;
    for (unsigned workers : {1u, 2u, 3u, 4u, 4 * cores}) pools.push_back(&WorkerPool::start(workers));
    WorkerPool::create_global();
    pools.push_back(&WorkerPool::global());
    for (WorkerPool* pool : pools) {
        pool_stress(*pool);
        nested_joins(*pool);
        cuts_on_cache_lines(*pool);
    }
    pool_stress_crowded(*pools[1], cores);
    pool_stress_crowded(WorkerPool::global(), cores);
}

int main() {
    pool_checks();
    return native_checks::report();
}
