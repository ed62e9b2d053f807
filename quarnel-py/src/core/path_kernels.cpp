// The per-path walks of the path-dependent products: one pass over each path, writing
// its row of raw quantities (path_products.hpp). Each path's operations are the same
// scalar IEEE operations in the same order whichever way the driver deals the paths,
// so the rows are the same bits one by one, in tiles across paths or on any thread.
//
// Euler grid, step j (s, sp, spp, mp, mpp the fields at X_j, dW the increment), the
// tangent Y, its L-derivative H and the weight sums of the second-order tangent flow,
// with the weight operator spread over the first nw steps (nw = N for the continuous
// barrier, the first monitoring date otherwise):
//   Yn = Y + ((mp * Y) * dt + (sp * Y) * dW)
//   for j < nw: u = (Yn / s) / nw, tau = ((Yn * dW) - (sp * Y) * dt) / s, and H, acc,
//   accL as in second_order_tangent_flow.hpp with N replaced by nw and T by nw dt;
//   Vn = V + (((mp * V) * dt + (sp * V) * dW) + (s / vol) * dW)     (dX/dvol)
// GBM, step j: W_{j+1} = W_j + dW, the log-distance to the barrier from the states.
#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/fixed_math.hpp"
#include "core/fused_math.hpp"
#include "core/lane_driver.hpp"
#include "core/lanes.hpp"
#include "core/path_bridge.hpp"
#include "core/path_products.hpp"
#include "core/pool.hpp"
#include "core/tangent_flow_parallel.hpp"

namespace quarnel::paths {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// One path's running values; the product decides which of them move. Across-paths
// tiles keep a tile's states in memory between steps, so the fields every step of a
// gbm walk touches share the first cache line, the Euler tangents the second, and what
// only near-barrier steps or the first date touch come last.
struct State {
    double x = 0.0;                   // X_j (euler) or S_j (gbm)
    double w = 0.0;                   // gbm: W_j
    double surv = 1.0;                // P, or the discrete indicator
    double sum_x = 0.0, sum_v = 0.0;  // Asian sums over the dates
    double pv_tail = 0.0;             // gbm: the vega weight's tail
    bool alive = true;
    double y = 1.0, h = 0.0, acc = 0.0, accl = 0.0, v = 0.0;  // euler tangents
    double k = 0.0, dv = 0.0;  // euler: D_u Y and D_u V, for the vega weight
    double sum_y = 0.0;
    double sd = 0.0, sl = 0.0, sll = 0.0, sld = 0.0, sv = 0.0, sp = 0.0, sq = 0.0;
    double w1 = 0.0, pi1 = 0.0, pi1g = 0.0, hy = 0.0;  // weights at the first date
};

// Per-call constants.
struct Consts {
    std::size_t n = 0, nw = 0;  // steps; steps of the weight operator
    double dt = 0.0, inv_n = 0.0, inv_nw = 0.0, inv_tw = 0.0, tw = 0.0;
    double x0 = 0.0, inv_x0 = 0.0, inv_x0sq = 0.0, s = 0.0, inv_vol = 0.0;
    double sign = 1.0, h = 0.0, log_h = 0.0;  // barrier side, level, log level (gbm)
    double inv_m = 0.0;
    double inv_sdt = 0.0;  // gbm: 1 / (s dt)
};

Consts make_consts(const PathModel& m, const Product& pr) noexcept {
    Consts c;
    c.n = m.n_steps;
    c.nw = pr.kind == ProductKind::barrier_continuous ? m.n_steps : pr.first_date;
    c.dt = m.dt;
    c.inv_n = 1.0 / static_cast<double>(c.n);
    c.inv_nw = 1.0 / static_cast<double>(c.nw);
    // The weights' horizon t1 = nw T / N, exactly T at nw = N.
    c.tw = (static_cast<double>(c.nw) * m.horizon) / static_cast<double>(c.n);
    c.inv_tw = 1.0 / c.tw;
    c.x0 = m.x0;
    c.inv_x0 = 1.0 / m.x0;
    c.inv_x0sq = c.inv_x0 * c.inv_x0;
    c.s = m.vol;
    c.inv_vol = m.has_vol ? 1.0 / m.vol : kNaN;
    c.sign = pr.up ? -1.0 : 1.0;
    c.h = pr.barrier;
    c.log_h = m.kind == ModelKind::gbm && pr.barrier > 0.0 ? quarnel::fixed::log(pr.barrier) : 0.0;
    c.inv_m = pr.n_dates > 0 ? 1.0 / static_cast<double>(pr.n_dates) : 0.0;
    c.inv_sdt = 1.0 / (m.vol * m.dt);
    return c;
}

constexpr bool is_barrier(ProductKind k) noexcept {
    return k == ProductKind::barrier_continuous || k == ProductKind::barrier_discrete;
}
constexpr bool is_asian(ProductKind k) noexcept {
    return k == ProductKind::asian_arithmetic || k == ProductKind::asian_geometric;
}

void add_survival(State& st, const StepSurvival& b) noexcept {
    if (!b.survive) {
        st.alive = false;
        st.surv = 0.0;
        return;
    }
    st.surv = st.surv * b.p;
    st.sd = st.sd + b.d;
    st.sl = st.sl + b.l;
    st.sll = st.sll + b.ll;
    st.sld = st.sld + b.ld;
    st.sv = st.sv + b.v;
    st.sp = st.sp + b.p_dir;
    st.sq = st.sq + b.q;
}

// Comparisons of lanes as 0 or 1 in the words of an integer vector, from the bits:
// GCC lowers floating-point comparisons of vectors lane by lane, integer arithmetic
// register by register. Without vector extensions, the same on one double.
template <int W>
using LaneBits = typename fused::Lanes<W>::U;

// 1 where x > 0 (NaN excluded): 1 <= bits <= those of +infinity.
template <int W>
QUARNEL_LANES_INLINE LaneBits<W> positive(typename fused::Lanes<W>::D x) noexcept {
    const LaneBits<W> a = fused::as_bits<W>(x) - 1;
    return ((a - 0x7FF0000000000000ULL) >> 63) & ((a >> 63) ^ 1);
}
// 1 where x < y, for x and y in [+0, +infinity]: there the bits are ordered as the values.
template <int W>
QUARNEL_LANES_INLINE LaneBits<W> below(typename fused::Lanes<W>::D x,
                                       typename fused::Lanes<W>::D y) noexcept {
    return (fused::as_bits<W>(x) - fused::as_bits<W>(y)) >> 63;
}

// Whether any lane's flag is set: halves or-ed together in registers down to two words.
// The halves are taken with a shuffle: a bit_cast to two halves goes through the stack,
// and the narrower reloads of the wide store miss the store forwarding. (fused::any ors
// 16-byte parts as SSE2 does, which in the wide clones goes through memory too.)
template <int W>
QUARNEL_LANES_INLINE bool any_lane(LaneBits<W> flags) noexcept {
    if constexpr (W == 1) {
        return flags != 0;
    } else if constexpr (W == 2) {
        return (flags[0] | flags[1]) != 0;
    } else if constexpr (W == 4) {
        return any_lane<2>(__builtin_shufflevector(flags, flags, 0, 1) |
                           __builtin_shufflevector(flags, flags, 2, 3));
    } else {
        static_assert(W == 8);
        return any_lane<4>(__builtin_shufflevector(flags, flags, 0, 1, 2, 3) |
                           __builtin_shufflevector(flags, flags, 4, 5, 6, 7));
    }
}

// The steps of GBM paths that may come near the barrier, queued so that their logs and
// bridges run in the lanes of a vector (fused_math.hpp's lane log and exp are fixed_math's
// bit for bit) instead of one long chain of dependent operations per step. Queued steps
// are settled in queue order, which is each path's step order: a step after the one that
// knocked its path is computed and dropped, as if it had been skipped. Settling early
// changes nothing but the waste, so the walks settle when the queue is full, when a step
// ends on the far side of the barrier (its path is likely knocked) and before a path's
// row is written. L lanes; 1 (plain scalars) without vector extensions.
template <int L>
class BridgeQueue {
public:
    static constexpr std::size_t kSize = 64;

