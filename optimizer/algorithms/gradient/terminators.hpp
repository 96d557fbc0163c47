// The terminators of an L-BFGS-B run, consulted after every step: the
// convergence tests, each of which stops the run as a success with its own
// text (all comparisons are strict, so a NaN on either side never stops),
// and the step limit.
#pragma once

#include <expected>
#include <memory>

#include "optimizer/algorithms/gradient/terminator.hpp"
#include "optimizer/core/optimizer_error.hpp"

namespace tarnwick::optimizer {

// Stops with "F_EVAL CONVERGED" when eps_f > |f_previous − f|, an absolute
// change. Otherwise remembers f as f_previous (kept in the algorithm state,
// which the run resets to +∞, so the first check never stops).
class LBFGSBFTerminator final : public Terminator {
 public:
  // Fails with "eps_abs must be greater than 0" unless eps > 0 (NaN passes
  // and then never stops anything).
  [[nodiscard]] static std::expected<LBFGSBFTerminator, OptimizerError> create(double eps);
  [[nodiscard]] bool check_for_termination(std::uint64_t step, LBFGSB& state,
                                           GradientStatus& status,
                                           const LBFGSBConfig& config) override;

 private:
  explicit LBFGSBFTerminator(double eps) : eps_(eps) {}
  double eps_;
};

// Stops with "GRADIENT CONVERGED" when eps_g > ‖g‖₂ (the plain gradient).
class LBFGSBGTerminator final : public Terminator {
 public:
  [[nodiscard]] static std::expected<LBFGSBGTerminator, OptimizerError> create(double eps);
  [[nodiscard]] bool check_for_termination(std::uint64_t step, LBFGSB& state,
                                           GradientStatus& status,
                                           const LBFGSBConfig& config) override;

 private:
  explicit LBFGSBGTerminator(double eps) : eps_(eps) {}
  double eps_;
};

// Stops with "PROJECTED GRADIENT WITHIN TOLERANCE" when eps_pg > max_j |p_j|,
// where p is g with the components zeroed that point out of the box at a
// coordinate within 2⁻²⁶ (absolute) of its bound: p_j = 0 when x_j is at its
// lower bound and g_j > 0, or at its upper bound and g_j < 0. NaN
// components are passed over; the maximum of no components is 0.
class LBFGSBInfNormGTerminator final : public Terminator {
 public:
  [[nodiscard]] static std::expected<LBFGSBInfNormGTerminator, OptimizerError> create(double eps);
  [[nodiscard]] bool check_for_termination(std::uint64_t step, LBFGSB& state,
                                           GradientStatus& status,
                                           const LBFGSBConfig& config) override;

 private:
  explicit LBFGSBInfNormGTerminator(double eps) : eps_(eps) {}
  double eps_;
};

// Stops after the n-th step (step index k ≥ n − 1; for n = 0 after the
// first step). Not a success: the message becomes kind Message with the
// text "Maximum number of steps reached (n)".
class MaxSteps final : public Terminator {
 public:
  explicit MaxSteps(std::uint64_t n) : n_(n) {}
  [[nodiscard]] bool check_for_termination(std::uint64_t step, LBFGSB& state,
                                           GradientStatus& status,
                                           const LBFGSBConfig& config) override;

 private:
  std::uint64_t n_;
};

}  // namespace tarnwick::optimizer
