// The power law compiled for AVX-512 (kernel_variants.hpp): the portable
// variant's operations, the compiler's vectors of them.
#include "numerics/cpu_features.hpp"
#include "numerics/kernel_variants.hpp"
#include "numerics/power_law_body.hpp"

#ifdef TARNWICK_X86_64

namespace tarnwick::numerics::avx512 {

TARNWICK_TARGET_AVX512 void power_law_in_place(std::span<double> values, double power,
                                            double offset) noexcept {
  power_law_detail::power_law_blocks<true>(values, power, offset);
}

}  // namespace tarnwick::numerics::avx512

#endif
