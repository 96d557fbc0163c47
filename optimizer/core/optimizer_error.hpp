// The optimizer's own error: a configuration that cannot be run, or a
// numerical failure of the optimizer itself. Errors of the problem being
// minimised are not of this type: they pass through the optimizer unchanged.
#pragma once

#include <string>
#include <variant>

namespace tarnwick::optimizer {

struct ConfigurationError {
  std::string text;
  friend bool operator==(const ConfigurationError&, const ConfigurationError&) = default;
};

struct NumericalError {
  std::string text;
  friend bool operator==(const NumericalError&, const NumericalError&) = default;
};

using OptimizerError = std::variant<ConfigurationError, NumericalError>;

// "Configuration error: <text>" or "Numerical error: <text>".
[[nodiscard]] std::string to_string(const OptimizerError& error);

}  // namespace tarnwick::optimizer
