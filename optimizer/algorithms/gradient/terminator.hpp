// Callbacks consulted by the L-BFGS-B loop after every completed step.
#pragma once

#include <cstdint>

namespace tarnwick::optimizer {

class LBFGSB;
struct LBFGSBConfig;
struct GradientStatus;

// Decides whether the run stops. `step` counts the steps completed before
// the current one: 0 after the first step, 1 after the second, and so on.
// A terminator may change the algorithm state and the status.
class Terminator {
 public:
  virtual ~Terminator() = default;
  [[nodiscard]] virtual bool check_for_termination(std::uint64_t step, LBFGSB& state,
                                                   GradientStatus& status,
                                                   const LBFGSBConfig& config) = 0;
};

// Watches the run; it is called like a terminator but cannot stop it.
class Observer {
 public:
  virtual ~Observer() = default;
  virtual void observe(std::uint64_t step, const LBFGSB& state, const GradientStatus& status,
                       const LBFGSBConfig& config) = 0;
};

}  // namespace tarnwick::optimizer
