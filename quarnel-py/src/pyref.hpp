// Small RAII types over the CPython stable ABI: an owned reference and a scope that
// releases the interpreter lock. Reference counting goes through the exported
// functions rather than the inline macros so one build serves every 3.10+ runtime.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace quarnel::py {

inline void incref(PyObject* p) noexcept { _Py_IncRef(p); }
inline void decref(PyObject* p) noexcept { _Py_DecRef(p); }

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
        if (p_ != nullptr) decref(p_);
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

// Releases the interpreter lock for its scope and retakes it on every way out,
// exceptions included. Nothing inside the scope may touch a Python object.
class ReleaseGil {
public:
    ReleaseGil() noexcept : state_(PyEval_SaveThread()) {}
    ~ReleaseGil() { PyEval_RestoreThread(state_); }
    ReleaseGil(const ReleaseGil&) = delete;
    ReleaseGil& operator=(const ReleaseGil&) = delete;

private:
    PyThreadState* state_;
};

}  // namespace quarnel::py
