// The objective's most recent values, by point, so that a point the fit asks
// for again is answered without another pass over the events.
//
// The finite differences of a fit meet the same points more than once: the
// gradient at the end point, once for the last line-search step and again
// for the Hessian; and the nested differences of the Hessian, in which
// column j's point x + h_j e_j + h_i e_i is also column i's. The objective
// is a function of the point (the PDFs are asked for the same values at the
// same shape point), so a remembered value has the bits an evaluation would
// give.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace tarnwick::fit {

class RecentValues {
 public:
  // Remembers up to `capacity` points of `dimension` coordinates each (at
  // least one).
  RecentValues(std::size_t dimension, std::size_t capacity);

  // The value remembered at a point with the same bits as `point` (so −0
  // and 0 differ), or none.
  [[nodiscard]] std::optional<double> find(std::span<const double> point) const;
  // Remembers `value` at `point`, in place of the oldest point when full.
  void remember(std::span<const double> point, double value);

  // The number of points to remember for a fit of n coordinates, n_shape of
  // them shape parameters: enough for the Hessian's nested differences
  // (4n evaluations per shape column, and the gradient before them), at
  // most kMostValues.
  [[nodiscard]] static std::size_t capacity_for(std::size_t n, std::size_t n_shape);
  static constexpr std::size_t kMostValues = 1024;

 private:
  [[nodiscard]] static std::uint64_t hash(std::span<const double> point);

  std::size_t dimension_;
  std::size_t capacity_;
  std::size_t size_ = 0;
  std::size_t next_ = 0;  // where the next point goes
  std::vector<std::uint64_t> hashes_;
  std::vector<double> points_;  // capacity_ × dimension_
  std::vector<double> values_;
};

}  // namespace tarnwick::fit
