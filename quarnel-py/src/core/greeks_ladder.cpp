#include "core/greeks_ladder.hpp"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

// One strike and two lanes here, the wider lanes in their own files (x86-64 only).
#define QUARNEL_LADDER_ISA portable
#include "core/greeks_constant_flow.hpp"
#include "core/greeks_conventions.hpp"
#include "core/greeks_ladder_kernel.hpp"
#include "core/greeks_payoffs.hpp"
#include "core/lanes.hpp"
#include "core/path_batch.hpp"
#include "core/pool.hpp"
#include "core/sample_layout.hpp"
#include "quarnel/from_paths.hpp"
#include "quarnel/greeks_from_paths.hpp"

#if defined(__GNUC__) && !defined(QUARNEL_NO_VECTOR_EXTENSIONS)
#define QUARNEL_LADDER_VECTORS 1
#else
#define QUARNEL_LADDER_VECTORS 0
#endif

namespace quarnel {
namespace {

using ladder::DigitalFn;
using ladder::DigitalLanes;
using ladder::kBlockPaths;
using ladder::kStrikePad;
using ladder::PathBlock;
using ladder::PlainFn;
using ladder::PlainLanes;
using ladder::Shape;
using ladder::slope_at;
using ladder::value_at;

inline Shape shape_of(GreekPayoff kind) noexcept {
    switch (kind) {
        case GreekPayoff::call: return Shape::call;
        case GreekPayoff::put: return Shape::put;
        case GreekPayoff::digital_call: return Shape::digital_call;
        case GreekPayoff::digital_put: return Shape::digital_put;
        default: break;
    }
    return Shape::identity;
}

template <class F>
decltype(auto) with_shape(Shape shape, F&& f) {
    switch (shape) {
        case Shape::call: return f(std::integral_constant<Shape, Shape::call>{});
        case Shape::put: return f(std::integral_constant<Shape, Shape::put>{});
        case Shape::digital_call: return f(std::integral_constant<Shape, Shape::digital_call>{});
        case Shape::digital_put: return f(std::integral_constant<Shape, Shape::digital_put>{});
        case Shape::identity: break;
    }
    return f(std::integral_constant<Shape, Shape::identity>{});
}

// One path's five plain samples at strike k: f times the weights (Weights) or the slope
// times the pathwise multipliers, each formed as greeks_by_weights_sample and
// greeks_pathwise_sample form it (the weights: w * 1 and scale for delta), rho less T f
// with a rate.
struct PlainSamples {
    double f, v1, v2, v3, v4;
};

template <Shape S, bool Weights, bool RateRho>
inline PlainSamples plain_samples(double k, double x, double w, double scale, const GreekTerms& t,
                                  double horizon) noexcept {
    const double f = value_at<S>(x, k);
    const double d = Weights ? f : slope_at<S>(x, k);
    const double r = d * t.rho;
    return {f, Weights ? (f * w) * scale : d * t.delta, d * t.gamma, d * t.vega,
            RateRho ? r - horizon * f : r};
}

// The widest lanes the build and the CPU have.
int widest_ladder_width() noexcept {
#if QUARNEL_LADDER_WIDE
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") != 0 && __builtin_cpu_supports("avx512dq") != 0) {
        return 8;
    }
    if (__builtin_cpu_supports("avx2") != 0) return 4;
#endif
    return QUARNEL_LADDER_VECTORS ? 2 : 1;
}

// The kernels at a lane width the CPU has. Two lanes are the width every 64-bit target
// has (SSE2 on x86-64, NEON on AArch64); without vector extensions, one strike at a time.
PlainFn plain_at(int width, Shape shape, bool weights, bool rate_rho) noexcept {
    switch (width) {
#if QUARNEL_LADDER_WIDE
        case 8: return ladder::plain_kernel_8(shape, weights, rate_rho);
        case 4: return ladder::plain_kernel_4(shape, weights, rate_rho);
#endif
#if QUARNEL_LADDER_VECTORS
        case 2: return ladder::plain_kernel<Lanes<2>::type>(shape, weights, rate_rho);
#endif
        default: return ladder::plain_kernel<double>(shape, weights, rate_rho);
    }
}

DigitalFn digital_at(int width, bool put, bool rate_rho) noexcept {
    switch (width) {
#if QUARNEL_LADDER_WIDE
        case 8: return ladder::digital_kernel_8(put, rate_rho);
        case 4: return ladder::digital_kernel_4(put, rate_rho);
#endif
#if QUARNEL_LADDER_VECTORS
        case 2: return ladder::digital_kernel<Lanes<2>::type>(put, rate_rho);
#endif
        default: return ladder::digital_kernel<double>(put, rate_rho);
    }
}

// Fills `b` with paths first .. first + count - 1.
template <class X, class Wv, class Terms>
void fill_block(PathBlock& b, const X& x, const Wv& w, std::size_t first, std::size_t count,
                Terms terms) noexcept {
    b.count = count;
    for (std::size_t q = 0; q < count; ++q) {
        const double xk = x[first + q], wk = w[first + q];
        b.x[q] = xk;
        b.w[q] = wk;
        terms(b, q, xk, wk);
    }
}

Greeks to_greeks(const PriceGreeks& r) noexcept {
    return {r.price,        r.delta,        r.gamma,        r.vega,        r.rho,
            r.price_stderr, r.delta_stderr, r.gamma_stderr, r.vega_stderr, r.rho_stderr};
}

}  // namespace

