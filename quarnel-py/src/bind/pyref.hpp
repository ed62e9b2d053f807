// Small RAII types over the CPython stable ABI: an owned reference, and the scope in
// which kernels run with the interpreter lock released. Reference counting goes through the
// exported functions rather than the inline macros so one build serves every 3.10+ runtime.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace quarnel::py {

inline void incref(PyObject* p) noexcept { _Py_IncRef(p); }
inline void decref(PyObject* p) noexcept { _Py_DecRef(p); }

// True on a thread that lost the interpreter lock for good: CPython 3.10 to 3.13 end a
// thread that tries to retake it during finalization with pthread_exit, whose forced
// unwind then runs our destructors without the lock. They must not touch Python then.
bool thread_lost_interpreter() noexcept;

// Move-only owner of one strong reference (or of nothing).
class Ref {
public:
    Ref() noexcept = default;
    // Takes over a new reference, as returned by most C-API calls.
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    // Adds a reference to a borrowed object.
    static Ref borrow(PyObject* p) noexcept {
        if (p != nullptr) incref(p);
        return Ref(p);
    }

    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        Ref(std::move(other)).swap(*this);
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() {
        if (p_ != nullptr && !thread_lost_interpreter()) decref(p_);
    }

    PyObject* get() const noexcept { return p_; }
    // Gives the reference away (to a stealing call or to the caller).
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    void swap(Ref& other) noexcept { std::swap(p_, other.p_); }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// The WorkScope of the Python bindings: the work runs with the interpreter lock
// released. Whatever the work throws is carried across and rethrown once the lock is
// back, so no exception unwinds through the retaking.
void enter_without_gil(void (*work)(void*), void* ctx);

}  // namespace quarnel::py
