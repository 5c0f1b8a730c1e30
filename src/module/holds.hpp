// Read-only and exclusive holds on arrays for the duration of a call, and the
// process-wide registry that grants them. Every operation runs with the
// interpreter lock held, which is what serialises the registry.
#pragma once

#include "module/convert.hpp"

#include <cstdint>
#include <vector>

namespace kelvane {

// The memory an array can touch, and how its elements are laid out in it.
struct HoldKey {
    uintptr_t start = 0;
    uintptr_t end = 0;
    uintptr_t data = 0;
    uint64_t stride_divisor = 0;
    bool operator==(const HoldKey&) const = default;
};

namespace hold_registry {
// Results of the hold operations.
inline constexpr int kGranted = 0;
inline constexpr int kConflict = -1;
inline constexpr int kNotWriteable = -2;

int acquire(PyArrayObject* array);
int acquire_mut(PyArrayObject* array);
void release(PyArrayObject* array);
void release_mut(PyArrayObject* array);
}  // namespace hold_registry

// The holds of one call: read-only holds on the bands, then the exclusive hold
// on the output. The destructor releases the exclusive hold first, then the
// read-only ones; it relies on the interpreter lock being held, and leaves the
// registry alone if this thread is being ended while the lock is released.
class CallHolds {
public:
    enum class ReleaseOrder { Reverse, Sequence };
    explicit CallHolds(ReleaseOrder order) : order_(order) {}
    CallHolds(const CallHolds&) = delete;
    CallHolds& operator=(const CallHolds&) = delete;
    ~CallHolds();

    void hold_read(const ArrayRef& band);   // panics with AlreadyBorrowed
    void hold_write(const ArrayRef& out);   // panics with NotWriteable / AlreadyBorrowed

private:
    ReleaseOrder order_;
    std::vector<PyArrayObject*> reads_;
    PyArrayObject* write_ = nullptr;
};

}  // namespace kelvane
