// The four-lane logarithm behind exact_log on processors with AVX2 and FMA:
// ln x as H + L for four doubles at a time, 256 buckets of the reduced
// argument, the table beside it. Why H is std::log(x) wherever the kernel
// keeps it is exact_log.cpp's argument; this is the computation and its
// error bound E.
//
// Reduction. With x = 2ᵏ z, z ∈ [1 − 2⁻¹⁰, 2 − 2⁻⁹): z's bit pattern is x's
// minus k·2⁵², and the bucket j (0…255) of z is 8 bits of x's pattern after
// adding 2⁴³. Bucket 0 is z ∈ [1 − 2⁻¹⁰, 1 + 2⁻⁹); bucket j ≥ 1 is
// z ∈ [a_j, a_j + 2⁻⁸) with a_j = 1 + 2⁻⁹ + (j − 1) 2⁻⁸. Each bucket has a
// constant c_j = C_j / 2⁹ (C_j an integer; c₀ = 1) with |c_j z − 1| < 2⁻⁸ on
// the whole bucket (checked when the table is built). Then
//
//   ln x = k ln 2 − ln c_j + ln(1 + r),   r = c_j z − 1,
//
// and r is exact: c_j z is an integer multiple of 2⁻⁶¹ (z ≥ 1 a multiple of
// 2⁻⁵², or c₀ = 1 and z a multiple of 2⁻⁵³) and |r| < 2⁻⁸, so r has at most
// 53 significant bits and one fused multiply-add produces it.
//
// Constants. T_j = −ln c_j and ln 2, each split as hi + lo so that
// A = k·L2H + T_hi is exact and B = k·L2L + T_lo an ordinary double
// (log_buckets.hpp).
//
// ln(1 + r) = r − r²/2 + r³ P(r), P(r) = 1/3 − r/4 + … − r⁵/8 (Taylor): r²
// is split exactly (r·r and its fma remainder), r²/2 is exact, and
// u = r − r²/2 is kept as a double-double (fast two-sum); only r³ P(r) is an
// ordinary double. Then hi + err = A + u (two-sum), every low part is added
// into lo, and H + L = hi + lo (fast two-sum).
//
// Error bound (relative to |y|). Outside bucket 0 with k = 0, |y| ≥ 2⁻¹⁰
// (k = −1 and z < 2 − 2⁻⁹ give |y| ≥ −ln(1 − 2⁻¹⁰)); in bucket 0 with
// k = 0, y = ln(1 + r) and |y| ≥ 0.99 |r|.
//   - Truncation of the series after r⁸: |r|⁹/9 ≤ 2⁻⁷⁵ absolute → ≤ 2⁻⁶⁵;
//     in bucket 0, |r|⁸/9 ≤ 2⁻⁶⁷ relative.
//   - r³ P(r): coefficients rounded (≤ 2⁻⁵⁴ relative each) and the
//     evaluation's rounding (≤ 2⁻⁵¹ relative for |r| < 2⁻⁸) give ≤ 2⁻⁵⁰ |r|³/3
//     absolute; with |r| < 2⁻⁸ and |y| ≥ 2⁻¹⁰ that is ≤ 2⁻⁶⁵ |y|, and in
//     bucket 0 ≤ 2⁻⁶⁷ |y|.
//   - Table and ln 2: ≤ 2⁻⁹⁵ absolute, times |k| ≤ 1075 for ln 2 where
//     |y| ≥ |k| ln 2 / 2: ≤ 2⁻⁸⁴ |y|.
//   - The low-part additions: a few roundings, each ≤ 2⁻⁵³ of a quantity
//     below 2⁻⁵⁰ max(|A|, |r|), and |y| ≥ 2⁻¹¹ max(|A|, |r|) where A and u
//     cancel: ≤ 2⁻⁹⁰ |y|.
// Total ≤ 2⁻⁶³·⁵ |y|, and ulp(H) ≥ 2⁻⁵³ |y|, so E ≤ 2⁻¹⁰·⁵ ulp < 0.001 ulp,
// well inside the 0.0112 ulp left by δ = 1/32 beyond the library's 0.52
// (exact_log.cpp). The constants come from bucket_constants
// (log_buckets.hpp); the table is checked when built, and the kernel is not
// used if it fails.
#include "numerics/log_four_lanes.hpp"

#include <cfloat>
#include <cstdint>

#include "numerics/cpu_features.hpp"
#include "numerics/double_double.hpp"
#include "numerics/exact_log.hpp"
#include "numerics/log_buckets.hpp"

#ifdef TARNWICK_VECTOR_LOG

