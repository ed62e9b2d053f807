#include "core/pool.hpp"

#if defined(__unix__) || defined(__APPLE__)
#include <pthread.h>
#include <signal.h>
#define QUARNEL_HAS_PTHREAD_ATFORK 1
#else
#define QUARNEL_HAS_PTHREAD_ATFORK 0  // no fork() to survive
#endif
#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <system_error>

#include "core/cpu_count.hpp"
#include "quarnel/fault.hpp"

namespace quarnel {
namespace {

constexpr std::size_t max_threads = 65535;

// An unsigned decimal: one optional '+', then one or more ASCII digits, below 2^64.
// Anything else (blank, sign, letters, overflow) is "not a number".
std::optional<std::uint64_t> parse_count(const char* text) noexcept {
    if (text == nullptr) return std::nullopt;
    if (*text == '+') ++text;
    if (*text == '\0') return std::nullopt;
    std::uint64_t value = 0;
    for (; *text != '\0'; ++text) {
        if (*text < '0' || *text > '9') return std::nullopt;
        const auto digit = static_cast<std::uint64_t>(*text - '0');
        if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

std::size_t capped(std::uint64_t n) noexcept {
    return static_cast<std::size_t>(std::min<std::uint64_t>(n, max_threads));
}

// Bumped in every child process forked after a pool was created. The workers do not
// survive fork and the pool's mutex may have been held by one of them at that moment,
// so a pool whose generation differs must not touch its queue at all.
std::atomic<std::uint64_t> fork_generation{0};

// The process-wide pool, published once it is fully built. Creation is serialised by
// `creating`, which fork() also takes (see the handlers below): a child can never be
// born while another thread is half-way through building the pool, so it never waits
// for a creator that does not exist in it.
std::atomic<WorkerPool*> global_pool{nullptr};
std::mutex creating;

// Another copy's pool table that global() forwards to; set under `creating`, before
// this copy's global pool exists.
const SharedPoolTable* adopted_table = nullptr;

#if QUARNEL_HAS_PTHREAD_ATFORK
void before_fork() noexcept { creating.lock(); }
void after_fork_parent() noexcept { creating.unlock(); }
void after_fork_child() noexcept {
    fork_generation.fetch_add(1, std::memory_order_relaxed);
    creating.unlock();
}
#endif

// Registered when the library is loaded, before any thread of ours can exist.
[[maybe_unused]] const bool fork_handlers_registered = []() noexcept {
#if QUARNEL_HAS_PTHREAD_ATFORK
    pthread_atfork(&before_fork, &after_fork_parent, &after_fork_child);
#endif
    return true;
}();

#if !defined(__linux__)
void name_this_thread() noexcept {
#if defined(__APPLE__)
    pthread_setname_np("quarnel-worker");
#elif defined(_WIN32)
    // Windows 10 1607 and later; looked up so the module still loads on older systems.
    using SetDescription = HRESULT(WINAPI*)(HANDLE, PCWSTR);
    if (const HMODULE kernel = GetModuleHandleW(L"kernel32.dll")) {
        const auto set = reinterpret_cast<SetDescription>(
            reinterpret_cast<void (*)()>(GetProcAddress(kernel, "SetThreadDescription")));
        if (set != nullptr) set(GetCurrentThread(), L"quarnel-worker");
    }
#endif
}
#endif

bool threads_unsupported(const std::error_code& code) noexcept {
    return code == std::errc::function_not_supported || code == std::errc::operation_not_supported;
}

// The entries of this copy's table, for the other copies. They run on this copy's
// global pool; an exception cannot cross the C boundary, so a pool that could not be
// started is reported through `error` and never thrown.
std::size_t shared_start(const char** error) {
    static const std::string failure = "the shared worker pool could not be started";
    try {
        return WorkerPool::global().threads();
    } catch (const InternalFault&) {
        // global() has failed for good; its reason stays in the pool for the process.
        const WorkerPool* pool = global_pool.load(std::memory_order_acquire);
        *error = pool != nullptr && !pool->start_error().empty() ? pool->start_error().c_str()
                                                                 : failure.c_str();
    } catch (...) {
        *error = failure.c_str();
    }
    return 0;
}

struct ForeignTask {
    void (*task)(void*, std::size_t);
    void* ctx;
};

void shared_run(std::size_t n_items, void (*task)(void*, std::size_t), void* ctx) {
    // Only called after shared_start succeeded, so the pool exists and is usable.
    WorkerPool* pool = global_pool.load(std::memory_order_acquire);
    const ForeignTask foreign{task, ctx};
    pool->run(n_items, [&foreign](std::size_t i) noexcept { foreign.task(foreign.ctx, i); });
}

const SharedPoolTable own_table{kSharedPoolTableVersion, sizeof(SharedPoolTable), &shared_start,
                                &shared_run};

}  // namespace

std::size_t resolve_thread_count(const char* rayon_num_threads, const char* rayon_rs_num_cpus,
                                 std::size_t processors) noexcept {
    const std::size_t fallback = capped(processors == 0 ? 1 : processors);
    if (const auto n = parse_count(rayon_num_threads)) {
        // 0 asks for the default explicitly, so the second variable is not consulted.
        return *n == 0 ? fallback : capped(*n);
    }
    if (const auto n = parse_count(rayon_rs_num_cpus); n && *n > 0) return capped(*n);
    return fallback;
}

std::thread WorkerPool::spawn_thread(void (*entry)(WorkerPool*), WorkerPool* pool) {
#if defined(__unix__) || defined(__APPLE__)
    // Asynchronous signals (SIGINT above all) are left to the application's threads, so
    // that they interrupt the thread waiting in Python rather than a worker. A new
    // thread inherits its creator's mask, so blocking them around the start leaves no
    // moment in which a worker could take one. Signals raised by a fault stay open.
    sigset_t blocked, previous;
    sigfillset(&blocked);
    for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS}) sigdelset(&blocked, sig);
    pthread_sigmask(SIG_SETMASK, &blocked, &previous);
    struct Restore {
        const sigset_t* mask;
        ~Restore() { pthread_sigmask(SIG_SETMASK, mask, nullptr); }
    } restore{&previous};
#endif
#if defined(__linux__)
    std::thread worker(entry, pool);
    // Named here rather than by the worker itself, so the name is in place by the time
    // the pool's constructor returns.
    pthread_setname_np(worker.native_handle(), "quarnel-worker");
    return worker;
#else
    // Elsewhere a thread can only name itself (macOS), or its handle type depends on
    // the C++ runtime (Windows): the worker does it first thing.
    return std::thread(
        [](void (*run)(WorkerPool*), WorkerPool* p) {
            name_this_thread();
            run(p);
        },
        entry, pool);
#endif
}

WorkerPool& WorkerPool::global() {
    WorkerPool* pool = global_pool.load(std::memory_order_acquire);
    if (pool == nullptr) {
        const std::lock_guard<std::mutex> lock(creating);
        pool = global_pool.load(std::memory_order_relaxed);
        if (pool == nullptr) {
            // Leaked on purpose: see the header. With another copy's table adopted,
            // that copy sizes and starts the one pool of the process.
            pool = adopted_table != nullptr
                       ? new WorkerPool(adopted_table)
                       : new WorkerPool(resolve_thread_count(std::getenv("RAYON_NUM_THREADS"),
                                                             std::getenv("RAYON_RS_NUM_CPUS"),
                                                             processor_count()));
            global_pool.store(pool, std::memory_order_release);
        }
    }
    if (!pool->start_error_.empty()) {
        QUARNEL_FAULT("The global thread pool has not been initialized.: " + pool->start_error_);
    }
    return *pool;
}

const SharedPoolTable* WorkerPool::shared_table() noexcept { return &own_table; }

bool WorkerPool::adopt_shared(const SharedPoolTable* table) noexcept {
    if (table == nullptr || table == &own_table || table->version != kSharedPoolTableVersion ||
        table->size < sizeof(SharedPoolTable)) {
        return false;
    }
    const std::lock_guard<std::mutex> lock(creating);
    if (adopted_table != nullptr || global_pool.load(std::memory_order_relaxed) != nullptr) {
        return false;
    }
    adopted_table = table;
    return true;
}

WorkerPool::WorkerPool(const SharedPoolTable* remote) : remote_(remote) {
    const char* error = nullptr;
    threads_ = remote->start(&error);
    if (threads_ == 0) {
        threads_ = 1;
        start_error_ = error != nullptr ? error : "the shared worker pool could not be started";
    }
}

WorkerPool::WorkerPool(std::size_t threads, SpawnFn spawn) : threads_(threads == 0 ? 1 : threads) {
    fork_generation_ = fork_generation.load(std::memory_order_relaxed);
    // One thread means the caller runs everything; a worker would only ever sleep.
    if (threads_ == 1) return;
    workers_.reserve(threads_);
    try {
        for (std::size_t i = 0; i < threads_; ++i) workers_.push_back(spawn(&worker_entry, this));
    } catch (const std::system_error& e) {
        stop_workers();
        if (threads_unsupported(e.code())) {
            threads_ = 1;
        } else {
            start_error_ = e.what();
        }
    } catch (...) {
        stop_workers();
        throw;
    }
}

WorkerPool::~WorkerPool() { stop_workers(); }

void WorkerPool::stop_workers() noexcept {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    work_.notify_all();
    for (std::thread& t : workers_) t.join();
    workers_.clear();
}

void WorkerPool::worker_entry(WorkerPool* pool) { pool->worker_loop(); }

void WorkerPool::worker_loop() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        work_.wait(lock, [this] { return head_ != nullptr || stopping_; });
        if (stopping_) return;
        Job& job = *head_;
        const std::size_t item = job.next_item.fetch_add(1, std::memory_order_relaxed);
        // Once the last item is claimed nobody needs to find this job any more.
        if (item + 1 >= job.n_items) dequeue(job);
        if (item >= job.n_items) continue;
        lock.unlock();
        job.fn(job.ctx, item);
        lock.lock();
        // Notified under the lock: the caller cannot return, and free the job, before
        // this thread has let go of it.
        if (--job.pending == 0) job.done.notify_one();
    }
}

