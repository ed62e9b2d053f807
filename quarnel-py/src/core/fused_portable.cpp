// The fused kernels of every build: one path at a time (the reference of the lane
// versions) and two lanes of the baseline vectors (SSE2, NEON).
#define QUARNEL_FUSED_ISA portable
#include "core/fused_kernel.hpp"

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

}  // namespace quarnel::detail
