// Price, delta, gamma, vega and drift rho from exactly sampled terminal data, for the
// two models whose first variation needs no time grid:
//   GBM  dX = mu X dt + s X dW,  X_T = x0 exp((mu - s^2/2) T + s W_T)
//   ABM  dX = mu dt + s dW,      X_T = x0 + mu T + s W_T
// Every Greek is the sample mean of a per-path quantity built from X_T and W_T only.
//
// Three estimators, generic over the payoff:
// - weights: f(X_T) times a weight (any payoff, including discontinuous ones);
// - pathwise: f'(X_T) times the derivative of X_T (gamma: f' times the derivative of
//   X_T times the delta weight), for Lipschitz payoffs whose slope is known;
// - localised digital: the jump of 1{x > K} smoothed into a ramp of half-width e, the
//   ramp differentiated pathwise and the remainder by weights, centred.
//
// Floating-point order is part of the contract, as in from_paths.hpp: every sum is a
// plain left-to-right chain, every product rounded on its own, no reassociation.
#pragma once

#include <cmath>
#include <cstddef>
#include <limits>

#include "quarnel/fault.hpp"
#include "quarnel/from_paths.hpp"

// The per-path sample functions below are the bodies of the estimator loops: forced
// inline, so the sums stay in registers wherever a compiler's budget would stop short.
#if defined(__GNUC__) || defined(__clang__)
#define QUARNEL_PATH_INLINE [[gnu::always_inline]] inline
#elif defined(_MSC_VER)
#define QUARNEL_PATH_INLINE __forceinline
#else
#define QUARNEL_PATH_INLINE inline
#endif

namespace quarnel {

struct PriceGreeks {
    double price, delta, gamma, vega, rho;
    double price_stderr, delta_stderr, gamma_stderr, vega_stderr, rho_stderr;
};

// Per-path multipliers of the four Greeks, in the order delta, gamma, vega, rho.
struct GreekTerms {
    double delta, gamma, vega, rho;
};

// GBM, sigma(x) = s x. The constants are computed once per call in this order; the
// delta weight w * scale is bit-equal to bel_weights_constant_flow's.
class GbmConstantFlow {
public:
    GbmConstantFlow(double horizon, double x0, double vol) noexcept
        : horizon_(horizon),
          scale_(1.0 / (horizon * (vol * x0))),
          q_((scale_ * scale_) * horizon),
          c1_(1.0 / x0),
          inv_st_(1.0 / (vol * horizon)),
          inv_s_(1.0 / vol),
          st_(vol * horizon) {}

    double scale() const noexcept { return scale_; }
    double horizon() const noexcept { return horizon_; }

    // Weights: delta W/(T s x0), gamma pi^2 - pi/x0 - 1/(T sigma0^2),
    // vega (W^2 - T)/(sT) - W, rho W/s.
    GreekTerms weights(double w) const noexcept {
        const double p = w * scale_;
        return {p, (p * p - p * c1_) - q_, (w * w - horizon_) * inv_st_ - w, w * inv_s_};
    }

    // What multiplies f'(X_T): dX_T/dx0 = X_T/x0; gamma (X_T/x0) (pi - 1/x0), the
    // pathwise derivative times the delta weight minus its own x0-derivative;
    // dX_T/ds = X_T (W - sT); dX_T/dmu = X_T T.
    GreekTerms pathwise(double x, double w) const noexcept {
        const double p = w * scale_;
        const double y = x * c1_;
        return {y, y * (p - c1_), x * (w - st_), x * horizon_};
    }

private:
    double horizon_, scale_, q_, c1_, inv_st_, inv_s_, st_;
};

// ABM, sigma constant: the weights lose their x0 terms and dX_T/dx0 = 1.
class AbmConstantFlow {
public:
    AbmConstantFlow(double horizon, double vol) noexcept
        : horizon_(horizon),
          scale_(1.0 / (horizon * vol)),
          q_((scale_ * scale_) * horizon),
          inv_st_(1.0 / (vol * horizon)),
          inv_s_(1.0 / vol) {}

    double scale() const noexcept { return scale_; }
    double horizon() const noexcept { return horizon_; }

    GreekTerms weights(double w) const noexcept {
        const double p = w * scale_;
        return {p, p * p - q_, (w * w - horizon_) * inv_st_, w * inv_s_};
    }

