#include "numerics/log_buckets.hpp"

#include <algorithm>
#include <cmath>

#include "numerics/double_double.hpp"

namespace tarnwick::numerics::detail {

using dd::DoubleDouble;
using dd::log_of_ratio;

Ln2 ln2_split() {
  const DoubleDouble ln2 = log_of_ratio(2.0, 1.0);
  const double hi = std::nearbyint(ln2.hi * 0x1p42) * 0x1p-42;
  return {hi, (ln2.hi - hi) + ln2.lo, ln2.hi == 0x1.62e42fefa39efp-1};
}

BucketConstants bucket_constants(int bits, int j) {
  const double width = std::ldexp(1.0, -bits);
  if (j == 0) {
    return {1.0 - width / 4.0, 1.0 + width / 2.0, 1.0, 0.0, 0.0, width / 2.0, true};
  }
  const double scale = std::ldexp(1.0, bits + 1);
  const double a = 1.0 + width / 2.0 + (j - 1) * width;
  const double b = a + width;
  // The top bucket takes c = 1/2 rather than the nearest C: then A = 0 for
  // k = −1, and ln x for x just below 1 is ln(1 + r) with no cancellation.
  const double big_c =
      j == (1 << bits) - 1 ? scale / 2.0 : std::nearbyint(scale * 2.0 / (a + b));
  const double c = big_c / scale;
  const DoubleDouble t = log_of_ratio(scale, big_c);
  const double t_hi = std::nearbyint(t.hi * 0x1p42) * 0x1p-42;
  // c·a and c·b are exact (few bits each); r is monotonic in z.
  const double r_max = std::max(std::abs(c * a - 1.0), std::abs(c * b - 1.0));
  const bool valid = std::abs(c * a - 1.0) < width && std::abs(c * b - 1.0) <= width &&
                     big_c <= scale;
  return {a, b, c, t_hi, (t.hi - t_hi) + t.lo, r_max, valid};
}

}  // namespace tarnwick::numerics::detail
