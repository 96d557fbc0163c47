// Fake callbacks for the optimizer tests. A run copies its callback list,
// so the fakes write into a log they share with the test.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "optimizer/algorithms/gradient/callbacks.hpp"
#include "optimizer/algorithms/gradient/gradient_status.hpp"
#include "optimizer/algorithms/gradient/lbfgsb.hpp"
#include "optimizer/algorithms/gradient/terminators.hpp"

namespace tarnwick::optimizer::testing {

// What an observer saw after one step.
struct Snapshot {
  std::uint64_t step = 0;
  StatusType kind = StatusType::Uninitialized;
  Vector x;
  Vector best_point;
  double f = 0.0;
  double best_value = 0.0;
  double theta = 0.0;
  std::size_t pairs = 0;
};

using Log = std::vector<Snapshot>;

class RecordingObserver final : public Observer {
 public:
  explicit RecordingObserver(std::shared_ptr<Log> log) : log_(std::move(log)) {}
  void observe(std::uint64_t step, const LBFGSB& state, const GradientStatus& status,
               const LBFGSBConfig& /*config*/) override {
    log_->push_back(Snapshot{step, status.message.kind(), state.x(), status.best_point, state.f(),
                             status.best_value, state.memory().theta(),
                             state.memory().s_history().size()});
  }

 private:
  std::shared_ptr<Log> log_;
};

// Stops at the given step index with kind Message and the given text.
class StopAtStep final : public Terminator {
 public:
  StopAtStep(std::uint64_t step, std::string text) : step_(step), text_(std::move(text)) {}
  [[nodiscard]] bool check_for_termination(std::uint64_t step, LBFGSB& /*state*/,
                                           GradientStatus& status,
                                           const LBFGSBConfig& /*config*/) override {
    if (step < step_) return false;
    status.message.reset();
    status.message.set_kind(StatusType::Message);
    status.message.set_text(text_);
    return true;
  }

 private:
  std::uint64_t step_;
  std::string text_;
};

inline std::unique_ptr<Observer> recorder(const std::shared_ptr<Log>& log) {
  return std::make_unique<RecordingObserver>(log);
}

inline std::unique_ptr<Terminator> max_steps(std::uint64_t n) {
  return std::make_unique<MaxSteps>(n);
}

// The three convergence terminators with one tolerance each, in the order
// the fit installs them: objective change, gradient norm, projected
// gradient.
inline Callbacks convergence_callbacks(double eps_f, double eps_g, double eps_pg) {
  Callbacks callbacks;
  callbacks = with_terminator(std::move(callbacks), std::make_unique<LBFGSBFTerminator>(*LBFGSBFTerminator::create(eps_f)));
  callbacks = with_terminator(std::move(callbacks), std::make_unique<LBFGSBGTerminator>(*LBFGSBGTerminator::create(eps_g)));
  callbacks =
      with_terminator(std::move(callbacks), std::make_unique<LBFGSBInfNormGTerminator>(*LBFGSBInfNormGTerminator::create(eps_pg)));
  return callbacks;
}

}  // namespace tarnwick::optimizer::testing
