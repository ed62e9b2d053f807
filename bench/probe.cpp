// Memory-bandwidth probe for the benchmark: reads S concurrent float64 streams, 8 (or
// 16) bytes at a time, optionally copying the first W of them to W write streams, on T
// threads.
//
// Built by bench/probe.py with the system compiler at -O2 -fno-tree-vectorize: every
// load is the one written here, a scalar 8-byte load as in the kernels' lane gathers,
// or a 16-byte vector load as in a loop the compiler vectorized for the baseline
// target. The values are summed as integers: an integer add has one cycle of latency
// and runs on several ports, so the adds never limit the load rate (floating-point adds
// would, at sixteen streams).
//
// Holding sixteen stream pointers in registers is impossible on x86-64 (sixteen
// general registers in all), and a naive loop spills them and doubles the loads. The
// streams are walked a cache line at a time instead: one round reads the next 64-byte
// line of every stream, so all S streams advance together, as the kernels' lanes do,
// and the one pointer load per line is the only overhead.
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

namespace {

constexpr std::size_t kLine = 8;  // elements per 64-byte line

// A 16-byte vector of two 64-bit integers (SSE2 on x86-64, NEON on AArch64; lowered to
// scalar code where there is neither): the width of the loops the compiler vectorizes
// for a baseline target, such as the constant-flow weights.
typedef std::uint64_t Pair __attribute__((vector_size(16)));

template <class T>
inline T load(const double* p, std::size_t k) noexcept {
    T v;
    std::memcpy(&v, reinterpret_cast<const char*>(p) + k * sizeof(T), sizeof v);
    return v;
}

template <class T>
inline void store(double* p, std::size_t k, T v) noexcept {
    std::memcpy(reinterpret_cast<char*>(p) + k * sizeof(T), &v, sizeof v);
}

// One 64-byte line of one stream, in loads of sizeof(T) bytes, summed into four
// accumulators (few enough to stay in registers) and copied to dst when there is one.
template <class T, bool kCopy>
[[gnu::always_inline]] inline void line(const double* src, double* dst, T& a0, T& a1, T& a2,
                                        T& a3) noexcept {
    auto pair = [&](std::size_t k, T& acc) {
        const T v = load<T>(src, k), w = load<T>(src, k + 1);
        if constexpr (kCopy) {
            store(dst, k, v);
            store(dst, k + 1, w);
        }
        acc += v + w;
    };
    if constexpr (sizeof(T) == 8) {
        pair(0, a0);
        pair(2, a1);
        pair(4, a2);
        pair(6, a3);
    } else {
        pair(0, a0);
        pair(2, a1);
    }
}

// Elements [begin, end) of every stream, `lines` lines of each stream a round; begin
// and end are multiples of kLine * lines. Read streams 0 to n_writes - 1 are copied to
// the write streams. Not inlined, so that its loop can be read in the disassembly.
template <class T>
[[gnu::noinline]] T pass(const double* const* reads, std::size_t n_reads, double* const* writes,
                         std::size_t n_writes, std::size_t lines, std::size_t begin,
                         std::size_t end) noexcept {
    T a0 = {}, a1 = {}, a2 = {}, a3 = {};
    const std::size_t round = kLine * lines;
    for (std::size_t i = begin; i < end; i += round) {
        std::size_t s = 0;
        for (; s < n_writes; ++s) {
            const double* src = reads[s] + i;
            double* dst = writes[s] + i;
            for (std::size_t k = 0; k < round; k += kLine) {
                line<T, true>(src + k, dst + k, a0, a1, a2, a3);
            }
        }
        for (; s < n_reads; ++s) {
            const double* src = reads[s] + i;
            for (std::size_t k = 0; k < round; k += kLine) {
                line<T, false>(src + k, nullptr, a0, a1, a2, a3);
            }
        }
    }
    return a0 + a1 + a2 + a3;
}

std::uint64_t fold(std::uint64_t v) noexcept { return v; }
std::uint64_t fold(Pair v) noexcept { return v[0] + v[1]; }

}  // namespace

extern "C" {

// Runs `passes` passes over `length` elements of every stream (length a multiple of
// 64 * threads, n_reads at least 1), in loads of `width` bytes (8, or 16 for vector
// code), and returns the wall time of the passes in seconds. With several threads each
// takes a contiguous share of every stream; the threads start before the clock
// does and are released together. *sink receives the sum, so no load is dead code.
double quarnel_bench_probe(const double* const* reads, std::size_t n_reads,
                           double* const* writes, std::size_t n_writes, std::size_t width,
                           std::size_t length, std::size_t threads, std::size_t passes,
                           std::uint64_t* sink) {
    if (threads == 0) threads = 1;
    // Few streams: several lines of each a round, so that the loop's own instructions do
    // not limit the rate; eight streams or more: one line of each, all advancing together.
    const std::size_t lines = n_reads >= kLine ? 1 : kLine / n_reads;
    const std::size_t round = kLine * lines;
    const std::size_t share = length / round / threads * round;
    std::atomic<std::size_t> ready{0};
    std::atomic<bool> go{false};
    std::vector<std::uint64_t> sums(threads, 0);
    auto work = [&](std::size_t t) {
        const std::size_t begin = t * share;
        const std::size_t end = t + 1 == threads ? length : begin + share;
        std::uint64_t sum = 0;
        for (std::size_t p = 0; p < passes; ++p) {
            sum += width == sizeof(Pair)
                       ? fold(pass<Pair>(reads, n_reads, writes, n_writes, lines, begin, end))
                       : fold(pass<std::uint64_t>(reads, n_reads, writes, n_writes, lines, begin,
                                                  end));
        }
        sums[t] = sum;
    };
    std::vector<std::thread> pool;
    pool.reserve(threads - 1);
    for (std::size_t t = 1; t < threads; ++t) {
        pool.emplace_back([&, t] {
            ready.fetch_add(1);
            while (!go.load(std::memory_order_acquire)) std::this_thread::yield();
            work(t);
        });
    }
    while (ready.load() + 1 < threads) std::this_thread::yield();
    const auto start = std::chrono::steady_clock::now();
    go.store(true, std::memory_order_release);
    work(0);
    for (auto& th : pool) th.join();
    const auto stop = std::chrono::steady_clock::now();
    std::uint64_t total = 0;
    for (const auto s : sums) total += s;
    *sink = total;
    return std::chrono::duration<double>(stop - start).count();
}

}  // extern "C"
