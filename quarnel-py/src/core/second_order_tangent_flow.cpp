#include "core/second_order_tangent_flow.hpp"

#include <algorithm>
#include <initializer_list>
#include <limits>
#include <utility>

#include "core/lanes.hpp"

namespace quarnel {
namespace {

using Kind = SecondOrderKind;

constexpr bool has_gamma(Kind k) noexcept { return k != Kind::parameter; }
constexpr bool has_parameter(Kind k) noexcept { return k != Kind::greeks; }
// Matrices read, in load order: sigma first (it is checked for zero before the rest).
constexpr int fields(Kind k) noexcept { return has_parameter(k) ? 10 : 6; }

const View2D* field_views(const SecondOrderBatch& b, int f) noexcept {
    const View2D* views[10] = {&b.sigma,       &b.dws,           &b.d_mu_dx, &b.d_sigma_dx,
                               &b.d2_mu_dx2,   &b.d2_sigma_dx2,  &b.d_mu_dp, &b.d_sigma_dp,
                               &b.d2_mu_dx_dp, &b.d2_sigma_dx_dp};
    return views[f];
}

// T is double for one path, or a vector of lanes holding one path each: every lane
// performs exactly the scalar operations, so both give the same bits.
template <class T>
struct PathState {
    T y, h, acc, accl, k, v, dv;
};

template <class T>
struct StepIn {
    T s, dw, mp, sp, mpp, spp, mth, sth, mxth, sxth;
};

struct StepConst {
    double dt, inv_t, inv_n;
    double g_coef;  // (N - j) / N
    double d_coef;  // j / N
};

StepConst step_const(const SecondOrderBatch& b, std::size_t j) noexcept {
    return {b.dt, b.inv_t, b.inv_n, static_cast<double>(b.n_steps - j) * b.inv_n,
            static_cast<double>(j) * b.inv_n};
}

template <class T>
QUARNEL_LANES_INLINE PathState<T> initial_state(T zeros) noexcept {
    return {zeros + 1.0, zeros, zeros, zeros, zeros, zeros, zeros};
}

// One Euler step; the association is the one documented in second_order_tangent_flow.hpp.
template <Kind K, class T>
QUARNEL_LANES_INLINE void step(PathState<T>& st, const StepIn<T>& in, const StepConst& c) noexcept {
    const T p = in.sp * st.y;
    const T yn = st.y + ((in.mp * st.y) * c.dt + p * in.dw);
    const T u = (yn / in.s) * c.inv_n;
    const T tau = ((yn * in.dw) - p * c.dt) / in.s;
    if constexpr (has_gamma(K)) {
        const T g = c.g_coef * st.y;
        const T spp_g = in.spp * g;
        const T la = ((in.mpp * g) * c.dt + spp_g * in.dw) - in.sp * u;
        const T hn = st.h + (((in.mp * st.h) * c.dt + (in.sp * st.h) * in.dw) + st.y * la);
        const T ltau = (((hn * in.dw) - yn * u) - (spp_g * st.y + in.sp * st.h) * c.dt) / in.s -
                       ((tau * in.sp) * g) / in.s;
        st.accl = st.accl + ltau * c.inv_t;
        st.h = hn;
    }
    if constexpr (has_parameter(K)) {
        const T d = c.d_coef * st.y;
        const T da = ((in.mpp * d) * c.dt + (in.spp * d) * in.dw) + in.sp * u;
        const T kn = st.k + (((in.mp * st.k) * c.dt + (in.sp * st.k) * in.dw) + st.y * da);
        const T vn = st.v + (((in.mp * st.v) * c.dt + (in.sp * st.v) * in.dw) +
                             (in.mth * c.dt + in.sth * in.dw));
        const T dvn =
            st.dv + (((in.mp * st.dv) * c.dt + (in.sp * st.dv) * in.dw) +
                     ((st.v * da + ((in.mxth * d) * c.dt + (in.sxth * d) * in.dw)) + in.sth * u));
        st.k = kn;
        st.v = vn;
        st.dv = dvn;
    }
    st.acc = st.acc + tau * c.inv_t;
    st.y = yn;
}

template <Kind K, class T>
QUARNEL_LANES_INLINE void finish(const PathState<T>& st, T* row) noexcept {
    if constexpr (has_gamma(K)) {
        row[0] = st.acc;
        row[1] = st.acc * st.acc + st.accl;
        row[2] = st.y;
        row[3] = st.h;
    }
    if constexpr (has_parameter(K)) {
        const T beta = st.v / st.y;
        const T weight = beta * st.acc - (st.dv - beta * st.k) / st.y;
        if constexpr (K == Kind::all) {
            row[4] = st.v;
            row[5] = weight;
        } else {
            row[0] = weight;
        }
    }
}

// Everything but sigma, read through load(f) for field f.
template <Kind K, class T, class Load>
QUARNEL_LANES_INLINE StepIn<T> load_step(T s, Load&& load) noexcept {
    StepIn<T> in{s, load(1), load(2), load(3), load(4), load(5), {}, {}, {}, {}};
    if constexpr (has_parameter(K)) {
        in.mth = load(6);
        in.sth = load(7);
        in.mxth = load(8);
        in.sxth = load(9);
    }
    return in;
}

template <Kind K>
std::optional<ZeroSigma> one_by_one(const SecondOrderBatch& b, std::size_t first, std::size_t count,
                                    double* out) noexcept {
    constexpr int F = fields(K);
    constexpr std::size_t C = columns(K);
    for (std::size_t p = 0; p < count; ++p) {
        const std::size_t k = first + p;
        const std::byte* rows[F];
        std::ptrdiff_t cols[F];
        for (int f = 0; f < F; ++f) {
            rows[f] = field_views(b, f)->row_ptr(k);
            cols[f] = field_views(b, f)->col_stride;
        }
        PathState<double> st = initial_state(0.0);
        for (std::size_t j = 0; j < b.n_steps; ++j) {
            const auto jj = static_cast<std::ptrdiff_t>(j);
            const double s = load_f64(rows[0] + jj * cols[0]);
            if (s == 0.0) return ZeroSigma{k, j};
            const auto load = [&](int f) { return load_f64(rows[f] + jj * cols[f]); };
            step<K>(st, load_step<K, double>(s, load), step_const(b, j));
        }
        finish<K>(st, out + p * C);
    }
    return std::nullopt;
}

// Loads matrix f at step j for lane group g: gathered lanes (runs of rows), or lanes
// read as adjacent doubles where they are (across paths). A function object, not a
// lambda, so that it can be forced inline: called out of line from the AVX2 clone, it
// would pass its 32-byte vectors under the baseline ABI.
template <int W, bool kAcross>
struct StepLoader {
    const LaneField* fs;
    std::size_t j;
    int g;
    QUARNEL_LANES_INLINE typename Lanes<W>::type operator()(int f) const noexcept {
        if constexpr (kAcross) {
            return load_lanes<W>(fs[f], j, g);
        } else {
            return gather<W>(fs[f], j, g);
        }
    }
};

// Prefetch cadence of a runs-of-rows block: once per 64-byte line of the widest column
// stride among the matrices read (every step when a step is a line or more apart).
template <Kind K>
std::size_t prefetch_mask(const SecondOrderBatch& b) noexcept {
    std::ptrdiff_t widest = 0;
    for (int f = 0; f < fields(K); ++f) {
        const std::ptrdiff_t c = field_views(b, f)->col_stride;
        widest = std::max(widest, c < 0 ? -c : c);
    }
    return widest <= 8 ? 7 : widest <= 16 ? 3 : widest <= 32 ? 1 : 0;
}

template <Kind K>
bool batch_paths_adjacent(const SecondOrderBatch& b) noexcept {
    if constexpr (has_parameter(K)) {
        return paths_adjacent({&b.sigma, &b.dws, &b.d_mu_dx, &b.d_sigma_dx, &b.d2_mu_dx2,
                               &b.d2_sigma_dx2, &b.d_mu_dp, &b.d_sigma_dp, &b.d2_mu_dx_dp,
                               &b.d2_sigma_dx_dp});
    } else {
        return paths_adjacent(
            {&b.sigma, &b.dws, &b.d_mu_dx, &b.d_sigma_dx, &b.d2_mu_dx2, &b.d2_sigma_dx2});
    }
}

// G vectors of W lanes; lane i takes path k + i * spacing, so that each lane walks a run
// of rows and every stream is sequential in a C-ordered batch; each stream is prefetched
// kPrefetchSteps ahead (see tangent_flow.cpp). False on a zero sigma anywhere in the
// block.
template <Kind K, int W, int G, bool P>
QUARNEL_LANES_INLINE bool interleaved_block(const SecondOrderBatch& b, std::size_t k,
                                            std::size_t spacing, std::size_t mask,
                                            double* out) noexcept {
    using V = typename Lanes<W>::type;
    constexpr int F = fields(K);
    constexpr std::size_t C = columns(K);
    const auto lane = static_cast<std::ptrdiff_t>(spacing);
    LaneField fs[F];
    for (int f = 0; f < F; ++f) {
        const View2D* v = field_views(b, f);
        fs[f] = LaneField{v->row_ptr(k), v->row_stride * lane, v->col_stride};
    }
    const V zeros = {};
    PathState<V> st[G];
    for (int g = 0; g < G; ++g) st[g] = initial_state(zeros);
    for (std::size_t j = 0; j < b.n_steps; ++j) {
        if (P && (j & mask) == 0) {
            const auto ahead = static_cast<std::ptrdiff_t>(j) + kPrefetchSteps;
            for (const LaneField& f : fs) {
                for (std::ptrdiff_t l = 0; l < std::ptrdiff_t{W} * G; ++l)
                    prefetch(f.base, ahead * f.col + l * f.row);
            }
        }
        V s[G];
        bool zero = false;
        for (int g = 0; g < G; ++g) {
            s[g] = gather<W>(fs[0], j, g);
            const auto is_zero = s[g] == 0.0;
            for (int w = 0; w < W; ++w) zero |= is_zero[w] != 0;
        }
        if (zero) return false;
        const StepConst c = step_const(b, j);
        for (int g = 0; g < G; ++g) {
            step<K>(st[g], load_step<K, V>(s[g], StepLoader<W, false>{fs, j, g}), c);
        }
    }
    for (int g = 0; g < G; ++g) {
        V row[C];
        finish<K>(st[g], row);
        for (int w = 0; w < W; ++w) {
            double* dst = out + static_cast<std::size_t>(g * W + w) * spacing * C;
            for (const V& column : row) *dst++ = column[w];
        }
    }
    return true;
}

// Paths [k, k + n) with adjacent paths in the lanes, a step of the whole tile at a time
// (n a multiple of W, at most kTile): the matrices are read along their contiguous path
// axis and the rows ahead prefetched, the path states kept in an array (see
// tangent_flow.cpp). Half the first-order tile: a state here is seven doubles a path and
// up to ten rows stream at once. False on a zero sigma.
constexpr std::size_t kTile = kTilePaths / 2;

template <Kind K, int W, bool P>
QUARNEL_LANES_INLINE bool across_tile(const SecondOrderBatch& b, std::size_t k, std::size_t n,
                                      PathState<typename Lanes<W>::type>* st,
                                      double* out) noexcept {
    using V = typename Lanes<W>::type;
    constexpr int F = fields(K);
    constexpr std::size_t C = columns(K);
    const int groups = static_cast<int>(n) / W;
    LaneField fs[F];
    for (int f = 0; f < F; ++f) {
        const View2D* v = field_views(b, f);
        fs[f] = LaneField{v->row_ptr(k), v->row_stride, v->col_stride};
    }
    const auto rows_ahead = static_cast<std::ptrdiff_t>((kPrefetchElements + n - 1) / n);
    const V zeros = {};
    for (int g = 0; g < groups; ++g) st[g] = initial_state(zeros);
    for (std::size_t j = 0; j < b.n_steps; ++j) {
        const auto ahead = static_cast<std::ptrdiff_t>(j) + rows_ahead;
        const StepConst c = step_const(b, j);
        bool zero = false;
        for (int g = 0; g < groups; ++g) {
            if constexpr (P) {
                for (const LaneField& f : fs) {
                    prefetch(f.base, ahead * f.col + static_cast<std::ptrdiff_t>(g * W) * f.row);
                }
            }
            const V s = load_lanes<W>(fs[0], j, g);
            const auto is_zero = s == 0.0;
            for (int w = 0; w < W; ++w) zero |= is_zero[w] != 0;
            step<K>(st[g], load_step<K, V>(s, StepLoader<W, true>{fs, j, g}), c);
        }
        if (zero) return false;
    }
    for (int g = 0; g < groups; ++g) {
        V row[C];
        finish<K>(st[g], row);
        for (int w = 0; w < W; ++w) {
            double* dst = out + static_cast<std::size_t>(g * W + w) * C;
            for (const V& column : row) *dst++ = column[w];
        }
    }
    return true;
}

// P: prefetch, for ranges too big to stay in cache (see kPrefetchFromBytes).
template <Kind K, int W, int G, bool P>
QUARNEL_LANES_INLINE std::optional<ZeroSigma> interleaved_with(const SecondOrderBatch& b,
                                                               std::size_t first, std::size_t count,
                                                               double* out) noexcept {
    constexpr std::size_t L = static_cast<std::size_t>(W * G);
    constexpr std::size_t C = columns(K);
    // A zero sigma sends the whole range to the one-by-one loop, which finds the first in
    // path-then-step order.
    const std::size_t mask = prefetch_mask<K>(b);
    std::size_t spacing = 0;
    if (batch_paths_adjacent<K>(b)) {
        // Tiles of two vectors or more (with one, the state's round trip through memory
        // would lengthen its chains); the rest goes to the register blocks below, and all
        // of it if the state cannot be allocated.
        const LaneScratch<PathState<typename Lanes<W>::type>> state(std::min(kTile, count) / W);
        std::size_t p = 0;
        while (state.data() != nullptr && count - p >= 2 * static_cast<std::size_t>(W)) {
            const std::size_t n = std::min(kTile, (count - p) / W * W);
            if (!across_tile<K, W, P>(b, first + p, n, state.data(), out + p * C)) {
                return one_by_one<K>(b, first, count, out);
            }
            p += n;
        }
        first += p;
        count -= p;
        out += p * C;
    } else {
        // Lanes over runs of rows first, then over adjacent rows.
        spacing = lane_spacing(b.sigma.row_stride, count, L);
    }
    for (std::size_t p = 0; p < spacing; ++p) {
        if (!interleaved_block<K, W, G, P>(b, first + p, spacing, mask, out + p * C)) {
            return one_by_one<K>(b, first, count, out);
        }
    }
    std::size_t p = spacing * L;
    for (; p + L <= count; p += L) {
        if (!interleaved_block<K, W, G, P>(b, first + p, 1, mask, out + p * C)) {
            return one_by_one<K>(b, first, count, out);
        }
    }
    return one_by_one<K>(b, first + p, count - p, out + p * C);
}

template <Kind K, int W, int G>
QUARNEL_LANES_INLINE std::optional<ZeroSigma> interleaved(const SecondOrderBatch& b,
                                                          std::size_t first, std::size_t count,
                                                          double* out) noexcept {
    const std::size_t bytes_per_path_step = static_cast<std::size_t>(fields(K)) * sizeof(double);
    if (b.n_paths * b.n_steps >= kPrefetchFromBytes / bytes_per_path_step) {
        return interleaved_with<K, W, G, true>(b, first, count, out);
    }
    return interleaved_with<K, W, G, false>(b, first, count, out);
}

}  // namespace

namespace detail {

std::optional<ZeroSigma> second_order_one_by_one(Kind kind, const SecondOrderBatch& b,
                                                 std::size_t first, std::size_t count,
                                                 double* out) noexcept {
    switch (kind) {
        case Kind::greeks: return one_by_one<Kind::greeks>(b, first, count, out);
        case Kind::parameter: return one_by_one<Kind::parameter>(b, first, count, out);
        case Kind::all: break;
    }
    return one_by_one<Kind::all>(b, first, count, out);
}

std::optional<ZeroSigma> second_order_baseline(Kind kind, const SecondOrderBatch& b,
                                               std::size_t first, std::size_t count,
                                               double* out) noexcept {
    switch (kind) {
        case Kind::greeks: return interleaved<Kind::greeks, 2, 2>(b, first, count, out);
        case Kind::parameter: return interleaved<Kind::parameter, 2, 2>(b, first, count, out);
        case Kind::all: break;
    }
    return interleaved<Kind::all, 2, 2>(b, first, count, out);
}

#if QUARNEL_TANGENT_FLOW_AVX2
[[gnu::target("avx2")]] std::optional<ZeroSigma> second_order_avx2(Kind kind,
                                                                   const SecondOrderBatch& b,
                                                                   std::size_t first,
                                                                   std::size_t count,
                                                                   double* out) noexcept {
    switch (kind) {
        case Kind::greeks: return interleaved<Kind::greeks, 4, 1>(b, first, count, out);
        case Kind::parameter: return interleaved<Kind::parameter, 4, 1>(b, first, count, out);
        case Kind::all: break;
    }
    return interleaved<Kind::all, 4, 1>(b, first, count, out);
}
#endif

}  // namespace detail

namespace {

using RowsFn = std::optional<ZeroSigma> (*)(Kind, const SecondOrderBatch&, std::size_t, std::size_t,
                                            double*) noexcept;

RowsFn select_rows() noexcept {
#if QUARNEL_TANGENT_FLOW_AVX2
    if (detail::cpu_has_avx2()) return detail::second_order_avx2;
#endif
    return detail::second_order_baseline;
}

}  // namespace

std::optional<ZeroSigma> second_order_rows(Kind kind, const SecondOrderBatch& batch,
                                           std::size_t first, std::size_t count,
                                           double* out) noexcept {
    static const RowsFn impl = select_rows();
    return impl(kind, batch, first, count, out);
}

SecondOrderBatch make_second_order_batch(const View2D& dws, const View2D& sigma,
                                         const View2D& d_mu_dx, const View2D& d_sigma_dx,
                                         const View2D& d2_mu_dx2, const View2D& d2_sigma_dx2,
                                         BatchShape shape, double horizon) noexcept {
    SecondOrderBatch b;
    b.dws = dws;
    b.sigma = sigma;
    b.d_mu_dx = d_mu_dx;
    b.d_sigma_dx = d_sigma_dx;
    b.d2_mu_dx2 = d2_mu_dx2;
    b.d2_sigma_dx2 = d2_sigma_dx2;
    b.n_paths = shape.n_paths;
    b.n_steps = shape.n_steps;
    b.inv_t = 1.0 / horizon;
    b.dt = horizon / static_cast<double>(shape.n_steps);
    b.inv_n = 1.0 / static_cast<double>(shape.n_steps);
    return b;
}

namespace {

std::optional<ModelError> check_result_size(std::size_t rows, std::size_t cols) {
    if (rows > std::numeric_limits<std::size_t>::max() / (cols * sizeof(double))) {
        return ModelError{"states has too many rows: the result would not fit in memory"};
    }
    return std::nullopt;
}

// horizon > 0, the states columns, the shapes of the six matrices every kernel reads,
// then those of `parameters`, and a result of `cols` doubles a path that fits.
Result<BatchShape> check_second_order(double horizon, const View2D& states, const View2D& dws,
                                      const View2D& sigma, const View2D& d_mu_dx,
                                      const View2D& d_sigma_dx, const View2D& d2_mu_dx2,
                                      const View2D& d2_sigma_dx2,
                                      std::initializer_list<NamedView> parameters,
                                      std::size_t cols) {
    if (!(horizon > 0.0)) return ModelError{"horizon must be positive"};
    Result<BatchShape> shape = check_batch_shapes(states, {{"dws", &dws},
                                                           {"sigma", &sigma},
                                                           {"d_mu_dx", &d_mu_dx},
                                                           {"d_sigma_dx", &d_sigma_dx},
                                                           {"d2_mu_dx2", &d2_mu_dx2},
                                                           {"d2_sigma_dx2", &d2_sigma_dx2}});
    if (shape.ok()) shape = check_batch_shapes(states, parameters);
    if (!shape.ok()) return shape.error();
    if (auto err = check_result_size(shape.value().n_paths, cols)) return *err;
    return shape;
}

}  // namespace

Result<SecondOrderBatch> validate_greek_batch(const View2D& states, const View2D& dws,
                                              const View2D& sigma, const View2D& d_mu_dx,
                                              const View2D& d_sigma_dx, const View2D& d2_mu_dx2,
                                              const View2D& d2_sigma_dx2, double horizon) {
    Result<BatchShape> shape =
        check_second_order(horizon, states, dws, sigma, d_mu_dx, d_sigma_dx, d2_mu_dx2,
                           d2_sigma_dx2, {}, columns(Kind::greeks));
    if (!shape.ok()) return shape.error();
    return make_second_order_batch(dws, sigma, d_mu_dx, d_sigma_dx, d2_mu_dx2, d2_sigma_dx2,
                                   shape.value(), horizon);
}

Result<Matrix> greek_weights_of(const SecondOrderBatch& batch, std::size_t first_path) {
    constexpr std::size_t C = columns(Kind::greeks);
    Buffer out = Buffer::allocate(batch.n_paths * C);
    if (auto z = second_order_rows(Kind::greeks, batch, 0, batch.n_paths, out.data())) {
        return zero_sigma_error({first_path + z->path, z->step});
    }
    return Matrix{std::move(out), batch.n_paths, C};
}

Result<Buffer> parameter_weights_of(const SecondOrderBatch& batch, std::size_t first_path) {
    Buffer out = Buffer::allocate(batch.n_paths);
    if (auto z = second_order_rows(Kind::parameter, batch, 0, batch.n_paths, out.data())) {
        return zero_sigma_error({first_path + z->path, z->step});
    }
    return out;
}

Result<Matrix> greek_weights_tangent_flow(const View2D& states, const View2D& dws,
                                          const View2D& sigma, const View2D& d_mu_dx,
                                          const View2D& d_sigma_dx, const View2D& d2_mu_dx2,
                                          const View2D& d2_sigma_dx2, double horizon) {
    Result<SecondOrderBatch> batch = validate_greek_batch(states, dws, sigma, d_mu_dx, d_sigma_dx,
                                                          d2_mu_dx2, d2_sigma_dx2, horizon);
    if (!batch.ok()) return batch.error();
    return greek_weights_of(batch.value(), 0);
}

Result<SecondOrderBatch> validate_parameter_batch(const View2D& states, const View2D& dws,
                                                  const View2D& sigma, const View2D& d_mu_dx,
                                                  const View2D& d_sigma_dx, const View2D& d2_mu_dx2,
                                                  const View2D& d2_sigma_dx2, const View2D& d_mu_dp,
                                                  const View2D& d_sigma_dp,
                                                  const View2D& d2_mu_dx_dp,
                                                  const View2D& d2_sigma_dx_dp, double horizon) {
    Result<BatchShape> shape = check_second_order(horizon, states, dws, sigma, d_mu_dx, d_sigma_dx,
                                                  d2_mu_dx2, d2_sigma_dx2,
                                                  {{"d_mu_dp", &d_mu_dp},
                                                   {"d_sigma_dp", &d_sigma_dp},
                                                   {"d2_mu_dx_dp", &d2_mu_dx_dp},
                                                   {"d2_sigma_dx_dp", &d2_sigma_dx_dp}},
                                                  columns(Kind::parameter));
    if (!shape.ok()) return shape.error();
    SecondOrderBatch b = make_second_order_batch(dws, sigma, d_mu_dx, d_sigma_dx, d2_mu_dx2,
                                                 d2_sigma_dx2, shape.value(), horizon);
    b.d_mu_dp = d_mu_dp;
    b.d_sigma_dp = d_sigma_dp;
    b.d2_mu_dx_dp = d2_mu_dx_dp;
    b.d2_sigma_dx_dp = d2_sigma_dx_dp;
    return b;
}

Result<Buffer> parameter_weights_tangent_flow(const View2D& states, const View2D& dws,
                                              const View2D& sigma, const View2D& d_mu_dx,
                                              const View2D& d_sigma_dx, const View2D& d2_mu_dx2,
                                              const View2D& d2_sigma_dx2, const View2D& d_mu_dp,
                                              const View2D& d_sigma_dp, const View2D& d2_mu_dx_dp,
                                              const View2D& d2_sigma_dx_dp, double horizon) {
    Result<SecondOrderBatch> batch =
        validate_parameter_batch(states, dws, sigma, d_mu_dx, d_sigma_dx, d2_mu_dx2, d2_sigma_dx2,
                                 d_mu_dp, d_sigma_dp, d2_mu_dx_dp, d2_sigma_dx_dp, horizon);
    if (!batch.ok()) return batch.error();
    return parameter_weights_of(batch.value(), 0);
}

}  // namespace quarnel
