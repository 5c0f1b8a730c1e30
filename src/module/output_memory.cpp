// An allocating call's array is usually dropped before the next call (a scene
// read tile by tile, an index per frame). Memory fresh from the system costs
// more than the computation: the kernel faults in and zeroes every page as the
// workers first write it, more than half of an allocating call at 4096 x 4096. So
// these arrays take their data from a NumPy memory handler of their own that
// keeps the last freed buffer of such a size and gives it to the next array of
// exactly that size.
//
// What it keeps is bounded: one buffer of at most kMaxKeptBytes, only ever the
// memory of an array that has been freed. Everything else goes straight to
// NumPy's default handler. An array remembers its handler, so an array made
// here is freed here whenever it dies.
#include "module/output_memory.hpp"

#include "module/failure.hpp"
#include "module/numpy_api.hpp"

#include <cstdlib>
#include <mutex>

namespace kelvane {
namespace {

// Below this, glibc's heap already reuses freed memory without new pages.
constexpr size_t kMinKeptBytes = size_t{4} << 20;
// An 8192 x 8192 float32 output; larger arrays are freed at once.
constexpr size_t kMaxKeptBytes = size_t{256} << 20;

struct KeptBuffer {
    std::mutex mutex;
    void* data = nullptr;
    size_t size = 0;
};

KeptBuffer& kept() {
    static KeptBuffer* buffer = new KeptBuffer;  // never destroyed: arrays may die during shutdown
    return *buffer;
}

// NumPy's own handler, which makes and frees all memory here (its huge-page
// advice and small-block cache included). Set before the first array uses ours.
const PyDataMemAllocator* numpy_allocator = nullptr;

bool keepable(size_t size) { return size >= kMinKeptBytes && size <= kMaxKeptBytes; }

void* output_malloc(void*, size_t size) {
    if (keepable(size)) {
        KeptBuffer& k = kept();
        std::lock_guard<std::mutex> lock(k.mutex);
        if (k.data && k.size == size) {
            k.size = 0;
            return std::exchange(k.data, nullptr);
        }
    }
    return numpy_allocator->malloc(numpy_allocator->ctx, size);
}

void* output_calloc(void*, size_t count, size_t size) {
    return numpy_allocator->calloc(numpy_allocator->ctx, count, size);
}

void* output_realloc(void*, void* data, size_t size) {
    return numpy_allocator->realloc(numpy_allocator->ctx, data, size);
}

// NumPy passes the size that the data was allocated (or last reallocated) with.
void output_free(void*, void* data, size_t size) {
    if (data && keepable(size)) {
        KeptBuffer& k = kept();
        std::unique_lock<std::mutex> lock(k.mutex);
        size_t older_size = std::exchange(k.size, size);
        void* older = std::exchange(k.data, data);
        lock.unlock();
        if (older) numpy_allocator->free(numpy_allocator->ctx, older, older_size);
        return;
    }
    numpy_allocator->free(numpy_allocator->ctx, data, size);
}

PyDataMem_Handler output_handler = {
    "kelvane_outputs", 1, {nullptr, &output_malloc, &output_calloc, &output_realloc, &output_free}};

// The handler as NumPy takes it, made once and kept for the life of the process.
PyObject* output_handler_capsule() {
    static PyObject* capsule = [] {
        auto* numpy_handler =
            static_cast<PyDataMem_Handler*>(PyCapsule_GetPointer(PyDataMem_DefaultHandler, "mem_handler"));
        if (!numpy_handler) fail_python_api_call();
        numpy_allocator = &numpy_handler->allocator;
        return expect_object(PyCapsule_New(&output_handler, "mem_handler", nullptr));
    }();
    return capsule;
}

// Makes `handler` the context's memory handler while it lives, then puts the
// caller's back, so that no other array of the caller's comes from it.
class HandlerSwap {
public:
    explicit HandlerSwap(PyObject* handler)
        : previous_(OwnedRef::steal(expect_object(PyDataMem_SetHandler(handler)))) {}
    HandlerSwap(const HandlerSwap&) = delete;
    HandlerSwap& operator=(const HandlerSwap&) = delete;
    ~HandlerSwap() {
        // No Python error is pending here: a failed creation has taken NumPy's
        // into a C++ exception. Should this fail (only for want of memory), ours
        // stays the context's handler, which hands out the default's memory all
        // the same.
        if (!OwnedRef::steal(PyDataMem_SetHandler(previous_.get()))) PyErr_Clear();
    }

private:
    OwnedRef previous_;
};

}  // namespace

OwnedRef new_output_array(int64_t rows, int64_t cols) {
    ensure_numpy_api();
    npy_intp dims[2] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(cols)};
    HandlerSwap swap(output_handler_capsule());
    return OwnedRef::steal(expect_object(PyArray_EMPTY(2, dims, NPY_FLOAT, 0)));
}

}  // namespace kelvane
