// Fast sums that round once: many terms are added into W lanes of
// double-double accumulators, and the exact sum of the lanes, rounded, is the
// correctly rounded sum of the terms whenever the lanes' error bound proves
// it. The few sums it cannot prove are taken again with ExactSum.
//
// Each lane keeps (hi, lo): hi + x is split exactly into hi' + e by TwoSum
// (Knuth; exact in round-to-nearest binary floating point barring overflow,
// which leaves hi or e infinite or NaN and is caught), and e is added to lo,
// rounded. That rounding is the only error: |fl(lo + e) − (lo + e)| ≤
// u·|fl(lo + e)| with u = 2⁻⁵³ (sums of doubles are exact where they are
// subnormal), so the lane's true sum is within u·Σ_j |lo_j| of hi + lo, lo_j
// the lane's lo after step j. Each lane keeps that Σ |lo_j| too (rounded: a
// sum of n non-negative doubles is at least (1 − u)ⁿ of the true one, which
// the margin of BoundedSum::value covers for n up to 2⁴²).
//
// Compiled with -ffp-contract=off (the numerics and fit targets): TwoSum needs
// every operation rounded on its own.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <optional>

#include "numerics/exact_sum.hpp"

namespace tarnwick::numerics {

// W lanes; terms go to lane i % W in the order added.
template <std::size_t W>
struct LaneSums {
  std::array<double, W> hi{};
  std::array<double, W> lo{};
  std::array<double, W> lo_magnitude{};  // Σ_j |lo_j|

  // Adds x[0] … x[n − 1]; n a multiple of W, or the last call of the sum.
  void add(const double* x, std::size_t n) {
    std::size_t i = 0;
    for (; i + W <= n; i += W) {
      for (std::size_t l = 0; l < W; ++l) add_to_lane(l, x[i + l]);
    }
    for (std::size_t l = 0; i + l < n; ++l) add_to_lane(l, x[i + l]);
  }

  void add_to_lane(std::size_t l, double x) {
    const double s = hi[l] + x;
    const double b = s - hi[l];
    const double e = (hi[l] - (s - b)) + (x - b);
    hi[l] = s;
    lo[l] += e;
    lo_magnitude[l] += std::abs(lo[l]);
  }
};

// A sum made of exact parts (the lanes' hi and lo, terms known exactly) and
// a bound on how far the true sum is from them.
class BoundedSum {
 public:
  void add_exact(double x) {
    parts_.add(x);
    finite_ &= std::isfinite(x);
  }
  // The lanes' parts, and their bound u·Σ|lo_j|.
  void add_lanes(const double* hi, const double* lo, const double* lo_magnitude,
                 std::size_t lanes) {
    for (std::size_t l = 0; l < lanes; ++l) {
      add_exact(hi[l]);
      add_exact(lo[l]);
      finite_ &= std::isfinite(lo_magnitude[l]);
      bound_ += lo_magnitude[l];
    }
  }
  template <std::size_t W>
  void add(const LaneSums<W>& lanes) {
    add_lanes(lanes.hi.data(), lanes.lo.data(), lanes.lo_magnitude.data(), W);
  }
  void add(const BoundedSum& other) {
    parts_.add(other.parts_);
    bound_ += other.bound_;
    finite_ &= other.finite_;
  }

  // The correctly rounded true sum when the bound proves it: every value
  // within the bound of the parts' exact sum rounds to the same double
  // (rounding is monotonic, so the two ends of the interval decide). None
  // when it does not, or when a part or the bound is not finite.
  [[nodiscard]] std::optional<double> value() const {
    if (!finite_) return std::nullopt;
    const double rounded = parts_.value();
    if (!std::isfinite(rounded)) return std::nullopt;
    // u·Σ|lo_j| with a margin for the rounding of Σ|lo_j| and of this sum of
    // bounds, and one subnormal for the rounding of the products.
    const double error = bound_ * 0x1.004p-53 + 0x1p-1074;
    if (!std::isfinite(error)) return std::nullopt;
    ExactSum low = parts_;
    low.add(-error);
    ExactSum high = parts_;
    high.add(error);
    if (low.value() != rounded || high.value() != rounded) return std::nullopt;
    return rounded;
  }

 private:
  ExactSum parts_;
  double bound_ = 0.0;  // Σ over lanes of Σ_j |lo_j|
  bool finite_ = true;
};

}  // namespace tarnwick::numerics
