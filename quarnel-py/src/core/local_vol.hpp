// A local volatility surface sigma(t, x) on a (time, state) grid for the fused model
// dX = mu X dt + sigma(t, X) X dW, with the interpolation the tangent flow needs: the
// weights use sigma's first and second x derivatives, so in x a natural cubic spline
// through each time's nodes (C2; beyond the end nodes its own linear continuation,
// which keeps it C2), in t linear between the time nodes and flat outside them.
//
// Surfaces live in a registry under integer handles that are never reused, so a model
// that names a freed surface gets an error instead of a dangling read, and a call holds
// its surface (shared ownership) until it returns whatever Python does meanwhile.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "core/result.hpp"
#include "core/view.hpp"

namespace quarnel {

struct LocalVolSurface {
    std::vector<double> times;      // strictly increasing, at least one
    std::vector<double> states;     // strictly increasing, at least two
    std::vector<double> values;     // sigma at (times[i], states[k]): i * n_states + k
    std::vector<double> curv;       // the spline's second derivatives, the same layout
    std::vector<double> inv_h;      // 1 / (states[k + 1] - states[k])
    std::vector<double> h2_6, h_6;  // with h that difference, (h * h) / 6 and h / 6

    // sigma, d sigma/dx and d2 sigma/dx2 at (t, x), in a fixed order of operations.
    struct Value {
        double s, ds, dds;
    };
    Value at(double t, double x) const noexcept { return at(bracket(t), x); }

    // The same in two parts, for many states at one time (the lanes of a fused step):
    // the time nodes around t, found once, then the value at x.
    struct Bracket {
        std::size_t lo, hi;  // hi == lo: t at or beyond an end node, no interpolation
        double w;            // the weight of hi
    };
    Bracket bracket(double t) const noexcept;
    Value at(const Bracket& b, double x) const noexcept;

    // Where x falls on the state grid: clamped to the end nodes (continued linearly
    // beyond them), its interval k; the same for every time node. The fused lanes find
    // it lane by lane and run the spline's arithmetic (in_time) across the lanes.
    struct Spot {
        bool below, above;
        double at;
        std::size_t k;
    };
    Spot spot(double x) const noexcept;

private:
    Value in_time(std::size_t i, const Spot& p, double x) const noexcept;
};

// A checked surface: times (m,), states (n,), vols (m, n), every value finite, the grids
// strictly increasing, every vol positive. Its handle, a whole number from 1 on.
Result<std::uint64_t> local_vol_register(const View1D& times, const View1D& states,
                                         const View2D& vols);
// The surface of a live handle, or an error naming the handle.
Result<std::shared_ptr<const LocalVolSurface>> local_vol_find(std::uint64_t handle);
void local_vol_release(std::uint64_t handle) noexcept;

}  // namespace quarnel
