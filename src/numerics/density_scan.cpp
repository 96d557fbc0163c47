// first_invalid_density's pass over a PDF's output: blocks tested without a
// branch per value (by the variant dispatch.cpp chooses); only a block that
// holds an invalid value is searched. The portable block test is here, the
// AVX2 one in density_scan_avx2.cpp.
#include "numerics/density_scan.hpp"

#include <algorithm>
#include <limits>

#include "numerics/kernel_variants.hpp"

namespace tarnwick::numerics {

namespace {

constexpr std::size_t kScanBlock = 512;

bool is_density(double v) { return v >= 0.0 && v < std::numeric_limits<double>::infinity(); }

}  // namespace

bool densities_valid(const double* v, std::size_t n) {
  bool valid = true;
  for (std::size_t i = 0; i < n; ++i) valid &= is_density(v[i]);
  return valid;
}

std::optional<std::size_t> scan_densities(std::span<const double> values, DensityBlockTest test) {
  for (std::size_t start = 0; start < values.size(); start += kScanBlock) {
    const std::size_t n = std::min(values.size() - start, kScanBlock);
    const double* block = values.data() + start;
    if (!test(block, n)) {
      for (std::size_t i = 0;; ++i) {
        if (!is_density(block[i])) return start + i;
      }
    }
  }
  return std::nullopt;
}

}  // namespace tarnwick::numerics
