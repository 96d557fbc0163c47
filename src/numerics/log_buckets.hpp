// The constants of the vector logarithms' tables, computed when first
// needed and checked before any kernel uses them.
//
// T_j = −ln c_j = ln(2^(bits+1) / C_j) and ln 2 are double-doubles computed
// from ln(a/b) = 2 atanh((a − b)/(a + b)), the series summed in
// double-double arithmetic (double_double.hpp; error < 2⁻⁹⁵ absolute). Both
// are split as hi + lo with hi a multiple of 2⁻⁴², so that A = k·L2H + T_hi
// is exact (a multiple of 2⁻⁴² below 2¹⁰ in magnitude, for |k| ≤ 1075);
// B = k·L2L + T_lo is an ordinary double.
#pragma once

namespace tarnwick::numerics::detail {

// 1/2 − δ, δ = 1/32: a kernel keeps H only where L is below this many ulps
// of H (test (c) of exact_log.cpp).
inline constexpr double kKeptHalfUlp = 0.5 - 1.0 / 32.0;

// ln 2 as hi + lo, hi a multiple of 2⁻⁴²; `exact` says whether the series
// gave the double nearest ln 2 (a wrong series would not).
struct Ln2 {
  double hi;
  double lo;
  bool exact;
};

[[nodiscard]] Ln2 ln2_split();

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

[[nodiscard]] BucketConstants bucket_constants(int bits, int j);

// Fills a table of 2^bits buckets: its ln2_hi and ln2_lo, and each bucket j
// through keep(j, constants, ln2_hi), which stores the bucket's constants
// and returns whether the table's own checks on them pass. Returns whether
// ln 2 and every bucket passed.
template <class Table, class Keep>
[[nodiscard]] bool fill_log_table(Table& table, int bits, Keep keep) {
  const Ln2 ln2 = ln2_split();
  table.ln2_hi = ln2.hi;
  table.ln2_lo = ln2.lo;
  bool valid = ln2.exact;
  for (int j = 0; j < (1 << bits); ++j) {
    const BucketConstants b = bucket_constants(bits, j);
    const bool kept = keep(j, b, ln2.hi);
    valid = valid && b.valid && kept;
  }
  return valid;
}

}  // namespace tarnwick::numerics::detail