    // Queues step j of st from S_j = x to S_{j+1} = xn, W_j = w to W_{j+1} = wn; true
    // when the queue is full (it has room for the L - 1 more of a vector's lanes).
    QUARNEL_LANES_INLINE bool push(State& st, std::size_t j, double x, double xn, double w,
                                   double wn) noexcept {
        st_[n_] = &st;
        j_[n_] = static_cast<double>(j);
        x_[n_] = x;
        xn_[n_] = xn;
        w_[n_] = w;
        wn_[n_] = wn;
        return ++n_ >= kSize;
    }

    QUARNEL_LANES_INLINE void settle(const Consts& c) noexcept {
        if (n_ == 0) return;
        if constexpr (L == 1) {
            for (std::size_t i = 0; i < n_; ++i) {
                a_[i] = c.sign * (fixed::log(x_[i]) - c.log_h);
                b_[i] = c.sign * (fixed::log(xn_[i]) - c.log_h);
                kind_[i] = kOther;
            }
        } else {
            bridges(c);
        }
        const double var = (c.s * c.s) * c.dt;
        for (std::size_t i = 0; i < n_; ++i) {
            State& st = *st_[i];
            if (kind_[i] == kFar || !st.alive) continue;
            if (kind_[i] == kPlain) {
                add_survival(st, StepSurvival{true, p_[i], d_[i], l_[i], v_[i], pd_[i], q_[i],
                                              ll_[i], ld_[i]});
            } else if (!far_from_barrier(a_[i], b_[i], var)) {
                add_survival(st, scalar_bridge(c, i, var));
            }
        }
        n_ = 0;
    }

private:
    using V = typename fused::Lanes<L>::D;
    // Room for L - 1 entries past kSize and a whole vector past the last entry, filled
    // with harmless values.
    static constexpr std::size_t kRoom = kSize + 2 * static_cast<std::size_t>(L);
    // How an entry's step settles: far from the barrier (adds nothing), a plain survival
    // with 0 < p < 1 computed in the lanes, or anything else (bridge_step decides).
    static constexpr std::uint64_t kFar = 0, kPlain = 1, kOther = 2;

    // The step's bridge as the scalar kernel forms it.
    QUARNEL_LANES_INLINE StepSurvival scalar_bridge(const Consts& c, std::size_t i,
                                                    double var) const noexcept {
        const double sg = c.sign;
        const auto j = static_cast<std::size_t>(j_[i]);
        const double w = w_[i], wn = wn_[i];
        const double gj = static_cast<double>(c.n - j) * c.inv_n;
        const double gn = static_cast<double>(c.n - j - 1) * c.inv_n;
        const double tj = static_cast<double>(j) * c.dt;
        const double tn = static_cast<double>(j + 1) * c.dt;
        const double d = sg * c.inv_x0, ld = -(sg * c.inv_x0sq);
        const Node na{a_[i],   d,
                      gj * d,  sg * (w - c.s * tj),
                      sg * w,  sg * (static_cast<double>(j) * c.inv_n),
                      gj * ld, ld};
        const Node nb{b_[i],   d,
                      gn * d,  sg * (wn - c.s * tn),
                      sg * wn, sg * (static_cast<double>(j + 1) * c.inv_n),
                      gn * ld, ld};
        const double cv = (2.0 * c.dt) * c.s;
        return bridge_step(na, nb, Node{var, 0.0, 0.0, cv, cv, 0.0, 0.0, 0.0});
    }

    QUARNEL_LANES_INLINE static V load(const double* at) noexcept {
        V v;
        std::memcpy(&v, at, sizeof v);
        return v;
    }
    QUARNEL_LANES_INLINE static void store(double* at, V v) noexcept {
        std::memcpy(at, &v, sizeof v);
    }
    QUARNEL_LANES_INLINE static V splat(double x) noexcept { return fused::splat<L>(x); }

    // The logs, the log-distances and the bridges of all entries, L at a time: the nodes
    // of the scalar kernel with j as an exact double (n - j, j + 1 and n - j - 1 are exact
    // in it), then bridge_step's operations on the lanes that are plain survivals.
    QUARNEL_LANES_INLINE void bridges(const Consts& c) noexcept {
        for (std::size_t i = n_; i < n_ + L; ++i) {
            x_[i] = xn_[i] = 1.0;
            j_[i] = w_[i] = wn_[i] = 0.0;
        }
        const double sg = c.sign;
        const double var = (c.s * c.s) * c.dt;
        const double cut = kFarFromBarrier * var;
        const double d = sg * c.inv_x0, ld = -(sg * c.inv_x0sq);
        const double cv = (2.0 * c.dt) * c.s;
        const double nd = static_cast<double>(c.n);
        const NodeOf<V> nc{splat(var), splat(0.0), splat(0.0), splat(cv),
                           splat(cv),  splat(0.0), splat(0.0), splat(0.0)};
        const V q = 1.0 / nc.x;
        // In three passes: the logs, the exps, the rest. Each is a long chain of
        // dependent operations per vector (a polynomial, then divisions); in one loop
        // body of several hundred instructions the core could not start the next
        // vector's chain before this one's ended, in short ones it runs several at once.
        for (std::size_t i = 0; i < n_; i += L) {
            const V a = sg * (fused::log<L>(load(x_ + i)) - c.log_h);
            const V b = sg * (fused::log<L>(load(xn_ + i)) - c.log_h);
            store(a_ + i, a);
            store(b_ + i, b);
            store(z_ + i, (2.0 * (a * b)) * q);
        }
        for (std::size_t i = 0; i < n_; i += L) store(e_ + i, fused::exp<L>(-load(z_ + i)));
        for (std::size_t i = 0; i < n_; i += L) {
            const V a = load(a_ + i), b = load(b_ + i);
            const V jd = load(j_ + i), w = load(w_ + i), wn = load(wn_ + i);
            const V gj = (nd - jd) * c.inv_n;
            const V gn = ((nd - jd) - 1.0) * c.inv_n;
            const V tj = jd * c.dt;
            const V tn = (jd + 1.0) * c.dt;
            const NodeOf<V> na{
                a,       splat(d), gj * d, sg * (w - c.s * tj), sg * w, sg * (jd * c.inv_n),
                gj * ld, splat(ld)};
            const NodeOf<V> nb{b,       splat(d),
                               gn * d,  sg * (wn - c.s * tn),
                               sg * wn, sg * ((jd + 1.0) * c.inv_n),
                               gn * ld, splat(ld)};
            const V ab = a * b;
            const V z = load(z_ + i);
            const V e = load(e_ + i);
            const V p = 1.0 - e;
            const LogDerivatives<V> g = log_derivatives(na, nb, nc, q, ab, e, p);
            store(p_ + i, p);
            store(d_ + i, g.d);
            store(l_ + i, g.l);
            store(v_ + i, g.v);
            store(pd_ + i, g.p_dir);
            store(q_ + i, g.q);
            store(ll_ + i, g.ll);
            store(ld_ + i, g.ld);
            // With a, b > 0: ab, z and p are in [+0, +infinity] (p in [0, 1]).
            const LaneBits<L> both = positive<L>(a) & positive<L>(b);
            const LaneBits<L> far = both & (below<L>(2.0 * ab, splat(cut)) ^ 1);
            const LaneBits<L> plain = both & below<L>(z, splat(kFarFromBarrier)) & positive<L>(p);
            const LaneBits<L> kind = (far ^ 1) * (kOther - plain);
            std::memcpy(kind_ + i, &kind, sizeof kind);
        }
    }

