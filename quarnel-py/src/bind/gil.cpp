// Releasing and retaking the interpreter lock around a kernel's heavy work.
#include <exception>

#include "bind/pyref.hpp"

#if defined(__GLIBCXX__) || (defined(_LIBCPP_VERSION) && defined(__linux__))
#include <cxxabi.h>
#endif

namespace quarnel::py {
namespace {

thread_local bool lost_interpreter = false;

// PyEval_RestoreThread does not return on a thread that the finalizing interpreter
// ends with pthread_exit. That forced unwind must pass through (swallowing it aborts
// the process); every frame it crosses is therefore not noexcept, and the references
// those frames hold are left alone, as the process is going away anyway.
void retake(PyThreadState* state) {
#if defined(__GLIBCXX__)
    try {
        PyEval_RestoreThread(state);
    } catch (abi::__forced_unwind&) {
        lost_interpreter = true;
        throw;
    }
#elif defined(_LIBCPP_VERSION) && defined(__linux__)
    // libc++abi has no type for glibc's forced unwind: any exception out of here is one.
    try {
        PyEval_RestoreThread(state);
    } catch (...) {
        lost_interpreter = true;
        throw;
    }
#else
    PyEval_RestoreThread(state);
#endif
}

}  // namespace

bool thread_lost_interpreter() noexcept { return lost_interpreter; }

void enter_without_gil(void (*work)(void*), void* ctx) {
    std::exception_ptr failure;
    PyThreadState* state = PyEval_SaveThread();
    try {
        work(ctx);
    } catch (...) {
        failure = std::current_exception();
    }
    retake(state);
    if (failure) std::rethrow_exception(failure);
}

}  // namespace quarnel::py
