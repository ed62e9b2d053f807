// The process-wide worker pool behind the parallel kernels.
//
// A fixed set of worker threads, started once and kept until the process ends. A call
// hands it a run of n items and blocks until all of them are done; each item runs
// whole on exactly one thread, and every call waits only for its own items, so several
// Python threads can share the pool. The caller helps with its own items while it
// waits, which keeps small runs fast and rules out deadlock when the workers are busy.
//
// No Python in here: the pool is only used with the interpreter lock released.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

namespace quarnel {

// The thread-count rule, kept pure so it can be tested without threads or a real
// environment. Each argument is an environment value (nullptr when unset):
// - RAYON_NUM_THREADS as an unsigned decimal (one optional leading '+', then ASCII
//   digits only, below 2^64): 1 or more is the count; 0 means `processors`.
// - otherwise RAYON_RS_NUM_CPUS read the same way: 1 or more is the count.
// - otherwise `processors` (0 is taken as 1).
// The result is capped at 65535.
std::size_t resolve_thread_count(const char* rayon_num_threads, const char* rayon_rs_num_cpus,
                                 std::size_t processors) noexcept;

// The C ABI through which the copies of this library in one process (each extension
// module links its own) share the one pool of the copy that published it: plain
// function pointers into that copy, so no C++ object or layout crosses between
// copies that may have been built apart. Later versions only append fields; `size` is
// the publisher's sizeof.
struct SharedPoolTable {
    std::uint32_t version;
    std::uint32_t size;
    // Starts the publisher's global pool on first need and returns its thread count,
    // or 0 with *error pointing to text kept for the process if it could not start.
    std::size_t (*start)(const char** error);
    // Runs task(ctx, i) for i in [0, n_items) on the publisher's pool, as run() does.
    // The task must not throw.
    void (*run)(std::size_t n_items, void (*task)(void* ctx, std::size_t item), void* ctx);
};
inline constexpr std::uint32_t kSharedPoolTableVersion = 1;

class WorkerPool {
public:
    // How a worker thread is started; replaceable so tests can make creation fail.
    using SpawnFn = std::thread (*)(void (*entry)(WorkerPool*), WorkerPool* pool);
    static std::thread spawn_thread(void (*entry)(WorkerPool*), WorkerPool* pool);

    // The process-wide pool, sized by resolve_thread_count from the environment and
    // the processor count on first use. It is never destroyed: joining workers from a
    // static destructor would race with interpreter shutdown. If it could not be
    // started, this and every later call throw InternalFault.
    static WorkerPool& global();

    // This copy's table, which gives other copies its global pool.
    static const SharedPoolTable* shared_table() noexcept;
    // From now on global() forwards to the pool behind `table` (another copy's) instead
    // of starting one here. Refused (false) for a table of another version, this
    // copy's own, or once global() has been called or another table adopted.
    static bool adopt_shared(const SharedPoolTable* table) noexcept;

    // Starts `threads` workers (at least 1). When the system refuses a thread the pool
    // is unusable and start_error() says why; when it reports threads as unsupported
    // altogether, the pool falls back to one thread, the caller's.
    explicit WorkerPool(std::size_t threads, SpawnFn spawn = &WorkerPool::spawn_thread);
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    std::size_t threads() const noexcept { return threads_; }
    // Empty when the pool is usable.
    const std::string& start_error() const noexcept { return start_error_; }

    // Runs task(i) for i in [0, n_items), each on exactly one thread, and returns when
    // all have finished. The task must not throw: an exception cannot be carried from
    // a worker back to the caller here. A single item, a one-thread pool and a process
    // forked after the pool started all run the items on the calling thread.
    template <class F>
    void run(std::size_t n_items, F&& task) {
        using Fn = std::remove_reference_t<F>;
        static_assert(std::is_nothrow_invocable_v<Fn&, std::size_t>, "pool tasks must be noexcept");
        run_erased(
            n_items, [](void* ctx, std::size_t i) noexcept { (*static_cast<Fn*>(ctx))(i); },
            const_cast<void*>(static_cast<const void*>(&task)));
    }

    // The same for a run whose whole work is `work` units (path-steps): below
    // kShareFrom units the hand-off to the workers costs more than it saves (measured
    // on 2 to 8 cores: the parallel call only wins from about 1e5 path-steps), so the
    // caller runs every item itself, in order. Items still run whole, one by one.
    static constexpr std::size_t kShareFrom = 100000;
    template <class F>
    void run(std::size_t n_items, F&& task, std::size_t work) {
        if (work >= kShareFrom) return run(n_items, std::forward<F>(task));
        for (std::size_t i = 0; i < n_items; ++i) task(i);
    }

private:
    using TaskFn = void (*)(void* ctx, std::size_t item) noexcept;

    // One run() call, living on the caller's stack until its last item is done.
    struct Job {
        Job(TaskFn f, void* c, std::size_t n) noexcept : fn(f), ctx(c), n_items(n), pending(n) {}
        TaskFn fn;
        void* ctx;
        std::size_t n_items;
        std::atomic<std::size_t> next_item{0};  // claimed by fetch_add: each item once
        std::size_t pending;                    // items not yet finished; under mutex_
        bool queued = false;                    // under mutex_
        Job* prev = nullptr;                    // queue links; under mutex_
        Job* next = nullptr;
        std::condition_variable done;
    };

    // A stand-in for another copy's pool: its thread count, and runs forwarded.
    explicit WorkerPool(const SharedPoolTable* remote);

    void run_erased(std::size_t n_items, TaskFn fn, void* ctx);
    static void worker_entry(WorkerPool* pool);
    void worker_loop();
    void stop_workers() noexcept;
    void enqueue(Job& job);  // mutex_ held
    void dequeue(Job& job);  // mutex_ held

    std::size_t threads_ = 1;
    const SharedPoolTable* remote_ = nullptr;
    std::uint64_t fork_generation_ = 0;
    std::string start_error_;
    std::vector<std::thread> workers_;

    std::mutex mutex_;
    std::condition_variable work_;
    Job* head_ = nullptr;  // jobs with unclaimed items, oldest first
    Job* tail_ = nullptr;
    bool stopping_ = false;
};

}  // namespace quarnel