    std::size_t n_ = 0;
    State* st_[kRoom] = {};
    double j_[kRoom] = {}, x_[kRoom] = {}, xn_[kRoom] = {}, w_[kRoom] = {}, wn_[kRoom] = {};
    double a_[kRoom] = {}, b_[kRoom] = {}, z_[kRoom] = {}, e_[kRoom] = {};
    double p_[kRoom] = {}, d_[kRoom] = {}, l_[kRoom] = {}, v_[kRoom] = {}, pd_[kRoom] = {};
    double q_[kRoom] = {}, ll_[kRoom] = {}, ld_[kRoom] = {};
    std::uint64_t kind_[kRoom] = {};
};

// The one-path walk settles with plain scalars, the kernel's reference: bridge_step on
// fixed_math's log, which the lanes must match bit for bit.
using ScalarQueue = BridgeQueue<1>;

// The fields of one Euler step.
struct EulerIn {
    double s, dw, mp, sp, mpp, spp, xn;
};

template <ProductKind P>
QUARNEL_LANES_INLINE void euler_step(State& st, const EulerIn& in, std::size_t j, const Consts& c,
                                     double dated) noexcept {
    const double y = st.y;
    const double p = in.sp * y;
    const double yn = y + ((in.mp * y) * c.dt + p * in.dw);
    double hn = st.h;
    if (j < c.nw) {
        const double u = (yn / in.s) * c.inv_nw;
        const double tau = ((yn * in.dw) - p * c.dt) / in.s;
        const double g = (static_cast<double>(c.nw - j) * c.inv_nw) * y;
        const double spp_g = in.spp * g;
        const double la = ((in.mpp * g) * c.dt + spp_g * in.dw) - in.sp * u;
        hn = st.h + (((in.mp * st.h) * c.dt + (in.sp * st.h) * in.dw) + y * la);
        const double ltau = (((hn * in.dw) - yn * u) - (spp_g * y + in.sp * st.h) * c.dt) / in.s -
                            ((tau * in.sp) * g) / in.s;
        st.acc = st.acc + tau * c.inv_tw;
        st.accl = st.accl + ltau * c.inv_tw;
    }
    const double ds = in.s * c.inv_vol;  // d sigma / d vol at fixed X
    const double vn = st.v + (((in.mp * st.v) * c.dt + (in.sp * st.v) * in.dw) + ds * in.dw);
    if constexpr (P == ProductKind::barrier_continuous) {
        // The parameter weight of second_order_tangent_flow.hpp for sigma = vol s(x):
        // d sigma/d vol = sigma / vol, d2 sigma/dx d vol = sigma' / vol, drift free of vol.
        const double u = (yn / in.s) * c.inv_nw;
        const double d = (static_cast<double>(j) * c.inv_n) * y;
        const double da = ((in.mpp * d) * c.dt + (in.spp * d) * in.dw) + in.sp * u;
        const double sxth = in.sp * c.inv_vol;
        const double kn = st.k + (((in.mp * st.k) * c.dt + (in.sp * st.k) * in.dw) + y * da);
        const double dvn = st.dv + (((in.mp * st.dv) * c.dt + (in.sp * st.dv) * in.dw) +
                                    ((st.v * da + (sxth * d) * in.dw) + ds * u));
        st.k = kn;
        st.dv = dvn;
    }
    if constexpr (P == ProductKind::barrier_continuous) {
        const double sg = c.sign;
        const double a = sg * (st.x - c.h), b = sg * (in.xn - c.h);
        const double var = (in.s * in.s) * c.dt;
        if (st.alive && !far_from_barrier(a, b, var)) {
            const double gj = static_cast<double>(c.n - j) * c.inv_n;
            const double gn = static_cast<double>(c.n - j - 1) * c.inv_n;
            const double qj = static_cast<double>(j) * c.inv_n;
            const double qn = static_cast<double>(j + 1) * c.inv_n;
            // X_j along D, L, V, Q, LL, LD; the barrier distances carry the side's sign.
            const double xd = y, xl = gj * y, xv = st.v, xq = qj * y, xll = gj * st.h, xld = st.h;
            Node na{a, sg * xd, sg * xl, sg * xv, sg * xv, sg * xq, sg * xll, sg * xld};
            Node nb{b,       sg * yn,        sg * (gn * yn), sg * vn,
                    sg * vn, sg * (qn * yn), sg * (gn * hn), sg * hn};
            const double s_d = in.sp * xd, s_l = in.sp * xl, s_q = in.sp * xq;
            const double s_v = in.sp * xv + ds;
            const double s_ll = (in.spp * xl) * xl + in.sp * xll;
            const double s_ld = (in.spp * xl) * xd + in.sp * xld;
            const double two_dt = 2.0 * c.dt;
            Node nc{var,
                    two_dt * (in.s * s_d),
                    two_dt * (in.s * s_l),
                    two_dt * (in.s * s_v),
                    two_dt * (in.s * s_v),
                    two_dt * (in.s * s_q),
                    two_dt * (s_l * s_l + in.s * s_ll),
                    two_dt * (s_l * s_d + in.s * s_ld)};
            add_survival(st, bridge_step(na, nb, nc));
        }
    }
    if constexpr (P == ProductKind::barrier_discrete) {
        if (dated != 0.0 && !(c.sign * (in.xn - c.h) > 0.0)) {
            st.alive = false;
            st.surv = 0.0;
        }
        if (dated != 0.0 && in.xn != in.xn) st.surv = in.xn;  // NaN stays NaN
    }
    if constexpr (P == ProductKind::asian_arithmetic) {
        if (dated != 0.0) {
            st.sum_x = st.sum_x + in.xn;
            st.sum_y = st.sum_y + yn;
            st.sum_v = st.sum_v + vn;
        }
    }
    if constexpr (P == ProductKind::asian_geometric) {
        if (dated != 0.0) {
            st.sum_x = st.sum_x + quarnel::fixed::log(in.xn);
            st.sum_y = st.sum_y + yn / in.xn;
            st.sum_v = st.sum_v + vn / in.xn;
        }
    }
    st.x = in.xn;
    st.y = yn;
    st.h = hn;
    st.v = vn;
    if (j + 1 == c.nw) {
        st.pi1 = st.acc;
        st.pi1g = st.acc * st.acc + st.accl;
        st.hy = hn / yn;
    }
}

// One GBM step from S_j (st.x) to S_{j+1} = sn with the increment dw.
template <ProductKind P>
QUARNEL_LANES_INLINE void gbm_step(State& st, double dw, double sn, std::size_t j, const Consts& c,
                                   double dated, ScalarQueue* queue) noexcept {
    const double w = st.w;
    const double wn = w + dw;
    if constexpr (P == ProductKind::barrier_continuous) {
        const double sg = c.sign;
        const double var = (c.s * c.s) * c.dt;
        // ln y >= 1 - 1/y bounds the log-distances from below without a log: ln(S/H) >=
        // (S - H)/S, ln(H/S) >= (H - S)/H. Only steps that may come near the barrier pay
        // for the logs. The test is written with the denominators multiplied out.
        const double da = sg * (st.x - c.h), db = sg * (sn - c.h);
        const double den = sg > 0.0 ? st.x * sn : c.h * c.h;
        const bool far = da > 0.0 && db > 0.0 && 2.0 * (da * db) >= kFarFromBarrier * (var * den);
        if (st.alive && !far && (queue->push(st, j, st.x, sn, w, wn) || !(da > 0.0 && db > 0.0))) {
            queue->settle(c);
        }
    }
    if constexpr (P == ProductKind::barrier_discrete) {
        if (dated != 0.0 && !(c.sign * (sn - c.h) > 0.0)) {
            st.alive = false;
            st.surv = 0.0;
        }
        if (dated != 0.0 && sn != sn) st.surv = sn;  // NaN stays NaN
    }
    if constexpr (P == ProductKind::asian_arithmetic) {
        if (dated != 0.0) {
            const double tn = static_cast<double>(j + 1) * c.dt;
            st.sum_x = st.sum_x + sn;
            st.sum_v = st.sum_v + sn * (wn - c.s * tn);
        }
    }
    if constexpr (P == ProductKind::asian_geometric) {
        if (dated != 0.0) {
            const double tn = static_cast<double>(j + 1) * c.dt;
            st.sum_x = st.sum_x + quarnel::fixed::log(sn);
            st.sum_v = st.sum_v + (wn - c.s * tn);
        }
    }
    // The vega weight's part after the first date: ((dW^2 - dt) / (s dt)) - dW per step.
    if (j >= c.nw) st.pv_tail = st.pv_tail + (((dw * dw - c.dt) * c.inv_sdt) - dw);
    st.w = wn;
    st.x = sn;
    if (j + 1 == c.nw) st.w1 = wn;
}

// The GBM weights of the first date t1: delta W1/(s t1 x0), gamma pi^2 - pi/x0 -
// 1/(s^2 t1 x0^2), vega (W1^2 - t1)/(s t1) - W1 plus the tail. Inlined, so that the
// lane clones' rows do not call baseline code with the wide registers dirty (the Asian's
// time-major walk ran 0.6 of its time once it was).
QUARNEL_LANES_INLINE void gbm_weights(const State& st, const Consts& c, double& pi, double& pig,
                                      double& piv) noexcept {
    const double scale = 1.0 / (c.tw * (c.s * c.x0));
    const double q = (scale * scale) * c.tw;
    const double inv_st = 1.0 / (c.s * c.tw);
    pi = st.w1 * scale;
    pig = (pi * pi - pi * c.inv_x0) - q;
    // At first_date = n_steps the tail is +0.0: bit-equal to the constant-flow weights.
    piv = ((st.w1 * st.w1 - c.tw) * inv_st - st.w1) + st.pv_tail;
}

template <ModelKind M, ProductKind P>
void write_row(const State& st, const Consts& c, bool knock_in, double* row) noexcept {
    double pi = st.pi1, pig = st.pi1g, piv = kNaN;
    if constexpr (M == ModelKind::gbm) gbm_weights(st, c, pi, pig, piv);
    if constexpr (P == ProductKind::weights) {
        row[0] = pi;
        row[1] = pig;
        row[2] = piv;
    } else if constexpr (is_asian(P)) {
        double avg = 0.0, davg = 0.0, vavg = 0.0;
        if constexpr (P == ProductKind::asian_arithmetic) {
            avg = st.sum_x * c.inv_m;
            if constexpr (M == ModelKind::gbm) {
                davg = avg * c.inv_x0;
                vavg = st.sum_v * c.inv_m;
            } else {
                davg = st.sum_y * c.inv_m;
                vavg = st.sum_v * c.inv_m;
            }
        } else {
            avg = quarnel::fixed::exp(st.sum_x * c.inv_m);
            if constexpr (M == ModelKind::gbm) {
                davg = avg * c.inv_x0;
                vavg = avg * (st.sum_v * c.inv_m);
            } else {
                davg = avg * (st.sum_y * c.inv_m);
                vavg = avg * (st.sum_v * c.inv_m);
            }
        }
        row[kAvg] = avg;
        row[kDAvg] = davg;
        row[kVAvg] = vavg;
        row[kPi1] = pi;
        row[kPi1G] = pig;
        row[kHY] = M == ModelKind::gbm ? -c.inv_x0 : st.hy;
        row[kPiV1] = piv;
    } else {
        // Barriers: the terminal state, its tangents Y_N, H_N = L Y_N, V_N.
        if constexpr (M == ModelKind::gbm) {
            row[kX] = st.x;
            row[kY] = st.x * c.inv_x0;
            row[kH] = -(st.x * c.inv_x0sq);
            row[kV] = st.x * (st.w - c.s * (static_cast<double>(c.n) * c.dt));
        } else {
            row[kX] = st.x;
            row[kY] = st.y;
            row[kH] = st.h;
            row[kV] = st.v;
        }
        // Euler: the vega weight beta pi - D_u beta, beta = V_N / Y_N, and the vega
        // operator of the survival P - beta Q (continuous monitoring only).
        double beta = st.w;
        if constexpr (M == ModelKind::euler) {
            beta = st.v / st.y;
            if (P == ProductKind::barrier_continuous) {
                piv = beta * st.acc - (st.dv - beta * st.k) / st.y;
            }
        }
        row[kPi] = pi;
        row[kPiG] = pig;
        row[kPiV] = piv;
        const double sg = knock_in ? -1.0 : 1.0;
        // A knocked path has survival 0, a path that met a NaN state a NaN one.
        const double surv = st.surv != st.surv ? st.surv : (st.alive ? st.surv : 0.0);
        row[kA] = knock_in ? 1.0 - surv : surv;
        const bool smooth = P == ProductKind::barrier_continuous && st.alive;
        const double ps = sg * surv;
        row[kDA] = smooth ? ps * st.sd : 0.0;
        row[kLA] = smooth ? ps * st.sl : 0.0;
        row[kLDA] = smooth ? ps * (st.sl * st.sd + st.sld) : 0.0;
        row[kLLA] = smooth ? ps * (st.sl * st.sl + st.sll) : 0.0;
        row[kVA] = smooth ? ps * st.sv : 0.0;
        // The vega operator P - beta Q: beta = W_T under gbm, V_N / Y_N on Euler grids.
        double lva = kNaN;
        if (M == ModelKind::gbm || P == ProductKind::barrier_continuous) {
            lva = smooth ? ps * (st.sp - beta * st.sq) : 0.0;
        }
        row[kLVA] = lva;
    }
}

// The walk of one model and product: start, step, finish over views of the batch.
template <ModelKind M, ProductKind P>
struct Walk {
    const PathModel& m;
    const Product& pr;
    Consts c;
    ScalarQueue* queue = nullptr;  // gbm continuous barriers

