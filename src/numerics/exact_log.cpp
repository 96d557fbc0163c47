// exact_log: std::log of a block of doubles, bit for bit, computed four at a
// time where the processor has AVX2 and FMA (log_four_lanes.cpp), eight at a
// time where it has AVX-512 (log_eight_lanes.hpp); this file holds the
// argument both rest on and the library's part; dispatch.cpp picks the
// kernel.
//
// Why the result is std::log's, bit for bit
// ------------------------------------------
// Let y = ln x exactly and ulp the spacing of the doubles in y's binade. The
// C library's log (glibc 2.28 and later) has an error below 0.52 ulp in
// round-to-nearest: the bound that glibc states for the log it has shipped
// since 2.28 (worst case 0.519 ulp in round-to-nearest, in the opening
// comment of sysdeps/ieee754/dbl-64/e_log.c; the "Errors in Math Functions"
// table of the glibc manual lists the measured errors in whole ulps only).
// cpu_features.hpp enables the vector kernels only with such a library.
//
// The vector path computes an unevaluated sum H + L, with H = RN(H + L) and
// |L| ≤ ulp(H)/2, such that |y − (H + L)| ≤ E with E ≤ 2⁻⁸ ulp (2⁻¹⁰·⁵ for
// four lanes, log_four_lanes.cpp; 2⁻⁸ for eight, log_eight_lanes.hpp). It keeps H only when
//
//   (a) x is a normal positive double (DBL_MIN ≤ x ≤ DBL_MAX),
//   (b) H is not a power of two (so both neighbours of H are one ulp(H)
//       away and y lies in H's binade), and
//   (c) |L| < (1/2 − δ) ulp(H) with δ = 1/32.
//
// Then |y − H| < (1/2 − δ) ulp + E < ulp/2, so H is the correctly rounded
// value of y; and every other double lies more than (1/2 + δ) ulp − E > 0.52
// ulp from y (δ − E ≥ 0.027 > 0.02), so the library cannot return it
// either: std::log(x) = H. Every other value — about 2δ = 6 % of arbitrary
// inputs, the ones whose logarithm lies near a midpoint between two doubles,
// plus zero, negative, subnormal, infinite and NaN inputs, plus x = 1 — is
// taken from std::log itself. The argument assumes round-to-nearest (the
// default, which nothing in the fit changes).
//
// The numerics target is compiled with -ffp-contract=off: the two-sums and
// the exact products rely on every operation written being rounded
// separately, and the only fused operations are the explicit ones.
#include "numerics/exact_log.hpp"

#include <cmath>
#include <cstdint>

#include "numerics/kernel_variants.hpp"

namespace tarnwick::numerics {

std::size_t library_log(std::span<const double> x, std::span<double> out) {
  for (std::size_t i = 0; i < x.size(); ++i) out[i] = std::log(x[i]);
  return x.size();
}

std::size_t LibraryPositions::fill(const double* x, double* y) const {
  std::size_t n = 0;
  for (std::size_t w = 0; w < kExactLogBlock / 64; ++w) {
    for (std::uint64_t bits = word_[w]; bits != 0; bits &= bits - 1) {
      const std::size_t i = 64 * w + static_cast<std::size_t>(__builtin_ctzll(bits));
      y[i] = std::log(x[i]);
      ++n;
    }
  }
  return n;
}

}  // namespace tarnwick::numerics
