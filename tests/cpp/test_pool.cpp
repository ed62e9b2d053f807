#if !defined(_WIN32)
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "check.hpp"
#include "core/cpu_count.hpp"
#include "core/pool.hpp"

using quarnel::resolve_thread_count;
using quarnel::WorkerPool;

TEST_CASE("thread count: RAYON_NUM_THREADS read as an unsigned decimal") {
    CHECK(resolve_thread_count("3", nullptr, 7) == 3);
    CHECK(resolve_thread_count("+3", nullptr, 7) == 3);
    CHECK(resolve_thread_count("003", nullptr, 7) == 3);
    CHECK(resolve_thread_count("1", "5", 7) == 1);
    // 0 asks for the processor count and the second variable is not looked at.
    CHECK(resolve_thread_count("0", "2", 7) == 7);
    CHECK(resolve_thread_count("+0", "2", 7) == 7);
    CHECK(resolve_thread_count("70000", nullptr, 7) == 65535);
    CHECK(resolve_thread_count("18446744073709551615", nullptr, 7) == 65535);
}

TEST_CASE("thread count: malformed RAYON_NUM_THREADS falls back to RAYON_RS_NUM_CPUS") {
    for (const char* bad : {"", "abc", " 3", "3 ", "-1", "++3", "+", "3x", "0x3", "1e3",
                            "18446744073709551616", "99999999999999999999999"}) {
        CHECK(resolve_thread_count(bad, "4", 7) == 4);
        CHECK(resolve_thread_count(bad, nullptr, 7) == 7);
    }
}

TEST_CASE("thread count: RAYON_RS_NUM_CPUS, then the processor count") {
    CHECK(resolve_thread_count(nullptr, "5", 7) == 5);
    CHECK(resolve_thread_count(nullptr, "+5", 7) == 5);
    CHECK(resolve_thread_count(nullptr, "0", 7) == 7);
    CHECK(resolve_thread_count(nullptr, "-5", 7) == 7);
    CHECK(resolve_thread_count(nullptr, "100000", 7) == 65535);
    CHECK(resolve_thread_count("x", "y", 7) == 7);
    CHECK(resolve_thread_count(nullptr, nullptr, 7) == 7);
    CHECK(resolve_thread_count(nullptr, nullptr, 0) == 1);
    CHECK(resolve_thread_count("0", nullptr, 0) == 1);
    CHECK(resolve_thread_count(nullptr, nullptr, 100000) == 65535);
}

// Runs `n` items on `pool` and checks each ran exactly once.
static bool runs_each_once(WorkerPool& pool, std::size_t n) {
    std::vector<std::atomic<int>> hits(n);
    std::atomic<int> out_of_range{0};
    pool.run(n, [&](std::size_t i) noexcept {
        if (i < n) {
            hits[i].fetch_add(1, std::memory_order_relaxed);
        } else {
            out_of_range.fetch_add(1);
        }
    });
    for (auto& h : hits) {
        if (h.load() != 1) return false;
    }
    return out_of_range.load() == 0;
}

TEST_CASE("pool: every item runs exactly once, for any item count") {
    for (std::size_t t : {1, 2, 3, 8}) {
        WorkerPool pool(t);
        CHECK(pool.start_error().empty());
        CHECK(pool.threads() == t);
        for (std::size_t n = 0; n <= 20; ++n) CHECK(runs_each_once(pool, n));
        CHECK(runs_each_once(pool, 1000));
    }
}

TEST_CASE("pool: items really run side by side") {
    // Each item waits until all four are in flight at once, which needs four threads.
    WorkerPool pool(4);
    std::atomic<int> in_flight{0};
    std::atomic<int> met{0};
    pool.run(4, [&](std::size_t) noexcept {
        in_flight.fetch_add(1);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (in_flight.load() < 4 && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::yield();
        }
        if (in_flight.load() == 4) met.fetch_add(1);
    });
    CHECK(met.load() == 4);
}

TEST_CASE("pool: one item, or one thread, runs on the caller") {
    const auto caller = std::this_thread::get_id();
    WorkerPool wide(4);
    bool on_caller = false;
    wide.run(1, [&](std::size_t) noexcept { on_caller = std::this_thread::get_id() == caller; });
    CHECK(on_caller);

    WorkerPool single(1);
    std::vector<std::thread::id> where(5);
    single.run(5, [&](std::size_t i) noexcept { where[i] = std::this_thread::get_id(); });
    for (const auto& id : where) CHECK(id == caller);
}

