// Shared helpers and tolerances of the fit-engine tests.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include "fit/event_view.hpp"
#include "fit/splot_error.hpp"

namespace tarnwick::fit::testing {

// Values that an independent computation of the same algorithm reproduces:
// the same operations in the same order, so only the last bits of a few
// library calls (exp, log, the SVD) may differ.
inline constexpr double kSameAlgorithmRelative = 1e-9;
// Standard errors come from an SVD of the Hessian; another SVD routine
// agrees only to about this relative precision.
inline constexpr double kSvdRelative = 1e-6;
// An expected NaN: a quantity that cannot be determined.
inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// A test's own table of events, row-major, viewed by the engine.
class EventRows {
 public:
  EventRows() = default;
  // n_events rows of `width` zeros.
  EventRows(std::size_t n_events, std::size_t width)
      : values_(n_events * width), n_events_(n_events), width_(width) {}

  [[nodiscard]] std::size_t size() const { return n_events_; }
  [[nodiscard]] std::span<double> row(std::size_t i) {
    return std::span<double>(values_).subspan(i * width_, width_);
  }
  [[nodiscard]] std::span<const double> row(std::size_t i) const {
    return std::span<const double>(values_).subspan(i * width_, width_);
  }
  // The view; rows of width 0 are still n_events events.
  operator EventView() const {  // NOLINT(google-explicit-constructor)
    return EventView(reinterpret_cast<const char*>(values_.data()), n_events_, width_,
                     static_cast<std::ptrdiff_t>(width_ * sizeof(double)), sizeof(double));
  }

 private:
  std::vector<double> values_;
  std::size_t n_events_ = 0;
  std::size_t width_ = 0;
};

// Rows [i, values…] from a one-column CSV in the tests' data folder.
inline EventRows read_one_column(const std::string& file) {
  std::ifstream in(std::string(TARNWICK_TEST_DATA_DIR) + "/" + file);
  std::vector<double> values;
  for (double v; in >> v;) values.push_back(v);
  EventRows events(values.size(), 2);
  for (std::size_t i = 0; i < values.size(); ++i) {
    events.row(i)[0] = static_cast<double>(i);
    events.row(i)[1] = values[i];
  }
  return events;
}

// n rows [i, value].
inline EventRows constant_events(std::size_t n, double value) {
  EventRows events(n, 2);
  for (std::size_t i = 0; i < n; ++i) {
    events.row(i)[0] = static_cast<double>(i);
    events.row(i)[1] = value;
  }
  return events;
}

// Checks the alternative and the display text of an error.
template <class Variant, class T>
::testing::AssertionResult IsError(const T& result, const std::string& display) {
  if (result.has_value()) return ::testing::AssertionFailure() << "expected an error, got a value";
  if (!std::holds_alternative<Variant>(result.error())) {
    return ::testing::AssertionFailure() << "wrong error kind: " << to_string(result.error());
  }
  if (to_string(result.error()) != display) {
    return ::testing::AssertionFailure() << "message \"" << to_string(result.error())
                                         << "\", expected \"" << display << "\"";
  }
  return ::testing::AssertionSuccess();
}

inline void ExpectRelative(double actual, double expected, double relative) {
  EXPECT_NEAR(actual, expected, relative * std::max(1.0, std::abs(expected)))
      << "expected " << expected;
}

// As ExpectRelative, except that an expected NaN must be matched by a NaN.
inline void ExpectRelativeOrNaN(double actual, double expected, double relative) {
  if (std::isnan(expected)) {
    EXPECT_TRUE(std::isnan(actual)) << "expected NaN, got " << actual;
  } else {
    ExpectRelative(actual, expected, relative);
  }
}

}  // namespace tarnwick::fit::testing