    GreekTerms pathwise(double /*x*/, double w) const noexcept {
        return {1.0, w * scale_, w, horizon_};
    }

private:
    double horizon_, scale_, q_, inv_st_, inv_s_;
};

// Sums of four sample streams and of their squares. Each lane is its own chain; the
// compiler may keep the four in vector registers, which does not change a bit.
struct FourSums {
    double s1[4] = {0.0, 0.0, 0.0, 0.0};
    double s2[4] = {0.0, 0.0, 0.0, 0.0};
    void add(const GreekTerms& t) noexcept {
        const double v[4] = {t.delta, t.gamma, t.vega, t.rho};
        for (int i = 0; i < 4; ++i) {
            s1[i] = s1[i] + v[i];
            s2[i] = s2[i] + v[i] * v[i];
        }
    }
};

namespace detail {

inline PriceGreeks finish(double sp, double spp, const double (&s1)[4], const double (&s2)[4],
                          std::size_t n) noexcept {
    const MeanStderr price = mean_stderr(sp, spp, n);
    MeanStderr g[4];
    for (int i = 0; i < 4; ++i) g[i] = mean_stderr(s1[i], s2[i], n);
    return {price.mean,    g[0].mean,    g[1].mean,    g[2].mean,    g[3].mean,
            price.stderr_, g[0].stderr_, g[1].stderr_, g[2].stderr_, g[3].stderr_};
}

inline void check_lengths(std::size_t a, std::size_t b) {
    QUARNEL_CHECK(a == b, "terminal_states and w_terminals must have the same length");
}

}  // namespace detail

// One path's samples: the price sample f(X_T) and the four Greek samples.
struct GreekSamples {
    double price;
    GreekTerms greeks;
};

// With a discount rate r that is also the drift, the rate sensitivity of the discounted
// price df * E[f] is df * (rho - T * price): per path the rho sample less T times the
// price sample, so that its standard error is that of the one combined sample (the
// covariance of the two is in it). `rate_rho` is false without a rate.
QUARNEL_PATH_INLINE double rate_rho_sample(double rho, double horizon, double price,
                                           bool rate_rho) noexcept {
    return rate_rho ? rho - horizon * price : rho;
}

// The samples of the weights estimator: f(X_T) times each weight, the delta sample as
// (f * W) * scale, the order bel_delta_constant_flow_from_paths rounds it in.
template <class Flow, class Payoff>
QUARNEL_PATH_INLINE GreekSamples greeks_by_weights_sample(const Flow& flow, Payoff payoff, double x,
                                                          double w,
                                                          bool rate_rho = false) noexcept {
    const double f = payoff(x);
    const GreekTerms t = flow.weights(w);
    return {f,
            {(f * w) * flow.scale(), f * t.gamma, f * t.vega,
             rate_rho_sample(f * t.rho, flow.horizon(), f, rate_rho)}};
}

// The samples of the pathwise estimator: f'(X_T) times each multiplier of
// Flow::pathwise.
template <class Flow, class Payoff, class Slope>
QUARNEL_PATH_INLINE GreekSamples greeks_pathwise_sample(const Flow& flow, Payoff payoff,
                                                        Slope slope, double x, double w,
                                                        bool rate_rho = false) noexcept {
    const double d = slope(x);
    const GreekTerms t = flow.pathwise(x, w);
    const double f = payoff(x);
    return {f,
            {d * t.delta, d * t.gamma, d * t.vega,
             rate_rho_sample(d * t.rho, flow.horizon(), f, rate_rho)}};
}

// Every Greek as the mean of f(X_T) times its weight. The price and the delta sample
// are summed exactly as bel_delta_constant_flow_from_paths sums them, so those two and
// their errors are that function's bit for bit.
template <class States, class Brownians, class Flow, class Payoff>
PriceGreeks greeks_by_weights_from_paths(const States& terminal_states,
                                         const Brownians& w_terminals, const Flow& flow,
                                         Payoff payoff, bool rate_rho = false) {
    const std::size_t n = terminal_states.size();
    detail::check_lengths(n, w_terminals.size());
    TwoStreamSums price_delta;
    TwoStreamSums gamma_vega;
    double sr = 0.0, srr = 0.0;
    for (std::size_t k = 0; k < n; ++k) {
        const GreekSamples s =
            greeks_by_weights_sample(flow, payoff, terminal_states[k], w_terminals[k], rate_rho);
        price_delta.add(s.price, s.greeks.delta);
        gamma_vega.add(s.greeks.gamma, s.greeks.vega);
        sr = sr + s.greeks.rho;
        srr = srr + s.greeks.rho * s.greeks.rho;
    }
    const double s1[4] = {price_delta.sum_b(), gamma_vega.sum_a(), gamma_vega.sum_b(), sr};
    const double s2[4] = {price_delta.sum_sq_b(), gamma_vega.sum_sq_a(), gamma_vega.sum_sq_b(),
                          srr};
    return detail::finish(price_delta.sum_a(), price_delta.sum_sq_a(), s1, s2, n);
}

// Pathwise Greeks f'(X_T) * (the multipliers of Flow::pathwise) for a payoff with
// slope `slope` (Lipschitz payoffs: calls, puts, the identity). Unbiased, and several
// times less variable than the weights wherever the slope exists.
template <class States, class Brownians, class Flow, class Payoff, class Slope>
PriceGreeks greeks_pathwise_from_paths(const States& terminal_states, const Brownians& w_terminals,
                                       const Flow& flow, Payoff payoff, Slope slope,
                                       bool rate_rho = false) {
    const std::size_t n = terminal_states.size();
    detail::check_lengths(n, w_terminals.size());
    double sp = 0.0, spp = 0.0;
    FourSums sums;
    for (std::size_t k = 0; k < n; ++k) {
        const GreekSamples s = greeks_pathwise_sample(flow, payoff, slope, terminal_states[k],
                                                      w_terminals[k], rate_rho);
        sp = sp + s.price;
        spp = spp + s.price * s.price;
        sums.add(s.greeks);
    }
    return detail::finish(sp, spp, sums.s1, sums.s2, n);
}

// Twice the population standard deviation of the values: the default half-width of
// the localisation ramp (a good width at every maturity tried, within 20 % of the
// best). NaN when n == 0; 0 when the values have no spread.
template <class Values>
double default_half_width(const Values& values) {
    const std::size_t n = values.size();
    double s1 = 0.0, s2 = 0.0;
    for (std::size_t k = 0; k < n; ++k) {
        const double x = values[k];
        s1 = s1 + x;
        s2 = s2 + x * x;
    }
    const double count = static_cast<double>(n);
    const double mean = s1 / count;
    double var = s2 / count - mean * mean;
    var = var > 0.0 ? var : 0.0;
    return 2.0 * std::sqrt(var);
}

// The centred sums of one Greek of the localised digital: every weight v has mean zero,
// so u - c v estimates the Greek for any constant c, and the variance is least at the
// regression coefficient c = Cov(u, v) / Var(v), taken from the sums of the same paths.
// The sum and sum of squares of u - c v are expanded as
//   S(u) - c S(v)   and   (S(u^2) - (2c) S(uv)) + (c c) S(v^2)
// so that c, known only at the end, needs no second pass. A weight with no spread beyond
// rounding (one path, or a constant column) leaves u uncentred, c = 0: a coefficient
// from rounding noise would shift the estimate by noise times the weight's mean.
struct CentredSums {
    double s1, s2;
};

inline CentredSums centre_on_weight(double su, double suu, double suv, double sv, double svv,
                                    std::size_t n) noexcept {
    const double count = static_cast<double>(n);
    const double mv = sv / count;
    const double cov = suv / count - (su / count) * mv;
    const double var = svv / count - mv * mv;
    const double c = var > 0x1p-26 * (svv / count) ? cov / var : 0.0;
    return {su - c * sv, (suu - (2.0 * c) * suv) + (c * c) * svv};
}

// One path's samples of the localised digital over N Greeks: the price f and, per
// Greek, u = fs'(X) * m + g * v and the weight v that centre_on_weight centres u on.
template <std::size_t N>
struct LocalisedSamples {
    double price;
    double u[N];
    double v[N];
};

// The digital call 1{x > K} split into a ramp fs from 0 at K - e to 1 at K + e, whose
// Greeks are taken pathwise (slope 1/(2e) on the ramp), and the remainder g = f - fs,
// nonzero only near the strike and far above it, whose Greeks are taken by weights.
// Per path and Greek the sample is u - c v, u = fs'(X_T) * m + g * v, m the pathwise
// multiplier, v the weight, c the Greek's own coefficient (centre_on_weight). Both
// choices (e, c) made from the paths themselves bias the estimates by O(1/n), far below
// the standard error; a half-width from a pilot run avoids the first part. A half-width
// that is not a positive finite number (no spread in the paths) turns the ramp off: the
// plain weights, centred.
// The digital put 1{x < K} is split the same way, around 1 - fs with slope -fs'.
class LocalisedDigital {
public:
    LocalisedDigital(double strike, double half_width, bool put = false) noexcept
        : strike_(strike), lo_(kInf), hi_(kInf), inv2e_(0.0), put_(put) {
        if (half_width > 0.0 && half_width < kInf) {
            lo_ = strike - half_width;
            hi_ = strike + half_width;
            inv2e_ = 1.0 / (2.0 * half_width);
        }
    }