TEST_CASE("pool: concurrent callers share it and each waits only for its own items") {
    WorkerPool pool(3);
    std::atomic<int> bad{0};
    std::vector<std::thread> callers;
    for (int c = 0; c < 6; ++c) {
        callers.emplace_back([&pool, &bad, c] {
            for (int round = 0; round < 300; ++round) {
                const std::size_t n = static_cast<std::size_t>((round * 7 + c) % 12);
                std::vector<int> out(n, -1);
                const bool slow = round % 20 == 0;
                pool.run(n, [&](std::size_t i) noexcept {
                    // Now and then an item outlasts the caller's own share.
                    if (slow && i + 1 == n)
                        std::this_thread::sleep_for(std::chrono::milliseconds(2));
                    out[i] = c * 1000 + static_cast<int>(i);
                });
                // run() returned, so every one of this caller's items must be written.
                for (std::size_t i = 0; i < n; ++i) {
                    if (out[i] != c * 1000 + static_cast<int>(i)) bad.fetch_add(1);
                }
            }
        });
    }
    for (auto& t : callers) t.join();
    CHECK(bad.load() == 0);
}

TEST_CASE("pool: a short call is not held up by a long one") {
    WorkerPool pool(2);
    std::atomic<bool> release{false};
    std::thread slow([&] {
        pool.run(2, [&](std::size_t) noexcept {
            while (!release.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        });
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    // Both workers are busy; the caller runs its own items and returns.
    CHECK(runs_each_once(pool, 3));
    release.store(true);
    slow.join();
}

static int spawned = 0;

static std::thread spawn_two_then_refuse(void (*entry)(WorkerPool*), WorkerPool* pool) {
    if (spawned == 2)
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again),
                                "no more threads");
    ++spawned;
    return std::thread(entry, pool);
}

static std::thread spawn_unsupported(void (*)(WorkerPool*), WorkerPool*) {
    throw std::system_error(std::make_error_code(std::errc::function_not_supported), "threads");
}

TEST_CASE("pool: a refused thread leaves the pool unusable and says why") {
    spawned = 0;
    WorkerPool pool(4, &spawn_two_then_refuse);
    const std::string& why = pool.start_error();
    CHECK(why.find("no more threads") != std::string::npos);
    CHECK(spawned == 2);  // the two that started were stopped and joined in the constructor
}

TEST_CASE("pool: without thread support the caller is the only thread") {
    WorkerPool pool(4, &spawn_unsupported);
    CHECK(pool.start_error().empty());
    CHECK(pool.threads() == 1);
    CHECK(runs_each_once(pool, 4));
}

TEST_CASE("pool: the global pool is sized from the environment once") {
    WorkerPool& pool = WorkerPool::global();
    CHECK(&pool == &WorkerPool::global());
    CHECK(pool.threads() == resolve_thread_count(std::getenv("RAYON_NUM_THREADS"),
                                                 std::getenv("RAYON_RS_NUM_CPUS"),
                                                 quarnel::processor_count()));
    CHECK(runs_each_once(pool, pool.threads()));
}

#if !defined(_WIN32)  // no fork() there
TEST_CASE("pool: a child forked after start runs the items itself") {
    WorkerPool pool(3);
    CHECK(runs_each_once(pool, 3));
    // Fork while other threads keep the pool busy, so that now and then the fork lands
    // while the pool's mutex is held: the child must never touch it.
    std::atomic<bool> done{false};
    std::vector<std::thread> busy;
    for (int i = 0; i < 3; ++i) {
        busy.emplace_back([&] {
            while (!done.load()) runs_each_once(pool, 3);
        });
    }
    int good_children = 0;
    for (int round = 0; round < 20; ++round) {
        const pid_t child = fork();
        if (child == 0) {
            alarm(3);  // a hang kills the child instead of the test run
            const auto me = std::this_thread::get_id();
            bool ok = runs_each_once(pool, 7);
            std::vector<std::thread::id> where(5);
            pool.run(5, [&](std::size_t i) noexcept { where[i] = std::this_thread::get_id(); });
            for (const auto& id : where) ok = ok && id == me;
            _exit(ok ? 0 : 1);
        }
        int status = 0;
        if (child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) &&
            WEXITSTATUS(status) == 0) {
            ++good_children;
        }
    }
    done.store(true);
    for (auto& t : busy) t.join();
    CHECK(good_children == 20);
    CHECK(runs_each_once(pool, 3));  // the parent's pool is untouched
}
#endif

QTEST_MAIN
