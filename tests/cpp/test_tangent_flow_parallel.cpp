#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "check.hpp"
#include "core/pool.hpp"
#include "core/tangent_flow.hpp"
#include "core/tangent_flow_parallel.hpp"

using namespace quarnel;

enum class Layout { row_major, col_major, strided };

// An n_paths x n_steps matrix in one of three memory layouts; `strided` takes every
// second column of a wider array with the rows in reverse order (negative row stride).
struct Matrix {
    std::vector<double> storage;
    View2D view;

    Matrix(std::size_t rows, std::size_t cols, Layout layout) {
        constexpr auto d = static_cast<std::ptrdiff_t>(sizeof(double));
        const auto r = static_cast<std::ptrdiff_t>(rows);
        const auto c = static_cast<std::ptrdiff_t>(cols);
        view.rows = rows;
        view.cols = cols;
        switch (layout) {
            case Layout::row_major:
                storage.assign(rows * cols, 0.0);
                view.row_stride = c * d;
                view.col_stride = d;
                view.data = bytes(0);
                break;
            case Layout::col_major:
                storage.assign(rows * cols, 0.0);
                view.row_stride = d;
                view.col_stride = r * d;
                view.data = bytes(0);
                break;
            case Layout::strided:
                storage.assign(rows * cols * 2 + 1, 0.0);
                view.row_stride = -2 * c * d;
                view.col_stride = 2 * d;
                view.data = bytes(rows == 0 ? 0 : (rows - 1) * cols * 2 + 1);
                break;
        }
    }
    const std::byte* bytes(std::size_t i) const {
        return reinterpret_cast<const std::byte*>(storage.data() + i);
    }
    void set(std::size_t i, std::size_t j, double v) {
        std::byte* p = const_cast<std::byte*>(view.row_ptr(i)) +
                       static_cast<std::ptrdiff_t>(j) * view.col_stride;
        std::memcpy(p, &v, sizeof v);
    }
};

struct Batch {
    std::size_t n_paths, n_steps;
    Matrix states, dws, sigma, d_mu_dx, d_sigma_dx;
    double horizon;

    Batch(std::size_t paths, std::size_t steps, Layout layout, unsigned seed, double horizon_ = 1.5)
        : n_paths(paths),
          n_steps(steps),
          states(paths, steps + 1, layout),
          dws(paths, steps, layout),
          sigma(paths, steps, layout),
          d_mu_dx(paths, steps, layout),
          d_sigma_dx(paths, steps, layout),
          horizon(horizon_) {
        std::mt19937_64 rng(seed);
        std::normal_distribution<double> normal(0.0, 0.3);
        std::uniform_real_distribution<double> positive(0.05, 0.6);
        for (std::size_t i = 0; i < paths; ++i) {
            for (std::size_t j = 0; j < steps; ++j) {
                dws.set(i, j, normal(rng));
                sigma.set(i, j, positive(rng));
                d_mu_dx.set(i, j, normal(rng));
                d_sigma_dx.set(i, j, positive(rng));
            }
        }
    }

    FirstOrderFields fields() const {
        return {.sigma = sigma.view, .d_mu_dx = d_mu_dx.view, .d_sigma_dx = d_sigma_dx.view};
    }
    TangentFlowBatch kernel_batch() const {
        return make_batch(dws.view, fields(), {n_paths, n_steps}, horizon);
    }
    Result<Buffer> serial() const {
        return bel_weights_tangent_flow(
            {.paths = {.states = states.view, .dws = dws.view, .horizon = horizon},
             .first = fields()});
    }
};

