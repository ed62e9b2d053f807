// The fused kernels of every build: one path at a time (the reference of the lane
// versions) and two lanes of the baseline vectors (SSE2, NEON).
#define QUARNEL_FUSED_ISA portable
#include "core/fused_kernel.hpp"
#include "core/heston_fused_kernel.hpp"

namespace quarnel::detail {

std::optional<ZeroSigma> fused_rows_1(int kind, const FusedModel& m, const FusedGrid& g,
                                      std::size_t first, std::size_t count, double* out) noexcept {
    return fused::rows_any<1>(kind, m, g, first, count, out);
}
void fused_fields_1(const FusedModel& m, const FusedGrid& g, std::size_t first, std::size_t count,
                    double* out, std::size_t ld) noexcept {
    fused::fields_any<1>(m, g, first, count, out, ld);
}

#if QUARNEL_FUSED_VECTORS
std::optional<ZeroSigma> fused_rows_2(int kind, const FusedModel& m, const FusedGrid& g,
                                      std::size_t first, std::size_t count, double* out) noexcept {
    return fused::rows_any<4>(kind, m, g, first, count, out);
}
void fused_fields_2(const FusedModel& m, const FusedGrid& g, std::size_t first, std::size_t count,
                    double* out, std::size_t ld) noexcept {
    fused::fields_any<4>(m, g, first, count, out, ld);
}
#endif

void heston_fused_rows_1(const HestonBatch& b, std::uint64_t seed, std::size_t first,
                         std::size_t count, double* out) noexcept {
    fused::heston_rows_any<1>(b, seed, first, count, out);
}
void heston_fused_increments_1(std::uint64_t seed, double sqrt_dt, std::size_t first,
                               std::size_t count, std::size_t n_steps, double* dw_v,
                               double* dw_perp) noexcept {
    fused::heston_increments_any<1>(seed, sqrt_dt, first, count, n_steps, dw_v, dw_perp);
}
#if QUARNEL_FUSED_VECTORS
void heston_fused_rows_2(const HestonBatch& b, std::uint64_t seed, std::size_t first,
                         std::size_t count, double* out) noexcept {
    fused::heston_rows_any<2>(b, seed, first, count, out);
}
void heston_fused_increments_2(std::uint64_t seed, double sqrt_dt, std::size_t first,
                               std::size_t count, std::size_t n_steps, double* dw_v,
                               double* dw_perp) noexcept {
    fused::heston_increments_any<2>(seed, sqrt_dt, first, count, n_steps, dw_v, dw_perp);
}
#endif

}  // namespace quarnel::detail
