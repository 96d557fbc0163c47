// The result record of one fit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace tarnwick::fit {

// A dense row-major matrix: entry (r, c) is values[r * cols + c].
struct Table {
  std::size_t rows = 0;
  std::size_t cols = 0;
  std::vector<double> values;

  [[nodiscard]] double operator()(std::size_t r, std::size_t c) const {
    return values[r * cols + c];
  }
  [[nodiscard]] double& operator()(std::size_t r, std::size_t c) { return values[r * cols + c]; }
};

// What a fit reports beside its arrays: the fitted shape parameters, the
// minimum and how the optimizer ended. The Python result keeps exactly this
// part as C++ values (its arrays become NumPy arrays).
struct FitOutcome {
  std::map<std::string, double> shape_parameters;  // fitted values by name
  std::map<std::string, double> shape_errors;      // uncertainties by name
  double minimum_nll = 0.0;
  bool success = false;
  std::string message;
  std::uint64_t objective_evaluations = 0;
  std::uint64_t gradient_evaluations = 0;
  std::uint64_t hessian_evaluations = 0;
};

struct SPlotResult : FitOutcome {
  std::vector<double> yields;        // n_components, PDF order
  std::vector<double> yield_errors;  // n_components
  Table covariance;                  // sPlot covariance, n_components × n_components
  Table sweights;                    // n_events × n_components
  Table fit_covariance;              // (n_components + n_shape)², yields first
};

}  // namespace tarnwick::fit