static bool same_bits(const Buffer& a, const Buffer& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

static std::string message_of(const Result<Buffer>& r) { return r.ok() ? "" : r.error().message; }

TEST_CASE("chunks: sizes and starts") {
    struct Plan {
        std::size_t n, t;
        std::vector<std::size_t> firsts, lengths;
    };
    const Plan plans[] = {
        {10, 4, {0, 3, 6, 9}, {3, 3, 3, 1}},
        {9, 4, {0, 3, 6}, {3, 3, 3}},  // one thread gets nothing
        {3, 8, {0, 1, 2}, {1, 1, 1}},
        {8, 4, {0, 2, 4, 6}, {2, 2, 2, 2}},
        {1, 4, {0}, {1}},
        {5, 1, {0}, {5}},
        {5, 0, {0}, {5}},  // a thread count of 0 is treated as 1
        {0, 4, {}, {}},
    };
    double out[16];
    for (const Plan& p : plans) {
        const auto items = plan_chunks(p.n, p.t, out);
        CHECK(items.size() == p.firsts.size());
        if (items.size() != p.firsts.size()) continue;
        for (std::size_t k = 0; k < items.size(); ++k) {
            CHECK(items[k].first_path == p.firsts[k]);
            CHECK(items[k].length == p.lengths[k]);
            CHECK(items[k].weights == out + p.firsts[k]);
            CHECK(!items[k].zero);
        }
    }
    CHECK(chunk_size(0, 4) == 1);
    CHECK(chunk_size(1000001, 1000) == 1001);
}

TEST_CASE("parallel equals serial bit for bit, for every layout and thread count") {
    for (Layout layout : {Layout::row_major, Layout::col_major, Layout::strided}) {
        Batch b(37, 13, layout, 11);
        b.sigma.set(5, 4, std::numeric_limits<double>::quiet_NaN());  // propagates, no error
        b.sigma.set(6, 0, std::numeric_limits<double>::denorm_min());
        Result<Buffer> serial = b.serial();
        CHECK(serial.ok());
        for (std::size_t t : {1, 2, 3, 4, 8, 64}) {
            WorkerPool pool(t);
            Result<Buffer> parallel = tangent_flow_weights_parallel(b.kernel_batch(), pool);
            CHECK(parallel.ok() && same_bits(parallel.value(), serial.value()));
        }
    }
}

TEST_CASE("a single zero sigma is reported with its batch-wide path index") {
    for (double zero : {0.0, -0.0}) {
        Batch b(10, 4, Layout::row_major, 3);
        b.sigma.set(7, 2, zero);
        CHECK(message_of(b.serial()) == "sigma[7, 2] = 0 produces division by zero in BEL weight");
        for (std::size_t t : {1, 2, 3, 4, 8}) {
            WorkerPool pool(t);
            CHECK(message_of(tangent_flow_weights_parallel(b.kernel_batch(), pool)) ==
                  "sigma[7, 2] = 0 produces division by zero in BEL weight");
        }
    }
}

TEST_CASE("one thread reports the first zero in path-then-step order") {
    Batch b(10, 3, Layout::col_major, 5);
    b.sigma.set(5, 1, 0.0);
    b.sigma.set(2, 0, 0.0);
    WorkerPool pool(1);
    CHECK(message_of(tangent_flow_weights_parallel(b.kernel_batch(), pool)) ==
          "sigma[2, 0] = 0 produces division by zero in BEL weight");
}

TEST_CASE("zeros in every item: the error names the first path of an item that ran") {
    for (std::size_t t : {2, 3, 4, 8}) {
        Batch b(40, 3, Layout::row_major, 9);
        for (std::size_t i = 0; i < b.n_paths; ++i) b.sigma.set(i, 0, 0.0);
        const std::size_t chunk = chunk_size(b.n_paths, t);
        WorkerPool pool(t);
        for (int round = 0; round < 50; ++round) {
            const std::string msg =
                message_of(tangent_flow_weights_parallel(b.kernel_batch(), pool));
            // "sigma[<path>, <step>] = 0 ...": parse both indices strictly.
            CHECK(msg.rfind("sigma[", 0) == 0);
            char* end = nullptr;
            const unsigned long path = std::strtoul(msg.c_str() + 6, &end, 10);
            CHECK(end != nullptr && end[0] == ',' && end[1] == ' ');
            const unsigned long step = std::strtoul(end + 2, &end, 10);
            CHECK(end != nullptr && *end == ']');
            CHECK(step == 0);
            CHECK(path % chunk == 0);
        }
    }
}

TEST_CASE("the error reported is the leftmost failed item's") {
    struct Row {
        std::vector<int> failed_at;  // per item: the step of its zero, or -1 if it succeeded
        int expected;                // index of the item whose zero is reported, or -1
    };
    const Row rows[] = {
        {{}, -1},        {{-1, -1, -1}, -1},  {{3}, 0},       {{-1, 2}, 1}, {{-1, 2, 0}, 1},
        {{5, -1, 0}, 0}, {{-1, -1, 1, 4}, 2}, {{0, 0, 0}, 0},
    };
    for (const Row& row : rows) {
        std::vector<PathChunk> items;
        for (std::size_t i = 0; i < row.failed_at.size(); ++i) {
            PathChunk item{i * 10, nullptr, 10, {}};
            if (row.failed_at[i] >= 0) {
                item.zero = ZeroSigma{i * 10 + 1, static_cast<std::size_t>(row.failed_at[i])};
            }
            items.push_back(item);
        }
        const std::optional<ZeroSigma> chosen = leftmost_failure(items);
        CHECK(chosen.has_value() == (row.expected >= 0));
        if (chosen && row.expected >= 0) {
            CHECK(chosen->path == static_cast<std::size_t>(row.expected) * 10 + 1);
            CHECK(chosen->step == static_cast<std::size_t>(row.failed_at[row.expected]));
        }
    }
}

TEST_CASE("the global pool serves an empty batch and later calls") {
    Batch empty(0, 2, Layout::row_major, 1);
    Result<Buffer> none = tangent_flow_weights_parallel(empty.kernel_batch());
    CHECK(none.ok() && none.value().size() == 0);

    Batch b(25, 6, Layout::strided, 2);
    Result<Buffer> parallel = tangent_flow_weights_parallel(b.kernel_batch());
    CHECK(parallel.ok() && same_bits(parallel.value(), b.serial().value()));
}

QTEST_MAIN
