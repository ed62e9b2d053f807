#include "core/local_vol.hpp"

#include <algorithm>
#include <cmath>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>

#include "core/float_repr.hpp"

namespace quarnel {

namespace {

// The last index k with grid[k] <= x (0 when x is below grid[0], the last when x is
// NaN), as std::upper_bound less one finds it, but without branches: which half a path's
// state falls in is a coin toss, and a mispredicted branch per halving cost more than
// the whole spline.
std::size_t node_below(const std::vector<double>& grid, double x) noexcept {
    const double* g = grid.data();
    std::size_t lo = 0, len = grid.size();
    while (len > 1) {
        const std::size_t half = len / 2;
        lo = !(x < g[lo + half]) ? lo + half : lo;
        len -= half;
    }
    return lo;
}

struct Registry {
    std::mutex lock;
    std::unordered_map<std::uint64_t, std::shared_ptr<const LocalVolSurface>> live;
    std::uint64_t next = 1;
};

Registry& registry() {
    static Registry r;
    return r;
}

std::string shown(double x) { return float_repr(x); }

}  // namespace

LocalVolSurface::Spot LocalVolSurface::spot(double x) const noexcept {
    const std::size_t n = states.size();
    // Below the first node and above the last: the end interval's spline evaluated at
    // its end, continued linearly (natural ends have zero curvature, so this is C2).
    const bool below = x<states[0], above = x> states[n - 1];
    const double at = below ? states[0] : above ? states[n - 1] : x;
    return {below, above, at, std::min(node_below(states, at), n - 2)};
}

LocalVolSurface::Value LocalVolSurface::in_time(std::size_t i, const Spot& p,
                                                double x) const noexcept {
    const std::size_t n = states.size();
    const double* y = values.data() + i * n;
    const double* m = curv.data() + i * n;
    const std::size_t k = p.k;
    const double at = p.at;
    const double a = (states[k + 1] - at) * inv_h[k];
    const double b = (at - states[k]) * inv_h[k];
    const double s =
        (a * y[k] + b * y[k + 1]) + ((a * a * a - a) * m[k] + (b * b * b - b) * m[k + 1]) * h2_6[k];
    const double ds = (y[k + 1] - y[k]) * inv_h[k] -
                      ((3.0 * (a * a) - 1.0) * m[k] - (3.0 * (b * b) - 1.0) * m[k + 1]) * h_6[k];
    if (p.below || p.above) return {s + ds * (x - at), ds, 0.0};
    return {s, ds, a * m[k] + b * m[k + 1]};
}

LocalVolSurface::Bracket LocalVolSurface::bracket(double t) const noexcept {
    const std::size_t m = times.size();
    if (m == 1 || !(t > times[0])) return {0, 0, 0.0};
    if (!(t < times[m - 1])) return {m - 1, m - 1, 0.0};
    const std::size_t i = node_below(times, t);
    return {i, i + 1, (t - times[i]) / (times[i + 1] - times[i])};
}

LocalVolSurface::Value LocalVolSurface::at(const Bracket& b, double x) const noexcept {
    const Spot p = spot(x);
    if (b.hi == b.lo) return in_time(b.lo, p, x);
    const Value lo = in_time(b.lo, p, x), hi = in_time(b.hi, p, x);
    const double w = b.w;
    return {lo.s + w * (hi.s - lo.s), lo.ds + w * (hi.ds - lo.ds), lo.dds + w * (hi.dds - lo.dds)};
}

Result<std::uint64_t> local_vol_register(const View1D& times, const View1D& states,
                                         const View2D& vols) {
    const std::size_t m = times.length, n = states.length;
    if (m < 1) return ModelError{"times must hold at least one time, got none"};
    if (n < 2) return ModelError{"states must hold at least two states, got " + std::to_string(n)};
    if (vols.rows != m || vols.cols != n) {
        return ModelError{"vols must have shape (len(times), len(states)) = (" + std::to_string(m) +
                          ", " + std::to_string(n) + "), got (" + std::to_string(vols.rows) + ", " +
                          std::to_string(vols.cols) + ")"};
    }
    auto s = std::make_shared<LocalVolSurface>();
    for (std::size_t i = 0; i < m; ++i) s->times.push_back(times[i]);
    for (std::size_t k = 0; k < n; ++k) s->states.push_back(states[k]);
    auto increasing = [](const std::vector<double>& g, const char* name) -> Result<bool> {
        for (std::size_t i = 0; i < g.size(); ++i) {
            if (!std::isfinite(g[i])) {
                return ModelError{std::string(name) + " must be finite, got " + shown(g[i]) +
                                  " at index " + std::to_string(i)};
            }
            if (i > 0 && !(g[i] > g[i - 1])) {
                return ModelError{std::string(name) + " must be strictly increasing, got " +
                                  shown(g[i]) + " after " + shown(g[i - 1]) + " at index " +
                                  std::to_string(i)};
            }
        }
        return true;
    };
    if (Result<bool> ok = increasing(s->times, "times"); !ok.ok()) return ok.error();
    if (Result<bool> ok = increasing(s->states, "states"); !ok.ok()) return ok.error();
    s->values.resize(m * n);
    for (std::size_t i = 0; i < m; ++i) {
        for (std::size_t k = 0; k < n; ++k) {
            const double v = vols(i, k);
            if (!(std::isfinite(v) && v > 0.0)) {
                return ModelError{"vols must be positive and finite, got " + shown(v) + " at [" +
                                  std::to_string(i) + ", " + std::to_string(k) + "]"};
            }
            s->values[i * n + k] = v;
        }
    }
    s->inv_h.resize(n - 1);
    s->h2_6.resize(n - 1);
    s->h_6.resize(n - 1);
    for (std::size_t k = 0; k + 1 < n; ++k) {
        const double h = s->states[k + 1] - s->states[k];
        s->inv_h[k] = 1.0 / h;
        // The spline's divisions, once per interval instead of once per evaluation.
        s->h2_6[k] = (h * h) / 6.0;
        s->h_6[k] = h / 6.0;
    }
    // The natural spline's second derivatives at each time, by the Thomas algorithm on
    // h[k-1] M[k-1] + 2 (h[k-1] + h[k]) M[k] + h[k] M[k+1] = 6 (d[k] - d[k-1]),
    // M[0] = M[n-1] = 0, d[k] the slope of interval k.
    s->curv.assign(m * n, 0.0);
    std::vector<double> c(n, 0.0), r(n, 0.0);
    for (std::size_t i = 0; i < m; ++i) {
        const double* y = s->values.data() + i * n;
        double* mm = s->curv.data() + i * n;
        for (std::size_t k = 1; k + 1 < n; ++k) {
            const double h0 = s->states[k] - s->states[k - 1], h1 = s->states[k + 1] - s->states[k];
            const double rhs =
                6.0 * ((y[k + 1] - y[k]) * s->inv_h[k] - (y[k] - y[k - 1]) * s->inv_h[k - 1]);
            const double diag = 2.0 * (h0 + h1) - h0 * c[k - 1];
            c[k] = h1 / diag;
            r[k] = (rhs - h0 * r[k - 1]) / diag;
        }
        for (std::size_t k = n - 2; k >= 1; --k) mm[k] = r[k] - c[k] * mm[k + 1];
    }
    Registry& reg = registry();
    const std::lock_guard<std::mutex> hold(reg.lock);
    const std::uint64_t handle = reg.next++;
    reg.live.emplace(handle, std::move(s));
    return handle;
}

Result<std::shared_ptr<const LocalVolSurface>> local_vol_find(std::uint64_t handle) {
    Registry& reg = registry();
    const std::lock_guard<std::mutex> hold(reg.lock);
    const auto it = reg.live.find(handle);
    if (it == reg.live.end()) {
        return ModelError{"no live local volatility surface has handle " + std::to_string(handle)};
    }
    return it->second;
}

void local_vol_release(std::uint64_t handle) noexcept {
    Registry& reg = registry();
    const std::lock_guard<std::mutex> hold(reg.lock);
    reg.live.erase(handle);
}

}  // namespace quarnel
