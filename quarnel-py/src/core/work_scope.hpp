// The scope in which a kernel runs its heavy work, supplied by whoever calls it.
//
// A kernel validates its inputs first, on the caller's thread and under whatever lock
// the caller holds, and only then hands the loop to the scope. The Python bindings pass
// a scope that releases the interpreter lock for the loop and retakes it afterwards. So
// validation can never happen without the lock, and kernels stay free of Python.
#pragma once

namespace quarnel {

class WorkScope {
public:
    using Enter = void (*)(void (*work)(void*), void* ctx);

    constexpr explicit WorkScope(Enter enter) noexcept : enter_(enter) {}

    // Runs f() inside the scope. Exceptions thrown by f reach the caller after the
    // scope has been left.
    template <class F>
    void operator()(F& f) const {
        enter_([](void* ctx) { (*static_cast<F*>(ctx))(); }, &f);
    }

private:
    Enter enter_;
};

}  // namespace quarnel
