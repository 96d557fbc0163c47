// The ordered callback list of a run.
#pragma once

#include <cstdint>
#include <memory>
#include <variant>
#include <vector>

#include "optimizer/algorithms/gradient/terminator.hpp"

namespace tarnwick::optimizer {

// One entry of the list: a terminator or an observer, owned (move-only).
class CallbackLike {
 public:
  explicit CallbackLike(std::unique_ptr<Terminator> terminator);
  explicit CallbackLike(std::unique_ptr<Observer> observer);

  // Runs the entry; true when it is a terminator that asks to stop.
  [[nodiscard]] bool call(std::uint64_t step, LBFGSB& state, GradientStatus& status,
                          const LBFGSBConfig& config);

 private:
  std::variant<std::unique_ptr<Terminator>, std::unique_ptr<Observer>> entry_;
};

// The run's callbacks, consulted in order after every step; move-only.
struct Callbacks {
  std::vector<CallbackLike> entries;
};

// Appends one entry and gives the list back, so calls chain.
[[nodiscard]] Callbacks with_terminator(Callbacks list, std::unique_ptr<Terminator> terminator);
[[nodiscard]] Callbacks with_observer(Callbacks list, std::unique_ptr<Observer> observer);

}  // namespace tarnwick::optimizer
