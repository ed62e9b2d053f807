#include "core/greeks_chunks.hpp"

#include <cmath>
#include <string>
#include <utility>

#include "core/greeks.hpp"
#include "core/greeks_constant_flow.hpp"
#include "core/greeks_conventions.hpp"
#include "core/greeks_payoffs.hpp"
#include "core/greeks_tangent_flow.hpp"
#include "core/sample_layout.hpp"
#include "core/second_order_tangent_flow.hpp"
#include "core/vanna_tangent_flow.hpp"
#include "quarnel/from_paths.hpp"
#include "quarnel/greeks_from_paths.hpp"

namespace quarnel {
namespace {

ModelError unchecked(const char* what) {
    return {std::string(what) + " was not checked before the chunks ran"};
}

// Writes the samples of path k from `sample(k)` into row k of `cols` doubles, for the
// rows the buffer holds (a bound the analyser can follow).
template <class Sample>
void write_rows(Buffer& out, std::size_t cols, Sample sample) {
    const std::size_t size = out.size();
    for (std::size_t k = 0; cols * k < size; ++k) sample(k, out.data() + k * cols);
}

// A path's samples of the localised digital as the columns f, u[N], v[N], u[i] * v[i]
// of the single calls' CentringSums.
template <std::size_t N>
void write_localised(const LocalisedSamples<N>& s, double* r) noexcept {
    r[0] = s.price;
    for (std::size_t i = 0; i < N; ++i) {
        r[1 + i] = s.u[i];
        r[1 + N + i] = s.v[i];
        r[1 + 2 * N + i] = s.u[i] * s.v[i];
    }
}

}  // namespace

Result<Matrix> greeks_constant_flow_chunk_samples(const View1D& terminal_states,
                                                  const View1D& w_terminals, double horizon,
                                                  double x0, double vol, std::string_view payoff,
                                                  double strike, std::string_view model,
                                                  std::string_view estimator, double width,
                                                  bool rate_rho, double strike2) {
    const std::optional<GreekPayoff> kind = parse_greek_payoff(payoff);
    const std::optional<Model> m = parse_model(model);
    const std::optional<Estimator> est = parse_estimator(estimator);
    if (!kind || !m || !est || terminal_states.size() != w_terminals.size()) {
        return unchecked("the arguments");
    }
    const std::size_t n = terminal_states.size();
    // The digitals and the spreads under "lowest_variance" give centred samples.
    const SampleLayout layout = sample_layout(SampledEstimate::constant_flow, *kind, *est);
    const bool localised = layout.ramp;
    const bool blended = layout.centred && !layout.ramp;
    const std::size_t cols = layout.columns;
    if (auto err = check_result_length(n, cols, "terminal_states")) return *std::move(err);
    Buffer out = Buffer::allocate_rows(n, cols);
    with_flow(*m, horizon, x0, vol, [&](const auto& flow) {
        with_dense_views(
            [&](const auto& xs, const auto& ws) {
                if (*est == Estimator::weights) {
                    with_greek_payoff(*kind, strike, strike2, [&](auto f) {
                        write_rows(out, cols, [&](std::size_t k, double* r) {
                            const GreekSamples g =
                                greeks_by_weights_sample(flow, f, xs[k], ws[k], rate_rho);
                            r[0] = g.price;
                            r[1] = g.greeks.delta;
                            r[2] = g.greeks.gamma;
                            r[3] = g.greeks.vega;
                            r[4] = g.greeks.rho;
                        });
                    });
                } else if (blended) {
                    with_greek_slope(*kind, strike, strike2, [&](auto f, auto slope) {
                        write_rows(out, cols, [&](std::size_t k, double* r) {
                            write_localised(
                                greeks_blended_sample(flow, f, slope, xs[k], ws[k], rate_rho), r);
                        });
                    });
                } else if (!localised) {
                    with_greek_slope(*kind, strike, strike2, [&](auto f, auto slope) {
                        write_rows(out, cols, [&](std::size_t k, double* r) {
                            const GreekSamples g =
                                greeks_pathwise_sample(flow, f, slope, xs[k], ws[k], rate_rho);
                            r[0] = g.price;
                            r[1] = g.greeks.delta;
                            r[2] = g.greeks.gamma;
                            r[3] = g.greeks.vega;
                            r[4] = g.greeks.rho;
                        });
                    });
                } else {
                    const LocalisedDigital digital(strike, width,
                                                   *kind == GreekPayoff::digital_put);
                    write_rows(out, cols, [&](std::size_t k, double* r) {
                        write_localised(
                            greeks_localised_digital_sample(digital, flow, xs[k], ws[k], rate_rho),
                            r);
                    });
                }
            },
            terminal_states, w_terminals);
    });
    return Matrix{std::move(out), n, cols};
}

Result<Buffer> localised_digital_finish(const View1D& sums, std::size_t n) {
    // Columns f, u[m], v[m], u[m] * v[m]: 2 (1 + 3 m) sums.
    if (sums.size() % 6 != 2) return ModelError{"sums must hold the sums of 1 + 3 m columns"};
    const std::size_t cols = sums.size() / 2;
    const std::size_t m = (cols - 1) / 3;
    auto s1 = [&](std::size_t c) { return sums[c]; };
    auto s2 = [&](std::size_t c) { return sums[cols + c]; };
    Buffer out = Buffer::allocate(2 * (1 + m));
    const MeanStderr price = mean_stderr(s1(0), s2(0), n);
    out[0] = price.mean;
    out[1 + m] = price.stderr_;
    for (std::size_t i = 0; i < m; ++i) {
        const CentredSums c = centre_on_weight(s1(1 + i), s2(1 + i), s1(1 + 2 * m + i),
                                               s1(1 + m + i), s2(1 + m + i), n);
        const MeanStderr g = mean_stderr(c.s1, c.s2, n);
        out[1 + i] = g.mean;
        out[2 + m + i] = g.stderr_;
    }
    return out;
}

Result<Greeks> finish_chunked_greeks(const View1D& e, double horizon, std::optional<double> vol,
                                     std::optional<double> rate) {
    if (e.size() == 10) {
        const Greeks g{e[0], e[1], e[2], e[3], e[4], e[5], e[6], e[7], e[8], e[9]};
        return finish_greeks(g, rate, horizon);
    }
    if (e.size() == 8) {
        const Greeks g{e[0], e[1], e[2], e[3], 0.0, e[4], e[5], e[6], e[7], 0.0};
        return finish_tangent_greeks(g, vol, rate, horizon);
    }
    return ModelError{"estimates must hold 10 or 8 numbers"};
}

Result<Buffer> default_half_width_of(const View1D& sums, std::size_t n) {
    if (sums.size() != 2) return ModelError{"sums must hold [S(x), S(x * x)]"};
    // default_half_width's arithmetic after its loop.
    const double count = static_cast<double>(n);
    const double mean = sums[0] / count;
    double var = sums[1] / count - mean * mean;
    var = var > 0.0 ? var : 0.0;
    Buffer out = Buffer::allocate(1);
    out[0] = 2.0 * std::sqrt(var);
    return out;
}

namespace {

// The kernel rows of `kind` over a chunk, with X_N in front; a zero diffusion value is
// reported with its path's index in the batch.
Result<Matrix> kernel_rows_chunk(const SecondOrderPaths& paths, SecondOrderKind kind,
                                 std::size_t first_path) {
    const Result<BatchShape> shape = exact_shape(paths, FieldNames::suffixed);
    if (!shape.ok()) return shape.error();
    if (check_horizon(paths.paths.horizon)) return unchecked("horizon");
    const SecondOrderBatch batch = parallel_bump_batch(paths, shape.value());
    const View2D& states = paths.paths.states;
    const std::size_t width = columns(kind);
    const std::size_t cols = 1 + width;
    if (auto err = check_result_size(shape.value(), cols)) return *std::move(err);
    Buffer out = Buffer::allocate_rows(batch.n_paths, cols);
    const std::size_t size = out.size();
    const auto zero = for_each_kernel_row(batch, kind, [&](std::size_t k, const double* r) {
        if (cols * k >= size) return;  // a bound the analyser can follow
        double* row = out.data() + k * cols;
        row[0] = states(k, batch.n_steps);
        for (std::size_t i = 0; i < width; ++i) row[1 + i] = r[i];
    });
    if (zero) {
        return zero_sigma_error({first_path + zero->path, zero->step}, FieldNames::suffixed);
    }
    return Matrix{std::move(out), batch.n_paths, cols};
}

}  // namespace

Result<Matrix> greek_rows_tangent_flow_chunk(const SecondOrderPaths& paths, bool with_vega,
                                             std::size_t first_path) {
    return kernel_rows_chunk(paths, greek_row_kind(with_vega), first_path);
}

Result<Matrix> greeks_tangent_flow_chunk_samples(const View2D& rows, std::string_view payoff,
                                                 double strike, std::string_view estimator,
                                                 double width, double strike2) {
    const std::optional<GreekPayoff> kind = parse_greek_payoff(payoff);
    const std::optional<Estimator> est = parse_estimator(estimator);
    if (!kind || !est || (rows.cols != 5 && rows.cols != 7)) return unchecked("the arguments");
    const bool with_vega = rows.cols == 7;
    const SampleLayout layout = sample_layout(SampledEstimate::tangent_flow, *kind, *est);
    const bool localised = layout.ramp;
    const bool blended = layout.centred && !layout.ramp;
    const std::size_t n = rows.rows;
    const std::size_t cols = layout.columns;
    if (auto err = check_result_length(n, cols, "rows")) return *std::move(err);
    Buffer out = Buffer::allocate_rows(n, cols);
    // Row k of greek_rows_tangent_flow_chunk: X_N, then the single call's PathRow.
    auto x_of = [&](std::size_t k) { return rows(k, 0); };
    auto row_of = [&](std::size_t k) {
        return PathRow{rows(k, 1),
                       rows(k, 2),
                       rows(k, 3),
                       rows(k, 4),
                       with_vega ? rows(k, 5) : 0.0,
                       with_vega ? rows(k, 6) : 0.0};
    };
    auto write = [](const TangentGreekSamples& s, double* r) {
        r[0] = s.price;
        r[1] = s.delta;
        r[2] = s.gamma;
        r[3] = s.vega;
    };
    if (*est == Estimator::weights) {
        with_greek_payoff(*kind, strike, strike2, [&](auto f) {
            write_rows(out, cols, [&](std::size_t k, double* r) {
                write(tangent_greeks_by_weights_sample(f, x_of(k), row_of(k)), r);
            });
        });
    } else if (blended) {
        with_greek_slope(*kind, strike, strike2, [&](auto f, auto slope) {
            write_rows(out, cols, [&](std::size_t k, double* r) {
                write_localised(tangent_greeks_blended_sample(f, slope, x_of(k), row_of(k)), r);
            });
        });
    } else if (!localised) {
        with_greek_slope(*kind, strike, strike2, [&](auto f, auto slope) {
            write_rows(out, cols, [&](std::size_t k, double* r) {
                write(tangent_greeks_pathwise_sample(f, slope, x_of(k), row_of(k)), r);
            });
        });
    } else {
        const LocalisedDigital digital(strike, width, *kind == GreekPayoff::digital_put);
        write_rows(out, cols, [&](std::size_t k, double* r) {
            write_localised(tangent_greeks_localised_digital_sample(digital, x_of(k), row_of(k)),
                            r);
        });
    }
    return Matrix{std::move(out), n, cols};
}

Result<Matrix> greek_weights_tangent_flow_chunk(const SecondOrderPaths& batch,
                                                std::size_t first_path) {
    Result<SecondOrderBatch> checked = validate_greek_batch(batch);
    if (!checked.ok()) return checked.error();
    return greek_weights_of(checked.value(), first_path);
}

std::optional<ModelError> check_greek_weights_tangent_flow(const SecondOrderPaths& batch) {
    Result<SecondOrderBatch> checked = validate_greek_batch(batch);
    if (!checked.ok()) return checked.error();
    return std::nullopt;
}

Result<Buffer> parameter_weights_tangent_flow_chunk(const ParameterPaths& batch,
                                                    std::size_t first_path) {
    const Result<SecondOrderBatch> checked = validate_parameter_batch(batch);
    if (!checked.ok()) return checked.error();
    return parameter_weights_of(checked.value(), first_path);
}

Result<Buffer> mixed_weights_tangent_flow_chunk(const ParameterPaths& batch,
                                                std::size_t first_path) {
    const Result<SecondOrderBatch> checked = validate_parameter_batch(batch);
    if (!checked.ok()) return checked.error();
    return mixed_weights_of(checked.value(), first_path);
}

Result<Matrix> vanna_rows_tangent_flow_chunk(const SecondOrderPaths& paths,
                                             std::size_t first_path) {
    return kernel_rows_chunk(paths, SecondOrderKind::mixed, first_path);
}

Result<Matrix> vanna_tangent_flow_chunk_samples(const View2D& rows, std::string_view payoff,
                                                double strike, std::string_view estimator,
                                                double width, double strike2) {
    const std::optional<GreekPayoff> kind = parse_greek_payoff(payoff);
    const std::optional<Estimator> est = parse_estimator(estimator);
    if (!kind || !est || rows.cols != 5) return unchecked("the arguments");
    const SampleLayout layout = sample_layout(SampledEstimate::vanna_tangent_flow, *kind, *est);
    const std::size_t n = rows.rows;
    const std::size_t cols = layout.columns;
    if (auto err = check_result_length(n, cols, "rows")) return *std::move(err);
    Buffer out = Buffer::allocate_rows(n, cols);
    // Row k of vanna_rows_tangent_flow_chunk: X_N, then the single call's MixedRow.
    auto x_of = [&](std::size_t k) { return rows(k, 0); };
    auto row_of = [&](std::size_t k) {
        return MixedRow{rows(k, 1), rows(k, 2), rows(k, 3), rows(k, 4)};
    };
    if (*est == Estimator::weights) {
        with_greek_payoff(*kind, strike, strike2, [&](auto f) {
            write_rows(out, cols, [&](std::size_t k, double* r) {
                r[0] = vanna_by_weights(f, x_of(k), row_of(k)).u[0];
            });
        });
    } else if (!layout.centred) {
        with_greek_slope(*kind, strike, strike2, [&](auto f, auto slope) {
            write_rows(out, cols, [&](std::size_t k, double* r) {
                r[0] = vanna_pathwise(f, slope, x_of(k), row_of(k)).u[0];
            });
        });
    } else {
        const LocalisedDigital digital(strike, width, *kind == GreekPayoff::digital_put);
        write_rows(out, cols, [&](std::size_t k, double* r) {
            write_localised(vanna_localised(digital, x_of(k), row_of(k)), r);
        });
    }
    return Matrix{std::move(out), n, cols};
}

std::optional<ModelError> check_parameter_weights_tangent_flow(const ParameterPaths& batch) {
    const Result<SecondOrderBatch> checked = validate_parameter_batch(batch);
    if (!checked.ok()) return checked.error();
    return std::nullopt;
}

}  // namespace quarnel
