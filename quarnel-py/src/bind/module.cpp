// Building a module object from its ModuleSpec, and the per-call fault guard:
//
//   1. ModuleOnce::init claims the module for the first interpreter that loads it and
//      builds the module object once per process.
//   2. The build registers the ModuleSpec's functions in order, then __version__, listing
//      each name in __all__.
//   3. The worker pool is shared with the library's other modules (shared_pool.hpp).
//   4. Every call goes through `guarded`, which turns C++ failures into Python
//      exceptions and never lets one unwind into the interpreter.
#include "bind/module.hpp"

#include <cstdio>
#include <cstdlib>
#include <new>

#include "bind/numpy_bind.hpp"
#include "bind/shared_pool.hpp"
#include "core/buffer.hpp"
#include "quarnel/fault.hpp"

#if defined(__GLIBCXX__) || (defined(_LIBCPP_VERSION) && defined(__linux__))
#include <cxxabi.h>
#endif

namespace quarnel::py {
namespace {

PyObject* run_guarded(Ref (*body)(void*), void* ctx) {
    try {
        return body(ctx).release();
    } catch (const PythonError&) {
        return nullptr;
    } catch (const SizeOverflow& e) {
        // A result the caller asked for that cannot exist: a ValueError (or MemoryError
        // when the system refused it) the caller can catch, never a crash.
        PyErr_SetString(e.overflow() ? PyExc_ValueError : PyExc_MemoryError, e.what());
    } catch (const InternalFault& fault) {
        set_panic(fault.message());
#if defined(__GLIBCXX__)
    } catch (abi::__forced_unwind&) {
        throw;  // the thread is being ended: let it go (see pyref.hpp)
#endif
    } catch (const std::bad_alloc&) {
        std::fputs("quarnel: out of memory\n", stderr);
        std::abort();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "quarnel: internal fault: %s\n", e.what());
        set_panic(e.what());
    } catch (...) {
#if defined(_LIBCPP_VERSION) && defined(__linux__)
        // Not a C++ exception: glibc's forced unwind, which libc++abi has no type for.
        if (abi::__cxa_current_exception_type() == nullptr) throw;
#endif
        std::fputs("quarnel: internal fault of unknown kind\n", stderr);
        set_panic("native code failed with an internal fault");
    }
    return nullptr;
}

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

}  // namespace

PyObject* guarded(Ref (*body)(void*), void* ctx) {
    try {
        return run_guarded(body, ctx);
#if defined(__GLIBCXX__)
    } catch (abi::__forced_unwind&) {
        throw;
#endif
    } catch (...) {
#if defined(_LIBCPP_VERSION) && defined(__linux__)
        if (abi::__cxa_current_exception_type() == nullptr) throw;
#endif
        std::fputs("uncaught panic at ffi boundary\n", stderr);
        std::abort();
    }
}

PyObject* ModuleOnce::init(const ModuleSpec& spec) {
    return guarded([&]() -> Ref {
        const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
        if (id == -1) throw_pending();
        std::int64_t expected = -1;
        if (!interpreter_.compare_exchange_strong(expected, id) && expected != id) {
            PyErr_Format(PyExc_ImportError,
                         "%s does not support sub-interpreters: it can only be imported by "
                         "the interpreter that loaded it first",
                         spec.name);
            throw PythonError{};
        }
        if (module_ != nullptr) return Ref::borrow(module_);
        Ref module = build(spec);
        module_ = Ref::borrow(module.get()).release();
        return module;
    });
}

Ref ModuleOnce::build(const ModuleSpec& spec) {
    share_worker_pool();
    describe_refused_arrays(spec.describe_refused_arrays);
    const std::size_t n_public = spec.functions.size();
    const std::size_t n_all = n_public + spec.private_functions.size();
    if (table_ == nullptr) {
        table_ = new PyMethodDef[n_all + 1]{};
        for (std::size_t i = 0; i < n_all; ++i) {
            const Method& m =
                i < n_public ? spec.functions[i] : spec.private_functions[i - n_public];
            table_[i] = {m.name,
                         reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(m.entry)),
                         METH_FASTCALL | METH_KEYWORDS, m.doc.c_str()};
        }
        // The functions are added one by one below, not through m_methods.
        def_ = {PyModuleDef_HEAD_INIT,
                spec.name,
                spec.doc,
                0,
                nullptr,
                nullptr,
                nullptr,
                nullptr,
                nullptr};
    }
    Ref module = check(PyModule_Create2(&def_, 3));  // 3: the stable-ABI API version
    Ref module_name = check(PyModule_GetNameObject(module.get()));
    for (std::size_t i = 0; i < n_all; ++i) {
        Ref function = check(PyCMethod_New(&table_[i], module.get(), module_name.get(), nullptr));
        if (i >= n_public) {
            check_status(PyObject_SetAttrString(module.get(), table_[i].ml_name, function.get()));
            continue;
        }
        Ref name = check(PyObject_GetAttrString(function.get(), "__name__"));
        if (!PyUnicode_Check(name.get())) throw_type_error("function __name__ is not a str");
        add_to_module(module.get(), name.get(), function.get());
    }
    Ref version_name = check(PyUnicode_FromString("__version__"));
    Ref version = check(PyUnicode_FromString(spec.version));
    add_to_module(module.get(), version_name.get(), version.get());
    return module;
}

}  // namespace quarnel::py
