// The fit engine's single error type. Every fallible operation of the fit
// engine returns it as a value; only the Python layer turns it into an
// exception.
#pragma once

#include <string>
#include <variant>

#include "optimizer/core/optimizer_error.hpp"

namespace tarnwick::fit {

// Unusable input, found before any PDF is called.
struct InvalidInput {
  std::string message;
  friend bool operator==(const InvalidInput&, const InvalidInput&) = default;
};
// A PDF failed or returned unusable values.
struct PdfEvaluation {
  std::string message;
  friend bool operator==(const PdfEvaluation&, const PdfEvaluation&) = default;
};
// The objective or a mixture density is not usable.
struct Optimization {
  std::string message;
  friend bool operator==(const Optimization&, const Optimization&) = default;
};
// The yield information matrix cannot be inverted reliably.
struct SingularCovariance {
  std::string message;
  friend bool operator==(const SingularCovariance&, const SingularCovariance&) = default;
};
// The optimizer rejected its configuration.
struct Optimizer {
  optimizer::OptimizerError error;
  friend bool operator==(const Optimizer&, const Optimizer&) = default;
};

using SPlotError =
    std::variant<InvalidInput, PdfEvaluation, Optimization, SingularCovariance, Optimizer>;

// "invalid input: …", "PDF evaluation failed: …", "optimization failed: …",
// "singular yield covariance: …", or the optimizer error's own text.
[[nodiscard]] std::string to_string(const SPlotError& error);

}  // namespace tarnwick::fit
