// The fused loop, included once per instruction set by fused_portable.cpp,
// fused_avx2.cpp and fused_avx512.cpp (each defines QUARNEL_FUSED_ISA first). A group
// of W paths walks all steps in the lanes of one vector: per pair of steps one Philox
// block and one Box-Muller pair, per step the model's coefficients at the state, the
// tangent-flow recurrence and the Euler step. Paths that do not fill a group run with
// W = 1, the same operations on one double.
//
// The recurrence is the one of second_order_tangent_flow.hpp for the kind `all`, copied
// operation for operation, with the parallel volatility bump as its parameter (d mu/de =
// 0, d sigma/de = sigma, d2 mu/dx de = 0, d2 sigma/dx de = sigma'): what that kernel
// computes from the stored fields this one computes from the same values in registers,
// which is what makes a fused call equal the stored-batch call on its simulated batch.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>

#include "core/fused.hpp"
#include "core/fused_math.hpp"

namespace quarnel::fused {
inline namespace QUARNEL_FUSED_ISA {

#if defined(__GNUC__)
#define QUARNEL_FUSED_LAMBDA __attribute__((always_inline))
#else
#define QUARNEL_FUSED_LAMBDA
#endif

// A lane's first zero sigma step when it has none.
inline constexpr std::size_t kNoZero = std::numeric_limits<std::size_t>::max();

template <int W>
struct Coefs {
    using D = typename Lanes<W>::D;
    D mu, s, mp, sp, mpp, spp;
};

template <int W>
QUARNEL_FUSED_INLINE typename Lanes<W>::D abs_of(typename Lanes<W>::D x) noexcept {
    return from_bits<W>(as_bits<W>(x) & 0x7FFFFFFFFFFFFFFFULL);
}

template <int W>
QUARNEL_FUSED_INLINE void set_lane(typename Lanes<W>::D& v, int w, double x) noexcept {
    if constexpr (W == 1) {
        (void)w;
        v = x;
    } else {
        v[w] = x;
    }
}

template <int W>
QUARNEL_FUSED_INLINE double lane(const typename Lanes<W>::D& v, int w) noexcept {
    if constexpr (W == 1) {
        (void)w;
        return v;
    } else {
        return v[w];
    }
}

// A local volatility surface's sigma, sigma' and sigma'' at the lanes' states, at one
// time (its bracket found once for all lanes): LocalVolSurface::at's operations, lane
// for lane, with each lane's place on the state grid found on its own and the spline's
// arithmetic across the lanes.
template <int W>
struct SurfaceValue {
    using D = typename Lanes<W>::D;
    D s, ds, dds;
};

template <int W>
QUARNEL_FUSED_INLINE SurfaceValue<W> surface_in_time(const LocalVolSurface& f, std::size_t i,
                                                     const std::size_t (&k)[W],
                                                     typename Lanes<W>::D at,
                                                     typename Lanes<W>::U edge,
                                                     typename Lanes<W>::D x) noexcept {
    using D = typename Lanes<W>::D;
    const std::size_t n = f.states.size();
    const double* y = f.values.data() + i * n;
    const double* m = f.curv.data() + i * n;
    D s0{}, s1{}, y0{}, y1{}, m0{}, m1{}, ih{}, h2{}, h1{};
    if constexpr (W == 1) {
        s0 = f.states[k[0]], s1 = f.states[k[0] + 1], y0 = y[k[0]], y1 = y[k[0] + 1];
        m0 = m[k[0]], m1 = m[k[0] + 1], ih = f.inv_h[k[0]], h2 = f.h2_6[k[0]], h1 = f.h_6[k[0]];
    } else {
        for (int w = 0; w < W; ++w) {
            const std::size_t j = k[w];
            s0[w] = f.states[j], s1[w] = f.states[j + 1], y0[w] = y[j], y1[w] = y[j + 1];
            m0[w] = m[j], m1[w] = m[j + 1], ih[w] = f.inv_h[j], h2[w] = f.h2_6[j];
            h1[w] = f.h_6[j];
        }
    }
    const D a = (s1 - at) * ih;
    const D b = (at - s0) * ih;
    const D s = (a * y0 + b * y1) + ((a * a * a - a) * m0 + (b * b * b - b) * m1) * h2;
    const D ds = (y1 - y0) * ih - ((3.0 * (a * a) - 1.0) * m0 - (3.0 * (b * b) - 1.0) * m1) * h1;
    return {pick<W>(edge, s + ds * (x - at), s), ds, pick<W>(edge, splat<W>(0.0), a * m0 + b * m1)};
}

template <int W>
QUARNEL_FUSED_INLINE SurfaceValue<W> surface_at(const LocalVolSurface& f,
                                                const LocalVolSurface::Bracket& when,
                                                typename Lanes<W>::D x) noexcept {
    typename Lanes<W>::D at{};
    typename Lanes<W>::U edge{};
    std::size_t k[W];
    for (int w = 0; w < W; ++w) {
        const LocalVolSurface::Spot p = f.spot(lane<W>(x, w));
        k[w] = p.k;
        set_lane<W>(at, w, p.at);
        if constexpr (W == 1) {
            edge = (p.below || p.above) ? 1 : 0;
        } else {
            edge[w] = (p.below || p.above) ? 1 : 0;
        }
    }
    const SurfaceValue<W> lo = surface_in_time<W>(f, when.lo, k, at, edge, x);
    if (when.hi == when.lo) return lo;
    const SurfaceValue<W> hi = surface_in_time<W>(f, when.hi, k, at, edge, x);
    const double w = when.w;
    return {lo.s + w * (hi.s - lo.s), lo.ds + w * (hi.ds - lo.ds), lo.dds + w * (hi.dds - lo.dds)};
}

// The coefficients of the model at the states x at time t, in a fixed order of
// operations (the stored batch holds exactly these values).
template <FusedKind K, int W>
QUARNEL_FUSED_INLINE Coefs<W> coefficients(const FusedModel& m, typename Lanes<W>::D x,
                                           double t) noexcept {
    using D = typename Lanes<W>::D;
    const D zero = splat<W>(0.0);
    if constexpr (K == FusedKind::callback) {
        Coefs<W> out{zero, zero, zero, zero, zero, zero};
        for (int w = 0; w < W; ++w) {
            double c[6] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
            m.coefficients(t, lane<W>(x, w), c);
            set_lane<W>(out.mu, w, c[0]);
            set_lane<W>(out.s, w, c[1]);
            set_lane<W>(out.mp, w, c[2]);
            set_lane<W>(out.sp, w, c[3]);
            set_lane<W>(out.mpp, w, c[4]);
            set_lane<W>(out.spp, w, c[5]);
        }
        return out;
    } else if constexpr (K == FusedKind::local_vol) {
        // s = sigma x: s' = sigma' x + sigma, s'' = sigma'' x + 2 sigma'.
        const SurfaceValue<W> v = surface_at<W>(*m.surface, m.surface->bracket(t), x);
        return {m.mu * x, v.s * x, zero + m.mu, v.ds * x + v.s, zero, v.dds * x + 2.0 * v.ds};
    } else if constexpr (K == FusedKind::gbm) {
        return {m.mu * x, m.vol * x, zero + m.mu, zero + m.vol, zero, zero};
    } else if constexpr (K == FusedKind::abm) {
        return {zero + m.mu, zero + m.vol, zero, zero, zero, zero};
    } else if constexpr (K == FusedKind::ou) {
        return {m.kappa * (m.theta - x), zero + m.vol, zero - m.kappa, zero, zero, zero};
    } else if constexpr (K == FusedKind::cev) {
        // One pow and one division per step: x^(beta-1) and x^(beta-2) from x^beta and
        // 1/x (divisions are the scarcest unit of the loop).
        const D p = pow<W>(x, m.beta);
        const D rx = 1.0 / x;
        const D sp = (m.vol * m.beta) * (p * rx);
        return {m.mu * x, m.vol * p, zero + m.mu, sp, zero, sp * ((m.beta - 1.0) * rx)};
    } else {
        // max(x, 0) on the bits: negative x (and -0) become +0.
        const typename Lanes<W>::U neg = as_bits<W>(x) >> 63;
        const D xp = from_bits<W>(as_bits<W>(x) & ~((neg - neg) - neg));
        const D r = sqrt<W>(xp);
        const D sp = (0.5 * m.vol) / r;
        return {m.kappa * (m.theta - xp), m.vol * r, zero - m.kappa, sp, zero, -(0.5 * sp) / xp};
    }
}

template <FusedKind K, int W>
QUARNEL_FUSED_INLINE typename Lanes<W>::D euler_next(typename Lanes<W>::D x, const Coefs<W>& c,
                                                     double dt, typename Lanes<W>::D dw) noexcept {
    const typename Lanes<W>::D next = x + (c.mu * dt + c.s * dw);
    if constexpr (K == FusedKind::cev) return abs_of<W>(next);
    return next;
}

template <int W>
struct Tangents {
    using D = typename Lanes<W>::D;
    D y, h, acc, accl, k, v, dv;
};

struct Steps {
    double dt, sqrt_dt, inv_t, inv_n;
    std::size_t n;
    bool antithetic;
};

inline Steps steps_of(const FusedGrid& g) noexcept {
    // As make_second_order_batch forms them.
    const double dt = g.horizon / static_cast<double>(g.n_steps);
    return {dt,        std::sqrt(dt), 1.0 / g.horizon, 1.0 / static_cast<double>(g.n_steps),
            g.n_steps, g.antithetic};
}

// One step of the kind-`all` recurrence (second_order_tangent_flow.cpp, euler_step).
template <int W>
QUARNEL_FUSED_INLINE void tangent_step(Tangents<W>& st, const Coefs<W>& in, typename Lanes<W>::D dw,
                                       const Steps& c, std::size_t j) noexcept {
    using D = typename Lanes<W>::D;
    const double g_coef = static_cast<double>(c.n - j) * c.inv_n;
    const double d_coef = static_cast<double>(j) * c.inv_n;
    const D zero = splat<W>(0.0);
    const D mth = zero, sth = in.s, mxth = zero, sxth = in.sp;
    const D p = in.sp * st.y;
    const D yn = st.y + ((in.mp * st.y) * c.dt + p * dw);
    const D u = (yn / in.s) * c.inv_n;
    const D tau = ((yn * dw) - p * c.dt) / in.s;
    {
        const D g = g_coef * st.y;
        const D spp_g = in.spp * g;
        const D la = ((in.mpp * g) * c.dt + spp_g * dw) - in.sp * u;
        const D hn = st.h + (((in.mp * st.h) * c.dt + (in.sp * st.h) * dw) + st.y * la);
        const D ltau = (((hn * dw) - yn * u) - (spp_g * st.y + in.sp * st.h) * c.dt) / in.s -
                       ((tau * in.sp) * g) / in.s;
        st.accl = st.accl + ltau * c.inv_t;
        st.h = hn;
    }
    {
        const D d = d_coef * st.y;
        const D da = ((in.mpp * d) * c.dt + (in.spp * d) * dw) + in.sp * u;
        const D kn = st.k + (((in.mp * st.k) * c.dt + (in.sp * st.k) * dw) + st.y * da);
        const D vn =
            st.v + (((in.mp * st.v) * c.dt + (in.sp * st.v) * dw) + (mth * c.dt + sth * dw));
        const D dvn = st.dv + (((in.mp * st.dv) * c.dt + (in.sp * st.dv) * dw) +
                               ((st.v * da + ((mxth * d) * c.dt + (sxth * d) * dw)) + sth * u));
        st.k = kn;
        st.v = vn;
        st.dv = dvn;
    }
    st.acc = st.acc + tau * c.inv_t;
    st.y = yn;
}

template <int W>
QUARNEL_FUSED_INLINE typename Lanes<W>::U path_counters(std::uint64_t first) noexcept {
    if constexpr (W == 1) {
        return first;
    } else {
        typename Lanes<W>::U u{};
        for (int w = 0; w < W; ++w) u[w] = first + static_cast<std::uint64_t>(w);
        return u;
    }
}

template <int W>
QUARNEL_FUSED_INLINE std::uint64_t lane_word(const typename Lanes<W>::U& v, int w) noexcept {
    if constexpr (W == 1) {
        (void)w;
        return v;
    } else {
        return v[w];
    }
}

// The generator's counters of W paths from counter `path`, and the signs of their
// normals: each path's own, or with antithetic pairs the normals of counter k / 2,
// negated for odd k (times 1.0 otherwise, which changes no bit).
template <int W>
struct Draws {
    typename Lanes<W>::U counters;
    typename Lanes<W>::D sign;
};

template <int W>
QUARNEL_FUSED_INLINE Draws<W> draws_of(std::uint64_t path, bool antithetic) noexcept {
    const typename Lanes<W>::U c = path_counters<W>(path);
    if (!antithetic) return {c, splat<W>(1.0)};
    Draws<W> d{c >> 1, splat<W>(1.0)};
    for (int w = 0; w < W; ++w) {
        if ((lane_word<W>(c, w) & 1U) != 0) set_lane<W>(d.sign, w, -1.0);
    }
    return d;
}

// Records step j for the lanes whose sigma is +-0 and have no zero yet.
template <int W>
QUARNEL_FUSED_INLINE void note_zeros(typename Lanes<W>::D s, std::size_t j,
                                     std::size_t* first) noexcept {
#if defined(__AVX512F__) && QUARNEL_FUSED_VECTORS
    if constexpr (kMaskLanes<W>) {
        const LaneBits<W> is_zero = below_bits<W>(as_bits<W>(s) << 1, 1);  // +-0 alone
        if (!any_bits<W>(is_zero)) return;
        for (int w = 0; w < W; ++w) {
            if (bit_of<W>(is_zero, w) && first[w] == kNoZero) first[w] = j;
        }
        return;
    }
#endif
    const typename Lanes<W>::U z = as_bits<W>(s) << 1;
    const typename Lanes<W>::U is_zero = ((z - 1) & ~z) >> 63;
    if (!any<W>(is_zero)) return;
    for (int w = 0; w < W; ++w) {
        if (lane_word<W>(is_zero, w) != 0 && first[w] == kNoZero) first[w] = j;
    }
}

// What a kernel computes per path: the second-order row of kind `all` (kFusedColumns
// doubles), or the first-order delta weight of tangent_flow.hpp (kDeltaColumns).
// `state` is the benchmark's compute limit: the normals, the coefficients and the Euler
// step, no tangents (X_N only).
enum class RowKind { greeks, delta, state };

// W paths from path index `path` (the counter) into rows; the first zero sigma step of
// each lane into first_zero (kNoZero where none).
template <RowKind R, FusedKind K, int W>
QUARNEL_FUSED_INLINE void group_rows(const FusedModel& m, const philox::Key& key, const Steps& c,
                                     std::uint64_t path, double* out,
                                     std::size_t* first_zero) noexcept {
    using D = typename Lanes<W>::D;
    const D zero = splat<W>(0.0);
    const Draws<W> draws = draws_of<W>(path, c.antithetic);
    D x = zero + m.x0;
    Tangents<W> st{zero + 1.0, zero, zero, zero, zero, zero, zero};
    for (int w = 0; w < W; ++w) first_zero[w] = kNoZero;
    auto step = [&](std::size_t j, D z) QUARNEL_FUSED_LAMBDA {
        const D dw = c.sqrt_dt * z;
        const Coefs<W> k = coefficients<K, W>(m, x, static_cast<double>(j) * c.dt);
        note_zeros<W>(k.s, j, first_zero);
        if constexpr (R == RowKind::greeks) {
            tangent_step<W>(st, k, dw, c, j);
        } else if constexpr (R == RowKind::state) {
            (void)st;
        } else {
            // The first-order kernel's step: the weight term with Y before the update.
            st.acc = st.acc + ((st.y / k.s) * c.inv_t) * dw;
            st.y = st.y + ((k.mp * st.y) * c.dt + (k.sp * st.y) * dw);
        }
        x = euler_next<K, W>(x, k, c.dt, dw);
    };
    for (std::size_t j = 0; j < c.n; j += 2) {
        D z0, z1;
        normal_pair<W>(key, draws.counters, j / 2, z0, z1);
        if (c.antithetic) {
            z0 = z0 * draws.sign;
            z1 = z1 * draws.sign;
        }
        step(j, z0);
        if (j + 1 < c.n) step(j + 1, z1);
    }
    if constexpr (R == RowKind::state) {
        for (int w = 0; w < W; ++w) out[w] = lane<W>(x, w);
        return;
    } else if constexpr (R == RowKind::delta) {
        for (int w = 0; w < W; ++w) {
            double* row = out + static_cast<std::size_t>(w) * quarnel::detail::kDeltaColumns;
            row[0] = lane<W>(x, w);
            row[1] = lane<W>(st.acc, w);
        }
        return;
    } else {
        // The row as write_row forms it for the kind `all`.
        const D beta = st.v / st.y;
        const D weight = beta * st.acc - (st.dv - beta * st.k) / st.y;
        const D gamma = st.acc * st.acc + st.accl;
        for (int w = 0; w < W; ++w) {
            double* row = out + static_cast<std::size_t>(w) * quarnel::detail::kFusedColumns;
            row[0] = lane<W>(x, w);
            row[1] = lane<W>(st.acc, w);
            row[2] = lane<W>(gamma, w);
            row[3] = lane<W>(st.y, w);
            row[4] = lane<W>(st.h, w);
            row[5] = lane<W>(st.v, w);
            row[6] = lane<W>(weight, w);
        }
    }
}

template <RowKind R, FusedKind K, int W>
std::optional<ZeroSigma> rows_of(const FusedModel& m, const FusedGrid& g, std::size_t first,
                                 std::size_t count, double* out) noexcept {
    const philox::Key key(g.seed);
    const Steps c = steps_of(g);
    constexpr std::size_t cols = R == RowKind::greeks  ? quarnel::detail::kFusedColumns
                                 : R == RowKind::delta ? quarnel::detail::kDeltaColumns
                                                       : 1;
    std::size_t zeros[W];
    std::size_t k = 0;
    // Groups of W, then the rest in groups of W/2, W/4, ... 1: every width gives the
    // same bits, so the tail only decides the speed.
    auto run = [&]<int L>() -> std::optional<ZeroSigma> {
        for (; k + L <= count; k += L) {
            group_rows<R, K, L>(m, key, c, g.first_path + first + k, out + k * cols, zeros);
            for (std::size_t w = 0; w < L; ++w) {
                if (zeros[w] != kNoZero) return ZeroSigma{first + k + w, zeros[w]};
            }
        }
        return std::nullopt;
    };
    if constexpr (W >= 32) {
        if (auto z = run.template operator()<32>()) return z;
    }
    if constexpr (W >= 16) {
        if (auto z = run.template operator()<16>()) return z;
    }
    if constexpr (W >= 8) {
        if (auto z = run.template operator()<8>()) return z;
    }
    if constexpr (W >= 4) {
        if (auto z = run.template operator()<4>()) return z;
    }
    if constexpr (W >= 2) {
        if (auto z = run.template operator()<2>()) return z;
    }
    return run.template operator()<1>();
}

// The batch fields of W paths into the matrix of fused_simulate, row `path_row` first.
template <FusedKind K, int W>
QUARNEL_FUSED_INLINE void group_fields(const FusedModel& m, const philox::Key& key, const Steps& c,
                                       std::uint64_t path, double* rows, std::size_t ld) noexcept {
    using D = typename Lanes<W>::D;
    const std::size_t n = c.n;
    const Draws<W> draws = draws_of<W>(path, c.antithetic);
    D x = splat<W>(0.0) + m.x0;
    for (int w = 0; w < W; ++w) rows[static_cast<std::size_t>(w) * ld] = m.x0;
    auto step = [&](std::size_t j, D z) QUARNEL_FUSED_LAMBDA {
        const D dw = c.sqrt_dt * z;
        const Coefs<W> k = coefficients<K, W>(m, x, static_cast<double>(j) * c.dt);
        x = euler_next<K, W>(x, k, c.dt, dw);
        for (int w = 0; w < W; ++w) {
            double* r = rows + static_cast<std::size_t>(w) * ld;
            r[j + 1] = lane<W>(x, w);
            r[n + 1 + j] = lane<W>(dw, w);
            r[2 * n + 1 + j] = lane<W>(k.s, w);
            r[3 * n + 1 + j] = lane<W>(k.mp, w);
            r[4 * n + 1 + j] = lane<W>(k.sp, w);
            r[5 * n + 1 + j] = lane<W>(k.mpp, w);
            r[6 * n + 1 + j] = lane<W>(k.spp, w);
        }
    };
    for (std::size_t j = 0; j < n; j += 2) {
        D z0, z1;
        normal_pair<W>(key, draws.counters, j / 2, z0, z1);
        step(j, z0 * draws.sign);
        if (j + 1 < n) step(j + 1, z1 * draws.sign);
    }
}

template <FusedKind K, int W>
void fields_of(const FusedModel& m, const FusedGrid& g, std::size_t first, std::size_t count,
               double* out, std::size_t ld) noexcept {
    const philox::Key key(g.seed);
    const Steps c = steps_of(g);
    std::size_t k = 0;
    auto run = [&]<int L>() {
        for (; k + L <= count; k += L) {
            group_fields<K, L>(m, key, c, g.first_path + first + k, out + (first + k) * ld, ld);
        }
    };
    if constexpr (W >= 16) run.template operator()<16>();
    if constexpr (W >= 8) run.template operator()<8>();
    if constexpr (W >= 4) run.template operator()<4>();
    if constexpr (W >= 2) run.template operator()<2>();
    run.template operator()<1>();
}

template <int W>
std::optional<ZeroSigma> rows_any(int kind, const FusedModel& m, const FusedGrid& g,
                                  std::size_t first, std::size_t count, double* out) noexcept {
    auto by_kind = [&]<RowKind R, int L>() -> std::optional<ZeroSigma> {
        switch (m.kind) {
            case FusedKind::gbm: return rows_of<R, FusedKind::gbm, L>(m, g, first, count, out);
            case FusedKind::abm: return rows_of<R, FusedKind::abm, L>(m, g, first, count, out);
            case FusedKind::ou: return rows_of<R, FusedKind::ou, L>(m, g, first, count, out);
            case FusedKind::cev: return rows_of<R, FusedKind::cev, L>(m, g, first, count, out);
            // The caller's function and the surface take one state at a time (a lane
            // each, coefficients()); the generator and the recurrence run in lanes.
            case FusedKind::callback:
                return rows_of<R, FusedKind::callback, L>(m, g, first, count, out);
            case FusedKind::local_vol:
                return rows_of<R, FusedKind::local_vol, L>(m, g, first, count, out);
            case FusedKind::cir: break;
        }
        return rows_of<R, FusedKind::cir, L>(m, g, first, count, out);
    };
    if (kind == 1) return by_kind.template operator()<RowKind::delta, W>();
    if (kind == 2) return by_kind.template operator()<RowKind::state, W>();
    // The second-order state is nine values a lane: more than two registers' worth of
    // groups would spill.
    constexpr int kGreeksLanes = W > 16 ? 16 : W;
    return by_kind.template operator()<RowKind::greeks, kGreeksLanes>();
}

template <int W>
void fields_any(const FusedModel& m, const FusedGrid& g, std::size_t first, std::size_t count,
                double* out, std::size_t ld) noexcept {
    switch (m.kind) {
        case FusedKind::gbm: return fields_of<FusedKind::gbm, W>(m, g, first, count, out, ld);
        case FusedKind::abm: return fields_of<FusedKind::abm, W>(m, g, first, count, out, ld);
        case FusedKind::ou: return fields_of<FusedKind::ou, W>(m, g, first, count, out, ld);
        case FusedKind::cev: return fields_of<FusedKind::cev, W>(m, g, first, count, out, ld);
        case FusedKind::callback:
            return fields_of<FusedKind::callback, W>(m, g, first, count, out, ld);
        case FusedKind::local_vol:
            return fields_of<FusedKind::local_vol, W>(m, g, first, count, out, ld);
        case FusedKind::cir: break;
    }
    return fields_of<FusedKind::cir, W>(m, g, first, count, out, ld);
}

}  // namespace QUARNEL_FUSED_ISA
}  // namespace quarnel::fused
