// Standard normal probabilities of intervals far into a tail, in the form
// the library's Gaussian models normalise with.
#pragma once

namespace tarnwick::fit {

// erfcx(z) = exp(z²) erfc(z) for z ≥ 0: exp(z²) is taken with z² split
// exactly into a double and its rounding error, so the product keeps the
// accuracy of erfc (no z²·ε loss); from z = 26, where erfc nears the
// subnormal range, the asymptotic series (1/(z√π)) Σ (−1)ᵏ (2k−1)!!/(2z²)ᵏ,
// whose terms fall below 1e-17 of the sum by k = 8.
[[nodiscard]] double erfcx(double z) noexcept;

// exp(t₀²/2) (Φ(t2) − Φ(t1)) for t1 ≤ t2, where t0 is the point of [t1, t2]
// nearest 0. The interval is mirrored onto the side of 0 holding most of
// it (lo ≤ 0, lo ≤ −hi); then
//   narrow, (hi − lo)·max(1, −lo) < ¼:  12-point Gauss–Legendre of
//                                       exp(−(t − t₀)(t + t₀)/2)/√(2π);
//   near, hi > −1:                      ½ (erf(hi/√2) − erf(lo/√2)) e^{t₀²/2};
//   far:                                ½ [erfcx(−hi/√2) e^{−(hi−t₀)(hi+t₀)/2}
//                                          − erfcx(−lo/√2) e^{−(lo−t₀)(lo+t₀)/2}],
// each written in the order of operations of the models' NumPy evaluation.
//
// `condition`, when given, receives the condition number of the final
// difference, (|u| + |v|) / |u − v| for the two terms u, v (1 for the
// quadrature, a sum of positive terms): how much a relative disagreement
// in erf or erfcx between two implementations is amplified in the mass.
[[nodiscard]] double normal_mass(double t1, double t2, double t0,
                                 double* condition = nullptr) noexcept;

// Which of the three forms of normal_mass an interval takes.
enum class MassForm { kQuadrature, kErf, kErfcx };
[[nodiscard]] MassForm normal_mass_form(double t1, double t2) noexcept;

// The point of [low, high] nearest 0.
[[nodiscard]] constexpr double nearest_to_zero(double low, double high) noexcept {
  const double above = low > 0.0 ? low : 0.0;
  return above < high ? above : high;
}

}  // namespace tarnwick::fit
