// Owned Python references: every reference kelvane takes has exactly one owner.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace kelvane {

// Set while this thread has released the interpreter lock for a computation. If
// re-taking the lock ends the thread (interpreter shutdown), the unwind runs the
// destructors below without the lock; they must then leave Python alone.
inline thread_local bool t_interpreter_lock_released = false;

class OwnedRef {
public:
    OwnedRef() noexcept = default;
    static OwnedRef steal(PyObject* p) noexcept { return OwnedRef(p); }
    static OwnedRef borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return OwnedRef(p);
    }
    OwnedRef(OwnedRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    OwnedRef& operator=(OwnedRef&& o) noexcept {
        if (this != &o) {
            reset();
            p_ = std::exchange(o.p_, nullptr);
        }
        return *this;
    }
    OwnedRef(const OwnedRef&) = delete;
    OwnedRef& operator=(const OwnedRef&) = delete;
    ~OwnedRef() { reset(); }

    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // Hands the reference to the caller (for returning a new reference to CPython).
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    void reset() noexcept {
        if (p_ && !t_interpreter_lock_released) Py_DECREF(p_);
        p_ = nullptr;
    }

private:
    explicit OwnedRef(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

}  // namespace kelvane