    State start(std::size_t k) const noexcept {
        State st;
        st.x = M == ModelKind::gbm ? c.x0 : m.states(k, 0);
        return st;
    }
    // False on a zero sigma.
    QUARNEL_LANES_INLINE bool step(State& st, std::size_t k, std::size_t j) const noexcept {
        const double dated = pr.dates.size() > 0 ? pr.dates[j] : 0.0;
        if constexpr (M == ModelKind::gbm) {
            gbm_step<P>(st, m.dws(k, j), m.states(k, j + 1), j, c, dated, queue);
        } else {
            const double s = m.first.sigma(k, j);
            if (s == 0.0) return false;
            const EulerIn in{s,
                             m.dws(k, j),
                             m.first.d_mu_dx(k, j),
                             m.first.d_sigma_dx(k, j),
                             m.second.d2_mu_dx2(k, j),
                             m.second.d2_sigma_dx2(k, j),
                             m.states(k, j + 1)};
            euler_step<P>(st, in, j, c, dated);
        }
        return true;
    }
    // Settles the queued steps: before any row of their paths is written.
    void settle() const noexcept {
        if (queue != nullptr) queue->settle(c);
    }
    void finish(const State& st, double* row) const noexcept {
        write_row<M, P>(st, c, pr.knock_in, row);
    }
};

template <ModelKind M, ProductKind P>
std::optional<ZeroSigma> one_by_one(const Walk<M, P>& walk, std::size_t first, std::size_t count,
                                    double* out, std::size_t width) noexcept {
    for (std::size_t p = 0; p < count; ++p) {
        const std::size_t k = first + p;
        State st = walk.start(k);
        for (std::size_t j = 0; j < walk.m.n_steps; ++j) {
            if (!walk.step(st, k, j)) return ZeroSigma{k, j};
        }
        walk.settle();
        walk.finish(st, out + p * width);
    }
    return std::nullopt;
}

// Time-major batches: a tile of adjacent paths walked a step at a time, so each step
// reads one contiguous row segment per matrix instead of one cache line per path.
constexpr std::size_t kTile = 512;

template <ModelKind M, ProductKind P>
std::optional<ZeroSigma> across_paths(const Walk<M, P>& walk, std::size_t first, std::size_t count,
                                      double* out, std::size_t width) {
    std::vector<State> tile(std::min(kTile, count));
    for (std::size_t p0 = 0; p0 < count; p0 += kTile) {
        const std::size_t n = std::min(kTile, count - p0);
        for (std::size_t i = 0; i < n; ++i) tile[i] = walk.start(first + p0 + i);
        bool zero = false;
        for (std::size_t j = 0; j < walk.m.n_steps && !zero; ++j) {
            for (std::size_t i = 0; i < n; ++i) zero |= !walk.step(tile[i], first + p0 + i, j);
        }
        // The first zero in path-then-step order is found by the one-path loop.
        if (zero) return one_by_one(walk, first + p0, count - p0, out + p0 * width, width);
        walk.settle();
        for (std::size_t i = 0; i < n; ++i) walk.finish(tile[i], out + (p0 + i) * width);
    }
    return std::nullopt;
}

#if QUARNEL_FUSED_VECTORS
// The lane walks settle out of line: inlined, the settling's thousand instructions take
// registers from the step loop, which then keeps more of its pointers on the stack
// (measured: a barrier walk far from the barrier, in cache, 1.7 ns a path-step inlined,
// 1.5 out of line). Each width's copy carries its clone's instruction set.
template <int L>
[[gnu::noinline]] void settle_queue(BridgeQueue<L>& queue, const Consts& c) noexcept {
    queue.settle(c);
}
#if defined(__x86_64__) && defined(__GNUC__)
[[gnu::noinline, gnu::target("avx2")]] void settle_queue(BridgeQueue<4>& queue,
                                                         const Consts& c) noexcept {
    queue.settle(c);
}
[[gnu::noinline, gnu::target("avx512f,avx512dq")]] void settle_queue(BridgeQueue<8>& queue,
                                                                     const Consts& c) noexcept {
    queue.settle(c);
}
#endif

// GBM walks with a path in each lane of a vector: the running values every step moves
// (S_j, W_j, the Asian sums, the vega tail) in lanes, everything else, and the rare
// per-path work (queued bridge steps, discrete knocks), in each path's State. Every lane
// performs its path's scalar operations of gbm_step in the same order, so the rows are
// the same bits.
template <int W>
struct GbmLanes {
    using V = typename fused::Lanes<W>::D;
    V x, w, sum_x, sum_v, pv_tail, w1;
    LaneBits<W> live;  // barriers: 0 once the lane's path is known to be knocked
};

template <int W, ProductKind P>
QUARNEL_LANES_INLINE void gbm_lanes_step(GbmLanes<W>& v, typename fused::Lanes<W>::D dw,
                                         typename fused::Lanes<W>::D sn, std::size_t j,
                                         const Consts& c, double dated, State* const* paths,
                                         BridgeQueue<W>& queue) noexcept {
    using V = typename fused::Lanes<W>::D;
    const V wn = v.w + dw;
    if constexpr (P == ProductKind::barrier_continuous) {
        const double sg = c.sign;
        const double var = (c.s * c.s) * c.dt;
        const V da = sg * (v.x - c.h), db = sg * (sn - c.h);
        const V den = sg > 0.0 ? v.x * sn : fused::splat<W>(c.h * c.h);
        // far as gbm_step's test: with da, db > 0 both sides are in [+0, +infinity]
        // (den > 0, the barrier being positive).
        const LaneBits<W> far = positive<W>(da) & positive<W>(db) &
                                (below<W>(2.0 * (da * db), kFarFromBarrier * (var * den)) ^ 1);
        const LaneBits<W> near = (far ^ 1) & v.live;
        if (any_lane<W>(near)) {
            // The near lanes as the set bits of a word, visited in lane order: a test of
            // every lane mispredicts on the one or two near lanes of a vector.
            unsigned bits = 0;
            for (int l = 0; l < W; ++l) bits |= static_cast<unsigned>(near[l]) << l;
            bool settle = false;
            while (bits != 0) {
                const int l = std::countr_zero(bits);
                bits &= bits - 1;
                State& st = *paths[l];
                if (!st.alive) {  // knocked at a step settled since: never near again
                    v.live[l] = 0;
                    continue;
                }
                settle |= queue.push(st, j, v.x[l], sn[l], v.w[l], wn[l]) ||
                          !(da[l] > 0.0 && db[l] > 0.0);
            }
            if (settle) settle_queue(queue, c);
        }
    }
    if constexpr (P == ProductKind::barrier_discrete) {
        if (dated != 0.0) {
            for (int l = 0; l < W; ++l) {
                State& st = *paths[l];
                const double s = sn[l];
                if (!(c.sign * (s - c.h) > 0.0)) {
                    st.alive = false;
                    st.surv = 0.0;
                }
                if (s != s) st.surv = s;  // NaN stays NaN
            }
        }
    }
    if constexpr (P == ProductKind::asian_arithmetic) {
        if (dated != 0.0) {
            const double tn = static_cast<double>(j + 1) * c.dt;
            v.sum_x = v.sum_x + sn;
            v.sum_v = v.sum_v + sn * (wn - c.s * tn);
        }
    }
    if constexpr (P == ProductKind::asian_geometric) {
        if (dated != 0.0) {
            const double tn = static_cast<double>(j + 1) * c.dt;
            v.sum_x = v.sum_x + fused::log<W>(sn);
            v.sum_v = v.sum_v + (wn - c.s * tn);
        }
    }
    if (j >= c.nw) v.pv_tail = v.pv_tail + (((dw * dw - c.dt) * c.inv_sdt) - dw);
    v.w = wn;
    v.x = sn;
    if (j + 1 == c.nw) v.w1 = wn;
}

template <int W>
QUARNEL_LANES_INLINE GbmLanes<W> gbm_lanes_start(const Consts& c) noexcept {
    const typename fused::Lanes<W>::D zero = fused::splat<W>(0.0);
    const LaneBits<W> live = fused::as_bits<W>(zero) + 1;
    return {fused::splat<W>(c.x0), zero, zero, zero, zero, zero, live};
}

// The lanes' values into their paths' States, then the rows.
#if defined(__x86_64__) && defined(__GNUC__)
// VZEROUPPER in a function of its own with the AVX target: a call, so the caller treats
// every vector register as clobbered (the ABI's rule), and legal from code compiled for
// the baseline under both GCC and Clang, which refuses the builtin outside AVX code.
// Called only on the wide lanes' paths, which run where the CPU has AVX.
[[gnu::target("avx"), gnu::noinline]] inline void clear_upper_halves() noexcept {
    __builtin_ia32_vzeroupper();
}
#endif

template <int W, ProductKind P>
QUARNEL_LANES_INLINE void gbm_lanes_finish(const Walk<ModelKind::gbm, P>& walk,
                                           const GbmLanes<W>& v, State* const* paths,
                                           double* const* rows) noexcept {
    for (int l = 0; l < W; ++l) {
        State& st = *paths[l];
        st.x = v.x[l];
        st.w = v.w[l];
        st.sum_x = v.sum_x[l];
        st.sum_v = v.sum_v[l];
        st.pv_tail = v.pv_tail[l];
        st.w1 = v.w1[l];
#if defined(__x86_64__) && defined(__GNUC__)
        // write_row is compiled for the baseline (legacy SSE encoding): entered with the
        // upper halves of the wide registers dirty, each of its instructions pays for the
        // transition (measured: 0.5 ns a path-step of a barrier walk, a fifth of it).
        if constexpr (W >= 4) clear_upper_halves();
#endif
        walk.finish(st, rows[l]);
    }
}

// W steps of W lanes' rows at once, for rows contiguous along the steps: W vector loads
// and a transpose in registers (log2 W rounds of shuffles) instead of W * W loads of one
// double each and as many inserts. Round B pairs vectors i and i + B (i without the bit
// B) and swaps their blocks of B lanes: x's odd blocks with y's even ones.
template <int W, int B, int... K>
QUARNEL_LANES_INLINE typename fused::Lanes<W>::D blocks_low(
    typename fused::Lanes<W>::D x, typename fused::Lanes<W>::D y,
    std::integer_sequence<int, K...>) noexcept {
    return __builtin_shufflevector(x, y, ((K / B) % 2 == 0 ? K : W + K - B)...);
}
template <int W, int B, int... K>
QUARNEL_LANES_INLINE typename fused::Lanes<W>::D blocks_high(
    typename fused::Lanes<W>::D x, typename fused::Lanes<W>::D y,
    std::integer_sequence<int, K...>) noexcept {
    return __builtin_shufflevector(x, y, ((K / B) % 2 == 0 ? K + B : W + K)...);
}

// r[s] = the doubles at steps j + s of lanes 0..W-1 of group g.
template <int W>
QUARNEL_LANES_INLINE void load_steps(const LaneField& f, std::size_t j, int g,
                                     typename fused::Lanes<W>::D (&r)[W]) noexcept {
    const std::byte* at = f.base + static_cast<std::ptrdiff_t>(j) * f.col +
                          static_cast<std::ptrdiff_t>(g * W) * f.row;
    for (int i = 0; i < W; ++i)
        std::memcpy(&r[i], at + static_cast<std::ptrdiff_t>(i) * f.row, sizeof r[i]);
    constexpr auto lanes = std::make_integer_sequence<int, W>{};
    auto round = [&]<int B>(std::integral_constant<int, B>) {
        for (int i = 0; i < W; ++i) {
            if ((i & B) != 0) continue;
            const auto x = r[i], y = r[i + B];
            r[i] = blocks_low<W, B>(x, y, lanes);
            r[i + B] = blocks_high<W, B>(x, y, lanes);
        }
    };
    round(std::integral_constant<int, 1>{});
    if constexpr (W >= 4) round(std::integral_constant<int, 2>{});
    if constexpr (W >= 8) round(std::integral_constant<int, 4>{});
}

// G vectors of W lanes over runs of rows (lane i of the block on path k + i spacing),
// the states in registers, each stream prefetched kPrefetchSteps ahead (F).
template <int W, int G, ProductKind P, bool F>
QUARNEL_LANES_INLINE void gbm_block_along_rows(const Walk<ModelKind::gbm, P>& walk, std::size_t k,
                                               std::size_t spacing, std::size_t mask,
                                               BridgeQueue<W>& queue, double* out) noexcept {
    using V = typename fused::Lanes<W>::D;
    constexpr int L = W * G;
    const PathModel& m = walk.m;
    const auto lane = static_cast<std::ptrdiff_t>(spacing);
    const LaneField fs{m.states.row_ptr(k), m.states.row_stride * lane, m.states.col_stride};
    const LaneField fd{m.dws.row_ptr(k), m.dws.row_stride * lane, m.dws.col_stride};
    State paths[L];
    State* at[L];
    double* rows[L];
    for (int i = 0; i < L; ++i) {
        at[i] = &paths[i];
        rows[i] = out + static_cast<std::size_t>(i) * spacing * row_columns(P);
    }
    GbmLanes<W> v[G];
    for (int g = 0; g < G; ++g) v[g] = gbm_lanes_start<W>(walk.c);
    const std::size_t n = m.n_steps;
    auto prefetch_at = [&](std::size_t j) {
        if (F && (j & mask) == 0) {
            const auto ahead = static_cast<std::ptrdiff_t>(j) + kPrefetchSteps;
            for (std::ptrdiff_t l = 0; l < L; ++l) {
                prefetch(fs.base, ahead * fs.col + l * fs.row);
                prefetch(fd.base, ahead * fd.col + l * fd.row);
            }
        }
    };
    std::size_t j = 0;
    constexpr auto kDouble = static_cast<std::ptrdiff_t>(sizeof(double));
    if (fs.col == kDouble && fd.col == kDouble) {
        for (; j + W <= n; j += W) {
            V dws[G][W], sns[G][W];
            for (int g = 0; g < G; ++g) {
                load_steps<W>(fd, j, g, dws[g]);
                load_steps<W>(fs, j + 1, g, sns[g]);
            }
            for (int s = 0; s < W; ++s) {
                const std::size_t js = j + static_cast<std::size_t>(s);
                prefetch_at(js);
                const double dated = walk.pr.dates.size() > 0 ? walk.pr.dates[js] : 0.0;
                for (int g = 0; g < G; ++g) {
                    gbm_lanes_step<W, P>(v[g], dws[g][s], sns[g][s], js, walk.c, dated,
                                         at + static_cast<std::ptrdiff_t>(g) * W, queue);
                }
            }
        }
    }
    for (; j < n; ++j) {
        prefetch_at(j);
        const double dated = walk.pr.dates.size() > 0 ? walk.pr.dates[j] : 0.0;
        for (int g = 0; g < G; ++g) {
            const V dw = gather<W>(fd, j, g);
            const V sn = gather<W>(fs, j + 1, g);
            gbm_lanes_step<W, P>(v[g], dw, sn, j, walk.c, dated,
                                 at + static_cast<std::ptrdiff_t>(g) * W, queue);
        }
    }
    settle_queue(queue, walk.c);
    for (int g = 0; g < G; ++g)
        gbm_lanes_finish<W, P>(walk, v[g], at + static_cast<std::ptrdiff_t>(g) * W,
                               rows + static_cast<std::ptrdiff_t>(g) * W);
}

// A GBM tile's state is a few doubles a path, so smaller tiles than the tangent flows'
// keep it in L1 with the rows prefetched several steps ahead (measured: 512 paths and 8
// steps ran the Asian time-major walk in 0.8 of the time of 4096 paths and one step).
constexpr std::size_t kGbmTilePaths = 512;
constexpr std::ptrdiff_t kGbmRowsAhead = 8;

// Adjacent paths in the lanes, a step of the whole tile at a time (n a multiple of W).
template <int W, ProductKind P, bool F>
QUARNEL_LANES_INLINE void gbm_tile_across_paths(const Walk<ModelKind::gbm, P>& walk, std::size_t k,
                                                std::size_t n, GbmLanes<W>* v, State* paths,
                                                State** at, BridgeQueue<W>& queue,
                                                double* out) noexcept {
    using V = typename fused::Lanes<W>::D;
    const PathModel& m = walk.m;
    const LaneField fs{m.states.row_ptr(k), m.states.row_stride, m.states.col_stride};
    const LaneField fd{m.dws.row_ptr(k), m.dws.row_stride, m.dws.col_stride};
    const int groups = static_cast<int>(n) / W;
    for (std::size_t i = 0; i < n; ++i) {
        paths[i] = State{};
        at[i] = &paths[i];
    }
    for (int g = 0; g < groups; ++g) v[g] = gbm_lanes_start<W>(walk.c);
    for (std::size_t j = 0; j < m.n_steps; ++j) {
        const double dated = walk.pr.dates.size() > 0 ? walk.pr.dates[j] : 0.0;
        const auto ahead = static_cast<std::ptrdiff_t>(j) + kGbmRowsAhead;
        for (int g = 0; g < groups; ++g) {
            if constexpr (F) {
                const auto lanes = static_cast<std::ptrdiff_t>(g) * W;
                prefetch(fs.base, (ahead + 1) * fs.col + lanes * fs.row);
                prefetch(fd.base, ahead * fd.col + lanes * fd.row);
            }
            const V dw = load_lanes<W>(fd, j, g);
            const V sn = load_lanes<W>(fs, j + 1, g);
            gbm_lanes_step<W, P>(v[g], dw, sn, j, walk.c, dated,
                                 at + static_cast<std::ptrdiff_t>(g) * W, queue);
        }
    }
    settle_queue(queue, walk.c);
    double* rows[W];
    for (int g = 0; g < groups; ++g) {
        for (int l = 0; l < W; ++l) {
            rows[l] = out + static_cast<std::size_t>(g * W + l) * row_columns(P);
        }
        gbm_lanes_finish<W, P>(walk, v[g], at + static_cast<std::ptrdiff_t>(g) * W, rows);
    }
}

// The rows of GBM paths [first, first + count): time-major batches in tiles across
// paths, path-major ones in blocks along runs of rows, the rest one path at a time.
template <int W, int G, ProductKind P, bool F>
QUARNEL_LANES_INLINE void gbm_rows_in_lanes(const Walk<ModelKind::gbm, P>& walk, std::size_t first,
                                            std::size_t count, double* out) {
    constexpr std::size_t L = static_cast<std::size_t>(W * G);
    const std::size_t width = row_columns(P);
    const std::array<const View2D*, 2> views{&walk.m.states, &walk.m.dws};
    std::size_t spacing = 0;
    if (paths_adjacent(views)) {
        // Without room for the tile, blocks along rows take the paths.
        const std::size_t tile = std::min(kGbmTilePaths, count) / W * W;
        const LaneScratch<GbmLanes<W>> v(tile / W);
        const LaneScratch<State> paths(tile);
        const LaneScratch<State*> at(tile);
        const LaneScratch<BridgeQueue<W>> queue(1);
        if (tile > 0 && v.data() != nullptr && paths.data() != nullptr && at.data() != nullptr &&
            queue.data() != nullptr) {
            *queue.data() = BridgeQueue<W>{};
            std::size_t p = 0;
            while (count - p >= static_cast<std::size_t>(W)) {
                const std::size_t n = std::min(tile, (count - p) / W * W);
                gbm_tile_across_paths<W, P, F>(walk, first + p, n, v.data(), paths.data(),
                                               at.data(), *queue.data(), out + p * width);
                p += n;
            }
            first += p;
            count -= p;
            out += p * width;
        }
    } else {
        spacing = lane_spacing(walk.m.states.row_stride, count, L);
    }
    const std::size_t mask = lane_driver::prefetch_mask(views);
    // One queue for all blocks (each leaves it empty): its arrays are zeroed once, not
    // once every L paths.
    BridgeQueue<W> queue;
    for (std::size_t p = 0; p < spacing; ++p) {
        gbm_block_along_rows<W, G, P, F>(walk, first + p, spacing, mask, queue, out + p * width);
    }
    std::size_t p = spacing * L;
    for (; p + L <= count; p += L) {
        gbm_block_along_rows<W, G, P, F>(walk, first + p, 1, mask, queue, out + p * width);
    }
    (void)one_by_one(walk, first + p, count - p, out + p * width, width);
}

template <int W, int G, ProductKind P>
QUARNEL_LANES_INLINE void gbm_rows(const Walk<ModelKind::gbm, P>& walk, std::size_t first,
                                   std::size_t count, double* out) {
    const std::size_t path_steps = walk.m.n_paths * walk.m.n_steps;
    if (path_steps >= kPrefetchFromBytes / (2 * sizeof(double))) {
        gbm_rows_in_lanes<W, G, P, true>(walk, first, count, out);
    } else {
        gbm_rows_in_lanes<W, G, P, false>(walk, first, count, out);
    }
}

// Two 2-lane vectors: the width every 64-bit target has (SSE2 on x86-64, NEON on AArch64).
template <ProductKind P>
void gbm_rows_baseline(const Walk<ModelKind::gbm, P>& walk, std::size_t first, std::size_t count,
                       double* out) noexcept {
    gbm_rows<2, 2, P>(walk, first, count, out);
}

// Wider clones on x86-64 with GCC or Clang, called only where the CPU reports them. No
// "fma" in the targets: with contraction off it would change nothing.
#if defined(__x86_64__) && defined(__GNUC__)
#define QUARNEL_PATHS_WIDE 1
template <ProductKind P>
[[gnu::target("avx2")]] void gbm_rows_avx2(const Walk<ModelKind::gbm, P>& walk, std::size_t first,
                                           std::size_t count, double* out) noexcept {
    gbm_rows<4, 1, P>(walk, first, count, out);
}
template <ProductKind P>
[[gnu::target("avx512f,avx512dq")]] void gbm_rows_avx512(const Walk<ModelKind::gbm, P>& walk,
                                                         std::size_t first, std::size_t count,
                                                         double* out) noexcept {
    gbm_rows<8, 1, P>(walk, first, count, out);
}

int gbm_width() noexcept {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") != 0 && __builtin_cpu_supports("avx512dq") != 0) {
        return 8;
    }
    return __builtin_cpu_supports("avx2") != 0 ? 4 : 2;
}
#else
#define QUARNEL_PATHS_WIDE 0
#endif

