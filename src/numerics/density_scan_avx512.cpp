// The density scan's block test eight values per instruction (AVX-512),
// four registers a step so that the tests do not wait on one another.
#include <limits>

#include "numerics/cpu_features.hpp"
#include "numerics/kernel_variants.hpp"

#ifdef TARNWICK_X86_64

namespace tarnwick::numerics::avx512 {

namespace {

// The lanes of x that are densities: x ≥ 0 and x < ∞, ordered comparisons
// (NaN fails both), the second masked by the first.
TARNWICK_TARGET_AVX512 inline __mmask8 densities(__m512d x) {
  const __mmask8 not_negative = _mm512_cmp_pd_mask(x, _mm512_setzero_pd(), _CMP_GE_OQ);
  return _mm512_mask_cmp_pd_mask(not_negative, x,
                                 _mm512_set1_pd(std::numeric_limits<double>::infinity()),
                                 _CMP_LT_OQ);
}

}  // namespace

TARNWICK_TARGET_AVX512 bool densities_valid(const double* v, std::size_t n) {
  __mmask8 valid = 0xFF;
  std::size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    const __mmask8 a = densities(_mm512_loadu_pd(v + i));
    const __mmask8 b = densities(_mm512_loadu_pd(v + i + 8));
    const __mmask8 c = densities(_mm512_loadu_pd(v + i + 16));
    const __mmask8 d = densities(_mm512_loadu_pd(v + i + 24));
    valid &= static_cast<__mmask8>((a & b) & (c & d));
  }
  for (; i + 8 <= n; i += 8) valid &= densities(_mm512_loadu_pd(v + i));
  if (i < n) {
    // The lanes past the end read as 0, a density.
    const auto tail = static_cast<__mmask8>((1u << (n - i)) - 1);
    valid &= densities(_mm512_maskz_loadu_pd(tail, v + i));
  }
  return valid == 0xFF;
}

}  // namespace tarnwick::numerics::avx512

#endif