namespace tarnwick::numerics::avx2 {

namespace {

constexpr int kBucketBits = 8;
constexpr int kBuckets = 1 << kBucketBits;

// One bucket's constants, one 32-byte row (the fourth value is unused) so
// that one vector load fetches them; gathering them column by column is
// several times slower on current processors.
struct Bucket {
  double c;
  double t_hi;  // a multiple of 2⁻⁴²
  double t_lo;
  double unused;
};

struct Table {
  alignas(64) Bucket bucket[kBuckets];
  double ln2_hi;  // a multiple of 2⁻⁴²
  double ln2_lo;
  bool valid;
};

Table build_table() {
  Table table{};
  table.valid = detail::fill_log_table(
      table, kBucketBits, [&](int j, const detail::BucketConstants& b, double) {
        table.bucket[j] = {b.c, b.t_hi, b.t_lo, 0.0};
        return true;
      });
  return table;
}

const Table& table() {
  static const Table t = build_table();
  return t;
}

// The kernel runs in passes over the block, so that each pass has short
// dependency chains and many values in flight: (1) reduction and table,
// (2) the logarithm as H + L and the test of exact_log.cpp, (3) the
// positions to redo, (4) std::log at those positions.
#define TARNWICK_AVX2_FMA TARNWICK_TARGET_AVX2_FMA __attribute__((always_inline))

// Pass (1) over x[0] … x[n − 1], n a multiple of 4: r, A = k·L2H + T_hi and
// B = k·L2L + T_lo of each value.
TARNWICK_AVX2_FMA inline void reduce(const double* x, std::size_t n, const Table& t, double* r_of,
                                     double* a_of, double* b_of) {
  const __m256i bucket_offset = _mm256_set1_epi64x(std::int64_t{1} << 43);
  const __m256i bucket_mask = _mm256_set1_epi64x(kBuckets - 1);
  const __m256i bias = _mm256_set1_epi64x(1023);
  const __m256i exponent_as_double = _mm256_set1_epi64x(0x4330000000000000);  // 2⁵²
  const __m256d exponent_shift = _mm256_set1_pd(0x1p52 + 1023.0);
  const __m256d one = _mm256_set1_pd(1.0);
  const __m256d ln2_hi = _mm256_set1_pd(t.ln2_hi);
  const __m256d ln2_lo = _mm256_set1_pd(t.ln2_lo);
  for (std::size_t i = 0; i < n; i += 4) {
    const __m256i bits = _mm256_castpd_si256(_mm256_loadu_pd(x + i));
    // Biased exponent e = k + 1023 and bucket of the reduced argument.
    const __m256i shifted = _mm256_add_epi64(bits, bucket_offset);
    const __m256i e = _mm256_srli_epi64(shifted, 52);
    const __m256i bucket =
        _mm256_and_si256(_mm256_srli_epi64(shifted, 52 - kBucketBits), bucket_mask);
    const __m256d z = _mm256_castsi256_pd(
        _mm256_sub_epi64(bits, _mm256_slli_epi64(_mm256_sub_epi64(e, bias), 52)));
    const __m256d k = _mm256_sub_pd(
        _mm256_castsi256_pd(_mm256_or_si256(e, exponent_as_double)), exponent_shift);
    // The four rows, transposed into columns c, T_hi, T_lo.
    const __m128i bucket01 = _mm256_castsi256_si128(bucket);
    const __m128i bucket23 = _mm256_extracti128_si256(bucket, 1);
    const __m256d row0 = _mm256_load_pd(&t.bucket[_mm_cvtsi128_si64(bucket01)].c);
    const __m256d row1 = _mm256_load_pd(&t.bucket[_mm_extract_epi64(bucket01, 1)].c);
    const __m256d row2 = _mm256_load_pd(&t.bucket[_mm_cvtsi128_si64(bucket23)].c);
    const __m256d row3 = _mm256_load_pd(&t.bucket[_mm_extract_epi64(bucket23, 1)].c);
    const __m256d low01 = _mm256_unpacklo_pd(row0, row1);   // c0 c1 | tl0 tl1
    const __m256d high01 = _mm256_unpackhi_pd(row0, row1);  // th0 th1 | – –
    const __m256d low23 = _mm256_unpacklo_pd(row2, row3);
    const __m256d high23 = _mm256_unpackhi_pd(row2, row3);
    const __m256d c = _mm256_permute2f128_pd(low01, low23, 0x20);
    const __m256d t_lo = _mm256_permute2f128_pd(low01, low23, 0x31);
    const __m256d t_hi = _mm256_permute2f128_pd(high01, high23, 0x20);

    _mm256_store_pd(r_of + i, _mm256_fmsub_pd(c, z, one));        // exact
    _mm256_store_pd(a_of + i, _mm256_fmadd_pd(k, ln2_hi, t_hi));  // exact
    _mm256_store_pd(b_of + i, _mm256_fmadd_pd(k, ln2_lo, t_lo));
  }
}

// Pass (2) over the same values: H into y, and the positions where H is not
// certain to be std::log(x) marked in `redo`.
TARNWICK_AVX2_FMA inline void log_and_test(const double* x, std::size_t n, const double* r_of,
                                           const double* a_of, const double* b_of, double* y,
                                           LibraryPositions& redo) {
  const __m256i exponent_bits = _mm256_set1_epi64x(0x7FF0000000000000);
  const __m256i mantissa_bits = _mm256_set1_epi64x(0x000FFFFFFFFFFFFF);
  const __m256d sign_bit = _mm256_set1_pd(-0.0);
  const __m256d smallest = _mm256_set1_pd(DBL_MIN);
  const __m256d largest = _mm256_set1_pd(DBL_MAX);
  const __m256d kept = _mm256_set1_pd(detail::kKeptHalfUlp * 0x1p-52);
  for (std::size_t i = 0; i < n; i += 4) {
    const __m256d r = _mm256_load_pd(r_of + i);
    const __m256d a = _mm256_load_pd(a_of + i);
    const __m256d r2 = _mm256_mul_pd(r, r);
    const __m256d r2_lo = _mm256_fmsub_pd(r, r, r2);  // exact
    // P(r) by Estrin's scheme (short dependency chains):
    // (a3 + a4 r) + r² (a5 + a6 r) + r⁴ (a7 + a8 r).
    const __m256d r4 = _mm256_mul_pd(r2, r2);
    const __m256d p34 = _mm256_fmadd_pd(_mm256_set1_pd(-1.0 / 4.0), r, _mm256_set1_pd(1.0 / 3.0));
    const __m256d p56 = _mm256_fmadd_pd(_mm256_set1_pd(-1.0 / 6.0), r, _mm256_set1_pd(1.0 / 5.0));
    const __m256d p78 = _mm256_fmadd_pd(_mm256_set1_pd(-1.0 / 8.0), r, _mm256_set1_pd(1.0 / 7.0));
    const __m256d p3to8 = _mm256_fmadd_pd(p78, r4, _mm256_fmadd_pd(p56, r2, p34));
    const __m256d p = _mm256_mul_pd(p3to8, _mm256_mul_pd(r2, r));
    // H + L from A, B, r, r² and r³ P(r).
    __m256d h;
    __m256d l;
    dd::log_sum<false>(a, _mm256_load_pd(b_of + i), r, r2, r2_lo, p, h, l);
    _mm256_storeu_pd(y + i, h);

    // Conditions (a), (b), (c) of exact_log.cpp.
    const __m256d xv = _mm256_loadu_pd(x + i);
    const __m256i h_bits = _mm256_castpd_si256(h);
    const __m256d threshold =
        _mm256_mul_pd(_mm256_castsi256_pd(_mm256_and_si256(h_bits, exponent_bits)), kept);
    const __m256d near_enough =
        _mm256_cmp_pd(_mm256_andnot_pd(sign_bit, l), threshold, _CMP_LT_OQ);
    const __m256d normal = _mm256_and_pd(_mm256_cmp_pd(xv, smallest, _CMP_GE_OQ),
                                         _mm256_cmp_pd(xv, largest, _CMP_LE_OQ));
    const __m256d power_of_two = _mm256_castsi256_pd(
        _mm256_cmpeq_epi64(_mm256_and_si256(h_bits, mantissa_bits), _mm256_setzero_si256()));
    const __m256d keep = _mm256_andnot_pd(power_of_two, _mm256_and_pd(near_enough, normal));
    redo.mark_lanes(i, static_cast<std::uint64_t>(~_mm256_movemask_pd(keep) & 15));
  }
}

#undef TARNWICK_AVX2_FMA

TARNWICK_TARGET_AVX2_FMA std::size_t vector_log(std::span<const double> xs, std::span<double> out,
                                                const Table& t) {
  const std::size_t n = xs.size();
  const std::size_t n_vector = n & ~std::size_t{3};
  alignas(32) double r_of[kExactLogBlock];  // r, exact
  alignas(32) double a_of[kExactLogBlock];  // k·L2H + T_hi, exact
  alignas(32) double b_of[kExactLogBlock];  // k·L2L + T_lo
  LibraryPositions redo;                    // x[i] is to be taken from std::log
  reduce(xs.data(), n_vector, t, r_of, a_of, b_of);
  log_and_test(xs.data(), n_vector, r_of, a_of, b_of, out.data(), redo);
  for (std::size_t i = n_vector; i < n; ++i) redo.mark(i);
  return redo.fill(xs.data(), out.data());
}

}  // namespace

bool log_table_valid() { return table().valid; }

std::size_t four_lane_log(std::span<const double> x, std::span<double> out) {
  return vector_log(x, out, table());
}

}  // namespace tarnwick::numerics::avx2

#endif