template <ProductKind P>
void gbm_rows_any(const Walk<ModelKind::gbm, P>& walk, std::size_t first, std::size_t count,
                  double* out) noexcept {
#if QUARNEL_PATHS_WIDE
    static const int width = gbm_width();
    if (width == 8) return gbm_rows_avx512(walk, first, count, out);
    if (width == 4) return gbm_rows_avx2(walk, first, count, out);
#endif
    gbm_rows_baseline(walk, first, count, out);
}
#endif

template <ModelKind M, ProductKind P>
std::optional<ZeroSigma> rows_of(const PathModel& m, const Product& pr, std::size_t first,
                                 std::size_t count, double* out) noexcept {
    ScalarQueue queue;
    const bool queued = M == ModelKind::gbm && P == ProductKind::barrier_continuous;
    const Walk<M, P> walk{m, pr, make_consts(m, pr), queued ? &queue : nullptr};
    const std::size_t width = row_columns(P);
#if QUARNEL_FUSED_VECTORS
    if constexpr (M == ModelKind::gbm) {
        gbm_rows_any(walk, first, count, out);
        return std::nullopt;
    }
#endif
    if (M == ModelKind::euler) {
        std::array<const View2D*, 7> views{&m.states,
                                           &m.dws,
                                           &m.first.sigma,
                                           &m.first.d_mu_dx,
                                           &m.first.d_sigma_dx,
                                           &m.second.d2_mu_dx2,
                                           &m.second.d2_sigma_dx2};
        if (count > 1 && paths_adjacent(views)) {
            try {
                return across_paths(walk, first, count, out, width);
            } catch (...) {  // NOLINT(bugprone-empty-catch)
                // No room for the tile: one path at a time.
            }
        }
    } else {
        std::array<const View2D*, 2> views{&m.states, &m.dws};
        if (count > 1 && paths_adjacent(views)) {
            try {
                return across_paths(walk, first, count, out, width);
            } catch (...) {  // NOLINT(bugprone-empty-catch)
                // No room for the tile: one path at a time.
            }
        }
    }
    return one_by_one(walk, first, count, out, width);
}

