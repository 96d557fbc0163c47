// Compiled with -ffp-contract=off (src/fit/CMakeLists.txt): a product and
// the sum it enters are never fused, in either path.
#include "fit/mixture_block.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "numerics/cpu_features.hpp"

namespace tarnwick::fit {

namespace {

bool scalar_mixture(const double* f0, const double* f1, double y0, double y1, std::size_t n,
                    double floor, double* density) {
  bool stops = false;
  for (std::size_t j = 0; j < n; ++j) {
    double m = 0.0;
    m += y0 * f0[j];
    m += y1 * f1[j];
    stops |= (f0[j] == 0.0 && f1[j] == 0.0) ||
             !(std::abs(m) < std::numeric_limits<double>::infinity());
    density[j] = std::max(m, floor);
  }
  return stops;
}

#ifdef TARNWICK_X86_64
TARNWICK_TARGET_AVX2 bool vector_mixture(const double* f0, const double* f1, double y0, double y1,
                                          std::size_t n, double floor, double* density) {
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
  const bool tail = scalar_mixture(f0 + j, f1 + j, y0, y1, n - j, floor, density + j);
  return _mm256_movemask_pd(stops) != 0 || tail;
}
#endif

}  // namespace

bool two_component_mixture(const double* f0, const double* f1, double y0, double y1,
                           std::size_t n, double floor, double* density) {
#ifdef TARNWICK_X86_64
  static const bool vectorised = numerics::cpu_has_avx2();
  if (vectorised) return vector_mixture(f0, f1, y0, y1, n, floor, density);
#endif
  return scalar_mixture(f0, f1, y0, y1, n, floor, density);
}

}  // namespace tarnwick::fit
