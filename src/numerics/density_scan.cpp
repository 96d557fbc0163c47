// first_invalid_density: one pass over a PDF's output, in blocks tested
// without a branch per value (four values per instruction where the
// processor has AVX2); only a block that holds an invalid value is searched.
#include "numerics/density_scan.hpp"

#include <algorithm>
#include <limits>

#include "numerics/cpu_features.hpp"

namespace tarnwick::numerics {

namespace {

constexpr std::size_t kBlock = 512;

bool is_density(double v) { return v >= 0.0 && v < std::numeric_limits<double>::infinity(); }

bool block_is_valid(const double* v, std::size_t n) {
  bool valid = true;
  for (std::size_t i = 0; i < n; ++i) valid &= is_density(v[i]);
  return valid;
}

#ifdef TARNWICK_X86_64
TARNWICK_TARGET_AVX2 bool block_is_valid_avx2(const double* v, std::size_t n) {
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
  return _mm256_movemask_pd(valid) == 15 && block_is_valid(v + i, n - i);
}
#endif

}  // namespace

std::optional<std::size_t> first_invalid_density(std::span<const double> values) noexcept {
#ifdef TARNWICK_X86_64
  static const auto test_block = cpu_has_avx2() ? block_is_valid_avx2 : block_is_valid;
#else
  constexpr auto test_block = block_is_valid;
#endif
  for (std::size_t start = 0; start < values.size(); start += kBlock) {
    const std::size_t n = std::min(values.size() - start, kBlock);
    const double* block = values.data() + start;
    if (!test_block(block, n)) {
      for (std::size_t i = 0;; ++i) {
        if (!is_density(block[i])) return start + i;
      }
    }
  }
  return std::nullopt;
}

}  // namespace tarnwick::numerics
