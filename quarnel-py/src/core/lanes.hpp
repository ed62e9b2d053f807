// Helpers of the kernels that run several independent paths in the lanes of a vector:
// the lane types, the strided lane loads, the prefetch hint and the choice of the
// paths each lane walks.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/view.hpp"

#if defined(__GNUC__) && !defined(QUARNEL_NO_VECTOR_EXTENSIONS)
#define QUARNEL_LANES_INLINE [[gnu::always_inline]] inline
#elif defined(_MSC_VER)
#define QUARNEL_LANES_INLINE __forceinline
#else
#define QUARNEL_LANES_INLINE inline
#endif

namespace quarnel {

#if defined(__GNUC__) && !defined(QUARNEL_NO_VECTOR_EXTENSIONS)
// GCC and Clang vector extensions: element-wise IEEE operations, a scalar operand
// broadcast to every lane.
template <int W>
struct Lanes;
template <>
struct Lanes<2> {
    typedef double type __attribute__((vector_size(16)));
};
template <>
struct Lanes<4> {
    typedef double type __attribute__((vector_size(32)));
};
// Eight lanes for the AVX-512 clones (Heston's twenty doubles of state a path fit the
// 32 vector registers of AVX-512 and not the 16 of AVX2).
template <>
struct Lanes<8> {
    typedef double type __attribute__((vector_size(64)));
};
#else
// Without vector extensions (MSVC, or QUARNEL_NO_VECTOR_EXTENSIONS to test this path):
// W doubles with the same element-wise operations. Each lane still gets its own
// IEEE-rounded operations in the same order, so results are the same bits; the
// compiler may vectorise or not.
template <int W>
struct LaneArray {
    double v[W];

    double& operator[](int i) noexcept { return v[i]; }
    double operator[](int i) const noexcept { return v[i]; }

