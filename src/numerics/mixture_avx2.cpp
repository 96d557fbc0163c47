// The two-component mixture four events at a time (AVX2): the portable
// variant's operations in its order, a product and the sum it enters never
// fused (no FMA in the target, and -ffp-contract=off on the numerics
// target), so the same bits.
#include <limits>

#include "numerics/cpu_features.hpp"
#include "numerics/kernel_variants.hpp"

#ifdef TARNWICK_X86_64

namespace tarnwick::numerics::avx2 {

TARNWICK_TARGET_AVX2 bool two_component_mixture(const double* f0, const double* f1, double y0,
                                                double y1, std::size_t n, double floor,
                                                double* density) {
  const __m256d y0v = _mm256_set1_pd(y0);
  const __m256d y1v = _mm256_set1_pd(y1);
  const __m256d zero = _mm256_setzero_pd();
  const __m256d floor_v = _mm256_set1_pd(floor);
  const __m256d sign_bit = _mm256_set1_pd(-0.0);
  const __m256d infinity = _mm256_set1_pd(std::numeric_limits<double>::infinity());
  __m256d stops = _mm256_setzero_pd();
  std::size_t j = 0;
  for (; j + 4 <= n; j += 4) {
    const __m256d a = _mm256_loadu_pd(f0 + j);
    const __m256d b = _mm256_loadu_pd(f1 + j);
    const __m256d m =
        _mm256_add_pd(_mm256_add_pd(zero, _mm256_mul_pd(y0v, a)), _mm256_mul_pd(y1v, b));
    const __m256d all_zero =
        _mm256_and_pd(_mm256_cmp_pd(a, zero, _CMP_EQ_OQ), _mm256_cmp_pd(b, zero, _CMP_EQ_OQ));
    const __m256d not_finite =
        _mm256_cmp_pd(_mm256_andnot_pd(sign_bit, m), infinity, _CMP_NLT_UQ);
    stops = _mm256_or_pd(stops, _mm256_or_pd(all_zero, not_finite));
    // max(floor, m) is m when m is NaN, as std::max(m, floor) is.
    _mm256_storeu_pd(density + j, _mm256_max_pd(floor_v, m));
  }
  const bool tail =
      portable_two_component_mixture(f0 + j, f1 + j, y0, y1, n - j, floor, density + j);
  return _mm256_movemask_pd(stops) != 0 || tail;
}

}  // namespace tarnwick::numerics::avx2

#endif
