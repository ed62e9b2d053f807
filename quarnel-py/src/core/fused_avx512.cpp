// The fused kernels in 8 lanes, compiled with the AVX512 flags of this file alone (CMake
// sets them on x86-64 and defines QUARNEL_FUSED_AVX512); called only where the CPU has them.
#define QUARNEL_FUSED_ISA avx512
#include "core/fused_kernel.hpp"
#include "core/heston_fused_kernel.hpp"

#if QUARNEL_FUSED_AVX512 && QUARNEL_FUSED_VECTORS
namespace quarnel::detail {

std::optional<ZeroSigma> fused_rows_8(int kind, const FusedModel& m, const FusedGrid& g,
                                      std::size_t first, std::size_t count, double* out) noexcept {
    return fused::rows_any<32>(kind, m, g, first, count, out);
}
void fused_fields_8(const FusedModel& m, const FusedGrid& g, std::size_t first, std::size_t count,
                    double* out, std::size_t ld) noexcept {
    fused::fields_any<16>(m, g, first, count, out, ld);
}

void heston_fused_rows_8(const HestonBatch& b, std::uint64_t seed, std::size_t first,
                         std::size_t count, double* out) noexcept {
    fused::heston_rows_any<8>(b, seed, first, count, out);
}
void heston_fused_increments_8(std::uint64_t seed, double sqrt_dt, std::size_t first,
                               std::size_t count, std::size_t n_steps, double* dw_v,
                               double* dw_perp) noexcept {
    fused::heston_increments_any<8>(seed, sqrt_dt, first, count, n_steps, dw_v, dw_perp);
}

}  // namespace quarnel::detail
#endif
