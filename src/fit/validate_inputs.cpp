#include "fit/validate_inputs.hpp"

#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "fit/number_format.hpp"

namespace tarnwick::fit {

namespace {

std::unexpected<SPlotError> invalid(std::string message) {
  return std::unexpected<SPlotError>(InvalidInput{std::move(message)});
}

// Sums in order, starting from −0 so that an empty or all-(−0) sum stays −0.
double ordered_sum(std::span<const double> values) {
  double sum = -0.0;
  for (const double v : values) sum += v;
  return sum;
}

bool yields_are_usable(std::span<const double> yields, std::size_t n_pdfs) {
  if (yields.size() != n_pdfs) return false;
  for (const double y : yields) {
    // −0 is not negative.
    if (!std::isfinite(y) || y < 0.0) return false;
  }
  return ordered_sum(yields) > 0.0;
}

// The configured event weights, or all ones; an error unless there is one
// finite weight per event.
std::expected<std::vector<double>, SPlotError> event_weights(const EventView& events,
                                                             const SPlotConfig& config) {
  if (!config.event_weights) return std::vector<double>(events.size(), 1.0);
  const auto& w = *config.event_weights;
  if (w.size() != events.size()) {
    return invalid("event_weights has length " + std::to_string(w.size()) + ", expected " +
                   std::to_string(events.size()));
  }
  for (const double v : w) {
    if (!std::isfinite(v)) return invalid("event weights must be finite");
  }
  return w;
}

// The message for the first shape-parameter name that repeats an earlier
// one, if any.
std::optional<std::string> duplicated_name(std::span<const ShapeParameter> shape_parameters) {
  for (std::size_t i = 0; i < shape_parameters.size(); ++i) {
    for (std::size_t j = 0; j < i; ++j) {
      if (shape_parameters[i].name == shape_parameters[j].name) {
        return "shape parameter name " + quote_name(shape_parameters[i].name) + " is duplicated";
      }
    }
  }
  return std::nullopt;
}

}  // namespace

std::expected<ValidatedInputs, SPlotError> validate_inputs(
    const EventView& events, std::size_t n_pdfs, std::span<const ShapeParameter> shape_parameters,
    const SPlotConfig& config) {
  if (events.empty()) return invalid("data must not be empty");
  if (n_pdfs == 0) return invalid("at least one PDF is required");
  // Rows of a table share one width, so only a zero width is inconsistent.
  if (events.width() == 0) return invalid("events must have one consistent, nonzero dimension");
  for (std::size_t i = 0; i < events.size(); ++i) {
    for (std::size_t j = 0; j < events.width(); ++j) {
      if (!std::isfinite(events.at(i, j))) return invalid("event coordinates must be finite");
    }
  }
  if (config.max_steps && *config.max_steps == 0) return invalid("max_steps must be positive");
  if (!(std::isfinite(config.tolerance) && config.tolerance > 0.0)) {
    return invalid("tolerance must be finite and positive");
  }

  ValidatedInputs out;
  auto weights = event_weights(events, config);
  if (!weights) return std::unexpected(std::move(weights.error()));
  out.event_weights = std::move(*weights);
  if (const auto duplicated = duplicated_name(shape_parameters)) return invalid(*duplicated);

  if (config.initial_yields) {
    out.initial_yields = *config.initial_yields;
  } else {
    const double total = ordered_sum(out.event_weights);
    out.initial_yields.assign(n_pdfs, total / static_cast<double>(n_pdfs));
  }
  if (!yields_are_usable(out.initial_yields, n_pdfs)) {
    return invalid(
        "initial_yields must match the PDFs, be finite and nonnegative, and have positive sum");
  }
  // Last, so that every other complaint about the input comes first: fewer
  // events than fitted parameters cannot determine them, and is most often
  // a transposed data array.
  const std::size_t n_parameters = n_pdfs + shape_parameters.size();
  if (events.size() < n_parameters) {
    return invalid(std::to_string(events.size()) + (events.size() == 1 ? " event" : " events") +
                   " for " + std::to_string(n_parameters) +
                   " fitted parameters: data must be (n_events, n_features); is it transposed?");
  }
  return out;
}

}  // namespace tarnwick::fit
