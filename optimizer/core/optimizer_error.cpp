#include "optimizer/core/optimizer_error.hpp"

namespace tarnwick::optimizer {

std::string to_string(const OptimizerError& error) {
  if (const auto* e = std::get_if<ConfigurationError>(&error)) {
    return "Configuration error: " + e->text;
  }
  return "Numerical error: " + std::get<NumericalError>(error).text;
}

}  // namespace tarnwick::optimizer
