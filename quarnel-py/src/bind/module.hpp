// The machinery every extension module of the library is built with: the guarded
// per-call entry through which each function runs, the method entries derived from
// the function records, and the once-per-process module object.
//
//   PyMODINIT_FUNC PyInit__name(void) {
//       static ModuleOnce once;
//       static const auto functions = methods<kFirst, kSecond>();
//       return once.init({"_name", "", "1.0", functions});
//   }
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <span>
#include <string>
#include <type_traits>

#include "bind/errors.hpp"
#include "bind/pyref.hpp"

namespace quarnel::py {

// Runs `body` and maps its outcome to what CPython expects: a new reference, or
// nullptr with the exception set. Internal faults become PanicException. Not noexcept:
// a thread that the finalizing interpreter ends is unwound through here (and only
// that unwind passes; anything else that escapes ends the process).
PyObject* guarded(Ref (*body)(void*), void* ctx);

template <class F>
PyObject* guarded(F&& body) {
    using Body = std::remove_reference_t<F>;
    return guarded([](void* f) { return (*static_cast<Body*>(f))(); }, &body);
}

// METH_FASTCALL | METH_KEYWORDS; the public typedef for this signature is newer
// than the 3.10 limited API.
using FastCallKeywords = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

template <const auto& Record>
PyObject* call_entry(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) {
    return guarded([&] { return Record.call(args, nargs, kwnames); });
}

// One function as registered: its name, its entry and its docstring (with the
// signature line derived from the record).
struct Method {
    const char* name;
    FastCallKeywords entry;
    std::string doc;
};

template <const auto&... Records>
std::array<Method, sizeof...(Records)> methods() {
    return {Method{Records.name, &call_entry<Records>, Records.docstring()}...};
}

struct ModuleSpec {
    const char* name;
    const char* doc;
    const char* version;
    std::span<const Method> functions;               // registration order is the order of __all__
    std::span<const Method> private_functions = {};  // attributes, not in __all__
    bool describe_refused_arrays = false;            // see numpy_bind.hpp
};

// The module of one extension, built once per process by the first interpreter that
// loads it; later loads in that interpreter get the same object back, and other
// interpreters an ImportError.
class ModuleOnce {
public:
    PyObject* init(const ModuleSpec& spec);

private:
    Ref build(const ModuleSpec& spec);

    // Which interpreter owns the module (-1: none yet). Compared-and-swapped so two
    // interpreters can never both claim it.
    std::atomic<std::int64_t> interpreter_{-1};
    PyObject* module_ = nullptr;  // kept for the life of the process
    PyModuleDef def_{};
    PyMethodDef* table_ = nullptr;  // never freed: function objects point into it
};

}  // namespace quarnel::py
