// The hold registry. It is private to this module: holds are shared by every
// call of kelvane in the process, not with other extension modules.
#include "module/holds.hpp"

#include "base/fork.hpp"
#include "module/failure.hpp"

#include <numeric>
#include <unordered_map>

namespace kelvane {
namespace {

struct Entry {
    HoldKey key;
    int64_t count;  // > 0: read-only holds; -1: one exclusive hold
};

struct Registry {
    std::unordered_map<uintptr_t, std::vector<Entry>> bases;
    uint64_t fork_generation = 0;
};

Registry& registry() {
    static Registry* r = new Registry();  // lives until the process ends
    // A forked child inherits holds of calls running on threads it does not
    // have; those calls will never release them.
    uint64_t generation = fork_generation();
    if (r->fork_generation != generation) {
        r->bases.clear();
        r->fork_generation = generation;
    }
    return *r;
}

uintptr_t base_address(PyArrayObject* array) {
    PyObject* current = reinterpret_cast<PyObject*>(array);
    for (;;) {
        PyObject* base = PyArray_BASE(reinterpret_cast<PyArrayObject*>(current));
        if (!base) return reinterpret_cast<uintptr_t>(current);
        if (!PyArray_Check(base)) return reinterpret_cast<uintptr_t>(base);
        current = base;
    }
}

HoldKey key_of(PyArrayObject* array) {
    const int nd = PyArray_NDIM(array);
    const npy_intp* dims = PyArray_DIMS(array);
    const npy_intp* strides = PyArray_STRIDES(array);
    const uintptr_t data = reinterpret_cast<uintptr_t>(PyArray_DATA(array));
    HoldKey key;
    key.data = data;
    uint64_t divisor = 0;
    bool empty = false;
    intptr_t negative = 0, positive = 0;
    for (int i = 0; i < nd; ++i) {
        divisor = std::gcd(divisor, static_cast<uint64_t>(strides[i] < 0 ? -strides[i] : strides[i]));
        if (dims[i] == 0) empty = true;
        intptr_t extent = static_cast<intptr_t>(dims[i] - 1) * strides[i];
        (extent < 0 ? negative : positive) += extent;
    }
    key.stride_divisor = divisor;
    if (empty) {
        key.start = key.end = data;
    } else {
        key.start = data + negative;
        key.end = data + positive + static_cast<uintptr_t>(PyArray_ITEMSIZE(array));
    }
    return key;
}

bool conflicts(const HoldKey& a, const HoldKey& b) {
    if (!(a.start < b.end && b.start < a.end)) return false;
    uint64_t divisor = std::gcd(a.stride_divisor, b.stride_divisor);
    // Two arrays that repeat one element everywhere give no divisor: count them
    // as a conflict, which keeps the guarantee.
    if (divisor == 0) return true;
    uint64_t distance = a.data > b.data ? a.data - b.data : b.data - a.data;
    return distance % divisor == 0;
}

Entry* find(std::vector<Entry>& entries, const HoldKey& key) {
    for (Entry& e : entries) {
        if (e.key == key) return &e;
    }
    return nullptr;
}

void remove_key(uintptr_t base, const HoldKey& key, bool exclusive) {
    Registry& r = registry();
    auto it = r.bases.find(base);
    if (it == r.bases.end()) return;  // dropped after a fork
    std::vector<Entry>& entries = it->second;
    for (size_t i = 0; i < entries.size(); ++i) {
        if (entries[i].key != key) continue;
        if (exclusive || --entries[i].count == 0) entries.erase(entries.begin() + static_cast<ptrdiff_t>(i));
        break;
    }
    if (entries.empty()) r.bases.erase(it);
}

[[noreturn]] void refuse(int code, std::source_location where = std::source_location::current()) {
    switch (code) {
        case hold_registry::kConflict:
            throw Panic("called `Result::unwrap()` on an `Err` value: AlreadyBorrowed", where);
        case hold_registry::kNotWriteable:
            throw Panic("called `Result::unwrap()` on an `Err` value: NotWriteable", where);
        default:
            throw Panic("Unexpected return code " + std::to_string(code) + " from borrow checking API",
                        where);
    }
}

}  // namespace

namespace hold_registry {

int acquire(PyArrayObject* array) {
    Registry& r = registry();
    const HoldKey key = key_of(array);
    std::vector<Entry>& entries = r.bases[base_address(array)];
    if (Entry* same = find(entries, key)) {
        if (same->count < 0 || same->count == INT64_MAX) return kConflict;
        ++same->count;
        return kGranted;
    }
    for (const Entry& e : entries) {
        if (e.count < 0 && conflicts(e.key, key)) return kConflict;
    }
    entries.push_back(Entry{key, 1});
    return kGranted;
}

int acquire_mut(PyArrayObject* array) {
    if (!PyArray_ISWRITEABLE(array)) return kNotWriteable;
    Registry& r = registry();
    const HoldKey key = key_of(array);
    const uintptr_t base = base_address(array);
    auto it = r.bases.find(base);
    if (it != r.bases.end()) {
        for (const Entry& e : it->second) {
            if (e.key == key || conflicts(e.key, key)) return kConflict;
        }
    }
    r.bases[base].push_back(Entry{key, -1});
    return kGranted;
}

void release(PyArrayObject* array) { remove_key(base_address(array), key_of(array), false); }
void release_mut(PyArrayObject* array) { remove_key(base_address(array), key_of(array), true); }

}  // namespace hold_registry

CallHolds::~CallHolds() {
    if (t_interpreter_lock_released) return;  // the thread is being ended without the lock
    if (write_) hold_registry::release_mut(write_);
    if (order_ == ReleaseOrder::Sequence) {
        for (PyArrayObject* a : reads_) hold_registry::release(a);
    } else {
        for (auto it = reads_.rbegin(); it != reads_.rend(); ++it) hold_registry::release(*it);
    }
}

void CallHolds::hold_read(const ArrayRef& band) {
    reads_.reserve(reads_.size() + 1);  // so that a granted hold is always recorded
    int code = hold_registry::acquire(band.array());
    if (code != hold_registry::kGranted) refuse(code);
    reads_.push_back(band.array());
}

void CallHolds::hold_write(const ArrayRef& out) {
    int code = hold_registry::acquire_mut(out.array());
    if (code != hold_registry::kGranted) refuse(code);
    write_ = out.array();
}

}  // namespace kelvane
