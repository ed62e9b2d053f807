// An owned, heap-allocated run of doubles: a kernel's output before it becomes a
// NumPy array. The result array takes the allocation over (see numpy_bind.hpp) so the
// output is never copied.
#pragma once

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace quarnel {

struct FreeDeleter {
    void operator()(double* p) const noexcept { std::free(p); }
};

class Buffer {
public:
    Buffer() = default;
    // Running out of native memory is not recoverable here: say so and stop, as the
    // interpreter itself does.
    static Buffer allocate(std::size_t n, bool zeroed = false) {
        // Never a null pointer, even for n == 0: NumPy would otherwise allocate its own.
        const std::size_t bytes = (n == 0 ? 1 : n) * sizeof(double);
        void* p = zeroed ? std::calloc(n == 0 ? 1 : n, sizeof(double)) : std::malloc(bytes);
        if (p == nullptr) {
            std::fprintf(stderr, "quarnel: memory allocation of %zu bytes failed\n", bytes);
            std::abort();
        }
        Buffer b;
        b.data_.reset(static_cast<double*>(p));
        b.size_ = n;
        return b;
    }

    double* data() noexcept { return data_.get(); }
    const double* data() const noexcept { return data_.get(); }
    std::size_t size() const noexcept { return size_; }
    double& operator[](std::size_t i) noexcept { return data_[i]; }
    // Hands the allocation over; free it with std::free.
    double* release() noexcept {
        size_ = 0;
        return data_.release();
    }

private:
    std::unique_ptr<double[], FreeDeleter> data_;
    std::size_t size_ = 0;
};

}  // namespace quarnel