namespace detail {

int ladder_width() noexcept {
    static const int widest = widest_ladder_width();
    return widest;
}

Result<Matrix> price_and_greeks_ladder_in_lanes(
    int width, const View1D& terminal_states, const View1D& w_terminals, double horizon, double x0,
    double vol, std::string_view payoff, const View1D& strikes, std::string_view model,
    std::string_view estimator, std::optional<double> half_width, std::optional<double> rate,
    WorkerPool* pool, const WorkScope* scope) {
    const Result<ConstantFlowCall> checked = check_price_and_greeks_constant_flow(
        terminal_states, w_terminals, horizon, x0, vol, payoff, 0.0, model, estimator, half_width,
        rate, std::nullopt, std::nullopt);
    if (!checked.ok()) return checked.error();
    const ConstantFlowCall call = checked.value();
    if (is_spread(call.payoff)) {
        return ModelError{"payoff '" + std::string(payoff) +
                          "' has no ladder: its second strike would need one of its own"};
    }
    const std::size_t m = strikes.size();
    // Each strike read once, here; the loops read the copy.
    std::vector<double> ks(m);
    for (std::size_t j = 0; j < m; ++j) {
        ks[j] = strikes[j];
        if (auto err = check_finite(ks[j], ("strikes[" + std::to_string(j) + "]").c_str())) {
            return *std::move(err);
        }
    }
    if (m > std::numeric_limits<std::size_t>::max() / (10 * sizeof(double))) {
        return ModelError{"strikes is too long: the result would not fit in memory"};
    }
    const bool rate_rho = rate.has_value();
    const std::size_t n = terminal_states.size();
    std::vector<PriceGreeks> results(m);
    if (width == 0 || width > ladder_width()) width = ladder_width();
    // Padded with copies of the last strike: the lanes past m compute sums nobody reads.
    const std::size_t stride = (m + kStrikePad - 1) / kStrikePad * kStrikePad;
    std::vector<double> kpad(stride, m == 0 ? 0.0 : ks[m - 1]);
    std::copy(ks.begin(), ks.end(), kpad.begin());
    // The groups of kStrikePad strikes in at most one contiguous run per thread, each run
    // whole on one thread with a path block of its own: every strike's sums are one chain
    // in path order whoever runs them.
    const std::size_t groups = stride / kStrikePad;
    const std::size_t parts =
        pool == nullptr ? 1 : std::max<std::size_t>(1, std::min(groups, pool->threads()));
    std::vector<std::unique_ptr<PathBlock>> blocks(parts);
    for (auto& b : blocks) b = std::make_unique<PathBlock>();
    // sweep(part, first strike, strike count, its block) for each part.
    auto run_parts = [&](auto sweep) {
        auto task = [&](std::size_t part) noexcept {
            const std::size_t g0 = part * groups / parts, g1 = (part + 1) * groups / parts;
            sweep(part, g0 * kStrikePad, (g1 - g0) * kStrikePad, *blocks[part]);
        };
        if (parts == 1) {
            task(0);
            return;
        }
        auto work = [&] { pool->run(parts, task, n * stride); };
        if (scope != nullptr) {
            (*scope)(work);
        } else {
            work();
        }
    };
    using Yes = std::true_type;
    using No = std::false_type;

    with_flow(call.model, horizon, x0, vol, [&](const auto& flow) {
        with_dense_views(
            [&](const auto& x, const auto& w) {
                if (call.estimator == Estimator::weights || !call.localised) {
                    std::vector<double> s1(5 * stride, 0.0), s2(5 * stride, 0.0);
                    const PlainLanes lanes{kpad.data(),  s1.data(), s2.data(), stride,
                                           flow.scale(), horizon,   stride};
                    with_shape(shape_of(call.payoff), [&](auto shape) {
                        constexpr Shape S = decltype(shape)::value;
                        auto run = [&](auto weights, auto rate_term) {
                            constexpr bool W = decltype(weights)::value;
                            constexpr bool R = decltype(rate_term)::value;
                            const PlainFn kernel = plain_at(width, S, W, R);
                            auto terms = [&](PathBlock& b, std::size_t q, double xk, double wk) {
                                const GreekTerms t = W ? flow.weights(wk) : flow.pathwise(xk, wk);
                                b.a[0][q] = t.delta;
                                b.a[1][q] = t.gamma;
                                b.a[2][q] = t.vega;
                                b.a[3][q] = t.rho;
                            };
                            run_parts([&](std::size_t, std::size_t j0, std::size_t count,
                                          PathBlock& block) {
                                PlainLanes part = lanes;
                                part.ks += j0;
                                part.s1 += j0;
                                part.s2 += j0;
                                part.count = count;
                                for (std::size_t first = 0; first < n; first += kBlockPaths) {
                                    fill_block(block, x, w, first, std::min(kBlockPaths, n - first),
                                               terms);
                                    kernel(block, part);
                                }
                            });
                        };
                        if (call.estimator == Estimator::weights) {
                            rate_rho ? run(Yes{}, Yes{}) : run(Yes{}, No{});
                        } else {
                            rate_rho ? run(No{}, Yes{}) : run(No{}, No{});
                        }
                    });
                    for (std::size_t j = 0; j < m; ++j) {
                        const double g1[4] = {s1[stride + j], s1[2 * stride + j],
                                              s1[3 * stride + j], s1[4 * stride + j]};
                        const double g2[4] = {s2[stride + j], s2[2 * stride + j],
                                              s2[3 * stride + j], s2[4 * stride + j]};
                        results[j] = detail::finish(s1[j], s2[j], g1, g2, n);
                    }
                    return;
                }
                // The digitals: one width for every strike (it depends on the states
                // alone), a ramp and centred sums per strike. The ramp's ends as
                // LocalisedDigital sets them: none (at infinity, slope 0) for a width that
                // is not a positive finite number.
                const double e = half_width ? *half_width : default_half_width(x);
                const bool ramp = e > 0.0 && e < std::numeric_limits<double>::infinity();
                std::vector<double> lo(stride, std::numeric_limits<double>::infinity());
                std::vector<double> hi(stride, std::numeric_limits<double>::infinity());
                if (ramp) {
                    for (std::size_t j = 0; j < stride; ++j) {
                        lo[j] = kpad[j] - e;
                        hi[j] = kpad[j] + e;
                    }
                }
                std::vector<double> sp(stride, 0.0), su(4 * stride, 0.0), suu(4 * stride, 0.0),
                    suv(4 * stride, 0.0);
                double sv[4] = {}, svv[4] = {};
                const DigitalLanes lanes{kpad.data(), lo.data(), hi.data(),
                                         sp.data(),   su.data(), suu.data(),
                                         suv.data(),  stride,    ramp ? 1.0 / (2.0 * e) : 0.0,
                                         horizon,     stride};
                // The weights' own sums are the same chain at every strike: the first
                // part keeps them.
                auto terms_of = [&](bool keeps_sums) {
                    return [&, keeps_sums](PathBlock& b, std::size_t q, double xk, double wk) {
                        const GreekTerms mt = flow.pathwise(xk, wk);
                        const GreekTerms vt = flow.weights(wk);
                        const double ms[4] = {mt.delta, mt.gamma, mt.vega, mt.rho};
                        const double vs[4] = {vt.delta, vt.gamma, vt.vega, vt.rho};
                        for (std::size_t i = 0; i < 4; ++i) {
                            b.a[i][q] = ms[i];
                            b.b[i][q] = vs[i];
                            if (keeps_sums) {
                                sv[i] = sv[i] + vs[i];
                                svv[i] = svv[i] + vs[i] * vs[i];
                            }
                        }
                    };
                };
                auto run = [&](auto put_term, auto rate_term) {
                    const DigitalFn kernel =
                        digital_at(width, decltype(put_term)::value, decltype(rate_term)::value);
                    run_parts([&](std::size_t part_index, std::size_t j0, std::size_t count,
                                  PathBlock& block) {
                        DigitalLanes part = lanes;
                        part.ks += j0;
                        part.lo += j0;
                        part.hi += j0;
                        part.sp += j0;
                        part.su += j0;
                        part.suu += j0;
                        part.suv += j0;
                        part.count = count;
                        const auto terms = terms_of(part_index == 0);
                        for (std::size_t first = 0; first < n; first += kBlockPaths) {
                            fill_block(block, x, w, first, std::min(kBlockPaths, n - first), terms);
                            kernel(block, part);
                        }
                    });
                };
                if (call.payoff == GreekPayoff::digital_put) {
                    rate_rho ? run(Yes{}, Yes{}) : run(Yes{}, No{});
                } else {
                    rate_rho ? run(No{}, Yes{}) : run(No{}, No{});
                }
                for (std::size_t j = 0; j < m; ++j) {
                    CentringSums<4> c;
                    c.sp = sp[j];
                    c.spp = sp[j];  // the price is its own square
                    for (std::size_t i = 0; i < 4; ++i) {
                        c.su[i] = su[i * stride + j];
                        c.suu[i] = suu[i * stride + j];
                        c.suv[i] = suv[i * stride + j];
                        c.sv[i] = sv[i];
                        c.svv[i] = svv[i];
                    }
                    const MeanStderr p = c.price(n);
                    MeanStderr g[4];
                    for (std::size_t i = 0; i < 4; ++i) g[i] = c.greek(i, n);
                    results[j] = {p.mean,       g[0].mean,   g[1].mean,    g[2].mean,
                                  g[3].mean,    p.stderr_,   g[0].stderr_, g[1].stderr_,
                                  g[2].stderr_, g[3].stderr_};
                }
            },
            terminal_states, w_terminals);
    });

    Matrix out = Matrix::allocate(m, 10);  // NOLINT(clang-analyzer-unix.Malloc)
    for (std::size_t j = 0; j < m; ++j) {
        const Greeks g = finish_greeks(to_greeks(results[j]), rate, horizon);
        const double values[10] = {g.price,       g.delta,        g.gamma,        g.vega,
                                   g.rho,         g.price_stderr, g.delta_stderr, g.gamma_stderr,
                                   g.vega_stderr, g.rho_stderr};
        double* row = out.row(j);
        for (std::size_t i = 0; i < 10; ++i) row[i] = values[i];
    }
    return out;
}

}  // namespace detail

