// global() forwarding to another copy's pool through its table. A process of its own:
// the adoption must come before this copy's first global().
#include <atomic>
#include <cstddef>
#include <vector>

#include "check.hpp"
#include "core/pool.hpp"

using quarnel::SharedPoolTable;
using quarnel::WorkerPool;

namespace {

std::atomic<int> starts{0};
std::atomic<std::size_t> forwarded{0};

std::size_t fake_start(const char**) {
    ++starts;
    return 5;
}

void fake_run(std::size_t n, void (*task)(void*, std::size_t), void* ctx) {
    forwarded += n;
    for (std::size_t i = n; i-- > 0;) task(ctx, i);  // any order: items are independent
}

const SharedPoolTable fake{quarnel::kSharedPoolTableVersion, sizeof(SharedPoolTable), &fake_start,
                           &fake_run};

}  // namespace

TEST_CASE("shared pool: tables of another version, or this copy's own, are refused") {
    SharedPoolTable newer = fake;
    newer.version = quarnel::kSharedPoolTableVersion + 1;
    CHECK(!WorkerPool::adopt_shared(&newer));
    SharedPoolTable shorter = fake;
    shorter.size = sizeof(SharedPoolTable) - 1;
    CHECK(!WorkerPool::adopt_shared(&shorter));
    CHECK(!WorkerPool::adopt_shared(WorkerPool::shared_table()));
    CHECK(!WorkerPool::adopt_shared(nullptr));
}

TEST_CASE("shared pool: global() takes the adopted pool's size and forwards its runs") {
    CHECK(WorkerPool::adopt_shared(&fake));
    CHECK(!WorkerPool::adopt_shared(&fake));  // once
    WorkerPool& pool = WorkerPool::global();
    CHECK(pool.threads() == 5);
    CHECK(&pool == &WorkerPool::global());
    CHECK(starts == 1);
    std::vector<int> seen(7, 0);
    pool.run(7, [&](std::size_t i) noexcept { ++seen[i]; });
    CHECK(forwarded == 7);
    CHECK(seen == std::vector<int>(7, 1));
    // Small runs stay on the caller, as with a pool of this copy.
    pool.run(3, [&](std::size_t i) noexcept { ++seen[i]; }, 10);
    CHECK(forwarded == 7);
    CHECK(seen[0] == 2 && seen[3] == 1);
}

QTEST_MAIN
