// The density scan's block test four values per instruction (AVX2).
#include <limits>

#include "numerics/cpu_features.hpp"
#include "numerics/kernel_variants.hpp"

#ifdef TARNWICK_X86_64

namespace tarnwick::numerics::avx2 {

TARNWICK_TARGET_AVX2 bool densities_valid(const double* v, std::size_t n) {
  const __m256d zero = _mm256_setzero_pd();
  const __m256d infinity = _mm256_set1_pd(std::numeric_limits<double>::infinity());
  __m256d valid = _mm256_castsi256_pd(_mm256_set1_epi64x(-1));
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    const __m256d x = _mm256_loadu_pd(v + i);
    // Ordered comparisons: NaN fails both.
    valid = _mm256_and_pd(valid, _mm256_and_pd(_mm256_cmp_pd(x, zero, _CMP_GE_OQ),
                                               _mm256_cmp_pd(x, infinity, _CMP_LT_OQ)));
  }
  return _mm256_movemask_pd(valid) == 15 && numerics::densities_valid(v + i, n - i);
}

}  // namespace tarnwick::numerics::avx2

#endif