template <ModelKind M>
std::optional<ZeroSigma> rows_for_model(const PathModel& m, const Product& pr, std::size_t first,
                                        std::size_t count, double* out) noexcept {
    switch (pr.kind) {
        case ProductKind::barrier_continuous:
            return rows_of<M, ProductKind::barrier_continuous>(m, pr, first, count, out);
        case ProductKind::barrier_discrete:
            return rows_of<M, ProductKind::barrier_discrete>(m, pr, first, count, out);
        case ProductKind::asian_arithmetic:
            return rows_of<M, ProductKind::asian_arithmetic>(m, pr, first, count, out);
        case ProductKind::asian_geometric:
            return rows_of<M, ProductKind::asian_geometric>(m, pr, first, count, out);
        case ProductKind::weights: break;
    }
    return rows_of<M, ProductKind::weights>(m, pr, first, count, out);
}

}  // namespace

std::size_t row_columns(ProductKind kind) noexcept {
    if (is_barrier(kind)) return kBarrierColumns;
    if (is_asian(kind)) return kAsianColumns;
    return 3;
}

std::optional<ZeroSigma> path_rows(const PathModel& model, const Product& product,
                                   std::size_t first, std::size_t count, double* out) noexcept {
    if (model.kind == ModelKind::gbm) {
        return rows_for_model<ModelKind::gbm>(model, product, first, count, out);
    }
    return rows_for_model<ModelKind::euler>(model, product, first, count, out);
}

