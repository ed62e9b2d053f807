#include "core/second_order_tangent_flow.hpp"

#include <algorithm>
#include <utility>
#include <vector>

#include "core/lane_driver.hpp"
#include "core/lanes.hpp"

namespace quarnel {
namespace {

using Kind = SecondOrderKind;

constexpr bool has_gamma(Kind k) noexcept { return k != Kind::parameter; }
constexpr bool has_parameter(Kind k) noexcept { return k != Kind::greeks; }
constexpr bool has_mixed(Kind k) noexcept { return k == Kind::mixed; }
// Matrices read, in load order: sigma first (it is checked for zero before the rest).
constexpr int fields(Kind k) noexcept { return has_parameter(k) ? 10 : 6; }

// T is double for one path, or a vector of lanes holding one path each: every lane
// performs exactly the scalar operations, so both give the same bits.
template <class T>
struct PathState {
    T y, h, acc, accl, k, v, dv;
    T z, acct, accu;  // mixed: dY/dtheta and the sums of dtau/dtheta and D_u tau
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
    return {zeros + 1.0, zeros, zeros, zeros, zeros, zeros, zeros, zeros, zeros, zeros};
}

// One Euler step; the association is the one documented in second_order_tangent_flow.hpp.
template <Kind K, class T>
QUARNEL_LANES_INLINE void euler_step(PathState<T>& st, const StepIn<T>& in,
                                     const StepConst& c) noexcept {
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
        if constexpr (has_mixed(K)) {
            const T dmp = in.mpp * st.v + in.mxth;
            const T dsp = in.spp * st.v + in.sxth;
            const T ds = in.sp * st.v + in.sth;
            const T zn = st.z + (((in.mp * st.z) * c.dt + (in.sp * st.z) * in.dw) +
                                 st.y * (dmp * c.dt + dsp * in.dw));
            const T dtau =
                ((zn * in.dw) - (dsp * st.y + in.sp * st.z) * c.dt) / in.s - (tau * ds) / in.s;
            const T dutau =
                (((kn * in.dw) + yn * u) - ((in.spp * d) * st.y + in.sp * st.k) * c.dt) / in.s -
                ((tau * in.sp) * d) / in.s;
            st.acct = st.acct + dtau * c.inv_t;
            st.accu = st.accu + dutau * c.inv_t;
            st.z = zn;
        }
        st.k = kn;
        st.v = vn;
        st.dv = dvn;
    }
    st.acc = st.acc + tau * c.inv_t;
    st.y = yn;
}

template <Kind K, class T>
QUARNEL_LANES_INLINE void write_row(const PathState<T>& st, T* row) noexcept {
    if constexpr (has_gamma(K)) {
        row[0] = st.acc;
        row[1] = st.acc * st.acc + st.accl;
        row[2] = st.y;
        row[3] = st.h;
    }
    if constexpr (has_parameter(K)) {
        const T beta = st.v / st.y;
        const T weight = beta * st.acc - (st.dv - beta * st.k) / st.y;
        if constexpr (K == Kind::mixed) {
            row[0] = st.y;
            row[1] = weight;
            row[2] = st.z - beta * st.k;
            row[3] = weight * st.acc + (st.acct - beta * st.accu);
        } else if constexpr (K == Kind::all) {
            row[4] = st.v;
            row[5] = weight;
        } else {
            row[0] = weight;
        }
    }
}

// Everything but sigma, read through load(f) for field f.
template <Kind K, class T, class Load>
QUARNEL_LANES_INLINE StepIn<T> load_step(T s, const Load& load) noexcept {
    StepIn<T> in{s, load(1), load(2), load(3), load(4), load(5), {}, {}, {}, {}};
    if constexpr (has_parameter(K)) {
        in.mth = load(6);
        in.sth = load(7);
        in.mxth = load(8);
        in.sxth = load(9);
    }
    return in;
}

// The second-order recurrence of second_order_tangent_flow.hpp for the lane driver.
// Half the first-order tile: a state here is seven doubles a path and up to ten rows
// stream at once.
template <Kind K>
struct SecondOrderRecurrence {
    const SecondOrderBatch* batch;

    static constexpr int kFields = fields(K);
    static constexpr std::size_t kColumns = columns(K);
    static constexpr std::size_t kTilePaths = quarnel::kTilePaths / 2;

    template <class T>
    using State = PathState<T>;
    using Constants = StepConst;

