// The strike ladder's kernels in 8 lanes, compiled with the AVX-512 (F and DQ) flags of this file
// alone (CMake sets them on x86-64 and defines QUARNEL_LADDER_WIDE); greeks_ladder.cpp
// calls them only where the CPU has them. No FMA flag: with contraction off it would
// change nothing, and leaving it out documents that no fused multiply-add is wanted.
#define QUARNEL_LADDER_ISA avx512
#include "core/greeks_ladder_kernel.hpp"

#if QUARNEL_LADDER_WIDE
namespace quarnel::ladder {

PlainFn plain_kernel_8(Shape shape, bool weights, bool rate_rho) noexcept {
    return plain_kernel<Lanes<8>::type>(shape, weights, rate_rho);
}

DigitalFn digital_kernel_8(bool put, bool rate_rho) noexcept {
    return digital_kernel<Lanes<8>::type>(put, rate_rho);
}

}  // namespace quarnel::ladder
#endif
