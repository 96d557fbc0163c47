#include "fit/splot_error.hpp"

namespace tarnwick::fit {

namespace {

struct Display {
  std::string operator()(const InvalidInput& e) const { return "invalid input: " + e.message; }
  std::string operator()(const PdfEvaluation& e) const {
    return "PDF evaluation failed: " + e.message;
  }
  std::string operator()(const Optimization& e) const {
    return "optimization failed: " + e.message;
  }
  std::string operator()(const SingularCovariance& e) const {
    return "singular yield covariance: " + e.message;
  }
  std::string operator()(const Optimizer& e) const { return optimizer::to_string(e.error); }
};

}  // namespace

std::string to_string(const SPlotError& error) { return std::visit(Display{}, error); }

}  // namespace tarnwick::fit
