#include "core/stream.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

#include "core/lanes.hpp"
#include "core/pool.hpp"
#include "core/tangent_flow.hpp"
#include "core/tangent_flow_parallel.hpp"

namespace quarnel {

Result<StreamOrder> stream_order_named(std::string_view name) {
    if (name == "first_order") return StreamOrder::first;
    if (name == "second_order") return StreamOrder::second;
    if (name == "second_order_vega") return StreamOrder::second_vega;
    return ModelError{"unknown order '" + std::string(name) +
                      "': expected 'first_order', 'second_order' or 'second_order_vega'"};
}

std::string detail::float_text(double x) {
    if (std::isnan(x)) return "nan";
    if (std::isinf(x)) return x > 0 ? "inf" : "-inf";
    char text[32];
    std::snprintf(text, sizeof text, "%.17g", x);
    return text;
}

namespace {

using Order = StreamOrder;

constexpr bool has_gamma(Order k) noexcept { return k != Order::first; }
constexpr bool has_vega(Order k) noexcept { return k == Order::second_vega; }

// The per-step constants of step j, formed as the batch kernels form them.
struct StepConst {
    double dt, inv_t, inv_n;
    double g_coef;  // (N - j) / N
    double d_coef;  // j / N
};

// The state runs and the step's arrays, as the update reads them.
struct Runs {
    double *y, *bel, *h, *acc, *accl, *k, *v, *dv;
};
struct Inputs {
    const std::byte* base[6];  // dw, sigma, d_mu_dx, d_sigma_dx, d2_mu_dx2, d2_sigma_dx2
    std::ptrdiff_t stride[6];
};

// T is double for one path or a vector of W lanes holding W adjacent paths.
template <class T>
struct Io;

template <>
struct Io<double> {
    static double in(const Inputs& x, int f, std::size_t p) noexcept {
        return load_f64(x.base[f] + static_cast<std::ptrdiff_t>(p) * x.stride[f]);
    }
    static double get(const double* run, std::size_t p) noexcept { return run[p]; }
    static void put(double* run, std::size_t p, double v) noexcept { run[p] = v; }
};

template <class V>
struct Io {
    static constexpr int W = sizeof(V) / sizeof(double);
    // One vector load where the paths are adjacent doubles, one broadcast load for a
    // zero stride (a value shared by every path), a gather otherwise.
    QUARNEL_LANES_INLINE static V in(const Inputs& x, int f, std::size_t p) noexcept {
        const std::ptrdiff_t stride = x.stride[f];
        const std::byte* at = x.base[f] + static_cast<std::ptrdiff_t>(p) * stride;
        V v;
        if (stride == static_cast<std::ptrdiff_t>(sizeof(double))) {
            std::memcpy(&v, at, sizeof v);
        } else if (stride == 0) {
            const double s = load_f64(at);
            for (int w = 0; w < W; ++w) v[w] = s;
        } else {
            for (int w = 0; w < W; ++w)
                v[w] = load_f64(at + static_cast<std::ptrdiff_t>(w) * stride);
        }
        return v;
    }
    QUARNEL_LANES_INLINE static V get(const double* run, std::size_t p) noexcept {
        V v;
        std::memcpy(&v, run + p, sizeof v);
        return v;
    }
    QUARNEL_LANES_INLINE static void put(double* run, std::size_t p, const V& v) noexcept {
        std::memcpy(run + p, &v, sizeof v);
    }
};

// One Euler step of the paths at p (one, or W adjacent). The association of every
// line is the batch kernels' (tangent_flow.hpp, second_order_tangent_flow.hpp), each
// product rounded on its own: do not rewrite, reorder or fuse any of it. The vega part
// is the parameter recurrence with the parallel bump's fields, d mu/de = 0, d sigma/de
// = sigma, d2 mu/dx de = 0, d2 sigma/dx de = sigma', the zeros multiplied as the batch
// multiplies its zero fields (0 * inf is NaN there too).
template <Order K, class T>
QUARNEL_LANES_INLINE void step_paths(const Runs& r, const Inputs& x, std::size_t p,
                                     const StepConst& c) noexcept {
    using IO = Io<T>;
    const T dw = IO::in(x, 0, p);
    const T s = IO::in(x, 1, p);
    const T mp = IO::in(x, 2, p);
    const T sp = IO::in(x, 3, p);
    const T y = IO::get(r.y, p);
    // The first-order weight takes Y from before this step's update.
    IO::put(r.bel, p, IO::get(r.bel, p) + ((y / s) * c.inv_t) * dw);
    if constexpr (!has_gamma(K)) {
        IO::put(r.y, p, y + ((mp * y) * c.dt + (sp * y) * dw));
    } else {
        const T mpp = IO::in(x, 4, p);
        const T spp = IO::in(x, 5, p);
        const T h = IO::get(r.h, p);
        const T pp = sp * y;
        const T yn = y + ((mp * y) * c.dt + pp * dw);
        const T u = (yn / s) * c.inv_n;
        const T tau = ((yn * dw) - pp * c.dt) / s;
        const T g = c.g_coef * y;
        const T spp_g = spp * g;
        const T la = ((mpp * g) * c.dt + spp_g * dw) - sp * u;
        const T hn = h + (((mp * h) * c.dt + (sp * h) * dw) + y * la);
        const T ltau =
            (((hn * dw) - yn * u) - (spp_g * y + sp * h) * c.dt) / s - ((tau * sp) * g) / s;
        IO::put(r.accl, p, IO::get(r.accl, p) + ltau * c.inv_t);
        IO::put(r.h, p, hn);
        if constexpr (has_vega(K)) {
            const T zero{};
            const T k = IO::get(r.k, p);
            const T v = IO::get(r.v, p);
            const T dv = IO::get(r.dv, p);
            const T d = c.d_coef * y;
            const T da = ((mpp * d) * c.dt + (spp * d) * dw) + sp * u;
            const T kn = k + (((mp * k) * c.dt + (sp * k) * dw) + y * da);
            const T vn = v + (((mp * v) * c.dt + (sp * v) * dw) + (zero * c.dt + s * dw));
            const T dvn = dv + (((mp * dv) * c.dt + (sp * dv) * dw) +
                                ((v * da + ((zero * d) * c.dt + (sp * d) * dw)) + s * u));
            IO::put(r.k, p, kn);
            IO::put(r.v, p, vn);
            IO::put(r.dv, p, dvn);
        }
        IO::put(r.acc, p, IO::get(r.acc, p) + tau * c.inv_t);
        IO::put(r.y, p, yn);
    }
}

// W adjacent paths at a time, the rest one by one (W = 1: all of them).
template <Order K, int W>
QUARNEL_LANES_INLINE void step_range(const Runs& r, const Inputs& x, std::size_t first,
                                     std::size_t count, const StepConst& c) noexcept {
    const std::size_t end = first + count;
    std::size_t p = first;
    if constexpr (W > 1) {
        using V = typename Lanes<W>::type;
        for (; p + W <= end; p += W) step_paths<K, V>(r, x, p, c);
    }
    for (; p < end; ++p) step_paths<K, double>(r, x, p, c);
}

using RangeFn = void (*)(Order, const Runs&, const Inputs&, std::size_t, std::size_t,
                         const StepConst&) noexcept;

template <int W>
QUARNEL_LANES_INLINE void step_range_of(Order k, const Runs& r, const Inputs& x, std::size_t first,
                                        std::size_t count, const StepConst& c) noexcept {
    switch (k) {
        case Order::first: return step_range<Order::first, W>(r, x, first, count, c);
        case Order::second: return step_range<Order::second, W>(r, x, first, count, c);
        case Order::second_vega: break;
    }
    step_range<Order::second_vega, W>(r, x, first, count, c);
}

void step_one_by_one(Order k, const Runs& r, const Inputs& x, std::size_t first, std::size_t count,
                     const StepConst& c) noexcept {
    step_range_of<1>(k, r, x, first, count, c);
}

void step_baseline(Order k, const Runs& r, const Inputs& x, std::size_t first, std::size_t count,
                   const StepConst& c) noexcept {
    step_range_of<2>(k, r, x, first, count, c);
}

#if QUARNEL_TANGENT_FLOW_AVX2
[[gnu::target("avx2")]] void step_avx2(Order k, const Runs& r, const Inputs& x, std::size_t first,
                                       std::size_t count, const StepConst& c) noexcept {
    step_range_of<4>(k, r, x, first, count, c);
}
#endif

RangeFn select_fastest() noexcept {
#if QUARNEL_TANGENT_FLOW_AVX2
    if (detail::cpu_has_avx2()) return step_avx2;
#endif
    return step_baseline;
}

// Below this many paths a step is a few microseconds: releasing the interpreter lock
// and waking the pool would cost as much as they save.
constexpr std::size_t kReleaseFrom = 4096;

}  // namespace

TangentFlowStream::TangentFlowStream(std::size_t n_paths, std::size_t n_steps, double horizon,
                                     StreamOrder order, StreamLanes lanes)
    : n_paths_(n_paths),
      n_steps_(n_steps),
      horizon_(horizon),
      inv_t_(1.0 / horizon),
      dt_(horizon / static_cast<double>(n_steps)),
      inv_n_(1.0 / static_cast<double>(n_steps)),
      order_(order),
      lanes_(lanes) {
    y_ = Buffer::allocate(n_paths);
    bel_ = Buffer::allocate(n_paths);
    if (has_gamma(order)) {
        h_ = Buffer::allocate(n_paths);
        acc_ = Buffer::allocate(n_paths);
        accl_ = Buffer::allocate(n_paths);
    }
    if (has_vega(order)) {
        k_ = Buffer::allocate(n_paths);
        v_ = Buffer::allocate(n_paths);
        dv_ = Buffer::allocate(n_paths);
    }
    reset();
}

Result<std::unique_ptr<TangentFlowStream>> TangentFlowStream::create(std::size_t n_paths,
                                                                     std::size_t n_steps,
                                                                     double horizon,
                                                                     StreamOrder order,
                                                                     StreamLanes lanes) {
    if (n_steps == 0) return ModelError{"n_steps must be at least 1"};
    if (!(horizon > 0.0 && std::isfinite(horizon))) {
        return ModelError{"horizon must be positive and finite, got " +
                          detail::float_text(horizon)};
    }
    return std::unique_ptr<TangentFlowStream>(
        new TangentFlowStream(n_paths, n_steps, horizon, order, lanes));
}

void TangentFlowStream::reset() noexcept {
    taken_ = 0;
    // The batch kernels start every path at Y = 0 + 1 and every sum at +0.
    std::fill_n(y_.data(), n_paths_, 0.0 + 1.0);
    for (Buffer* b : {&bel_, &h_, &acc_, &accl_, &k_, &v_, &dv_}) {
        if (b->data() != nullptr) std::fill_n(b->data(), n_paths_, 0.0);
    }
}

void TangentFlowStream::update(const StreamStep& in, std::size_t first,
                               std::size_t count) noexcept {
    static const RangeFn fastest = select_fastest();
    const RangeFn impl = lanes_ == StreamLanes::fastest ? fastest
                         : lanes_ == StreamLanes::pairs ? step_baseline
                                                        : step_one_by_one;
    const std::size_t j = taken_;
    const StepConst c{dt_, inv_t_, inv_n_, static_cast<double>(n_steps_ - j) * inv_n_,
                      static_cast<double>(j) * inv_n_};
    const Runs r{y_.data(),    bel_.data(), h_.data(), acc_.data(),
                 accl_.data(), k_.data(),   v_.data(), dv_.data()};
    const View1D* views[6] = {&in.dw,         &in.sigma,     &in.d_mu_dx,
                              &in.d_sigma_dx, &in.d2_mu_dx2, &in.d2_sigma_dx2};
    Inputs x{};
    for (int f = 0; f < 6; ++f) {
        x.base[f] = views[f]->data;
        x.stride[f] = views[f]->stride;
    }
    impl(order_, r, x, first, count, c);
}

std::optional<ModelError> TangentFlowStream::step(const StreamStep& in, const WorkScope& scope) {
    const std::size_t j = taken_;
    const std::string at = "step " + std::to_string(j) + ": ";
    if (j == n_steps_) {
        return ModelError{at + "the accumulator has taken all its " + std::to_string(n_steps_) +
                          " steps (reset() starts again)"};
    }
    const std::pair<const char*, const View1D*> arrays[6] = {{"dw", &in.dw},
                                                             {"sigma", &in.sigma},
                                                             {"d_mu_dx", &in.d_mu_dx},
                                                             {"d_sigma_dx", &in.d_sigma_dx},
                                                             {"d2_mu_dx2", &in.d2_mu_dx2},
                                                             {"d2_sigma_dx2", &in.d2_sigma_dx2}};
    if (has_gamma(order_) && !in.second) {
        return ModelError{at + "a second-order accumulator needs d2_mu_dx2 and d2_sigma_dx2"};
    }
    const int read = has_gamma(order_) ? 6 : 4;
    for (int f = 0; f < read; ++f) {
        const View1D& v = *arrays[f].second;
        if (v.length != n_paths_) {
            return ModelError{at + arrays[f].first + " has " + std::to_string(v.length) +
                              " values, expected n_paths = " + std::to_string(n_paths_)};
        }
    }
    for (std::size_t k = 0; k < n_paths_; ++k) {
        if (in.sigma[k] == 0.0) {
            return ModelError{at + "sigma[" + std::to_string(k) +
                              "] = 0 produces division by zero"};
        }
    }
    if (n_paths_ < kReleaseFrom) {
        update(in, 0, n_paths_);
    } else {
        auto work = [&] {
            WorkerPool& pool = WorkerPool::global();
            const std::size_t chunk = chunk_size(n_paths_, pool.threads());
            const std::size_t items = (n_paths_ + chunk - 1) / chunk;
            // A path-step here touches about as many doubles as four of the first-order
            // batch kernel's, the measure behind the pool's threshold.
            const std::size_t touched = has_vega(order_) ? 22 : has_gamma(order_) ? 16 : 8;
            pool.run(
                items,
                [&](std::size_t i) noexcept {
                    const std::size_t first = i * chunk;
                    update(in, first, std::min(chunk, n_paths_ - first));
                },
                n_paths_ * touched / 4);
        };
        scope(work);
    }
    taken_ = j + 1;
    return std::nullopt;
}

std::optional<ModelError> TangentFlowStream::check_complete() const {
    if (taken_ != n_steps_) {
        return ModelError{"the accumulator has taken " + std::to_string(taken_) + " of its " +
                          std::to_string(n_steps_) + " steps: results need all of them"};
    }
    return std::nullopt;
}

Result<Buffer> TangentFlowStream::bel_weights() const {
    if (auto err = check_complete()) return *std::move(err);
    Buffer out = Buffer::allocate(n_paths_);
    std::copy_n(bel_.data(), n_paths_, out.data());
    return out;
}

Result<Matrix> TangentFlowStream::greek_weights() const {
    if (!has_gamma(order_)) {
        return ModelError{"greek_weights needs a second-order accumulator (second_order=True)"};
    }
    if (auto err = check_complete()) return *std::move(err);
    Buffer out = Buffer::allocate_rows(n_paths_, 4);
    const double *acc = acc_.data(), *accl = accl_.data(), *y = y_.data(), *h = h_.data();
    for (std::size_t k = 0; k * 4 < out.size(); ++k) {
        double* row = out.data() + k * 4;
        // The batch kernel's row, formed as it forms it.
        row[0] = acc[k];
        row[1] = acc[k] * acc[k] + accl[k];
        row[2] = y[k];
        row[3] = h[k];
    }
    return Matrix{std::move(out), n_paths_, 4};
}

Result<Buffer> TangentFlowStream::vega_weights() const {
    if (!has_vega(order_)) return ModelError{"vega_weights needs an accumulator with vega=True"};
    if (auto err = check_complete()) return *std::move(err);
    Buffer out = Buffer::allocate(n_paths_);
    for (std::size_t k = 0; k < n_paths_; ++k) out[k] = vega_weight(k);
    return out;
}

double TangentFlowStream::vega_weight(std::size_t k) const noexcept {
    const double y = y_.data()[k], acc = acc_.data()[k];
    const double beta = v_.data()[k] / y;
    return beta * acc - (dv_.data()[k] - beta * k_.data()[k]) / y;
}

}  // namespace quarnel
