// The description of a library model that the engine evaluates itself: a
// shape on one column of the events, normalised over a window, whose
// parameters are each a shape parameter read by name or a fixed number. A
// mixture (kSum) is a tree: its parameters are the fractions of its first
// n − 1 components, which are descriptions themselves, on the same column
// and window. A product (kProduct) is the root of a tree whose components,
// its factors, are descriptions on columns of their own; a histogram
// (kTemplate) reads no parameters, only its table.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace tarnwick::fit {

struct TemplateTable;

enum class NativeShape {
  kUniform,
  kGaussian,
  kExponential,
  kChebyshev,
  kBernstein,
  kCrystalBallLow,
  kCrystalBallHigh,
  kDoubleCrystalBall,
  kSum,
  kTemplate,
  kProduct,
};

struct NativeParameter {
  // The shape parameter read at each point, or empty for a fixed value.
  std::string name;
  double fixed = 0.0;
  // The head of the message for an invalid value, up to the value itself:
  // "ValueError: Gaussian: sigma ('width') = ". The value and the reason
  // follow it.
  std::string message_head;
};

struct NativeModel {
  NativeShape shape = NativeShape::kUniform;
  std::size_t column = 0;
  double low = 0.0;
  double high = 1.0;
  // In the order of the shape's keywords: Gaussian (mu, sigma), Exponential
  // (slope), Uniform none, Chebyshev (c_1, …, c_n), Bernstein (c_0, …, c_n),
  // CrystalBall (mu, sigma, alpha, n), DoubleCrystalBall (mu, sigma,
  // alpha_low, n_low, alpha_high, n_high), Sum the n − 1 fractions,
  // Template and Product none.
  std::vector<NativeParameter> parameters;
  // A Sum's components, and the head of the message for fractions adding
  // up to more than 1: "ValueError: Sum: the fractions (f, 0.2) add up to ".
  // A Product's factors are its components as well.
  std::vector<NativeModel> components;
  std::string total_head;
  // A Template's histogram.
  std::shared_ptr<const TemplateTable> table;
};

// The resolved parameters of a model are laid out in pre-order: a node's
// own parameters, then each component's, recursively; the parameters of a
// whole tree number total_parameters(model).
[[nodiscard]] inline std::size_t total_parameters(const NativeModel& model) noexcept {
  std::size_t count = model.parameters.size();
  for (const NativeModel& component : model.components) count += total_parameters(component);
  return count;
}

// The parameters of the tree in pre-order, appended to `out` (pointing
// into `model`).
inline void parameters_in_preorder(const NativeModel& model,
                                   std::vector<const NativeParameter*>& out) {
  for (const NativeParameter& parameter : model.parameters) out.push_back(&parameter);
  for (const NativeModel& component : model.components) parameters_in_preorder(component, out);
}

// The number of parameters a shape reads, or none for a shape that reads
// any number (the polynomials, a Sum).
[[nodiscard]] constexpr long parameter_count(NativeShape shape) noexcept {
  switch (shape) {
    case NativeShape::kGaussian:
      return 2;
    case NativeShape::kCrystalBallLow:
    case NativeShape::kCrystalBallHigh:
      return 4;
    case NativeShape::kDoubleCrystalBall:
      return 6;
    case NativeShape::kExponential:
      return 1;
    case NativeShape::kUniform:
    case NativeShape::kTemplate:
    case NativeShape::kProduct:
      return 0;
    case NativeShape::kChebyshev:
    case NativeShape::kBernstein:
    case NativeShape::kSum:
      break;
  }
  return -1;
}

}  // namespace tarnwick::fit
