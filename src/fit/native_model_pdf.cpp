#include "fit/native_model_pdf.hpp"

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>

#include "fit/float_repr.hpp"
#include "fit/normal_mass.hpp"
#include "numerics/vector_exp.hpp"

namespace tarnwick::fit {
namespace {

constexpr double kSqrt2Pi = 0x1.40d931ff62705p+1;  // √(2π)

// Each kernel writes the density inside the window as the model's NumPy
// code does, one rounded operation per NumPy operation, and zero outside.
// `scale` is 1/mass; multiplying by a scale of exactly 1, which the model skips, is exact.

// The largest condition of the Gaussian mass's final difference taken
// natively: erf and erfcx agree with other implementations within about an
// ulp, so the mass stays within 1.5 ulp of theirs.
constexpr double kMaxCondition = 1.5;

// 1/mass of a Gaussian over [low, high], and the condition of the mass.
double gaussian_scale(double low, double high, double mu, double sigma, double* condition) {
  const double ta = (low - mu) / sigma;
  const double tb = (high - mu) / sigma;
  const double t0 = nearest_to_zero(ta, tb);
  return 1.0 / (sigma * kSqrt2Pi * normal_mass(ta, tb, t0, condition));
}

// exp(exponent(x)) · scale inside [low, high] and 0 outside, in blocks that
// stay in the cache between the passes. (Multiplying by a scale of exactly
// 1 changes nothing, so the model's skipped scaling needs no test.)
template <class Exponent>
void exp_density(double low, double high, double scale, std::span<const double> x, double* out,
                 Exponent exponent) {
  constexpr std::size_t kBlock = 2048;
  for (std::size_t start = 0; start < x.size(); start += kBlock) {
    const std::size_t n = std::min(kBlock, x.size() - start);
    const double* in = x.data() + start;
    double* block = out + start;
    for (std::size_t i = 0; i < n; ++i) block[i] = exponent(in[i]);
    numerics::exp_in_place({block, n});
    for (std::size_t i = 0; i < n; ++i) {
      const bool inside = in[i] >= low && in[i] <= high;
      block[i] = inside ? block[i] * scale : 0.0;
    }
  }
}

void gaussian(double low, double high, double mu, double sigma, std::span<const double> x,
              double* out) {
  const double ta = (low - mu) / sigma;
  const double tb = (high - mu) / sigma;
  const double t0 = nearest_to_zero(ta, tb);
  const double scale = gaussian_scale(low, high, mu, sigma, nullptr);
  const double factor = -0.5 / (sigma * sigma);
  const double offset = 0.5 * t0 * t0;
  exp_density(low, high, scale, x, out, [=](double v) {
    const double d = v - mu;
    return d * d * factor + offset;
  });
}

void exponential(double low, double high, double slope, std::span<const double> x,
                 double* out) {
  // exp(slope (x − e)), e the edge where the density is largest.
  const double edge = slope > 0.0 ? high : low;
  const double rate = std::fabs(slope);
  const double mass = slope == 0.0 ? high - low : -std::expm1(-rate * (high - low)) / rate;
  exp_density(low, high, 1.0 / mass, x, out, [=](double v) { return (v - edge) * slope; });
}

std::string invalid(const NativeParameter& parameter, double value, const char* why) {
  return parameter.message_head + float_repr(value) + " " + why;
}

}  // namespace

void evaluate_native_model(const NativeModel& model, std::span<const double> p,
                           std::span<const double> x, std::vector<double>& out) {
  out.resize(x.size());
  switch (model.shape) {
    case NativeShape::kUniform:
      for (std::size_t i = 0; i < x.size(); ++i) {
        const bool inside = x[i] >= model.low && x[i] <= model.high;
        out[i] = inside ? 1.0 / (model.high - model.low) : 0.0;
      }
      break;
    case NativeShape::kGaussian:
      gaussian(model.low, model.high, p[0], p[1], x, out.data());
      break;
    case NativeShape::kExponential:
      exponential(model.low, model.high, p[0], x, out.data());
      break;
  }
}

bool evaluates_natively(const NativeModel& model, std::span<const double> p) {
  if (model.shape != NativeShape::kGaussian) return true;
  // A window more than 1σ from the mean takes the erfcx form, in which the
  // models' erfcx (SciPy's) is itself up to 4 ulp from the exact value; a
  // window narrow against σ takes the quadrature, whose twelve exp terms
  // NumPy sums in an order of its own (up to 5 ulp apart in the densities).
  const double ta = (model.low - p[0]) / p[1];
  const double tb = (model.high - p[0]) / p[1];
  if (normal_mass_form(ta, tb) != MassForm::kErf) return false;
  double condition = 0.0;
  (void)gaussian_scale(model.low, model.high, p[0], p[1], &condition);
  return condition <= kMaxCondition;
}

std::optional<std::string> native_model_check(const NativeModel& model,
                                              std::span<const double> p) {
  switch (model.shape) {
    case NativeShape::kUniform:
      break;
    case NativeShape::kGaussian:
      if (!std::isfinite(p[0])) return invalid(model.parameters[0], p[0], "must be finite");
      if (!(p[1] > 0.0) || p[1] == INFINITY) {
        return invalid(model.parameters[1], p[1], "must be positive and finite");
      }
      break;
    case NativeShape::kExponential:
      if (!std::isfinite(p[0])) return invalid(model.parameters[0], p[0], "must be finite");
      break;
  }
  return std::nullopt;
}

NativeModelPdf::NativeModelPdf(NativeModel model, const EventView& events,
                               std::vector<double> seed_values, ParameterMap seed_parameters,
                               ParametricPdf* fallback)
    : model_(std::move(model)),
      fallback_(fallback),
      column_(events.size()),
      resolved_(model_.parameters.size()),
      values_(std::move(seed_values)),
      parameters_(std::move(seed_parameters)) {
  for (std::size_t i = 0; i < column_.size(); ++i) column_[i] = events.at(i, model_.column);
  first_invalid_ = numerics::first_invalid_density(values_);
}

std::expected<PdfValues, SPlotError> NativeModelPdf::evaluate_batch(
    const EventView& events, const ParameterMap& parameters) {
  // A hit needs the same names and values compared with ==, as for a
  // Python PDF.
  if (has_entry_ && parameters_ == parameters) return PdfValues{values_, first_invalid_};
  for (std::size_t k = 0; k < model_.parameters.size(); ++k) {
    const NativeParameter& parameter = model_.parameters[k];
    if (parameter.name.empty()) {
      resolved_[k] = parameter.fixed;
      continue;
    }
    const auto found = parameters.find(parameter.name);
    if (found == parameters.end()) {
      return std::unexpected(PdfEvaluation{"KeyError: the shape parameter '" + parameter.name +
                                           "' is missing"});
    }
    resolved_[k] = found->second;
  }
  if (auto message = native_model_check(model_, resolved_)) {
    return std::unexpected(PdfEvaluation{std::move(*message)});
  }
  if (fallback_ != nullptr && !evaluates_natively(model_, resolved_)) {
    // The fallback keeps its own cache; this one no longer holds the
    // latest point.
    has_entry_ = false;
    return fallback_->evaluate_batch(events, parameters);
  }
  evaluate_native_model(model_, resolved_, column_, values_);
  has_entry_ = true;
  first_invalid_ = numerics::first_invalid_density(values_);
  parameters_ = parameters;
  ++computations_;
  return PdfValues{values_, first_invalid_};
}

}  // namespace tarnwick::fit
