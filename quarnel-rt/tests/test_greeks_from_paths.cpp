// The Greeks estimators from plain C++: any random-access container, any payoff object.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "check.hpp"
#include "quarnel/from_paths.hpp"
#include "quarnel/greeks_from_paths.hpp"

using namespace quarnel;

namespace {

std::uint64_t bits(double x) {
    std::uint64_t u;
    std::memcpy(&u, &x, sizeof u);
    return u;
}

struct Spread {
    double operator()(double x) const {
        return (x > 90.0 ? x - 90.0 : 0.0) - (x > 110.0 ? x - 110.0 : 0.0);
    }
};

}  // namespace

TEST_CASE("weights estimator: price and delta are the delta estimator's, bit for bit") {
    const double T = 0.5, x0 = 100.0, s = 0.25;
    std::mt19937_64 rng(5);
    std::normal_distribution<double> normal;
    std::vector<double> x(1001), w(1001);
    for (std::size_t k = 0; k < x.size(); ++k) {
        w[k] = std::sqrt(T) * normal(rng);
        x[k] = x0 * std::exp(-0.5 * s * s * T + s * w[k]);
    }
    const PriceDelta want = bel_delta_constant_flow_from_paths(x, w, T, s * x0, Spread{});
    const PriceGreeks got = greeks_by_weights_from_paths(x, w, GbmConstantFlow(T, x0, s), Spread{});
    CHECK(bits(got.price) == bits(want.price) && bits(got.delta) == bits(want.delta));
    CHECK(bits(got.price_stderr) == bits(want.price_stderr));
    CHECK(bits(got.delta_stderr) == bits(want.delta_stderr));
    const PriceDelta abm = bel_delta_constant_flow_from_paths(x, w, T, s, Spread{});
    const PriceGreeks abm_got = greeks_by_weights_from_paths(x, w, AbmConstantFlow(T, s), Spread{});
    CHECK(bits(abm_got.delta) == bits(abm.delta) &&
          bits(abm_got.delta_stderr) == bits(abm.delta_stderr));
}

TEST_CASE("pathwise identity under ABM: delta 1 and drift rho T, with no error") {
    const std::vector<double> x{0.5, 1.5, -2.0}, w{0.1, -0.3, 0.7};
    const PriceGreeks r = greeks_pathwise_from_paths(
        x, w, AbmConstantFlow(0.25, 2.0), [](double v) { return v; }, [](double) { return 1.0; });
    CHECK(r.delta == 1.0 && r.delta_stderr == 0.0);
    CHECK(r.rho == 0.25 && r.rho_stderr == 0.0);
}

QTEST_MAIN
