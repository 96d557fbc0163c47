#include "fit/normal_mass.hpp"

#include <array>
#include <cmath>

namespace tarnwick::fit {
namespace {

constexpr double kSqrtHalf = 0x1.6a09e667f3bcdp-1;     // √½
constexpr double kSqrt2Pi = 0x1.40d931ff62705p+1;      // √(2π)
constexpr double kInvSqrtPi = 0x1.20dd750429b6dp-1;    // 1/√π

// The nodes and weights of 12-point Gauss–Legendre on [−1, 1].
constexpr std::array<double, 12> kNodes = {
    -0x1.f68f1d8e42e81p-1, -0x1.cee874ffb88b3p-1, -0x1.8a30aeed88f36p-1, -0x1.2cb4f05c077f9p-1,
    -0x1.78a8d20a8b19dp-2, -0x1.007a5f8f630e4p-3, 0x1.007a5f8f630e4p-3,  0x1.78a8d20a8b19dp-2,
    0x1.2cb4f05c077f9p-1,  0x1.8a30aeed88f36p-1,  0x1.cee874ffb88b3p-1,  0x1.f68f1d8e42e81p-1};
constexpr std::array<double, 12> kWeights = {
    0x1.8275d9dea6d53p-5, 0x1.b60602bce61afp-4, 0x1.47d7258f22d96p-3, 0x1.a0163e6b1ab6bp-3,
    0x1.de3155c256aaep-3, 0x1.fe40ce6d4f022p-3, 0x1.fe40ce6d4f022p-3, 0x1.de3155c256aaep-3,
    0x1.a0163e6b1ab6bp-3, 0x1.47d7258f22d96p-3, 0x1.b60602bce61afp-4, 0x1.8275d9dea6d53p-5};

double erfcx_series(double z) noexcept {
  // Σ (−1)ᵏ (2k−1)!!/(2z²)ᵏ, summed from the smallest term.
  const double inverse = 1.0 / (2.0 * z * z);
  std::array<double, 10> terms{};
  terms[0] = 1.0;
  for (std::size_t k = 1; k < terms.size(); ++k) {
    terms[k] = -terms[k - 1] * static_cast<double>(2 * k - 1) * inverse;
  }
  double sum = 0.0;
  for (std::size_t k = terms.size(); k-- > 0;) sum += terms[k];
  return sum * kInvSqrtPi / z;
}

double gauss_legendre_mass(double a, double b, double t0) noexcept {
  const double half = 0.5 * (b - a);
  const double middle = 0.5 * (a + b);
  double sum = 0.0;
  for (std::size_t k = 0; k < kNodes.size(); ++k) {
    const double t = middle + half * kNodes[k];
    sum += std::exp(-0.5 * (t - t0) * (t + t0)) * kWeights[k];
  }
  return half * sum / kSqrt2Pi;
}

}  // namespace

double erfcx(double z) noexcept {
  if (z >= 26.0) return erfcx_series(z);
  const double square = z * z;
  const double error = std::fma(z, z, -square);
  const double scale = std::exp(square);
  return (scale + scale * error) * std::erfc(z);
}

MassForm normal_mass_form(double t1, double t2) noexcept {
  const bool flip = t1 + t2 > 0.0;
  const double lo = flip ? -t2 : t1;
  const double hi = flip ? -t1 : t2;
  if ((hi - lo) * std::fmax(1.0, -lo) < 0.25) return MassForm::kQuadrature;
  return hi > -1.0 ? MassForm::kErf : MassForm::kErfcx;
}

double normal_mass(double t1, double t2, double t0, double* condition) noexcept {
  const bool flip = t1 + t2 > 0.0;
  const double lo = flip ? -t2 : t1;
  const double hi = flip ? -t1 : t2;
  double u = 0.0;
  double v = 0.0;
  double mass = 0.0;
  if ((hi - lo) * std::fmax(1.0, -lo) < 0.25) {
    mass = gauss_legendre_mass(lo, hi, t0);
    u = mass;
  } else if (hi > -1.0) {
    u = std::erf(hi * kSqrtHalf);
    v = std::erf(lo * kSqrtHalf);
    mass = 0.5 * (u - v) * std::exp(0.5 * t0 * t0);
  } else {
    u = erfcx(-hi * kSqrtHalf) * std::exp(-0.5 * (hi - t0) * (hi + t0));
    v = erfcx(-lo * kSqrtHalf) * std::exp(-0.5 * (lo - t0) * (lo + t0));
    mass = 0.5 * (u - v);
  }
  if (condition != nullptr) *condition = (std::fabs(u) + std::fabs(v)) / std::fabs(u - v);
  return mass;
}

}  // namespace tarnwick::fit
