// exact_log: std::log of a block of doubles, bit for bit, computed four at a
// time where the processor has AVX2 and FMA (log_four_lanes.cpp), eight at a
// time where it has AVX-512 (log_eight_lanes.hpp); this file holds the
// argument both rest on and picks the kernel.
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

#include "numerics/cpu_features.hpp"
#include "numerics/log_eight_lanes.hpp"
#include "numerics/log_four_lanes.hpp"

namespace tarnwick::numerics {

namespace {

// The part of the library's log that is scalar in every case.
std::size_t scalar_log(std::span<const double> x, std::span<double> out) {
  for (std::size_t i = 0; i < x.size(); ++i) out[i] = std::log(x[i]);
  return x.size();
}

}  // namespace

#ifdef TARNWICK_VECTOR_LOG

bool log_kernel_available(LogKernel kernel) {
  switch (kernel) {
    case LogKernel::Library:
      return true;
    case LogKernel::FourLane: {
      static const bool four = cpu_has_avx2_fma() && avx2::log_table_valid();
      return four;
    }
    case LogKernel::EightLane: {
      static const bool eight = cpu_has_avx512() && avx512::log_table().valid;
      return eight;
    }
  }
  return false;
}

std::size_t exact_log(std::span<const double> x, std::span<double> out, LogKernel kernel) {
  if (x.size() > kExactLogBlock || out.size() < x.size() || !log_kernel_available(kernel)) {
    __builtin_trap();
  }
  switch (kernel) {
    case LogKernel::FourLane:
      return avx2::four_lane_log(x, out);
    case LogKernel::EightLane:
      return avx512::eight_lane_log(x, out);
    case LogKernel::Library:
      break;
  }
  return scalar_log(x, out);
}

#else  // not x86-64 with glibc ≥ 2.28: the library's log for every value

bool log_kernel_available(LogKernel kernel) { return kernel == LogKernel::Library; }

std::size_t exact_log(std::span<const double> x, std::span<double> out, LogKernel kernel) {
  if (x.size() > kExactLogBlock || out.size() < x.size() || !log_kernel_available(kernel)) {
    __builtin_trap();
  }
  return scalar_log(x, out);
}

#endif

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

LogKernel fastest_log_kernel() {
  static const LogKernel fastest = log_kernel_available(LogKernel::EightLane) ? LogKernel::EightLane
                                   : log_kernel_available(LogKernel::FourLane)
                                       ? LogKernel::FourLane
                                       : LogKernel::Library;
  return fastest;
}

std::size_t exact_log(std::span<const double> x, std::span<double> out) {
  return exact_log(x, out, fastest_log_kernel());
}

}  // namespace tarnwick::numerics
