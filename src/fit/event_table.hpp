// The events of a fit: a flat, row-major table of coordinates. Every event
// has the same number of coordinates (the width); a row is handed to a PDF
// as one coordinate vector. The engine never interprets the coordinates.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "optimizer/core/linalg.hpp"

namespace tarnwick::fit {

class EventTable {
 public:
  EventTable() = default;
  // n_events rows of `width` zeros. May throw std::bad_alloc.
  EventTable(std::size_t n_events, std::size_t width)
      : values_(n_events * width), n_events_(n_events), width_(width) {}

  [[nodiscard]] std::size_t size() const { return n_events_; }
  [[nodiscard]] bool empty() const { return n_events_ == 0; }
  [[nodiscard]] std::size_t width() const { return width_; }

  [[nodiscard]] std::span<const double> row(std::size_t i) const {
    TARNWICK_REQUIRE(i < n_events_);
    return {values_.data() + i * width_, width_};
  }
  [[nodiscard]] std::span<double> row(std::size_t i) {
    TARNWICK_REQUIRE(i < n_events_);
    return {values_.data() + i * width_, width_};
  }
  // All coordinates, row after row.
  [[nodiscard]] std::span<const double> values() const { return values_; }

 private:
  std::vector<double> values_;
  std::size_t n_events_ = 0;
  std::size_t width_ = 0;
};

}  // namespace tarnwick::fit
