// The vanna of vanna_tangent_flow.hpp from the kernel's mixed rows.
#include "core/vanna_tangent_flow.hpp"

#include <cmath>
#include <cstddef>
#include <optional>

#include "core/greeks_conventions.hpp"
#include "core/greeks_pairs.hpp"
#include "core/greeks_payoffs.hpp"
#include "core/greeks_tangent_flow.hpp"
#include "quarnel/from_paths.hpp"
#include "quarnel/greeks_from_paths.hpp"

namespace quarnel {
namespace {

MixedRow mixed_row(const double* r) noexcept { return {r[0], r[1], r[2], r[3]}; }

// Sums of the one Greek stream of plain samples.
struct VannaSums {
    double s1 = 0.0, s2 = 0.0;
    void add(const VannaSample& s) noexcept {
        s1 = s1 + s.u[0];
        s2 = s2 + s.u[0] * s.u[0];
    }
};

}  // namespace

Result<Buffer> vanna_tangent_flow(const SecondOrderPaths& paths, std::string_view payoff,
                                  double vol, double strike, std::string_view estimator,
                                  std::optional<double> half_width, std::optional<double> rate,
                                  std::optional<double> strike2,
                                  std::optional<std::string_view> pairs) {
    const Result<GreeksTangentFlowCall> call = check_price_and_greeks_tangent_flow(
        paths, payoff, strike, estimator, vol, half_width, rate, strike2, pairs);
    if (!call.ok()) return call.error();
    const GreekPayoff kind = call.value().payoff;
    const double k2 = strike2 ? *strike2 : 0.0;
    const SecondOrderBatch batch = parallel_bump_batch(paths, call.value().shape);
    const View1D terminal = terminal_states(paths, batch);
    const Pairs mode = call.value().pairs;
    const std::size_t n_means = mode == Pairs::none ? batch.n_paths : batch.n_paths / 2;

    // sums.add of each path's `sample(x, row)` in path order, or of each antithetic
    // pair's mean sample in pair order.
    std::optional<ZeroSigma> met;
    auto add_samples = [&](auto& sums, auto sample) {
        if (mode == Pairs::none) {
            met = for_each_kernel_row(batch, SecondOrderKind::mixed,
                                      [&](std::size_t k, const double* r) {
                                          sums.add(sample(terminal[k], mixed_row(r)));
                                      });
            return;
        }
        met = for_each_kernel_row_pair(
            batch, SecondOrderKind::mixed, mode,
            [&](std::size_t ka, const double* ra, std::size_t kb, const double* rb) {
                sums.add(pair_mean(sample(terminal[ka], mixed_row(ra)),
                                   sample(terminal[kb], mixed_row(rb))));
            });
    };
    MeanStderr g{};
    if (call.value().estimator == Estimator::weights) {
        VannaSums sums;
        with_greek_payoff(kind, strike, k2, [&](auto f) {
            add_samples(sums,
                        [f](double x, const MixedRow& r) { return vanna_by_weights(f, x, r); });
        });
        g = mean_stderr(sums.s1, sums.s2, n_means);
    } else if (!is_digital(kind)) {
        VannaSums sums;
        with_greek_slope(kind, strike, k2, [&](auto f, auto slope) {
            add_samples(sums, [f, slope](double x, const MixedRow& r) {
                return vanna_pathwise(f, slope, x, r);
            });
        });
        g = mean_stderr(sums.s1, sums.s2, n_means);
    } else {
        // The digitals localised as in the other Greeks: the ramp pathwise, the rest by
        // the mixed weight, centred.
        const LocalisedDigital digital(strike,
                                       half_width ? *half_width : default_half_width(terminal),
                                       kind == GreekPayoff::digital_put);
        CentringSums<1> sums;
        add_samples(sums, [&digital](double x, const MixedRow& r) {
            return vanna_localised(digital, x, r);
        });
        g = sums.greek(0, n_means);
    }
    if (met) return zero_sigma_error(*met, FieldNames::suffixed);
    // The bump is sigma -> (1 + e) sigma, e = dvol / vol: d/dvol is d/de over vol. In the
    // vega slot, so that the package's conventions apply as to every other Greek.
    const double nan = std::nan("");
    const Greeks out =
        finish_greeks({nan, nan, nan, g.mean / vol, nan, nan, nan, nan, g.stderr_ / vol, nan}, rate,
                      paths.paths.horizon);
    Buffer result = Buffer::allocate(2);
    result[0] = out.vega;
    result[1] = out.vega_stderr;
    return result;
}

}  // namespace quarnel
