// exact_log: std::log of a block of doubles, bit for bit, computed four at a
// time where the processor has AVX2 and FMA, eight at a time where it has
// AVX-512 (log_kernel_avx512.hpp: the same argument with another reduction).
//
// Why the result is std::log's, bit for bit
// ------------------------------------------
// Let y = ln x exactly and ulp the spacing of the doubles in y's binade. The
// C library's log (glibc 2.28 and later) has an error below 0.52 ulp in
// round-to-nearest. The vector path computes an unevaluated sum H + L, with
// H = RN(H + L) and |L| ≤ ulp(H)/2, such that |y − (H + L)| ≤ E with
// E ≤ 2⁻⁸ ulp (bounds below for four lanes, 2⁻¹⁰·⁵; in log_kernel_avx512.hpp
// for eight). It keeps H only when
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
// The computation
// ---------------
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
// Constants. T_j = −ln c_j = ln(512 / C_j) and ln 2 are double-doubles
// computed when first needed from ln(a/b) = 2 atanh((a − b)/(a + b)), the
// series summed in double-double arithmetic (error < 2⁻⁹⁵ absolute). Both
// are split as hi + lo with hi a multiple of 2⁻⁴², so that
// A = k·L2H + T_hi is exact (a multiple of 2⁻⁴² below 2¹⁰ in magnitude, for
// |k| ≤ 1075); B = k·L2L + T_lo is an ordinary double.
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
// well inside the 0.0112 ulp left by δ = 1/32 beyond the library's 0.52.
// The constants of both tables come from bucket_constants below; each table
// is checked when built, and a kernel whose table fails is not used.
//
// This file is compiled with -ffp-contract=off (src/fit/CMakeLists.txt):
// the two-sums and the exact products rely on every operation written being
// rounded separately, and the only fused operations are the explicit ones.
#include "fit/exact_log.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>

#include "fit/log_kernel_avx512.hpp"

