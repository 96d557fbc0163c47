// The description of a library model that the engine evaluates itself: a
// shape on one column of the events, normalised over a window, whose
// parameters are each a shape parameter read by name or a fixed number.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace tarnwick::fit {

enum class NativeShape { kUniform, kGaussian, kExponential };

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
  // (slope), Uniform none.
  std::vector<NativeParameter> parameters;
};

// The number of parameters a shape reads.
[[nodiscard]] constexpr std::size_t parameter_count(NativeShape shape) noexcept {
  switch (shape) {
    case NativeShape::kGaussian:
      return 2;
    case NativeShape::kExponential:
      return 1;
    case NativeShape::kUniform:
      break;
  }
  return 0;
}

}  // namespace tarnwick::fit