    template <class T>
    QUARNEL_LANES_INLINE static State<T> start(T zeros) noexcept {
        return initial_state(zeros);
    }
    QUARNEL_LANES_INLINE Constants at_step(std::size_t j) const noexcept {
        return step_const(*batch, j);
    }
    template <class T, class Load>
    QUARNEL_LANES_INLINE static void step(State<T>& st, T s, const Load& load,
                                          const Constants& c) noexcept {
        euler_step<K>(st, load_step<K, T>(s, load), c);
    }
    template <class T>
    QUARNEL_LANES_INLINE static void finish(const State<T>& st, T* row) noexcept {
        write_row<K>(st, row);
    }
    // In load order: sigma first, checked for zero before the rest are read.
    const View2D& field(int f) const noexcept {
        const SecondOrderBatch& b = *batch;
        const View2D* views[10] = {&b.first.sigma,           &b.dws,
                                   &b.first.d_mu_dx,         &b.first.d_sigma_dx,
                                   &b.second.d2_mu_dx2,      &b.second.d2_sigma_dx2,
                                   &b.parameter.d_mu_dp,     &b.parameter.d_sigma_dp,
                                   &b.parameter.d2_mu_dx_dp, &b.parameter.d2_sigma_dx_dp};
        return *views[f];
    }
    std::size_t n_paths() const noexcept { return batch->n_paths; }
    std::size_t n_steps() const noexcept { return batch->n_steps; }
};

template <Kind K>
std::optional<ZeroSigma> rows_one_by_one(const SecondOrderBatch& b, std::size_t first,
                                         std::size_t count, double* out) noexcept {
    return lane_driver::rows_one_by_one(SecondOrderRecurrence<K>{&b}, first, count, out);
}

template <Kind K, int W, int G>
QUARNEL_LANES_INLINE std::optional<ZeroSigma> rows_in_lanes(const SecondOrderBatch& b,
                                                            std::size_t first, std::size_t count,
                                                            double* out) noexcept {
    return lane_driver::rows_in_lanes<SecondOrderRecurrence<K>, W, G>(SecondOrderRecurrence<K>{&b},
                                                                      first, count, out);
}

}  // namespace

