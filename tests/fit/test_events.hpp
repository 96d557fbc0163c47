// Tables of events for the fit-engine tests.
#pragma once

#include <cstddef>
#include <fstream>
#include <span>
#include <string>
#include <vector>

#include "fit/event_view.hpp"

namespace tarnwick::fit::testing {

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

}  // namespace tarnwick::fit::testing
