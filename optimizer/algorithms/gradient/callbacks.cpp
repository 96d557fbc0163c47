#include "optimizer/algorithms/gradient/callbacks.hpp"

#include <utility>

#include "optimizer/algorithms/gradient/gradient_status.hpp"

namespace tarnwick::optimizer {

CallbackLike::CallbackLike(std::unique_ptr<Terminator> terminator)
    : entry_(std::move(terminator)) {}

CallbackLike::CallbackLike(std::unique_ptr<Observer> observer) : entry_(std::move(observer)) {}

bool CallbackLike::call(std::uint64_t step, LBFGSB& state, GradientStatus& status,
                        const LBFGSBConfig& config) {
  if (auto* t = std::get_if<std::unique_ptr<Terminator>>(&entry_)) {
    return (*t)->check_for_termination(step, state, status, config);
  }
  std::get<std::unique_ptr<Observer>>(entry_)->observe(step, state, status, config);
  return false;
}

Callbacks with_terminator(Callbacks list, std::unique_ptr<Terminator> terminator) {
  list.entries.emplace_back(std::move(terminator));
  return list;
}

Callbacks with_observer(Callbacks list, std::unique_ptr<Observer> observer) {
  list.entries.emplace_back(std::move(observer));
  return list;
}

}  // namespace tarnwick::optimizer
