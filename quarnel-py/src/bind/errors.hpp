// How failures travel from C++ back to Python.
//
// Inside a call body three kinds of failure exist:
//   - a Python exception is already set (a C-API call failed, or a ValueError was
//     raised for a ModelError): thrown as `PythonError`, a bare marker;
//   - an internal fault (a broken invariant): `quarnel::InternalFault`, which the
//     call entry turns into PanicException;
//   - native memory exhaustion, which ends the process.
// Only the call entry (module.cpp) catches; every C-API failure goes through
// `throw_pending()` so the pending exception is passed on unchanged.
#pragma once

#include <string>
#include <string_view>

#include "bind/pyref.hpp"
#include "core/result.hpp"

namespace quarnel::py {

struct PythonError {};

// The PanicException class, created on first need and kept for the process, one class
// for every extension of the library (importable as quarnel.PanicException). It
// derives from BaseException so `except Exception` does not swallow a fault. nullptr
// (with nothing set) only when the interpreter could not create it.
PyObject* panic_type();

// Sets PanicException(message) as the current exception. Never throws.
void set_panic(std::string_view message) noexcept;

// Passes on the pending Python exception as PythonError; a pending PanicException
// resumes as an internal fault with the same text; with nothing pending, raises
// SystemError.
[[noreturn]] void throw_pending();

// The same for a failed argument conversion: an exception of exactly TypeError is
// replaced by TypeError("argument '<name>': <text>"), keeping its cause.
[[noreturn]] void throw_argument_error(const char* name);

[[noreturn]] void throw_type_error(std::string_view message);
[[noreturn]] void throw_model_error(const ModelError& error);

// Unwraps a kernel's Result, raising its ModelError as ValueError.
template <class T>
T unwrap(Result<T>&& r) {
    if (!r.ok()) throw_model_error(r.error());
    return std::move(r).value();
}

// Checks a new reference returned by the C API.
inline Ref check(PyObject* p) {
    if (p == nullptr) throw_pending();
    return Ref::steal(p);
}
inline void check_status(int status) {
    if (status < 0) throw_pending();
}

// Result floats and tuples: a failure to create one is printed and becomes an
// internal fault ("Python API call failed").
Ref make_float_tuple(const double* values, Py_ssize_t n);

}  // namespace quarnel::py
