// The eight-lane logarithm behind exact_log on processors with AVX-512: ln x
// as H + L for eight doubles at once, and whether H is std::log(x) bit for
// bit. The reasoning is exact_log.cpp's and log_four_lanes.cpp's; only the
// reduction differs:
//
// Reduction. x = 2ᵏ z with z ∈ [1 − 2⁻⁷, 2 − 2⁻⁶) and 32 buckets of z (bucket 0
// is z ∈ [1 − 2⁻⁷, 1 + 2⁻⁶), bucket j ≥ 1 is z ∈ [a_j, a_j + 2⁻⁵) with
// a_j = 1 + 2⁻⁶ + (j − 1) 2⁻⁵). Each bucket has c_j = C_j / 2⁶ (c₀ = 1) with
// |r| < 2⁻⁵ for r = c_j z − 1, so r is exact (a multiple of 2⁻⁵⁸, or of 2⁻⁵³
// in bucket 0, with at most 53 significant bits). The 32 constants of each
// column (c, T_hi, T_lo) sit in four vector registers and are looked up by
// two two-register permutes and a blend, with no memory access.
//
// ln(1 + r) = r − r²/2 + r³ P(r), P the Taylor polynomial to r¹²/12 (|r| is
// up to 8 times larger than with 256 buckets, so four more terms). The sum
// A + u (A = k ln2_hi + T_hi, u = r − r²/2) is a fast two-sum: A = 0 or
// |A| ≥ 2 |r| on every bucket for k = 0 and k = −1 (every other k gives
// |A| > ln 2 / 2), checked when the table is built.
//
// Error bound, relative to |y| (y = ln x): outside bucket 0 with k = 0,
// |y| ≥ 2⁻⁷ (k = −1 in the top bucket: |y| ≥ −ln(1 − 2⁻⁷)). The table build
// checks, bucket by bucket for k ∈ {−1, 0}, that the truncation
// (|r|¹³/12 at most) and the rounding of r³ P(r) (2⁻⁵⁰ |r|³/3 at most)
// together stay below 2⁻⁶¹ min |y| over the bucket; in bucket 0 with k = 0,
// y = ln(1 + r) and both are below 2⁻⁶⁴ |y|. Every other term is below 2⁻⁸⁵
// |y| as in log_four_lanes.cpp. So E ≤ 2⁻⁸ ulp ≤ 0.004 ulp, inside the margin
// δ − 0.02 = 0.0112 ulp that exact_log's test (c) leaves.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "numerics/cpu_features.hpp"
#include "numerics/double_double.hpp"

#ifdef TARNWICK_VECTOR_LOG

