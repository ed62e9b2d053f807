// An owned, heap-allocated run of doubles: a kernel's output before it becomes a
// NumPy array. The result array takes the allocation over (see numpy_bind.hpp) so the
// output is never copied.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <limits>
#include <memory>
#include <string>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace quarnel {

// A result that cannot be had: its element or byte count does not fit in a size_t
// (`overflow`), or the system refused the block. Zero-stride inputs can describe any
// number of paths at no cost, so either is the caller's request, not a broken
// invariant: the bindings raise ValueError for an overflow and MemoryError for a
// refusal. A wrapped count would otherwise make malloc succeed on a tiny block that
// the kernel then writes far past.
class SizeOverflow : public std::exception {
public:
    SizeOverflow(std::size_t rows, std::size_t cols, bool overflow = true)
        : message_("the result of " + std::to_string(rows) + " x " + std::to_string(cols) +
                   " float64 values " +
                   (overflow ? "would not fit in memory" : "could not be allocated")),
          overflow_(overflow) {}
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }
    bool overflow() const noexcept { return overflow_; }

private:
    std::string message_;
    bool overflow_;
};

class Buffer {
public:
    Buffer() = default;
    // A count whose bytes overflow, or a block the system refuses, throws SizeOverflow
    // before anything is written.
    static Buffer allocate(std::size_t n, bool zeroed = false) {
        return allocate_rows(n, 1, zeroed);
    }

    // rows * cols doubles, the product checked before anything is multiplied.
    static Buffer allocate_rows(std::size_t rows, std::size_t cols, bool zeroed = false) {
        constexpr std::size_t max_elements =
            std::numeric_limits<std::size_t>::max() / sizeof(double);
        if (cols != 0 && rows > max_elements / cols) throw SizeOverflow(rows, cols);
        const std::size_t n = rows * cols;
        // Never a null pointer, even for n == 0: NumPy would otherwise allocate its own.
        const std::size_t bytes = (n == 0 ? 1 : n) * sizeof(double);
        void* p = nullptr;
#if defined(__linux__) && defined(MADV_HUGEPAGE)
        if (bytes >= kMappedThreshold && bytes <= kLargestRoundable) {
            // Past malloc's largest reusable block every allocation is a fresh mapping
            // anyway: align it to 2 MiB so that all of it can be huge pages (a large
            // output is written once, front to back: a few page faults instead of
            // hundreds).
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
            // everywhere (MSVC's aligned blocks would need a free of their own). Below
            // its mapping threshold malloc hands the same warm block back call after
            // call, as it does to NumPy; a fresh mapping per call would cost its page
            // faults and an munmap every time.
            p = zeroed ? std::calloc(n == 0 ? 1 : n, sizeof(double)) : std::malloc(bytes);
#if defined(__linux__) && defined(MADV_HUGEPAGE)
            if (p != nullptr && bytes >= kAdviseThreshold) advise_huge_interior(p, bytes);
#endif
        }
        if (p == nullptr) throw SizeOverflow(rows, cols, false);
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
    // Blocks this large may hold a whole 2 MiB page inside them: worth the advice.
    static constexpr std::size_t kAdviseThreshold = std::size_t{4} << 20;
    // glibc's largest dynamic mapping threshold on 64-bit: smaller blocks come back
    // from the heap once one has been freed.
    static constexpr std::size_t kMappedThreshold = std::size_t{32} << 20;
    // Rounding up to whole huge pages must not wrap either; beyond this malloc refuses.
    static constexpr std::size_t kLargestRoundable =
        std::numeric_limits<std::size_t>::max() - kHugePage;

#if defined(__linux__) && defined(MADV_HUGEPAGE)
    // Huge pages for the 2 MiB-aligned pages inside [p, p + bytes): the advice applies
    // to whole pages, and the block's edges share theirs with other allocations.
    static void advise_huge_interior(void* p, std::size_t bytes) noexcept {
        const auto begin = reinterpret_cast<std::uintptr_t>(p);
        const std::uintptr_t first = (begin + kHugePage - 1) / kHugePage * kHugePage;
        const std::uintptr_t last = (begin + bytes) / kHugePage * kHugePage;
        if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
    }
#endif

    std::unique_ptr<double[], Deleter> data_;
    std::size_t size_ = 0;
};

}  // namespace quarnel
