// The Brownian-bridge survival of one grid step and its derivatives, for the barrier
// kernels. Between grid points the simulated path is a Brownian motion with the step's
// drift and variance c per unit of the step (c = sigma_j^2 dt on an Euler grid, s^2 dt
// for GBM in log space), so given its end points at distances a, b > 0 from the barrier
// it did not touch the barrier with probability
//   p = 1 - exp(-z),   z = 2 a b / c.
// The kernels need log p along several directions at once: the pathwise x0-derivative
// (D), the weight operator L of the integration by parts (L = d/dx0 - D_u) and its second
// order LL and LD, the pathwise vega (V) and the two halves P, Q of the vega operator
// (L_V = P - beta Q, beta known only at the end of the path). Each coordinate therefore
// travels with its derivatives in those directions (a Node), and the chain rule below is
// written once.
#pragma once

#include "core/fixed_math.hpp"
#include "core/lanes.hpp"

namespace quarnel::paths {

// A coordinate (a distance to the barrier, or the step variance) and its derivatives;
// T is a double, or a vector holding one step in each lane.
template <class T>
struct NodeOf {
    T x{};
    T d{}, l{}, v{}, p{}, q{};  // first order
    T ll{}, ld{};               // L L and L D
};
using Node = NodeOf<double>;

// log p of one step along each direction; p itself. survive == false when an end point
// lies on or beyond the barrier (or p rounds to 0): the path is knocked.
struct StepSurvival {
    bool survive = true;
    double p = 1.0;
    double d = 0.0, l = 0.0, v = 0.0, p_dir = 0.0, q = 0.0, ll = 0.0, ld = 0.0;
};

// Beyond this z, exp(-z) < 2^-57 and p rounds to 1: the step adds nothing that double
// precision can hold, and skipping its exp keeps the kernels cheap away from the barrier.
inline constexpr double kFarFromBarrier = 40.0;

// The cheap test of the kernels before they build a step's nodes, without a division:
// z = 2ab/c at least kFarFromBarrier (to rounding; bridge_step applies the exact test).
inline bool far_from_barrier(double a, double b, double c) noexcept {
    return a > 0.0 && b > 0.0 && 2.0 * (a * b) >= kFarFromBarrier * c;
}

// The derivatives of log p along each direction, from q = 1/c, ab = a b, e = exp(-z)
// and p = 1 - e of a step that survives with 0 < p < 1. Written once for a double and
// for a vector of steps: every lane runs the scalar operations in the same order.
template <class T>
struct LogDerivatives {
    T d{}, l{}, v{}, p_dir{}, q{}, ll{}, ld{};
};

template <class T>
QUARNEL_LANES_INLINE LogDerivatives<T> log_derivatives(const NodeOf<T>& a, const NodeOf<T>& b,
                                                       const NodeOf<T>& c, T q, T ab, T e,
                                                       T p) noexcept {
    const T r = e / p;   // d log p / dz
    const T r2 = r / p;  // -d2 log p / dz2 = e / p^2
    const T qq = q * q;
    const T qqq = qq * q;
    // dz along a first-order direction: 2 (q (a_e b + a b_e) + a b q_e), q_e = -q^2 c_e.
    auto z1 = [&](const T& ae, const T& be, const T& ce) {
        const T qe = -(qq * ce);
        return 2.0 * (q * (ae * b.x + a.x * be) + ab * qe);
    };
    const T zd = z1(a.d, b.d, c.d);
    const T zl = z1(a.l, b.l, c.l);
    LogDerivatives<T> s;
    s.d = r * zd;
    s.l = r * zl;
    s.v = r * z1(a.v, b.v, c.v);
    s.p_dir = r * z1(a.p, b.p, c.p);
    s.q = r * z1(a.q, b.q, c.q);
    const T ql = -(qq * c.l);
    const T qd = -(qq * c.d);
    const T qll = (2.0 * qqq) * (c.l * c.l) - qq * c.ll;
    const T qld = (2.0 * qqq) * (c.l * c.d) - qq * c.ld;
    const T zll = 2.0 * ((q * ((a.ll * b.x + 2.0 * (a.l * b.l)) + a.x * b.ll) +
                          (2.0 * ql) * (a.l * b.x + a.x * b.l)) +
                         ab * qll);
    const T zld = 2.0 * (((q * (((a.ld * b.x + a.l * b.d) + a.d * b.l) + a.x * b.ld) +
                           ql * (a.d * b.x + a.x * b.d)) +
                          qd * (a.l * b.x + a.x * b.l)) +
                         ab * qld);
    s.ll = r * zll - r2 * (zl * zl);
    s.ld = r * zld - r2 * (zl * zd);
    return s;
}

// The step from a to b (distances to the barrier, positive on the live side) under the
// variance c. Every product is rounded on its own, in the order written.
inline StepSurvival bridge_step(const Node& a, const Node& b, const Node& c) noexcept {
    StepSurvival s;
    if (a.x != a.x || b.x != b.x) {  // a NaN state: the path's samples become NaN
        const double nan = a.x != a.x ? a.x : b.x;
        s.p = nan;
        s.d = s.l = s.v = s.p_dir = s.q = s.ll = s.ld = nan;
        return s;
    }
    if (!(a.x > 0.0) || !(b.x > 0.0)) {
        s.survive = false;
        s.p = 0.0;
        return s;
    }
    const double q = 1.0 / c.x;
    const double ab = a.x * b.x;
    const double z = (2.0 * ab) * q;
    if (!(z < kFarFromBarrier)) return s;
    const double e = quarnel::fixed::exp(-z);
    const double p = 1.0 - e;
    if (!(p > 0.0)) {
        s.survive = false;
        s.p = 0.0;
        return s;
    }
    s.p = p;
    const LogDerivatives<double> g = log_derivatives(a, b, c, q, ab, e, p);
    s.d = g.d;
    s.l = g.l;
    s.v = g.v;
    s.p_dir = g.p_dir;
    s.q = g.q;
    s.ll = g.ll;
    s.ld = g.ld;
    return s;
}

}  // namespace quarnel::paths
