#include "fit/native_model_pdf.hpp"

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>

#include "fit/native_density.hpp"
#include "numerics/density_scan.hpp"

namespace tarnwick::fit {
bool all_inside_window(const NativeModel& model, std::span<const double> x) {
  // As the models test it: some events, none outside the window (nor NaN).
  return !x.empty() && std::all_of(x.begin(), x.end(), [&](double v) {
    return v >= model.low && v <= model.high;
  });
}

void evaluate_native_model(const NativeModel& model, std::span<const double> p,
                           std::span<const double> x, std::vector<double>& out) {
  out.resize(x.size());
  const bool all_inside = all_inside_window(model, x);
  for (std::size_t start = 0; start < x.size(); start += kDensityBlock) {
    const std::size_t n = std::min(kDensityBlock, x.size() - start);
    model_density(model, p, all_inside, x.subspan(start, n), out.data() + start);
  }
}

bool evaluates_natively(const NativeModel& model, std::span<const double> p) {
  return tree_evaluates_natively(model, p);
}

NativeCheck native_model_check(const NativeModel& model, std::span<const double> p) {
  return check_model(model, p);
}

NativeModelPdf::NativeModelPdf(NativeModel model, const EventView& events,
                               std::vector<double> seed_values, const ParameterMap& seed_parameters,
                               ParametricPdf* fallback)
    : model_(std::move(model)),
      fallback_(fallback),
      factors_(model_, events),
      values_(std::move(seed_values)) {
  parameters_in_preorder(model_, flat_);
  resolved_.resize(flat_.size());
  first_invalid_ = numerics::first_invalid_density(values_);
  has_entry_ =
      values_.size() == events.size() && resolve(seed_parameters, resolved_).has_value();
  holds_seed_ = has_entry_;
  cached_ = resolved_;
  reads_parameters_ = std::any_of(flat_.begin(), flat_.end(), [](const NativeParameter* entry) {
    return !entry->name.empty();
  });
}

std::expected<void, SPlotError> NativeModelPdf::resolve(const ParameterMap& parameters,
                                                        std::vector<double>& resolved) const {
  resolved.resize(flat_.size());
  for (std::size_t k = 0; k < flat_.size(); ++k) {
    const NativeParameter& parameter = *flat_[k];
    if (parameter.name.empty()) {
      resolved[k] = parameter.fixed;
      continue;
    }
    const auto found = parameters.find(parameter.name);
    if (found == parameters.end()) {
      return std::unexpected(PdfEvaluation{"KeyError: the shape parameter '" + parameter.name +
                                           "' is missing"});
    }
    resolved[k] = found->second;
  }
  return {};
}

std::expected<PdfValues, SPlotError> NativeModelPdf::evaluate_batch(
    const EventView& events, const ParameterMap& parameters) {
  // The model reads only its own parameters: a point that moves others
  // only (a gradient step of another component) is a hit. Values compare
  // with ==, as the keys of a Python PDF's cache do.
  if (auto resolved = resolve(parameters, resolved_); !resolved) {
    return std::unexpected(resolved.error());
  }
  if (has_entry_ && std::ranges::equal(resolved_, cached_)) {
    return PdfValues{values_, first_invalid_};
  }
  by_fallback_ = false;
  NativeCheck check = native_model_check(model_, resolved_);
  if (check.verdict == NativeCheck::Verdict::kInvalid) {
    return std::unexpected(PdfEvaluation{std::move(check.message)});
  }
  const bool native = check.verdict == NativeCheck::Verdict::kValid &&
                      (fallback_ == nullptr || evaluates_natively(model_, resolved_));
  if (fallback_ != nullptr && !native) {
    // The fallback keeps its own cache; this one no longer holds the
    // latest point.
    has_entry_ = false;
    holds_seed_ = false;
    by_fallback_ = true;
    return fallback_->evaluate_batch(events, parameters);
  }
  factors_.evaluate(resolved_, values_, threads_);
  has_entry_ = true;
  holds_seed_ = false;
  first_invalid_ = numerics::first_invalid_density(values_);
  cached_ = resolved_;
  ++computations_;
  return PdfValues{values_, first_invalid_};
}

std::optional<std::expected<PdfValues, SPlotError>> NativeModelPdf::evaluate_into(
    const ParameterMap& parameters, std::vector<double>& out) const {
  std::vector<double> resolved;
  if (auto found = resolve(parameters, resolved); !found) {
    return std::unexpected(found.error());
  }
  if (has_entry_ && std::ranges::equal(resolved, cached_)) {
    return PdfValues{values_, first_invalid_};
  }
  NativeCheck check = native_model_check(model_, resolved);
  if (check.verdict == NativeCheck::Verdict::kInvalid) {
    return std::unexpected(PdfEvaluation{std::move(check.message)});
  }
  const bool native = check.verdict == NativeCheck::Verdict::kValid &&
                      (fallback_ == nullptr || evaluates_natively(model_, resolved));
  if ((fallback_ != nullptr && !native) || !factors_.ready()) return std::nullopt;
  factors_.evaluate_ready(resolved, out);
  off_thread_computations_.fetch_add(1, std::memory_order_relaxed);
  return PdfValues::tested(out);
}

}  // namespace tarnwick::fit
