// The line-search setting of an L-BFGS-B configuration and the parameters
// of its one alternative, the strong-Wolfe search of strong_wolfe.hpp.
#pragma once

#include <cstdint>
#include <variant>

namespace tarnwick::optimizer {

// The parameters of the strong-Wolfe search in strong_wolfe.hpp. The
// record keeps the name configurations know it by, but the search does not
// run the Moré–Thuente algorithm (no safeguarded cubic/quadratic
// interpolation): its outward phase brackets a step and its zoom bisects
// the bracket.
struct MoreThuenteLineSearch {
  // Index of the last outward trial: trials 0 … max_iterations.
  std::uint64_t max_iterations = 100;
  // Index of the last zoom iteration: iterations 0 … max_zoom_iterations.
  std::uint64_t max_zoom_iterations = 100;
  // Sufficient-decrease constant.
  double c1 = 1e-4;
  // Curvature constant.
  double c2 = 0.9;
  friend bool operator==(const MoreThuenteLineSearch&, const MoreThuenteLineSearch&) = default;
};

// The line-search setting of an L-BFGS-B configuration. Only the
// strong-Wolfe search is offered.
using StrongWolfeLineSearch = std::variant<MoreThuenteLineSearch>;

}  // namespace tarnwick::optimizer
