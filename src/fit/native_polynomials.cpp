#include "fit/native_polynomials.hpp"

#include <array>
#include <cmath>

#include "numerics/exact_sum.hpp"

namespace tarnwick::fit {
namespace {

using Coefficients = std::array<double, kMaxPolynomialCoefficients + 1>;

// The length without trailing zeros, at least 1 (NumPy's trimseq).
std::size_t trimmed(const Coefficients& a, std::size_t n) {
  while (n > 1 && a[n - 1] == 0.0) --n;
  return n;
}

// 1 + Σ c_k T_k in powers of x', as cheb2poly: c0 ← c[i−2] − c1,
// c1 ← c0 + 2·x·c1 from the top degree down, then c0 + x·c1. (NumPy trims
// its intermediate series, which only drops zeros that add nothing.)
std::size_t chebyshev_power(std::span<const double> p, Coefficients& a) {
  Coefficients c{};
  c[0] = 1.0;
  for (std::size_t k = 0; k < p.size(); ++k) c[k + 1] = p[k];
  const std::size_t n = trimmed(c, p.size() + 1);
  if (n < 3) {
    a = c;
    return n;
  }
  Coefficients c0{};
  Coefficients c1{};
  c0[0] = c[n - 2];
  c1[0] = c[n - 1];
  for (std::size_t i = n - 1; i > 1; --i) {
    const Coefficients previous = c0;
    c0[0] = c[i - 2] - c1[0];
    for (std::size_t j = 1; j < n; ++j) c0[j] = -c1[j];
    Coefficients next{};
    next[0] = previous[0] + c1[0] * 0.0 * 2.0;
    for (std::size_t j = 1; j < n; ++j) next[j] = previous[j] + c1[j - 1] * 2.0;
    c1 = next;
  }
  a[0] = c0[0] + c1[0] * 0.0;
  for (std::size_t j = 1; j < n; ++j) a[j] = c0[j] + c1[j - 1];
  return trimmed(a, n);
}

// Σ_j a_j t^j as the models' _horner: t·a_top + a_next, then ·t + a_j.
void horner(const Coefficients& a, std::size_t n, std::span<const double> t, double* out) {
  if (n == 1) {
    for (std::size_t i = 0; i < t.size(); ++i) out[i] = a[0];
    return;
  }
  for (std::size_t i = 0; i < t.size(); ++i) {
    double y = t[i] * a[n - 1];
    y += a[n - 2];
    for (std::size_t j = n - 2; j-- > 0;) {
      y *= t[i];
      y += a[j];
    }
    out[i] = y;
  }
}

// The binomial coefficient C(n, k) as a double (exact for these degrees).
double binomial(std::size_t n, std::size_t k) {
  double value = 1.0;
  for (std::size_t i = 1; i <= k; ++i) value = value * static_cast<double>(n - k + i) / static_cast<double>(i);
  return std::round(value);
}

// Clenshaw's sum of 1 + Σ c_k T_k at x.
double chebyshev_value(std::span<const double> p, double x) {
  double b1 = 0.0;
  double b2 = 0.0;
  for (std::size_t k = p.size(); k > 0; --k) {
    const double b0 = p[k - 1] + 2.0 * x * b1 - b2;
    b2 = b1;
    b1 = b0;
  }
  return 1.0 + x * b1 - b2;
}

}  // namespace

void chebyshev_unnormalised(double low, double high, std::span<const double> p,
                            std::span<const double> x, double* out) {
  Coefficients a{};
  const std::size_t n = chebyshev_power(p, a);
  const double scale = 2.0 / (high - low);
  const double shift = (low + high) / (high - low);
  for (std::size_t i = 0; i < x.size(); ++i) out[i] = x[i] * scale - shift;
  horner(a, n, {out, x.size()}, out);
}

double chebyshev_mass(double low, double high, std::span<const double> p) {
  double even = 0.0;
  for (std::size_t k = 2; k <= p.size(); k += 2) {
    even += 2.0 * p[k - 1] / (1.0 - static_cast<double>(k * k));
  }
  return 0.5 * (high - low) * (2.0 + even);
}

NativeCheck chebyshev_check(std::span<const double> p) {
  // The series on a grid of spacing h, less what it can fall between two
  // points (|d/dx T_k| ≤ k²), less a margin far above the rounding of
  // either evaluation.
  constexpr std::size_t kGrid = 1025;
  constexpr double kHalfSpacing = 1.0 / (kGrid - 1);
  double slope = 0.0;
  double size = 1.0;
  for (std::size_t k = 1; k <= p.size(); ++k) {
    if (!std::isfinite(p[k - 1])) return {NativeCheck::Verdict::kUndecided, {}};
    slope += static_cast<double>(k * k) * std::fabs(p[k - 1]);
    size += std::fabs(p[k - 1]);
  }
  double lowest = INFINITY;
  for (std::size_t i = 0; i < kGrid; ++i) {
    const double x = -1.0 + 2.0 * static_cast<double>(i) / (kGrid - 1);
    lowest = std::fmin(lowest, chebyshev_value(p, x));
  }
  if (lowest - slope * kHalfSpacing - 1e-9 * size > 0.0) return {};
  return {NativeCheck::Verdict::kUndecided, {}};
}

void bernstein_unnormalised(double low, double high, std::span<const double> p,
                            std::span<const double> x, double* out) {
  // a_j = Σ_k c_k C(n,k) C(n−k, j−k) (−1)^{j−k}, each product rounded and
  // the sum rounded once, as math.fsum in the model.
  const std::size_t degree = p.size() - 1;
  Coefficients a{};
  std::array<double, kMaxPolynomialCoefficients + 1> terms{};
  for (std::size_t j = 0; j <= degree; ++j) {
    for (std::size_t k = 0; k <= degree; ++k) {
      const double sign = (j - k) % 2 == 0 ? 1.0 : -1.0;
      const double m = k <= j ? binomial(degree, k) * binomial(degree - k, j - k) * sign : 0.0;
      terms[k] = m * p[k];
    }
    a[j] = numerics::exact_sum({terms.data(), degree + 1});
  }
  const double scale = 1.0 / (high - low);
  for (std::size_t i = 0; i < x.size(); ++i) out[i] = (x[i] - low) * scale;
  horner(a, degree + 1, {out, x.size()}, out);
}

double bernstein_mass(double low, double high, std::span<const double> p) {
  return (high - low) * numerics::exact_sum(p) / static_cast<double>(p.size());
}

NativeCheck bernstein_check(const NativeModel& leaf, std::span<const double> p) {
  bool any = false;
  for (std::size_t k = 0; k < p.size(); ++k) {
    if (!(std::isfinite(p[k]) && p[k] >= 0.0)) {
      return invalid_value(leaf.parameters[k], p[k], "must be finite and >= 0");
    }
    any = any || p[k] != 0.0;
  }
  // All zero: the model words the message.
  if (!any) return {NativeCheck::Verdict::kUndecided, {}};
  return {};
}

}  // namespace tarnwick::fit
