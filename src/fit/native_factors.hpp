// The columns a NativeModel reads, copied from the events once, and its
// density at every event: a product's factors each on its own column,
// multiplied in the factors' order, or the model itself as its one factor.
#pragma once

#include <cstddef>
#include <span>
#include <utility>
#include <vector>

#include "fit/event_view.hpp"
#include "fit/native_density.hpp"
#include "fit/native_model.hpp"

namespace tarnwick::fit {

class WorkerThreads;

class NativeFactors {
 public:
  // Keeps pointers into `model`, which must outlive this and stay in place;
  // every column it reads must exist in `events`.
  NativeFactors(const NativeModel& model, const EventView& events);

  // The density at every event with the tree's resolved parameters `p` (in
  // pre-order) into `out` (resized). A factor of several that reads no
  // shape parameter (a histogram, a shape with fixed parameters) is
  // evaluated once, at the first call, and its densities are kept; so are
  // the unnormalised densities of such a component of a mixture. With
  // `threads` the blocks of many events are shared among them (the values
  // are the same).
  void evaluate(std::span<const double> p, std::vector<double>& out,
                WorkerThreads* threads = nullptr);

  // Whether the values that never change are computed (by a first
  // `evaluate`, or because there are none), so that evaluate_ready may be
  // called.
  [[nodiscard]] bool ready() const noexcept { return kept_ || events_ == 0; }
  // As `evaluate` on one thread, changing nothing here: callable from
  // several threads at once.
  void evaluate_ready(std::span<const double> p, std::vector<double>& out) const;

 private:
  struct Factor {
    const NativeModel* model = nullptr;
    // Where the factor's parameters start in the tree's.
    std::size_t first_parameter = 0;
    std::vector<double> column;
    // As the models test it: some events, none outside the window (nor
    // NaN), which chooses a mixture's arithmetic.
    bool all_inside = false;
    bool fixed = false;
    std::vector<double> kept;
    // The mixture's components that read no shape parameter, each with
    // where its parameters start in the tree's, and their kept values.
    std::vector<std::pair<const NativeModel*, std::size_t>> fixed_leaves;
    KeptLeaves leaves;
  };

  void keep_fixed_values(Factor& factor, std::span<const double> p) const;

  void evaluate_block(const Factor& factor, std::span<const double> p, std::size_t start,
                      std::size_t n, double* out) const;
  // Block b of the product into out.
  void product_block(std::span<const double> p, std::size_t b, double* out) const;

  std::vector<Factor> factors_;
  std::size_t events_ = 0;
  // Whether the values that never change were computed.
  bool kept_ = false;
};

}  // namespace tarnwick::fit