    template <class Op>
    static LaneArray zip(const LaneArray& a, const LaneArray& b, Op op) noexcept {
        LaneArray r;
        for (int i = 0; i < W; ++i) r.v[i] = op(a.v[i], b.v[i]);
        return r;
    }
    static LaneArray splat(double x) noexcept {
        LaneArray r;
        for (int i = 0; i < W; ++i) r.v[i] = x;
        return r;
    }
    friend LaneArray operator+(const LaneArray& a, const LaneArray& b) noexcept {
        return zip(a, b, [](double x, double y) { return x + y; });
    }
    friend LaneArray operator-(const LaneArray& a, const LaneArray& b) noexcept {
        return zip(a, b, [](double x, double y) { return x - y; });
    }
    friend LaneArray operator*(const LaneArray& a, const LaneArray& b) noexcept {
        return zip(a, b, [](double x, double y) { return x * y; });
    }
    friend LaneArray operator/(const LaneArray& a, const LaneArray& b) noexcept {
        return zip(a, b, [](double x, double y) { return x / y; });
    }
    friend LaneArray operator+(const LaneArray& a, double b) noexcept { return a + splat(b); }
    friend LaneArray operator*(const LaneArray& a, double b) noexcept { return a * splat(b); }
    friend LaneArray operator*(double a, const LaneArray& b) noexcept { return splat(a) * b; }
    friend std::array<bool, W> operator==(const LaneArray& a, double b) noexcept {
        std::array<bool, W> r{};
        for (int i = 0; i < W; ++i) r[static_cast<std::size_t>(i)] = a.v[i] == b;
        return r;
    }
};
template <int W>
struct Lanes {
    using type = LaneArray<W>;
};
#endif

// Rows per lane run: close to count / lanes, chosen so the lanes' streams start at
// different offsets within a 4 KiB page. Streams at equal page offsets compete for the
// same L1 sets (and alias in the load-store unit), which costs more than the few rows
// that the choice leaves to the adjacent-row blocks. 0 when count < lanes.
inline std::size_t lane_spacing(std::ptrdiff_t row_stride, std::size_t count,
                                std::size_t lanes) noexcept {
    const std::size_t even = count / lanes;
    if (even == 0) return 0;
    constexpr std::size_t kPage = 4096, kFarEnough = 512, kTries = 64;
    const std::size_t row = static_cast<std::size_t>(row_stride < 0 ? -row_stride : row_stride);
    std::size_t best = even, best_score = 0;
    for (std::size_t q = even; q + kTries > even && q > 0; --q) {
        std::size_t score = 0;
        for (std::size_t a = 0; a < lanes; ++a) {
            for (std::size_t c = a + 1; c < lanes; ++c) {
                const std::size_t d = ((c - a) * q % kPage) * (row % kPage) % kPage;
                score += std::min(std::min(d, kPage - d), kFarEnough);
            }
        }
        if (score > best_score) {
            best = q;
            best_score = score;
        }
        if (best_score == kFarEnough * lanes * (lanes - 1) / 2) break;
    }
    return best;
}

// One matrix as the lanes read it: lane i of group g at step j is the double at
// base + j * col + (g * W + i) * row (byte strides, any sign).
struct LaneField {
    const std::byte* base;
    std::ptrdiff_t row, col;
};

template <int W>
QUARNEL_LANES_INLINE typename Lanes<W>::type gather(const LaneField& f, std::size_t j,
                                                    int g) noexcept {
    const std::byte* at = f.base + static_cast<std::ptrdiff_t>(j) * f.col +
                          static_cast<std::ptrdiff_t>(g * W) * f.row;
    typename Lanes<W>::type v;
    for (int w = 0; w < W; ++w) v[w] = load_f64(at + static_cast<std::ptrdiff_t>(w) * f.row);
    return v;
}

// The same values as gather, with one vector load where the lanes are adjacent doubles
// and one load broadcast where they all read the same one (a matrix broadcast across
// the paths). The across-paths kernels read mostly such matrices; the test is the same
// at every step, so the branches cost next to nothing elsewhere.
template <int W>
QUARNEL_LANES_INLINE typename Lanes<W>::type load_lanes(const LaneField& f, std::size_t j,
                                                        int g) noexcept {
    const std::byte* at = f.base + static_cast<std::ptrdiff_t>(j) * f.col +
                          static_cast<std::ptrdiff_t>(g * W) * f.row;
    typename Lanes<W>::type v;
    if (f.row == static_cast<std::ptrdiff_t>(sizeof(double))) {
        std::memcpy(&v, at, sizeof v);
    } else if (f.row == 0) {
        const double x = load_f64(at);
        for (int w = 0; w < W; ++w) v[w] = x;
    } else {
        for (int w = 0; w < W; ++w) v[w] = load_f64(at + static_cast<std::ptrdiff_t>(w) * f.row);
    }
    return v;
}

// Asks for the line at p + offset to be brought into cache. The address is formed as an
// integer: it may lie past the end of the array (a prefetch never faults), and pointer
// arithmetic there would be undefined.
QUARNEL_LANES_INLINE void prefetch(const std::byte* p, std::ptrdiff_t offset) noexcept {
#if defined(__GNUC__)
    __builtin_prefetch(reinterpret_cast<const void*>(reinterpret_cast<std::uintptr_t>(p) +
                                                     static_cast<std::uintptr_t>(offset)));
#else
    (void)p;
    (void)offset;
#endif
}

// How far ahead of the loads the runs-of-rows kernels prefetch, in steps: 64 to 128
// elements of a contiguous row is where the prefetch covers the memory latency without
// evicting lines still to be read. The hardware prefetchers alone leave the cores
// waiting on memory between bursts of arithmetic.
constexpr std::ptrdiff_t kPrefetchSteps = 96;
// On batches of fewer bytes than this the kernels do not prefetch: the data is likely in
// cache (written just before, or read again), and the prefetch instructions alone cost
// up to a tenth of the in-cache speed. The whole batch decides, not the range of paths
// of one call, which may be one block or one thread's share of a batch out of cache.
constexpr std::size_t kPrefetchFromBytes = std::size_t{4} << 20;

// The same for the across-paths kernels, in path-steps: how many elements of the rows
// ahead to cover, rounded up to whole rows of the tile.
constexpr std::size_t kPrefetchElements = 128;

// The paths an across-paths tile holds. Each step reads one row segment of this many
// doubles per matrix, and the longer the segments the closer the reads come to the
// long sequential streams the memory system is best at: on time-major batches out of
// cache, 256 paths reached 0.81 of the bandwidth bound, 1024 0.90, 2048 0.91-0.97 and
// 4096 0.91-0.98 (the second-order kernel, with twice as many rows, gained 30% from
// 1024 to 2048). The state and a row of each matrix stay in L2.
constexpr std::size_t kTilePaths = 4096;

// Heap room for the lane states of an across-paths tile: a whole tile's state is too
// big for the stack of every thread that may run a kernel (musl's threads get 128 KiB).
// data() is null when the allocation failed; the kernels then take another path.
// Aligned to a cache line, not to alignof(T): outside the AVX2 clone GCC reports 16 for
// a 32-byte vector, which the clone then loads with aligned 32-byte moves.
template <class T>
class LaneScratch {
public:
    explicit LaneScratch(std::size_t n) noexcept : raw_(std::malloc(n * sizeof(T) + kAlign)) {
        if (raw_ != nullptr) {
            const auto at = reinterpret_cast<std::uintptr_t>(raw_);
            data_ = reinterpret_cast<T*>((at + kAlign - 1) / kAlign * kAlign);
        }
    }
    ~LaneScratch() { std::free(raw_); }
    LaneScratch(const LaneScratch&) = delete;
    LaneScratch& operator=(const LaneScratch&) = delete;
    T* data() const noexcept { return data_; }

private:
    static constexpr std::size_t kAlign = 64;
    void* raw_;
    T* data_ = nullptr;
};

// True when the matrices lie with adjacent paths closer in memory than adjacent steps
// (time-major arrays passed transposed, the fastest way to simulate with NumPy). Then
// the lanes must hold adjacent paths and the kernel walk the batch a step at a time:
// lanes on runs of rows would each take a new line, and a new page, at every step.
// A matrix with a zero stride (broadcast) or equal strides has no say.
template <std::size_t F>
bool paths_adjacent(const std::array<const View2D*, F>& views) noexcept {
    int across = 0;
    for (const View2D* v : views) {
        const std::ptrdiff_t r = v->row_stride < 0 ? -v->row_stride : v->row_stride;
        const std::ptrdiff_t c = v->col_stride < 0 ? -v->col_stride : v->col_stride;
        if (r == 0 || c == 0 || r == c || v->rows < 2 || v->cols < 2) continue;
        across += r < c ? 1 : -1;
    }
    return across > 0;
}

}  // namespace quarnel
