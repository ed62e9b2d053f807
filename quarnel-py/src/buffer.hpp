// An owned, heap-allocated run of doubles: a kernel's output before it becomes a
// NumPy array. The result array takes the allocation over (see numpy_bind.hpp) so the
// output is never copied.
#pragma once

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace quarnel {

class Buffer {
public:
    Buffer() = default;
    // Running out of native memory is not recoverable here: say so and stop, as the
    // interpreter itself does.
    static Buffer allocate(std::size_t n, bool zeroed = false) {
        // Never a null pointer, even for n == 0: NumPy would otherwise allocate its own.
        const std::size_t bytes = (n == 0 ? 1 : n) * sizeof(double);
        void* p = nullptr;
#if defined(__linux__) && defined(MADV_HUGEPAGE)
        if (bytes >= kHugeThreshold) {
            // Large outputs are written once, front to back: on 2 MiB pages that costs
            // a few page faults instead of hundreds (NumPy does the same).
            const std::size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
            p = std::aligned_alloc(kHugePage, rounded);
            if (p != nullptr) {
                madvise(p, rounded, MADV_HUGEPAGE);
                if (zeroed) std::memset(p, 0, bytes);
            }
        } else
#endif
        {
            // malloc's alignment is enough for doubles, so deallocate() stays std::free
            // everywhere (MSVC's aligned blocks would need a free of their own).
            p = zeroed ? std::calloc(n == 0 ? 1 : n, sizeof(double)) : std::malloc(bytes);
        }
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
    // Hands the allocation over; free it with deallocate().
    double* release() noexcept {
        size_ = 0;
        return data_.release();
    }
    static void deallocate(double* p) noexcept { std::free(p); }

private:
    struct Deleter {
        void operator()(double* p) const noexcept { deallocate(p); }
    };

    static constexpr std::size_t kHugePage = std::size_t{2} << 20;
    static constexpr std::size_t kHugeThreshold = std::size_t{4} << 20;

    std::unique_ptr<double[], Deleter> data_;
    std::size_t size_ = 0;
};

}  // namespace quarnel