namespace detail {

std::optional<ZeroSigma> second_order_one_by_one(Kind kind, const SecondOrderBatch& b,
                                                 std::size_t first, std::size_t count,
                                                 double* out) noexcept {
    switch (kind) {
        case Kind::greeks: return rows_one_by_one<Kind::greeks>(b, first, count, out);
        case Kind::parameter: return rows_one_by_one<Kind::parameter>(b, first, count, out);
        case Kind::mixed: return rows_one_by_one<Kind::mixed>(b, first, count, out);
        case Kind::all: break;
    }
    return rows_one_by_one<Kind::all>(b, first, count, out);
}

std::optional<ZeroSigma> second_order_baseline(Kind kind, const SecondOrderBatch& b,
                                               std::size_t first, std::size_t count,
                                               double* out) noexcept {
    switch (kind) {
        case Kind::greeks: return rows_in_lanes<Kind::greeks, 2, 2>(b, first, count, out);
        case Kind::parameter: return rows_in_lanes<Kind::parameter, 2, 2>(b, first, count, out);
        case Kind::mixed: return rows_in_lanes<Kind::mixed, 2, 2>(b, first, count, out);
        case Kind::all: break;
    }
    return rows_in_lanes<Kind::all, 2, 2>(b, first, count, out);
}

#if QUARNEL_TANGENT_FLOW_AVX2
[[gnu::target("avx2")]] std::optional<ZeroSigma> second_order_avx2(Kind kind,
                                                                   const SecondOrderBatch& b,
                                                                   std::size_t first,
                                                                   std::size_t count,
                                                                   double* out) noexcept {
    switch (kind) {
        case Kind::greeks: return rows_in_lanes<Kind::greeks, 4, 1>(b, first, count, out);
        case Kind::parameter: return rows_in_lanes<Kind::parameter, 4, 1>(b, first, count, out);
        case Kind::mixed: return rows_in_lanes<Kind::mixed, 4, 1>(b, first, count, out);
        case Kind::all: break;
    }
    return rows_in_lanes<Kind::all, 4, 1>(b, first, count, out);
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

SecondOrderBatch make_second_order_batch(const View2D& dws, const FirstOrderFields& first,
                                         const SecondOrderFields& second, BatchShape shape,
                                         double horizon) noexcept {
    SecondOrderBatch b;
    b.dws = dws;
    b.first = first;
    b.second = second;
    b.n_paths = shape.n_paths;
    b.n_steps = shape.n_steps;
    b.inv_t = 1.0 / horizon;
    b.dt = horizon / static_cast<double>(shape.n_steps);
    b.inv_n = 1.0 / static_cast<double>(shape.n_steps);
    return b;
}

namespace {

// The weight functions' checks, then a result of `columns` doubles a path that fits.
template <class Paths>
Result<BatchShape> check_second_order(const Paths& batch, std::size_t columns) {
    Result<BatchShape> shape = weights_shape(batch);
    if (!shape.ok()) return shape.error();
    if (auto err = check_result_size(shape.value(), columns)) return *std::move(err);
    return shape;
}

}  // namespace

Result<SecondOrderBatch> validate_greek_batch(const SecondOrderPaths& batch) {
    Result<BatchShape> shape = check_second_order(batch, columns(Kind::greeks));
    if (!shape.ok()) return shape.error();
    return make_second_order_batch(batch.paths.dws, batch.first, batch.second, shape.value(),
                                   batch.paths.horizon);
}

Result<Matrix> greek_weights_of(const SecondOrderBatch& batch, std::size_t first_path) {
    constexpr std::size_t C = columns(Kind::greeks);
    Buffer out = Buffer::allocate_rows(batch.n_paths, C);
    if (auto z = second_order_rows(Kind::greeks, batch, 0, batch.n_paths, out.data())) {
        return zero_sigma_error({first_path + z->path, z->step}, FieldNames::bare);
    }
    return Matrix{std::move(out), batch.n_paths, C};
}

Result<Buffer> parameter_weights_of(const SecondOrderBatch& batch, std::size_t first_path) {
    Buffer out = Buffer::allocate(batch.n_paths);
    if (auto z = second_order_rows(Kind::parameter, batch, 0, batch.n_paths, out.data())) {
        return zero_sigma_error({first_path + z->path, z->step}, FieldNames::bare);
    }
    return out;
}

Result<Buffer> mixed_weights_of(const SecondOrderBatch& batch, std::size_t first_path) {
    constexpr std::size_t C = columns(Kind::mixed);
    constexpr std::size_t kBlock = 2048;  // one tile of the lanes; its rows stay in cache
    Buffer out = Buffer::allocate(batch.n_paths);
    std::vector<double> rows(kBlock * C);
    for (std::size_t first = 0; first < batch.n_paths; first += kBlock) {
        const std::size_t count = std::min(kBlock, batch.n_paths - first);
        if (auto z = second_order_rows(Kind::mixed, batch, first, count, rows.data())) {
            return zero_sigma_error({first_path + z->path, z->step}, FieldNames::bare);
        }
        // A bound the analyser can follow: the buffer's own size.
        for (std::size_t i = 0; i < count && first + i < out.size(); ++i) {
            out.data()[first + i] = rows[i * C + 3];
        }
    }
    return out;
}

Result<Matrix> greek_weights_tangent_flow(const SecondOrderPaths& batch) {
    Result<SecondOrderBatch> checked = validate_greek_batch(batch);
    if (!checked.ok()) return checked.error();
    return greek_weights_of(checked.value(), 0);
}

Result<SecondOrderBatch> validate_parameter_batch(const ParameterPaths& batch) {
    Result<BatchShape> shape = check_second_order(batch, columns(Kind::parameter));
    if (!shape.ok()) return shape.error();
    SecondOrderBatch b = make_second_order_batch(batch.paths.dws, batch.first, batch.second,
                                                 shape.value(), batch.paths.horizon);
    b.parameter = batch.parameter;
    return b;
}

Result<Buffer> parameter_weights_tangent_flow(const ParameterPaths& batch) {
    Result<SecondOrderBatch> checked = validate_parameter_batch(batch);
    if (!checked.ok()) return checked.error();
    return parameter_weights_of(checked.value(), 0);
}

Result<Buffer> mixed_weights_tangent_flow(const ParameterPaths& batch) {
    Result<SecondOrderBatch> checked = validate_parameter_batch(batch);
    if (!checked.ok()) return checked.error();
    return mixed_weights_of(checked.value(), 0);
}

}  // namespace quarnel
