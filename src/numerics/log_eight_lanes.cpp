// The eight-lane logarithm's table, built and checked on first use, and the
// kernel over a block; the argument and log8 itself are in
// log_eight_lanes.hpp.
#include "numerics/log_eight_lanes.hpp"

#ifdef TARNWICK_VECTOR_LOG

#include <algorithm>
#include <cmath>

#include "numerics/exact_log.hpp"
#include "numerics/log_buckets.hpp"

namespace tarnwick::numerics::avx512 {

namespace {

// The eight-lane kernel's two further conditions on a bucket, for k = 0 and
// k = −1 (log_eight_lanes.hpp): A = k ln2_hi + T_hi is 0 or at least |u|
// in magnitude (|u| ≤ |r| (1 + |r|)), and the truncation and rounding of
// r³ P(r) stay below 2⁻⁶¹ of the smallest |y| on the bucket. Where A = 0,
// H + L approximates ln(1 + r) itself and |y| ≥ 0.99 |r| for the r at hand:
// the bound is relative to r.
bool eight_lane_bounds_hold(const detail::BucketConstants& b, double ln2_hi) {
  const double r = b.r_max;
  const double truncation = std::pow(r, 13) / 12.0;
  const double rounding = 0x1p-50 * r * r * r / 3.0;
  for (const int k : {0, -1}) {
    const double a = k * ln2_hi + b.t_hi;
    if (a == 0.0) {
      if ((truncation + rounding) / (0.99 * r) > 0x1p-61) return false;
      continue;
    }
    const double y_low = k * ln2_hi + std::log(b.a);
    const double y_high = k * ln2_hi + std::log(b.b);
    const double y_min = std::min(std::abs(y_low), std::abs(y_high));
    const bool same_sign = (y_low < 0.0) == (y_high < 0.0);
    if (std::abs(a) < r * (1.0 + r) || !same_sign || truncation + rounding > 0x1p-61 * y_min) {
      return false;
    }
  }
  return true;
}

LogTable build_table() {
  LogTable table{};
  table.kept_half_ulp = detail::kKeptHalfUlp;
  table.valid = detail::fill_log_table(
      table, kBucketBits, [&](int j, const detail::BucketConstants& b, double ln2_hi) {
        table.c[j] = b.c;
        table.t_hi[j] = b.t_hi;
        table.t_lo[j] = b.t_lo;
        return eight_lane_bounds_hold(b, ln2_hi);
      });
  return table;
}

}  // namespace

const LogTable& log_table() {
  static const LogTable t = build_table();
  return t;
}

TARNWICK_TARGET_AVX512 std::size_t eight_lane_log(std::span<const double> xs,
                                                  std::span<double> out) {
  const std::size_t n = xs.size();
  const std::size_t n_vector = n & ~std::size_t{7};
  const double* x = xs.data();
  double* y = out.data();
  const Registers t = load_registers(log_table());
  LibraryPositions redo;
  for (std::size_t i = 0; i < n_vector; i += 8) {
    const Log8 v = log8(_mm512_loadu_pd(x + i), t);
    _mm512_storeu_pd(y + i, v.h);
    redo.mark_lanes(i, static_cast<std::uint8_t>(~v.keep));
  }
  for (std::size_t i = n_vector; i < n; ++i) redo.mark(i);
  return redo.fill(x, y);
}

}  // namespace tarnwick::numerics::avx512

#endif
