#include "fit/native_crystal_ball.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <optional>

#include "fit/native_density.hpp"
#include "fit/normal_mass.hpp"
#include "numerics/power_law.hpp"
#include "numerics/vector_exp.hpp"

namespace tarnwick::fit {
namespace {

constexpr double kSqrt2Pi = 0x1.40d931ff62705p+1;  // √(2π)
// As for the Gaussian: the largest condition of the core's erf difference
// taken natively.
constexpr double kMaxCondition = 1.5;

struct Tail {
  double beta;
  double m;
};

// μ, σ, the tails and log f(t₀) at the window's peak t₀.
struct Layout {
  double mu;
  double sigma;
  std::optional<Tail> low;
  std::optional<Tail> high;
  double log_peak;
};

double tail_log_density(double t, Tail tail) {
  return -0.5 * tail.beta * tail.beta - tail.m * std::log1p((-tail.beta - t) * tail.beta / tail.m);
}

Layout layout(const NativeModel& leaf, std::span<const double> p) {
  Layout out{p[0], p[1], std::nullopt, std::nullopt, 0.0};
  if (leaf.shape == NativeShape::kDoubleCrystalBall) {
    out.low = Tail{p[2], p[3]};
    out.high = Tail{p[4], p[5]};
  } else if (leaf.shape == NativeShape::kCrystalBallLow) {
    out.low = Tail{p[2], p[3]};
  } else {
    out.high = Tail{p[2], p[3]};
  }
  const double t0 = nearest_to_zero((leaf.low - out.mu) / out.sigma,
                                    (leaf.high - out.mu) / out.sigma);
  if (out.low && t0 < -out.low->beta) {
    out.log_peak = tail_log_density(t0, *out.low);
  } else if (out.high && t0 > out.high->beta) {
    out.log_peak = tail_log_density(-t0, *out.high);
  } else {
    out.log_peak = -0.5 * t0 * t0;
  }
  return out;
}

// The tail beyond its junction, over the points gathered from x.
void fill_tail(const Layout& shape, Tail tail, double sign, std::span<const double> x,
               double* out) {
  const double junction = shape.mu + sign * tail.beta * shape.sigma;
  const double factor = sign * tail.beta / (tail.m * shape.sigma);
  const double offset = -0.5 * tail.beta * tail.beta - shape.log_peak;
  std::array<double, kDensityBlock> y;
  std::array<std::size_t, kDensityBlock> index;
  // Gathered without a branch (events come in any order): every event is
  // written at n, which moves on past the tail's.
  std::size_t n = 0;
  for (std::size_t i = 0; i < x.size(); ++i) {
    index[n] = i;
    y[n] = (x[i] - junction) * factor;
    n += (sign < 0.0 ? x[i] < junction : x[i] > junction) ? 1 : 0;
  }
  numerics::power_law_in_place({y.data(), n}, tail.m, offset);
  for (std::size_t k = 0; k < n; ++k) out[index[k]] = y[k];
}

// exp(log_scale) ∫_a^b of the low tail, for a ≤ b ≤ −β.
double tail_integral(double a, double b, Tail tail, double log_scale) {
  const double r_b = 1.0 + (-tail.beta - b) * tail.beta / tail.m;
  const double log_ratio = std::log1p((b - a) * tail.beta / (tail.m * r_b));
  const double d = tail.m - 1.0;
  const double h = d == 0.0 ? log_ratio : -std::expm1(-d * log_ratio) / d;
  return std::exp(log_scale - 0.5 * tail.beta * tail.beta - (tail.m - 1.0) * std::log(r_b)) *
         (tail.m / tail.beta) * h;
}

// The core's piece [core_low, core_high] of the window, standardised.
struct CorePiece {
  double low;
  double high;
};

CorePiece core_piece(const NativeModel& leaf, const Layout& shape) {
  const double ta = (leaf.low - shape.mu) / shape.sigma;
  const double tb = (leaf.high - shape.mu) / shape.sigma;
  return {shape.low ? std::max(ta, -shape.low->beta) : ta,
          shape.high ? std::min(tb, shape.high->beta) : tb};
}

}  // namespace

void crystal_ball_unnormalised(const NativeModel& leaf, std::span<const double> p,
                               std::span<const double> x, double* out) {
  const Layout shape = layout(leaf, p);
  const double factor = -0.5 / (shape.sigma * shape.sigma);
  for (std::size_t i = 0; i < x.size(); ++i) {
    const double d = x[i] - shape.mu;
    out[i] = d * d * factor - shape.log_peak;
  }
  numerics::exp_in_place({out, x.size()});
  if (shape.low) fill_tail(shape, *shape.low, -1.0, x, out);
  if (shape.high) fill_tail(shape, *shape.high, 1.0, x, out);
}

double crystal_ball_mass(const NativeModel& leaf, std::span<const double> p) {
  const Layout shape = layout(leaf, p);
  const double ta = (leaf.low - shape.mu) / shape.sigma;
  const double tb = (leaf.high - shape.mu) / shape.sigma;
  const CorePiece core = core_piece(leaf, shape);
  double total = 0.0;
  if (shape.low && ta < -shape.low->beta) {
    total += tail_integral(ta, std::min(tb, -shape.low->beta), *shape.low, -shape.log_peak);
  }
  if (shape.high && tb > shape.high->beta) {
    // The mirror image: ∫_s^t f_high = ∫_{−t}^{−s} f_low, s = max(ta, β).
    const double start = std::max(ta, shape.high->beta);
    total += tail_integral(-std::max(tb, start), -start, *shape.high, -shape.log_peak);
  }
  if (core.low < core.high) {
    const double c0 = nearest_to_zero(core.low, core.high);
    const double scale = std::exp(-shape.log_peak - 0.5 * c0 * c0);
    const double upper = std::clamp(tb, core.low, core.high);
    total += kSqrt2Pi * scale * normal_mass(core.low, upper, c0);
  }
  return shape.sigma * total;
}

NativeCheck crystal_ball_check(const NativeModel& leaf, std::span<const double> p) {
  for (std::size_t k = 0; k < p.size(); ++k) {
    const double value = p[k];
    const bool power = k >= 3 && k % 2 == 1;  // n, n_low, n_high
    if (k == 0) {
      if (!std::isfinite(value)) return invalid_value(leaf.parameters[k], value, "must be finite");
    } else if (power) {
      if (!(value > 1.0 && std::isfinite(value))) {
        return invalid_value(leaf.parameters[k], value, "must be finite and greater than 1");
      }
    } else if (!(value > 0.0) || value == INFINITY) {
      return invalid_value(leaf.parameters[k], value, "must be positive and finite");
    }
  }
  return {};
}

bool crystal_ball_evaluates_natively(const NativeModel& leaf, std::span<const double> p) {
  const Layout shape = layout(leaf, p);
  const CorePiece core = core_piece(leaf, shape);
  if (!(core.low < core.high)) return true;
  if (normal_mass_form(core.low, core.high) != MassForm::kErf) return false;
  double condition = 0.0;
  (void)normal_mass(core.low, core.high, nearest_to_zero(core.low, core.high), &condition);
  return condition <= kMaxCondition;
}

}  // namespace tarnwick::fit
