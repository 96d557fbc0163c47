// exp over an array compiled for AVX-512 (kernel_variants.hpp): the
// portable variant's operations, the compiler's vectors of them.
#include "numerics/cpu_features.hpp"
#include "numerics/kernel_variants.hpp"
#include "numerics/vector_exp_body.hpp"

#ifdef TARNWICK_X86_64

namespace tarnwick::numerics::avx512 {

TARNWICK_TARGET_AVX512 void exp_in_place(std::span<double> values) noexcept {
  exp_detail::exp_blocks(values);
}

}  // namespace tarnwick::numerics::avx512

#endif