    // m: the pathwise multipliers of the N Greeks at x, v: their weights.
    template <std::size_t N>
    QUARNEL_PATH_INLINE LocalisedSamples<N> sample(double x, const double (&m)[N],
                                                   const double (&v)[N]) const noexcept {
        // Selects, not branches: which side of the strike a path ends on is a coin toss.
        const double above = x > strike_ ? 1.0 : 0.0;
        const double below = x < strike_ ? 1.0 : 0.0;
        const double ramp = (x - lo_) * inv2e_;
        const double upper = x >= hi_ ? 1.0 : ramp;
        const double up = x <= lo_ ? 0.0 : upper;
        const double up_slope = ((lo_ < x) & (x < hi_)) ? inv2e_ : 0.0;
        const double f = put_ ? below : above;
        const double fs = put_ ? 1.0 - up : up;
        const double fsp = put_ ? -up_slope : up_slope;
        const double g = f - fs;
        LocalisedSamples<N> s;
        s.price = f;
        for (std::size_t i = 0; i < N; ++i) {
            s.u[i] = fsp * m[i] + g * v[i];
            s.v[i] = v[i];
        }
        return s;
    }

private:
    static constexpr double kInf = std::numeric_limits<double>::infinity();
    double strike_, lo_, hi_, inv2e_;
    bool put_;
};

// The localised digital's sums, each a left-to-right chain in path order: the price's,
// and per Greek those of u, u * u, u * v, v and v * v, from which centre_on_weight
// forms the sums of u - c v once c is known.
template <std::size_t N>
struct CentringSums {
    double sp = 0.0, spp = 0.0;
    double su[N] = {}, suu[N] = {}, suv[N] = {}, sv[N] = {}, svv[N] = {};
    QUARNEL_PATH_INLINE void add(const LocalisedSamples<N>& s) noexcept {
        sp = sp + s.price;
        spp = spp + s.price * s.price;
        for (std::size_t i = 0; i < N; ++i) {
            su[i] = su[i] + s.u[i];
            suu[i] = suu[i] + s.u[i] * s.u[i];
            suv[i] = suv[i] + s.u[i] * s.v[i];
            sv[i] = sv[i] + s.v[i];
            svv[i] = svv[i] + s.v[i] * s.v[i];
        }
    }
    MeanStderr price(std::size_t n) const noexcept { return mean_stderr(sp, spp, n); }
    // Greek i of n paths, centred on its weight.
    MeanStderr greek(std::size_t i, std::size_t n) const noexcept {
        const CentredSums c = centre_on_weight(su[i], suu[i], suv[i], sv[i], svv[i], n);
        return mean_stderr(c.s1, c.s2, n);
    }
};

// Pathwise and weights, blended: for a payoff whose pathwise samples are not always the
// quieter ones (a spread: its pathwise delta is an indicator of the band between the
// strikes, noisier than the weight on the bounded payoff when the band is narrow). Both
// samples are unbiased, so their difference v = z - u has mean zero, and per Greek the
// weights sample z is centred on it (CentringSums below): z - c v with the regression
// coefficient c, never more variable than either (c = 0 is z, c = 1 is u) but for the
// O(1/n) of a coefficient taken from the same paths. The samples come in the form of the
// localised digital's, so the same sums and finish serve both.
template <class Flow, class Payoff, class Slope>
QUARNEL_PATH_INLINE LocalisedSamples<4> greeks_blended_sample(const Flow& flow, Payoff payoff,
                                                              Slope slope, double x, double w,
                                                              bool rate_rho = false) noexcept {
    const GreekSamples z = greeks_by_weights_sample(flow, payoff, x, w, rate_rho);
    const GreekSamples u = greeks_pathwise_sample(flow, payoff, slope, x, w, rate_rho);
    const double zs[4] = {z.greeks.delta, z.greeks.gamma, z.greeks.vega, z.greeks.rho};
    const double us[4] = {u.greeks.delta, u.greeks.gamma, u.greeks.vega, u.greeks.rho};
    LocalisedSamples<4> s;
    s.price = z.price;
    for (std::size_t i = 0; i < 4; ++i) {
        s.u[i] = zs[i];
        s.v[i] = zs[i] - us[i];
    }
    return s;
}

// The localised digital's samples of one path of a constant flow.
template <class Flow>
QUARNEL_PATH_INLINE LocalisedSamples<4> greeks_localised_digital_sample(
    const LocalisedDigital& digital, const Flow& flow, double x, double w,
    bool rate_rho = false) noexcept {
    const GreekTerms m = flow.pathwise(x, w);
    const GreekTerms v = flow.weights(w);
    const double mv[4] = {m.delta, m.gamma, m.vega, m.rho};
    const double vv[4] = {v.delta, v.gamma, v.vega, v.rho};
    LocalisedSamples<4> s = digital.sample(x, mv, vv);
    // The rho weight still has mean zero, so the combined sample is centred on it alike.
    s.u[3] = rate_rho_sample(s.u[3], flow.horizon(), s.price, rate_rho);
    return s;
}

// Price and Greeks of the digital call (or with `put` the digital put), localised
// (LocalisedDigital) and centred.
template <class States, class Brownians, class Flow>
PriceGreeks greeks_localised_digital_from_paths(const States& terminal_states,
                                                const Brownians& w_terminals, const Flow& flow,
                                                double strike, double half_width,
                                                bool rate_rho = false, bool put = false) {
    const std::size_t n = terminal_states.size();
    detail::check_lengths(n, w_terminals.size());
    const LocalisedDigital digital(strike, half_width, put);
    CentringSums<4> sums;
    for (std::size_t k = 0; k < n; ++k) {
        sums.add(greeks_localised_digital_sample(digital, flow, terminal_states[k], w_terminals[k],
                                                 rate_rho));
    }
    const MeanStderr p = sums.price(n);
    MeanStderr g[4];
    for (std::size_t i = 0; i < 4; ++i) g[i] = sums.greek(i, n);
    return {p.mean,    g[0].mean,    g[1].mean,    g[2].mean,    g[3].mean,
            p.stderr_, g[0].stderr_, g[1].stderr_, g[2].stderr_, g[3].stderr_};
}

// Price and Greeks of a Lipschitz payoff from pathwise and weights samples, blended
// (greeks_blended_sample).
template <class States, class Brownians, class Flow, class Payoff, class Slope>
PriceGreeks greeks_blended_from_paths(const States& terminal_states, const Brownians& w_terminals,
                                      const Flow& flow, Payoff payoff, Slope slope,
                                      bool rate_rho = false) {
    const std::size_t n = terminal_states.size();
    detail::check_lengths(n, w_terminals.size());
    CentringSums<4> sums;
    for (std::size_t k = 0; k < n; ++k) {
        sums.add(greeks_blended_sample(flow, payoff, slope, terminal_states[k], w_terminals[k],
                                       rate_rho));
    }
    const MeanStderr p = sums.price(n);
    MeanStderr g[4];
    for (std::size_t i = 0; i < 4; ++i) g[i] = sums.greek(i, n);
    return {p.mean,    g[0].mean,    g[1].mean,    g[2].mean,    g[3].mean,
            p.stderr_, g[0].stderr_, g[1].stderr_, g[2].stderr_, g[3].stderr_};
}

}  // namespace quarnel
