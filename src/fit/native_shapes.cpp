#include "fit/native_shapes.hpp"

#include <cmath>

#include "fit/float_repr.hpp"
#include "fit/native_crystal_ball.hpp"
#include "fit/native_polynomials.hpp"
#include "fit/native_template.hpp"
#include "fit/normal_mass.hpp"
#include "numerics/vector_exp.hpp"

namespace tarnwick::fit {
namespace {

constexpr double kSqrt2Pi = 0x1.40d931ff62705p+1;  // √(2π)

// The largest condition of the Gaussian mass's final difference taken
// natively: erf and erfcx agree with other implementations within about an
// ulp, so the mass stays within 1.5 ulp of theirs.
constexpr double kMaxCondition = 1.5;

// The Gaussian's mass over [low, high], and the condition of its final
// difference.
double gaussian_mass(double low, double high, double mu, double sigma, double* condition) {
  const double ta = (low - mu) / sigma;
  const double tb = (high - mu) / sigma;
  const double t0 = nearest_to_zero(ta, tb);
  return sigma * kSqrt2Pi * normal_mass(ta, tb, t0, condition);
}

void gaussian(double low, double high, double mu, double sigma, std::span<const double> x,
              double* out) {
  const double t0 = nearest_to_zero((low - mu) / sigma, (high - mu) / sigma);
  const double factor = -0.5 / (sigma * sigma);
  const double offset = 0.5 * t0 * t0;
  for (std::size_t i = 0; i < x.size(); ++i) {
    const double d = x[i] - mu;
    out[i] = d * d * factor + offset;
  }
  numerics::exp_in_place({out, x.size()});
}

void exponential(double low, double high, double slope, std::span<const double> x,
                 double* out) {
  // exp(slope (x − e)), e the edge where the density is largest.
  const double edge = slope > 0.0 ? high : low;
  for (std::size_t i = 0; i < x.size(); ++i) out[i] = (x[i] - edge) * slope;
  numerics::exp_in_place({out, x.size()});
}

double exponential_mass(double low, double high, double slope) {
  const double rate = std::fabs(slope);
  return slope == 0.0 ? high - low : -std::expm1(-rate * (high - low)) / rate;
}

}  // namespace

NativeCheck invalid_value(const NativeParameter& parameter, double value, const char* why) {
  return {NativeCheck::Verdict::kInvalid, parameter.message_head + float_repr(value) + " " + why};
}

void leaf_unnormalised(const NativeModel& leaf, std::span<const double> p,
                       std::span<const double> x, double* out) {
  switch (leaf.shape) {
    case NativeShape::kUniform:
      for (std::size_t i = 0; i < x.size(); ++i) out[i] = 1.0 / (leaf.high - leaf.low);
      return;
    case NativeShape::kGaussian:
      return gaussian(leaf.low, leaf.high, p[0], p[1], x, out);
    case NativeShape::kExponential:
      return exponential(leaf.low, leaf.high, p[0], x, out);
    case NativeShape::kChebyshev:
      return chebyshev_unnormalised(leaf.low, leaf.high, p, x, out);
    case NativeShape::kBernstein:
      return bernstein_unnormalised(leaf.low, leaf.high, p, x, out);
    case NativeShape::kTemplate:
      return template_density(*leaf.table, x, out);
    case NativeShape::kCrystalBallLow:
    case NativeShape::kCrystalBallHigh:
    case NativeShape::kDoubleCrystalBall:
      return crystal_ball_unnormalised(leaf, p, x, out);
    case NativeShape::kSum:
    case NativeShape::kProduct:
      break;
  }
}

double leaf_mass(const NativeModel& leaf, std::span<const double> p) {
  switch (leaf.shape) {
    case NativeShape::kGaussian:
      return gaussian_mass(leaf.low, leaf.high, p[0], p[1], nullptr);
    case NativeShape::kExponential:
      return exponential_mass(leaf.low, leaf.high, p[0]);
    case NativeShape::kChebyshev:
      return chebyshev_mass(leaf.low, leaf.high, p);
    case NativeShape::kBernstein:
      return bernstein_mass(leaf.low, leaf.high, p);
    case NativeShape::kCrystalBallLow:
    case NativeShape::kCrystalBallHigh:
    case NativeShape::kDoubleCrystalBall:
      return crystal_ball_mass(leaf, p);
    case NativeShape::kUniform:
    case NativeShape::kTemplate:
    case NativeShape::kSum:
    case NativeShape::kProduct:
      break;
  }
  return 1.0;
}

NativeCheck leaf_check(const NativeModel& leaf, std::span<const double> p) {
  switch (leaf.shape) {
    case NativeShape::kGaussian:
      if (!std::isfinite(p[0])) return invalid_value(leaf.parameters[0], p[0], "must be finite");
      if (!(p[1] > 0.0) || p[1] == INFINITY) {
        return invalid_value(leaf.parameters[1], p[1], "must be positive and finite");
      }
      break;
    case NativeShape::kExponential:
      if (!std::isfinite(p[0])) return invalid_value(leaf.parameters[0], p[0], "must be finite");
      break;
    case NativeShape::kChebyshev:
      return chebyshev_check(p);
    case NativeShape::kBernstein:
      return bernstein_check(leaf, p);
    case NativeShape::kCrystalBallLow:
    case NativeShape::kCrystalBallHigh:
    case NativeShape::kDoubleCrystalBall:
      return crystal_ball_check(leaf, p);
    case NativeShape::kUniform:
    case NativeShape::kTemplate:
    case NativeShape::kSum:
    case NativeShape::kProduct:
      break;
  }
  return {};
}

bool leaf_evaluates_natively(const NativeModel& leaf, std::span<const double> p) {
  if (is_crystal_ball(leaf.shape)) return crystal_ball_evaluates_natively(leaf, p);
  if (leaf.shape != NativeShape::kGaussian) return true;
  // A window more than 1σ from the mean takes the erfcx form, in which the
  // models' erfcx (SciPy's) is itself up to 4 ulp from the exact value; a
  // window narrow against σ takes the quadrature, whose twelve exp terms
  // NumPy sums in an order of its own (up to 5 ulp apart in the densities);
  // a window just beside the mean makes the mass the difference of two
  // close erf terms, which amplifies their last-bit disagreements.
  const double ta = (leaf.low - p[0]) / p[1];
  const double tb = (leaf.high - p[0]) / p[1];
  if (normal_mass_form(ta, tb) != MassForm::kErf) return false;
  double condition = 0.0;
  (void)gaussian_mass(leaf.low, leaf.high, p[0], p[1], &condition);
  return condition <= kMaxCondition;
}

}  // namespace tarnwick::fit
