// Double-double arithmetic: a value hi + lo with |lo| ≤ ulp(hi)/2, about
// 106 bits, made of ordinary double operations (no fused ones) in
// round-to-nearest. The logarithm tables are computed with it when first
// needed, and the vector logarithms end with the same steps in registers
// (log_sum below).
//
// Every operation written must be rounded on its own: whoever includes this
// compiles with -ffp-contract=off (the numerics target does).
#pragma once

namespace tarnwick::numerics::dd {

struct DoubleDouble {
  double hi;
  double lo;
};

inline DoubleDouble two_sum(double a, double b) {
  const double s = a + b;
  const double bb = s - a;
  return {s, (a - (s - bb)) + (b - bb)};
}

inline DoubleDouble fast_two_sum(double a, double b) {  // |a| ≥ |b| or a = 0
  const double s = a + b;
  return {s, b - (s - a)};
}

inline DoubleDouble split(double a) {  // Veltkamp: hi has at most 26 bits
  const double t = 134217729.0 * a;  // 2²⁷ + 1
  const double hi = t - (t - a);
  return {hi, a - hi};
}

inline DoubleDouble two_product(double a, double b) {  // Dekker: exact
  const double p = a * b;
  const DoubleDouble as = split(a);
  const DoubleDouble bs = split(b);
  const double e = ((as.hi * bs.hi - p) + as.hi * bs.lo + as.lo * bs.hi) + as.lo * bs.lo;
  return {p, e};
}

inline DoubleDouble add(DoubleDouble a, DoubleDouble b) {
  const DoubleDouble s = two_sum(a.hi, b.hi);
  return fast_two_sum(s.hi, s.lo + (a.lo + b.lo));
}

inline DoubleDouble multiply(DoubleDouble a, DoubleDouble b) {
  const DoubleDouble p = two_product(a.hi, b.hi);
  return fast_two_sum(p.hi, p.lo + (a.hi * b.lo + a.lo * b.hi));
}

inline DoubleDouble divide(DoubleDouble a, double d) {
  const double q = a.hi / d;
  const DoubleDouble p = two_product(q, d);
  const double remainder = ((a.hi - p.hi) - p.lo) + a.lo;
  return fast_two_sum(q, remainder / d);
}

// ln(a/b) for integers 0 < b ≤ a ≤ 2b: 2 atanh(t), t = (a − b)/(a + b) ≤ 1/3,
// atanh t = Σ t^(2n+1)/(2n+1); the terms fall by t² ≤ 1/9 and the sum stops
// when they are below 2⁻¹²⁰.
inline DoubleDouble log_of_ratio(double a, double b) {
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

// The last steps of both vector logarithms, for V = __m256d or __m512d.
// These are GCC vector types, whose +, − and × are the packed instructions
// themselves (the intrinsics _mm256_add_pd and the like are written so), so
// the function compiles to the same code inside either kernel. From
// A = k·L2H + T_hi, B = k·L2L + T_lo, r, r² = r2 + r2_lo (exact) and
// p = r³ P(r):
//   u + u_lo = r − r²/2 (fast two-sum: |r| ≥ r²/2; q_lo = −r2_lo/2 exact),
//   hi + err = A + u (two-sum, or a fast one where kAIsZeroOrLarger: the
//   caller knows A = 0 or |A| ≥ |u|),
//   lo = err + ((B + u_lo) + (q_lo + p)), and H + L = hi + lo (fast
//   two-sum).
template <bool kAIsZeroOrLarger, class V>
[[gnu::always_inline]] inline void log_sum(const V& a, const V& b, const V& r, const V& r2,
                                           const V& r2_lo, const V& p, V& h, V& l) {
  const V q = -0.5 * r2;
  const V q_lo = -0.5 * r2_lo;
  const V u = r + q;
  const V u_lo = q - (u - r);
  const V hi = a + u;
  V err;
  if constexpr (kAIsZeroOrLarger) {
    err = u - (hi - a);
  } else {
    const V bb = hi - a;
    err = (a - (hi - bb)) + (u - bb);
  }
  const V lo = err + ((b + u_lo) + (q_lo + p));
  h = hi + lo;
  l = lo - (h - hi);
}

}  // namespace tarnwick::numerics::dd