Result<Matrix> price_and_greeks_ladder_constant_flow(
    const View1D& terminal_states, const View1D& w_terminals, double horizon, double x0, double vol,
    std::string_view payoff, const View1D& strikes, std::string_view model,
    std::string_view estimator, std::optional<double> half_width, std::optional<double> rate,
    const WorkScope& scope) {
    return detail::price_and_greeks_ladder_in_lanes(
        0, terminal_states, w_terminals, horizon, x0, vol, payoff, strikes, model, estimator,
        half_width, rate, &WorkerPool::global(), &scope);
}

Result<Matrix> ladder_constant_flow_chunk_samples(const View1D& terminal_states,
                                                  const View1D& w_terminals, double horizon,
                                                  double x0, double vol, std::string_view payoff,
                                                  const View1D& strikes, std::string_view model,
                                                  std::string_view estimator, double width,
                                                  bool rate_rho) {
    const std::optional<GreekPayoff> kind = parse_greek_payoff(payoff);
    const std::optional<Model> mod = parse_model(model);
    const std::optional<Estimator> est = parse_estimator(estimator);
    if (!kind || !mod || !est || is_spread(*kind) || terminal_states.size() != w_terminals.size()) {
        return ModelError{"the arguments were not checked before the chunks ran"};
    }
    const std::size_t m = strikes.size();
    std::vector<double> ks(m);
    for (std::size_t j = 0; j < m; ++j) ks[j] = strikes[j];
    const SampleLayout layout = sample_layout(SampledEstimate::ladder, *kind, *est);
    const bool centred = layout.centred;
    const std::size_t per_strike = layout.columns;
    if (m > std::numeric_limits<std::size_t>::max() / (per_strike * sizeof(double))) {
        return ModelError{"strikes is too long: the result would not fit in memory"};
    }
    const std::size_t cols = per_strike * m;
    const std::size_t n = terminal_states.size();
    if (cols != 0) {
        if (auto err = check_result_length(n, cols, "terminal_states")) return *std::move(err);
    }
    Matrix out = Matrix::allocate(n, cols);  // NOLINT(clang-analyzer-unix.Malloc)
    // Rows the buffer holds, a bound the analyser can follow.
    const std::size_t rows = cols == 0 ? 0 : out.buffer.size() / cols;

    with_flow(*mod, horizon, x0, vol, [&](const auto& flow) {
        with_dense_views(
            [&](const auto& x, const auto& w) {
                if (!centred) {
                    with_shape(shape_of(*kind), [&](auto shape) {
                        constexpr Shape S = decltype(shape)::value;
                        auto run = [&](auto weights, auto rate_term) {
                            constexpr bool W = decltype(weights)::value;
                            constexpr bool R = decltype(rate_term)::value;
                            for (std::size_t k = 0; k < rows; ++k) {
                                const double xk = x[k], wk = w[k];
                                const GreekTerms t = W ? flow.weights(wk) : flow.pathwise(xk, wk);
                                double* r = out.row(k);
                                for (std::size_t j = 0; j < m; ++j) {
                                    const PlainSamples v = plain_samples<S, W, R>(
                                        ks[j], xk, wk, flow.scale(), t, horizon);
                                    double* c = r + 5 * j;
                                    c[0] = v.f;
                                    c[1] = v.v1;
                                    c[2] = v.v2;
                                    c[3] = v.v3;
                                    c[4] = v.v4;
                                }
                            }
                        };
                        using Yes = std::true_type;
                        using No = std::false_type;
                        if (*est == Estimator::weights) {
                            rate_rho ? run(Yes{}, Yes{}) : run(Yes{}, No{});
                        } else {
                            rate_rho ? run(No{}, Yes{}) : run(No{}, No{});
                        }
                    });
                    return;
                }
                const bool put = *kind == GreekPayoff::digital_put;
                std::vector<LocalisedDigital> digitals;
                digitals.reserve(m);
                for (std::size_t j = 0; j < m; ++j) digitals.emplace_back(ks[j], width, put);
                for (std::size_t k = 0; k < rows; ++k) {
                    const double xk = x[k], wk = w[k];
                    double* r = out.row(k);
                    for (std::size_t j = 0; j < m; ++j) {
                        const LocalisedSamples<4> s =
                            greeks_localised_digital_sample(digitals[j], flow, xk, wk, rate_rho);
                        double* c = r + 13 * j;
                        c[0] = s.price;
                        for (std::size_t i = 0; i < 4; ++i) {
                            c[1 + i] = s.u[i];
                            c[5 + i] = s.v[i];
                            c[9 + i] = s.u[i] * s.v[i];
                        }
                    }
                }
            },
            terminal_states, w_terminals);
    });
    return out;
}

}  // namespace quarnel
