// The module `_quarnel`: its entry point, its function table and the per-call entry
// through which every function runs.
//
//   1. PyInit__quarnel claims the module for the first interpreter that loads it and
//      builds the module object once per process.
//   2. The body registers the functions of kFunctions in order, then __version__,
//      listing each name in __all__.
//   3. Every call goes through `call_entry`, which turns C++ failures into Python
//      exceptions and never lets one unwind into the interpreter.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "docstrings.hpp"
#include "errors.hpp"
#include "functions.hpp"
#include "quarnel/fault.hpp"

namespace quarnel::py {
namespace {

constexpr const char* kVersion = QUARNEL_VERSION;  // the project version, from CMake

// Runs `body` and maps its outcome: a new reference, or nullptr with the Python
// exception set. Faults become PanicException; anything that escapes even that
// handling ends the process rather than unwinding into C.
template <class F>
PyObject* guarded(F&& body) noexcept {
    try {
        try {
            return body().release();
        } catch (const PythonError&) {
            return nullptr;
        } catch (const InternalFault& fault) {
            set_panic(fault.what());
        } catch (const std::bad_alloc&) {
            std::fputs("quarnel: out of memory\n", stderr);
            std::abort();
        } catch (const std::exception& e) {
            std::fprintf(stderr, "quarnel: internal fault: %s\n", e.what());
            set_panic(e.what());
        } catch (...) {
            std::fputs("quarnel: internal fault of unknown kind\n", stderr);
            set_panic("native code failed with an internal fault");
        }
        return nullptr;
    } catch (...) {
        std::fputs("uncaught panic at ffi boundary\n", stderr);
        std::abort();
    }
}

// METH_FASTCALL | METH_KEYWORDS; the public typedef for this signature is newer
// than the 3.10 limited API.
using FastCallKeywords = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

template <Body body>
PyObject* call_entry(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) noexcept {
    return guarded([&] { return body(args, nargs, kwnames); });
}

template <Body body>
PyMethodDef method(const char* name, const char* doc) noexcept {
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(
                      static_cast<FastCallKeywords>(&call_entry<body>))),
            METH_FASTCALL | METH_KEYWORDS, doc};
}

// Registration order is the order of __all__. Never freed: function objects point here.
PyMethodDef kFunctions[] = {
    method<bel_weights_constant_flow>("bel_weights_constant_flow", doc::bel_weights_constant_flow),
    method<bel_weights_tangent_flow>("bel_weights_tangent_flow", doc::bel_weights_tangent_flow),
    method<bel_weights_tangent_flow_parallel>("bel_weights_tangent_flow_parallel",
                                              doc::bel_weights_tangent_flow_parallel),
    method<price_from_samples>("price_from_samples", doc::price_from_samples),
    method<price_and_delta_constant_flow>("price_and_delta_constant_flow",
                                          doc::price_and_delta_constant_flow),
    method<price_and_delta_tangent_flow>("price_and_delta_tangent_flow",
                                         doc::price_and_delta_tangent_flow),
};

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT, "_quarnel", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// Which interpreter owns the module (-1: none yet). Compared-and-swapped so two
// interpreters can never both claim it.
std::atomic<std::int64_t> g_interpreter{-1};
// The module object, built once; later loads in the same interpreter get it back.
PyObject* g_module = nullptr;

// Adds `value` as attribute `name` and lists the name in __all__.
void add_to_module(PyObject* module, PyObject* name, PyObject* value) {
    Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_pending();
        PyErr_Clear();
        all = check(PyList_New(0));
        check_status(PyObject_SetAttrString(module, "__all__", all.get()));
    }
    if (!PyList_Check(all.get())) throw_type_error("'__all__' of the module is not a list");
    if (PyList_Append(all.get(), name) < 0) {
        PyErr_Clear();
        QUARNEL_FAULT("could not append __name__ to __all__");
    }
    check_status(PyObject_SetAttr(module, name, value));
}

void fill_module(PyObject* module) {
    Ref module_name = check(PyModule_GetNameObject(module));
    for (PyMethodDef& def : kFunctions) {
        Ref function = check(PyCMethod_New(&def, module, module_name.get(), nullptr));
        Ref name = check(PyObject_GetAttrString(function.get(), "__name__"));
        if (!PyUnicode_Check(name.get())) throw_type_error("function __name__ is not a str");
        add_to_module(module, name.get(), function.get());
    }
    Ref version_name = check(PyUnicode_FromString("__version__"));
    Ref version = check(PyUnicode_FromString(kVersion));
    add_to_module(module, version_name.get(), version.get());
}

Ref init_module() {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) throw_pending();
    std::int64_t expected = -1;
    if (!g_interpreter.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_SetString(PyExc_ImportError,
                        "_quarnel does not support sub-interpreters: it can only be imported "
                        "by the interpreter that loaded it first");
        throw PythonError{};
    }
    if (g_module != nullptr) return Ref::borrow(g_module);
    Ref module = check(PyModule_Create2(&kModuleDef, 3));  // 3: the stable-ABI API version
    fill_module(module.get());
    g_module = Ref::borrow(module.get()).release();  // kept for the life of the process
    return module;
}

}  // namespace
}  // namespace quarnel::py

PyMODINIT_FUNC PyInit__quarnel(void) {
    return quarnel::py::guarded(quarnel::py::init_module);
}