namespace tarnwick::fit {

namespace {

// The part of the library's log that is scalar in every case.
std::size_t scalar_log(std::span<const double> x, std::span<double> out) {
  for (std::size_t i = 0; i < x.size(); ++i) out[i] = std::log(x[i]);
  return x.size();
}

}  // namespace

#ifdef TARNWICK_VECTOR_LOG

namespace {

// Double-double arithmetic (value hi + lo, |lo| ≤ ulp(hi)/2), without fused
// operations, used only to build the table.
struct DoubleDouble {
  double hi;
  double lo;
};

DoubleDouble two_sum(double a, double b) {
  const double s = a + b;
  const double bb = s - a;
  return {s, (a - (s - bb)) + (b - bb)};
}

DoubleDouble fast_two_sum(double a, double b) {  // |a| ≥ |b| or a = 0
  const double s = a + b;
  return {s, b - (s - a)};
}

DoubleDouble split(double a) {  // Veltkamp: hi has at most 26 bits
  const double t = 134217729.0 * a;  // 2²⁷ + 1
  const double hi = t - (t - a);
  return {hi, a - hi};
}

DoubleDouble two_product(double a, double b) {  // Dekker: exact
  const double p = a * b;
  const DoubleDouble as = split(a);
  const DoubleDouble bs = split(b);
  const double e = ((as.hi * bs.hi - p) + as.hi * bs.lo + as.lo * bs.hi) + as.lo * bs.lo;
  return {p, e};
}

DoubleDouble add(DoubleDouble a, DoubleDouble b) {
  const DoubleDouble s = two_sum(a.hi, b.hi);
  return fast_two_sum(s.hi, s.lo + (a.lo + b.lo));
}

DoubleDouble multiply(DoubleDouble a, DoubleDouble b) {
  const DoubleDouble p = two_product(a.hi, b.hi);
  return fast_two_sum(p.hi, p.lo + (a.hi * b.lo + a.lo * b.hi));
}

DoubleDouble divide(DoubleDouble a, double d) {
  const double q = a.hi / d;
  const DoubleDouble p = two_product(q, d);
  const double remainder = ((a.hi - p.hi) - p.lo) + a.lo;
  return fast_two_sum(q, remainder / d);
}

// ln(a/b) for integers 0 < b ≤ a ≤ 2b: 2 atanh(t), t = (a − b)/(a + b) ≤ 1/3,
// atanh t = Σ t^(2n+1)/(2n+1); the terms fall by t² ≤ 1/9 and the sum stops
// when they are below 2⁻¹²⁰.
DoubleDouble log_of_ratio(double a, double b) {
  const DoubleDouble t = divide({a - b, 0.0}, a + b);
  const DoubleDouble t2 = multiply(t, t);
  DoubleDouble power = t;
  DoubleDouble sum = t;
  for (double n = 3.0; power.hi > 0x1p-120; n += 2.0) {
    power = multiply(power, t2);
    sum = add(sum, divide(power, n));
  }
  return {2.0 * sum.hi, 2.0 * sum.lo};
}

// 1/2 − δ: L must be below this many ulps of H.
constexpr double kKeptHalfUlp = 0.5 - 1.0 / 32.0;

// ln 2 as hi + lo, hi a multiple of 2⁻⁴²; `exact` says whether the series
// gave the double nearest ln 2 (a wrong series would not).
struct Ln2 {
  double hi;
  double lo;
  bool exact;
};

Ln2 ln2_split() {
  const DoubleDouble ln2 = log_of_ratio(2.0, 1.0);
  const double hi = std::nearbyint(ln2.hi * 0x1p42) * 0x1p-42;
  return {hi, (ln2.hi - hi) + ln2.lo, ln2.hi == 0x1.62e42fefa39efp-1};
}

// The constants of bucket j of 2^bits buckets: z ∈ [a, b) with
// a = 1 + 2^−(bits+1) + (j − 1) 2^−bits and b = a + 2^−bits for j ≥ 1, and
// z ∈ [1 − 2^−(bits+2), 1 + 2^−(bits+1)) for j = 0 (c = 1, T = 0).
// c = C / 2^(bits+1), C an integer, near 2 / (a + b); r = c z − 1 is exact
// when |r| < 2^−bits on the whole bucket (`valid`).
struct BucketConstants {
  double a, b;  // the bucket's z range
  double c;
  double t_hi;  // a multiple of 2⁻⁴²
  double t_lo;
  double r_max;  // max |c z − 1| over the bucket
  bool valid;
};

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
  const Ln2 ln2 = ln2_split();
  table.ln2_hi = ln2.hi;
  table.ln2_lo = ln2.lo;
  bool valid = ln2.exact;
  for (int j = 0; j < kBuckets; ++j) {
    const BucketConstants b = bucket_constants(kBucketBits, j);
    table.bucket[j] = {b.c, b.t_hi, b.t_lo, 0.0};
    valid = valid && b.valid;
  }
  table.valid = valid;
  return table;
}

const Table& table() {
  static const Table t = build_table();
  return t;
}

// The eight-lane kernel's two further conditions on a bucket, for k = 0 and
// k = −1 (log_kernel_avx512.hpp): A = k ln2_hi + T_hi is 0 or at least |u|
// in magnitude (|u| ≤ |r| (1 + |r|)), and the truncation and rounding of
// r³ P(r) stay below 2⁻⁶¹ of the smallest |y| on the bucket. Where A = 0,
// H + L approximates ln(1 + r) itself and |y| ≥ 0.99 |r| for the r at hand:
// the bound is relative to r.
bool eight_lane_bounds_hold(const BucketConstants& b, double ln2_hi) {
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

avx512::LogTable build_avx512_table() {
  avx512::LogTable table{};
  const Ln2 ln2 = ln2_split();
  table.ln2_hi = ln2.hi;
  table.ln2_lo = ln2.lo;
  table.kept_half_ulp = kKeptHalfUlp;
  bool valid = ln2.exact;
  for (int j = 0; j < avx512::kBuckets; ++j) {
    const BucketConstants b = bucket_constants(avx512::kBucketBits, j);
    table.c[j] = b.c;
    table.t_hi[j] = b.t_hi;
    table.t_lo[j] = b.t_lo;
    valid = valid && b.valid && eight_lane_bounds_hold(b, ln2.hi);
  }
  table.valid = valid;
  return table;
}

// The kernel runs in passes over the block, so that each pass has short
// dependency chains and many values in flight: (1) reduction and table,
// (2) the logarithm as H + L and the test of the opening comment, (3) the
// positions to redo, (4) std::log at those positions.
__attribute__((target("avx2,fma"))) std::size_t vector_log(std::span<const double> xs,
                                                           std::span<double> out,
                                                           const Table& t) {
  const std::size_t n = xs.size();
  const std::size_t n_vector = n & ~std::size_t{3};
  const double* x = xs.data();
  double* y = out.data();
  alignas(32) double r_of[kExactLogBlock];   // r, exact
  alignas(32) double a_of[kExactLogBlock];   // k·L2H + T_hi, exact
  alignas(32) double b_of[kExactLogBlock];   // k·L2L + T_lo
  LibraryPositions redo;  // x[i] is to be taken from std::log

  {
    const __m256i bucket_offset = _mm256_set1_epi64x(std::int64_t{1} << 43);
    const __m256i bucket_mask = _mm256_set1_epi64x(kBuckets - 1);
    const __m256i bias = _mm256_set1_epi64x(1023);
    const __m256i exponent_as_double = _mm256_set1_epi64x(0x4330000000000000);  // 2⁵²
    const __m256d exponent_shift = _mm256_set1_pd(0x1p52 + 1023.0);
    const __m256d one = _mm256_set1_pd(1.0);
    const __m256d ln2_hi = _mm256_set1_pd(t.ln2_hi);
    const __m256d ln2_lo = _mm256_set1_pd(t.ln2_lo);
    for (std::size_t i = 0; i < n_vector; i += 4) {
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

      _mm256_store_pd(r_of + i, _mm256_fmsub_pd(c, z, one));          // exact
      _mm256_store_pd(a_of + i, _mm256_fmadd_pd(k, ln2_hi, t_hi));    // exact
      _mm256_store_pd(b_of + i, _mm256_fmadd_pd(k, ln2_lo, t_lo));
    }
  }

  {
    const __m256d minus_half = _mm256_set1_pd(-0.5);
    const __m256i exponent_bits = _mm256_set1_epi64x(0x7FF0000000000000);
    const __m256i mantissa_bits = _mm256_set1_epi64x(0x000FFFFFFFFFFFFF);
    const __m256d sign_bit = _mm256_set1_pd(-0.0);
    const __m256d smallest = _mm256_set1_pd(DBL_MIN);
    const __m256d largest = _mm256_set1_pd(DBL_MAX);
    const __m256d kept = _mm256_set1_pd(kKeptHalfUlp * 0x1p-52);
    for (std::size_t i = 0; i < n_vector; i += 4) {
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
      // u = r − r²/2 as a double-double (|r| ≥ r²/2: fast two-sum).
      const __m256d q = _mm256_mul_pd(minus_half, r2);
      const __m256d q_lo = _mm256_mul_pd(minus_half, r2_lo);
      const __m256d u = _mm256_add_pd(r, q);
      const __m256d u_lo = _mm256_sub_pd(q, _mm256_sub_pd(u, r));
      // hi + err = A + u (two-sum).
      const __m256d hi = _mm256_add_pd(a, u);
      const __m256d bb = _mm256_sub_pd(hi, a);
      const __m256d err =
          _mm256_add_pd(_mm256_sub_pd(a, _mm256_sub_pd(hi, bb)), _mm256_sub_pd(u, bb));
      const __m256d lo = _mm256_add_pd(
          err, _mm256_add_pd(_mm256_add_pd(_mm256_load_pd(b_of + i), u_lo), _mm256_add_pd(q_lo, p)));
      // H + L = hi + lo (fast two-sum).
      const __m256d h = _mm256_add_pd(hi, lo);
      const __m256d l = _mm256_sub_pd(lo, _mm256_sub_pd(h, hi));
      _mm256_storeu_pd(y + i, h);

      // Conditions (a), (b), (c) of the opening comment.
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
      const auto lanes = static_cast<std::uint64_t>(~_mm256_movemask_pd(keep) & 15);
      redo.mark_lanes(i, lanes);
    }
  }

  for (std::size_t i = n_vector; i < n; ++i) redo.mark(i);
  return redo.fill(x, y);
}

__attribute__((target("avx512f,avx512dq,avx512vl"))) std::size_t eight_lane_log(
    std::span<const double> xs, std::span<double> out) {
  const std::size_t n = xs.size();
  const std::size_t n_vector = n & ~std::size_t{7};
  const double* x = xs.data();
  double* y = out.data();
  const avx512::Registers t = avx512::load_registers(avx512::log_table());
  LibraryPositions redo;
  for (std::size_t i = 0; i < n_vector; i += 8) {
    const avx512::Log8 v = avx512::log8(_mm512_loadu_pd(x + i), t);
    _mm512_storeu_pd(y + i, v.h);
    redo.mark_lanes(i, static_cast<std::uint8_t>(~v.keep));
  }
  for (std::size_t i = n_vector; i < n; ++i) redo.mark(i);
  return redo.fill(x, y);
}

bool available(LogKernel kernel) {
  switch (kernel) {
    case LogKernel::Library:
      return true;
    case LogKernel::FourLane: {
      __builtin_cpu_init();
      static const bool four =
          __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") && table().valid;
      return four;
    }
    case LogKernel::EightLane: {
      __builtin_cpu_init();
      static const bool eight = __builtin_cpu_supports("avx512f") &&
                                __builtin_cpu_supports("avx512dq") &&
                                __builtin_cpu_supports("avx512vl") && avx512::log_table().valid;
      return eight;
    }
  }
  return false;
}

}  // namespace

namespace avx512 {

const LogTable& log_table() {
  static const LogTable t = build_avx512_table();
  return t;
}

}  // namespace avx512

bool log_kernel_available(LogKernel kernel) { return available(kernel); }

std::size_t exact_log(std::span<const double> x, std::span<double> out, LogKernel kernel) {
  if (x.size() > kExactLogBlock || out.size() < x.size() || !available(kernel)) __builtin_trap();
  switch (kernel) {
    case LogKernel::FourLane:
      return vector_log(x, out, table());
    case LogKernel::EightLane:
      return eight_lane_log(x, out);
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

}  // namespace tarnwick::fit
