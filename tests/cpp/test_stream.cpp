// The streamed tangent flow: every way of dealing the paths to lanes gives the batch
// kernels' rows bit for bit, special values included (the Python tests see only the
// fastest lanes of the machine they run on).
#include <limits>
#include <random>
#include <vector>

#include "check.hpp"
#include "core/second_order_tangent_flow.hpp"
#include "core/stream.hpp"
#include "core/tangent_flow.hpp"
#include "fields.hpp"

using namespace quarnel;
using namespace fixtures;

namespace {

void run_inline(void (*work)(void*), void* ctx) { work(ctx); }
constexpr WorkScope kInline{&run_inline};

View1D column(const View2D& v, std::size_t j) {
    return {v.data + static_cast<std::ptrdiff_t>(j) * v.col_stride, v.rows, v.row_stride};
}

void compare(std::mt19937_64& rng, std::size_t n, std::size_t m, Layout layout, double p_special) {
    std::uniform_real_distribution<double> u(-2.0, 2.0), coin(0.0, 1.0);
    const double specials[] = {std::numeric_limits<double>::quiet_NaN(),
                               std::numeric_limits<double>::infinity(),
                               -0.0,
                               5e-324,
                               1e300,
                               -1e-300};
    auto value = [&] { return coin(rng) < p_special ? specials[rng() % 6] : u(rng); };
    auto sigma_value = [&] {
        const double v = value();
        return v == 0.0 ? 0.5 : v;
    };
    std::vector<Field> f;  // dw, sigma, d_mu_dx, d_sigma_dx, d2_mu_dx2, d2_sigma_dx2
    f.push_back(make(n, m, layout, value));
    f.push_back(make(n, m, layout, sigma_value));
    for (int i = 2; i < 6; ++i) f.push_back(make(n, m, layout, value));
    const double horizon = 0.75;

    SecondOrderBatch b = make_second_order_batch(
        f[0].view, {.sigma = f[1].view, .d_mu_dx = f[2].view, .d_sigma_dx = f[3].view},
        {.d2_mu_dx2 = f[4].view, .d2_sigma_dx2 = f[5].view}, BatchShape{n, m}, horizon);
    static const double zero = 0.0;
    const View2D zeros{reinterpret_cast<const std::byte*>(&zero), n, m, 0, 0};
    b.parameter = {.d_mu_dp = zeros,
                   .d_sigma_dp = f[1].view,
                   .d2_mu_dx_dp = zeros,
                   .d2_sigma_dx_dp = f[3].view};
    std::vector<double> rows(n * 6), bel(n);
    CHECK(!detail::second_order_one_by_one(SecondOrderKind::all, b, 0, n, rows.data()));
    const TangentFlowBatch first =
        make_batch(f[0].view, {.sigma = f[1].view, .d_mu_dx = f[2].view, .d_sigma_dx = f[3].view},
                   BatchShape{n, m}, horizon);
    CHECK(!detail::weights_one_by_one(first, 0, n, bel.data()));

    for (StreamLanes lanes : {StreamLanes::fastest, StreamLanes::pairs, StreamLanes::one_by_one}) {
        auto s = TangentFlowStream::create(n, m, horizon, StreamOrder::second_vega, lanes);
        CHECK(s.ok());
        if (!s.ok()) return;
        TangentFlowStream& acc = *s.value();
        for (std::size_t j = 0; j < m; ++j) {
            CHECK(!acc.step({.dw = column(f[0].view, j),
                             .sigma = column(f[1].view, j),
                             .d_mu_dx = column(f[2].view, j),
                             .d_sigma_dx = column(f[3].view, j),
                             .d2_mu_dx2 = column(f[4].view, j),
                             .d2_sigma_dx2 = column(f[5].view, j),
                             .second = true},
                            kInline));
        }
        Result<Matrix> g = acc.greek_weights();
        Result<Buffer> q = acc.vega_weights();
        Result<Buffer> w = acc.bel_weights();
        CHECK(g.ok() && q.ok() && w.ok());
        if (!g.ok() || !q.ok() || !w.ok()) return;
        std::vector<double> got_rows, want_rows, got_q, want_q;
        for (std::size_t k = 0; k < n; ++k) {
            for (std::size_t c = 0; c < 4; ++c) {
                got_rows.push_back(g.value().buffer.data()[k * 4 + c]);
                want_rows.push_back(rows[k * 6 + c]);
            }
            got_q.push_back(q.value().data()[k]);
            want_q.push_back(rows[k * 6 + 5]);
        }
        CHECK(same(got_rows, want_rows));
        CHECK(same(got_q, want_q));
        CHECK(same(std::vector<double>(w.value().data(), w.value().data() + n), bel));
    }
}

}  // namespace

TEST_CASE("streamed steps equal the batch kernels in every lane dealing and layout") {
    std::mt19937_64 rng(20261209);
    for (Layout layout :
         {Layout::c, Layout::fortran, Layout::reversed, Layout::gapped, Layout::broadcast}) {
        for (std::size_t n : {1u, 3u, 4u, 5u, 9u, 67u}) {
            compare(rng, n, 1 + rng() % 7, layout, 0.0);
            compare(rng, n, 1 + rng() % 7, layout, 0.05);
        }
    }
}

TEST_CASE("a refused step leaves the state as it was") {
    auto s = TangentFlowStream::create(3, 2, 1.0, StreamOrder::first);
    CHECK(s.ok());
    TangentFlowStream& acc = *s.value();
    const double ones[3] = {1.0, 1.0, 1.0}, with_zero[3] = {1.0, 0.0, 1.0};
    const View1D one{reinterpret_cast<const std::byte*>(ones), 3, 8};
    const View1D zeroed{reinterpret_cast<const std::byte*>(with_zero), 3, 8};
    auto err = acc.step({.dw = one,
                         .sigma = zeroed,
                         .d_mu_dx = one,
                         .d_sigma_dx = one,
                         .d2_mu_dx2 = {},
                         .d2_sigma_dx2 = {},
                         .second = false},
                        kInline);
    CHECK(err && err->message == "step 0: sigma[1] = 0 produces division by zero");
    CHECK(acc.steps_taken() == 0);
    CHECK(!acc.bel_weights().ok());
}

QTEST_MAIN