namespace tarnwick::numerics::avx512 {

inline constexpr int kBucketBits = 5;
inline constexpr int kBuckets = 1 << kBucketBits;

// The constants of the 32 buckets, column by column, and ln 2 split as in
// log_buckets.hpp (hi parts multiples of 2⁻⁴²).
struct LogTable {
  alignas(64) double c[kBuckets];
  alignas(64) double t_hi[kBuckets];
  alignas(64) double t_lo[kBuckets];
  double ln2_hi;
  double ln2_lo;
  // 1/2 − δ of exact_log.cpp's test (c).
  double kept_half_ulp;
  // The checks of the opening comment passed; otherwise nothing may use it.
  bool valid;
};

// Built on first use (log_eight_lanes.cpp).
const LogTable& log_table();

// exact_log(x, out, LogKernel::EightLane), on a processor with AVX-512 and a
// valid table.
std::size_t eight_lane_log(std::span<const double> x, std::span<double> out);

#define TARNWICK_AVX512 TARNWICK_TARGET_AVX512 __attribute__((always_inline))

// One column of the table in four registers: entries 0–15 and 16–31.
struct Column {
  __m512d r0, r1, r2, r3;
};

// The table and the constants of the kernel, loaded into registers once per
// block of work.
struct Registers {
  Column c, t_hi, t_lo;
  __m512d ln2_hi, ln2_lo, kept;
};

TARNWICK_AVX512 inline Column load_column(const double* column) {
  return {_mm512_load_pd(column), _mm512_load_pd(column + 8), _mm512_load_pd(column + 16),
          _mm512_load_pd(column + 24)};
}

TARNWICK_AVX512 inline Registers load_registers(const LogTable& t) {
  return {load_column(t.c),
          load_column(t.t_hi),
          load_column(t.t_lo),
          _mm512_set1_pd(t.ln2_hi),
          _mm512_set1_pd(t.ln2_lo),
          _mm512_set1_pd(t.kept_half_ulp * 0x1p-52)};
}

TARNWICK_AVX512 inline __m512d look_up(const Column& column, __m512i bucket, __mmask8 upper_half) {
  const __m512d lower = _mm512_permutex2var_pd(column.r0, bucket, column.r1);
  const __m512d upper = _mm512_permutex2var_pd(column.r2, bucket, column.r3);
  return _mm512_mask_blend_pd(upper_half, lower, upper);
}

// a >> n in each lane. (The zero-masked form, because g++ 12 warns of the
// unmasked intrinsic's undefined source operand.)
TARNWICK_AVX512 inline __m512i shift_right(__m512i a, unsigned n) {
  return _mm512_maskz_srli_epi64(0xFF, a, n);
}

// even + odd·r
TARNWICK_AVX512 inline __m512d coefficient_pair(__m512d r, double even, double odd) {
  return _mm512_fmadd_pd(_mm512_set1_pd(odd), r, _mm512_set1_pd(even));
}

struct Log8 {
  __m512d h;      // ln x rounded; std::log(x) in the lanes of `keep`
  __mmask8 keep;  // lanes whose h is std::log(x) bit for bit
};

// Needs floating-point contraction off where it is compiled (-ffp-contract=off
// on the numerics and the fit targets): every operation written is rounded
// on its own, and the only fused ones are the explicit fma/fms.
TARNWICK_AVX512 inline Log8 log8(__m512d x, const Registers& t) {
  const __m512i bits = _mm512_castpd_si512(x);
  const __m512i shifted = _mm512_add_epi64(bits, _mm512_set1_epi64(std::int64_t{1} << 46));
  const __m512i e = shift_right(shifted, 52);  // k + 1023
  const __m512i bucket = shift_right(shifted, 52 - kBucketBits);  // low 5 bits
  const __mmask8 upper_half = _mm512_test_epi64_mask(bucket, _mm512_set1_epi64(16));
  const __m512d z = _mm512_castsi512_pd(_mm512_add_epi64(
      _mm512_sub_epi64(bits, _mm512_and_si512(shifted, _mm512_set1_epi64(0x7FF0000000000000))),
      _mm512_set1_epi64(0x3FF0000000000000)));
  const __m512d k = _mm512_sub_pd(_mm512_cvtepi64_pd(e), _mm512_set1_pd(1023.0));
  const __m512d c = look_up(t.c, bucket, upper_half);
  const __m512d r = _mm512_fmsub_pd(c, z, _mm512_set1_pd(1.0));       // exact
  const __m512d a = _mm512_fmadd_pd(k, t.ln2_hi, look_up(t.t_hi, bucket, upper_half));  // exact
  const __m512d b = _mm512_fmadd_pd(k, t.ln2_lo, look_up(t.t_lo, bucket, upper_half));

  const __m512d r2 = _mm512_mul_pd(r, r);
  const __m512d r2_lo = _mm512_fmsub_pd(r, r, r2);  // exact
  // P(r) = Σ_{n=3}^{12} (−1)ⁿ⁺¹ rⁿ⁻³ / n by Estrin's scheme.
  const __m512d r4 = _mm512_mul_pd(r2, r2);
  const __m512d r8 = _mm512_mul_pd(r4, r4);
  const __m512d p3 = coefficient_pair(r, 1.0 / 3.0, -1.0 / 4.0);
  const __m512d p5 = coefficient_pair(r, 1.0 / 5.0, -1.0 / 6.0);
  const __m512d p7 = coefficient_pair(r, 1.0 / 7.0, -1.0 / 8.0);
  const __m512d p9 = coefficient_pair(r, 1.0 / 9.0, -1.0 / 10.0);
  const __m512d p11 = coefficient_pair(r, 1.0 / 11.0, -1.0 / 12.0);
  const __m512d p3to6 = _mm512_fmadd_pd(p5, r2, p3);
  const __m512d p7to10 = _mm512_fmadd_pd(p9, r2, p7);
  const __m512d p3to10 = _mm512_fmadd_pd(p7to10, r4, p3to6);
  const __m512d poly = _mm512_fmadd_pd(p11, r8, p3to10);
  const __m512d p = _mm512_mul_pd(poly, _mm512_mul_pd(r2, r));
  // H + L from A, B, r, r² and r³ P(r); A + u is a fast two-sum (A = 0 or
  // |A| ≥ |u|).
  __m512d h;
  __m512d l;
  dd::log_sum<true>(a, b, r, r2, r2_lo, p, h, l);

  // exact_log.cpp's conditions: (a) x a positive normal double, (b) H not a
  // power of two, (c) |L| < (1/2 − δ) ulp(H).
  const __m512i h_bits = _mm512_castpd_si512(h);
  const __m512d threshold = _mm512_mul_pd(
      _mm512_castsi512_pd(_mm512_and_si512(h_bits, _mm512_set1_epi64(0x7FF0000000000000))),
      t.kept);
  const __m512d magnitude_l = _mm512_castsi512_pd(
      _mm512_and_si512(_mm512_castpd_si512(l), _mm512_set1_epi64(0x7FFFFFFFFFFFFFFF)));
  const __mmask8 near_enough = _mm512_cmp_pd_mask(magnitude_l, threshold, _CMP_LT_OQ);
  const __mmask8 power_of_two =
      _mm512_testn_epi64_mask(h_bits, _mm512_set1_epi64(0x000FFFFFFFFFFFFF));
  // Every class but positive normal: NaNs, zeros, infinities, subnormals,
  // negative values.
  const __mmask8 not_normal = _mm512_fpclass_pd_mask(x, 0xFF);
  return {h, static_cast<__mmask8>(near_enough & ~power_of_two & ~not_normal)};
}

#undef TARNWICK_AVX512

}  // namespace tarnwick::numerics::avx512

#endif