void WorkerPool::enqueue(Job& job) {
    job.prev = tail_;
    job.next = nullptr;
    if (tail_ != nullptr) {
        tail_->next = &job;
    } else {
        head_ = &job;
    }
    tail_ = &job;
    job.queued = true;
}

void WorkerPool::dequeue(Job& job) {
    if (!job.queued) return;
    (job.prev != nullptr ? job.prev->next : head_) = job.next;
    (job.next != nullptr ? job.next->prev : tail_) = job.prev;
    job.prev = job.next = nullptr;
    job.queued = false;
}

void WorkerPool::run_erased(std::size_t n_items, TaskFn fn, void* ctx) {
    if (n_items == 0) return;
    if (remote_ != nullptr) {
        // The other copy's pool takes the items, with its own rules for one item, one
        // thread and a forked child.
        remote_->run(n_items, fn, ctx);
        return;
    }
    if (n_items == 1 || workers_.empty() ||
        fork_generation.load(std::memory_order_relaxed) != fork_generation_) {
        for (std::size_t i = 0; i < n_items; ++i) fn(ctx, i);
        return;
    }

    Job job(fn, ctx, n_items);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        enqueue(job);
    }
    // The caller takes items itself, so at most n - 1 workers have anything to do.
    const std::size_t wake = std::min(n_items - 1, workers_.size());
    if (wake == workers_.size()) {
        work_.notify_all();
    } else {
        for (std::size_t i = 0; i < wake; ++i) work_.notify_one();
    }

    std::size_t ran_here = 0;
    for (;;) {
        const std::size_t item = job.next_item.fetch_add(1, std::memory_order_relaxed);
        if (item >= n_items) break;
        fn(ctx, item);
        ++ran_here;
    }

    std::unique_lock<std::mutex> lock(mutex_);
    dequeue(job);
    job.pending -= ran_here;
    job.done.wait(lock, [&job] { return job.pending == 0; });
}

}  // namespace quarnel