Result<Matrix> all_rows(const PathModel& model, const Product& product, bool parallel,
                        const WorkScope* scope, std::size_t first_path) {
    const std::size_t width = row_columns(product.kind);
    if (model.n_paths > 0 &&
        width > static_cast<std::size_t>(-1) / sizeof(double) / model.n_paths) {
        return ModelError{"the batch is too large: its rows do not fit in memory"};
    }
    Matrix out = Matrix::allocate(model.n_paths, width);  // NOLINT(clang-analyzer-unix.Malloc)
    std::optional<ZeroSigma> zero;
    if (parallel && scope != nullptr) {
        std::vector<PathChunk> items =
            plan_chunks(model.n_paths, WorkerPool::global().threads(), out.buffer.data(), width);
        auto work = [&] {
            zero = run_chunks(WorkerPool::global(), items, 3 * model.n_paths * model.n_steps,
                              [&](const PathChunk& item) {
                                  return path_rows(model, product, item.first_path, item.length,
                                                   item.weights);
                              });
        };
        (*scope)(work);
    } else {
        zero = path_rows(model, product, 0, model.n_paths, out.buffer.data());
    }
    if (zero) {
        return ModelError{"sigma[" + std::to_string(first_path + zero->path) + ", " +
                          std::to_string(zero->step) + "] = 0 produces division by zero"};
    }
    return out;
}

}  // namespace quarnel::paths
