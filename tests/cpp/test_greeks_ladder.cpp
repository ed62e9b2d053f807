// The strike ladder at every lane width the build and the CPU have: each strike's row
// the single call's bits, over more strikes than the widest lanes and not a multiple of
// any width, and over more paths than one block (the sums carried from block to block).
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <optional>
#include <random>
#include <string_view>
#include <vector>

#include "check.hpp"
#include "core/greeks_constant_flow.hpp"
#include "core/greeks_ladder.hpp"
#include "core/pool.hpp"

using namespace quarnel;

namespace {

View1D view(const std::vector<double>& v) {
    return {reinterpret_cast<const std::byte*>(v.data()), v.size(), sizeof(double)};
}

// The same bits, or NaN for NaN (a NaN's payload is not part of the contract).
bool same(double a, double b) {
    if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
    return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

}  // namespace

TEST_CASE("every lane width gives each strike the single call's bits") {
    constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
    constexpr double kInf = std::numeric_limits<double>::infinity();
    const double x0 = 100.0, vol = 0.25, t = 0.5;
    std::mt19937_64 rng(7);
    std::normal_distribution<double> normal;
    // 600 paths: two full blocks and a partial one.
    std::vector<double> x(600), w(600);
    for (std::size_t k = 0; k < x.size(); ++k) {
        w[k] = std::sqrt(t) * normal(rng);
        x[k] = x0 * std::exp(-0.5 * vol * vol * t + vol * w[k]);
    }
    x[5] = kNan;
    x[300] = kInf;
    w[301] = -kInf;
    x[511] = -0.0;
    // Eleven strikes: kinks hit exactly (one twice), ones beyond every state, zero.
    const std::vector<double> strikes = {x[3],  x[7], x[3], 95.0, 100.0, 105.0,
                                         x[40], 0.0,  1e3,  -5.0, x[299]};
    WorkerPool pool(3);
    int widths = 0;
    for (int width : {1, 2, 4, 8}) {
        if (width > detail::ladder_width()) continue;
        ++widths;
        for (std::string_view payoff : {"identity", "call", "put", "digital_call", "digital_put"}) {
            for (std::string_view estimator : {"weights", "lowest_variance"}) {
                for (std::string_view model : {"gbm", "abm"}) {
                    const bool localised =
                        estimator == "lowest_variance" && payoff.starts_with("digital");
                    for (const std::optional<double> rate : {std::optional<double>{}, {0.02}}) {
                        const std::optional<double> hw =
                            localised && rate ? std::optional<double>{3.0} : std::nullopt;
                        auto ladder = detail::price_and_greeks_ladder_in_lanes(
                            width, view(x), view(w), t, x0, vol, payoff, view(strikes), model,
                            estimator, hw, rate);
                        CHECK(ladder.ok());
                        if (!ladder.ok()) continue;
                        Matrix& rows = ladder.value();
                        // The groups of strikes shared out on three threads: the same bits.
                        auto shared = detail::price_and_greeks_ladder_in_lanes(
                            width, view(x), view(w), t, x0, vol, payoff, view(strikes), model,
                            estimator, hw, rate, &pool);
                        CHECK(shared.ok());
                        for (std::size_t j = 0; shared.ok() && j < strikes.size(); ++j) {
                            for (std::size_t i = 0; i < 10; ++i) {
                                CHECK(same(shared.value().row(j)[i], rows.row(j)[i]));
                            }
                        }
                        for (std::size_t j = 0; j < strikes.size(); ++j) {
                            const auto one = price_and_greeks_constant_flow(
                                view(x), view(w), t, x0, vol, payoff, strikes[j], model, estimator,
                                hw, rate);
                            CHECK(one.ok());
                            const Greeks& g = one.value();
                            const double want[10] = {g.price,        g.delta,        g.gamma,
                                                     g.vega,         g.rho,          g.price_stderr,
                                                     g.delta_stderr, g.gamma_stderr, g.vega_stderr,
                                                     g.rho_stderr};
                            bool equal = true;
                            for (std::size_t i = 0; i < 10; ++i) {
                                equal = equal && same(rows.row(j)[i], want[i]);
                            }
                            if (!equal) {
                                std::printf("  width %d %.*s %.*s %.*s strike %zu\n", width,
                                            static_cast<int>(payoff.size()), payoff.data(),
                                            static_cast<int>(estimator.size()), estimator.data(),
                                            static_cast<int>(model.size()), model.data(), j);
                            }
                            CHECK(equal);
                        }
                    }
                }
            }
        }
    }
    CHECK(widths >= (detail::ladder_width() > 1 ? 2 : 1));
}

int main() { return qtest::run_all(); }
