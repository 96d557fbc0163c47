#include "optimizer/algorithms/gradient/cauchy_point.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

#include "optimizer/interfaces/linear_algebra.hpp"

namespace tarnwick::optimizer {

namespace {
constexpr double kInfinity = std::numeric_limits<double>::infinity();
}  // namespace

Vector middle_solve(const LimitedMemory& memory, const Vector& v) {
  const auto& k = memory.middle_matrix();
  if (k && k->rows() > 0) {
    if (auto z = kEigen.lu_solve(*k, v)) return std::move(*z);
  }
  return Vector::Zero(v.size());
}

Matrix middle_solve(const LimitedMemory& memory, const Matrix& a) {
  const auto& k = memory.middle_matrix();
  if (k && k->rows() > 0) {
    if (auto z = kEigen.lu_solve_matrix(*k, a)) return std::move(*z);
  }
  return Matrix::Zero(a.rows(), a.cols());
}

CauchyPoint generalized_cauchy_point(const Vector& x, const Vector& g,
                                     const LimitedMemory& memory, const Box& box) {
  const Eigen::Index n = x.size();
  TARNWICK_REQUIRE(g.size() == n);
  const Matrix& w = memory.w_matrix();
  const double theta = memory.theta();

  // Breakpoints t_i and the path direction d = −g with the coordinates that
  // cannot move (t_i < ε) zeroed.
  Vector t(n);
  Vector d(n);
  for (Eigen::Index i = 0; i < n; ++i) {
    if (g[i] < 0.0) {
      t[i] = (x[i] - box.upper[i]) / g[i];
    } else if (g[i] > 0.0) {
      t[i] = (x[i] - box.lower[i]) / g[i];
    } else {
      t[i] = kInfinity;
    }
    d[i] = t[i] < kMachineEpsilon ? 0.0 : -g[i];
  }

  CauchyPoint result;
  result.point = x;
  std::vector<Eigen::Index> order;
  for (Eigen::Index i = 0; i < n; ++i) {
    if (t[i] > 0.0) order.push_back(i);
  }
  std::stable_sort(order.begin(), order.end(),
                   [&t](Eigen::Index a, Eigen::Index b) { return t[a] < t[b]; });
  Vector p = kEigen.mat_vec(w.transpose(), d);
  result.c = Vector::Zero(w.cols());
  if (order.empty()) return result;
  result.path_exists = true;

  Vector& xc = result.point;
  Vector& c = result.c;
  const double dd = kEigen.vec_dot(d, d);
  double f1 = -dd;
  double f2 = theta * dd - kEigen.vec_dot(p, middle_solve(memory, p));
  const double f2_first = f2;
  double dt_min = -f1 / f2;
  double t_old = 0.0;
  std::size_t next = 0;  // position in `order` of the first unprocessed breakpoint
  double dt = t[order[0]] - t_old;

  // A NaN Δt_min (f″ = 0 with f′ = 0, or NaN inputs) fails this test and
  // ends the search where it stands.
  while (dt_min >= dt && next < order.size()) {
    const Eigen::Index b = order[next];
    if (d[b] > 0.0) {
      xc[b] = box.upper[b];
    } else if (d[b] < 0.0) {
      xc[b] = box.lower[b];
    }
    const double z_b = xc[b] - x[b];
    c += dt * p;
    if (d[b] != 0.0) {
      const Vector w_b = w.row(b).transpose();
      const double gb = g[b];
      f1 += dt * f2 + gb * (theta * z_b + gb - kEigen.vec_dot(w_b, middle_solve(memory, c)));
      f2 -= theta * gb * gb + 2.0 * gb * kEigen.vec_dot(w_b, middle_solve(memory, p)) +
            gb * gb * kEigen.vec_dot(w_b, middle_solve(memory, Vector(w_b)));
      // The subtraction can cancel the whole curvature left on the path
      // when the remaining d_i² are below the rounding of d·d (a large g_b
      // next to tiny ones); f″ = 0 would give Δt_min = ∞ and send the
      // unbounded variables to ±∞. The model is positive definite, so the
      // true f″ is positive: keep at least ε times that of the first
      // segment.
      if (f2 < kMachineEpsilon * f2_first) f2 = kMachineEpsilon * f2_first;
      p += gb * w_b;
      d[b] = 0.0;
    } else {
      // A breakpoint with 0 < t_b < ε (or g_b = 0): the coordinate already
      // has d_b = 0, so it stays at x_b, and the update terms that assume
      // d_b = −g_b are skipped; only the path's advance over the segment
      // enters f′.
      f1 += dt * f2;
    }
    dt_min = -f1 / f2;
    t_old = t[b];
    ++next;
    dt = next < order.size() ? t[order[next]] - t_old : kInfinity;
  }

  const double t_next = next < order.size() ? t[order[next]] : kInfinity;
  // fmax turns a NaN Δt_min into 0 (std::max would keep it) and so keeps the
  // Cauchy point finite; a negative Δt_min becomes 0 as well.
  dt_min = std::fmax(dt_min, 0.0);
  const double t_cp = t_old + dt_min;
  // Processed and never-moving coordinates have d_i = 0 and stay; skipping
  // them also avoids ∞ · 0 when Δt_min is infinite (f″ = +0).
  for (Eigen::Index i = 0; i < n; ++i) {
    if (t[i] >= t_next && d[i] != 0.0) xc[i] += t_cp * d[i];
  }
  c += dt_min * p;
  for (Eigen::Index i = 0; i < n; ++i) {
    if (box.lower[i] < xc[i] && xc[i] < box.upper[i]) result.free.push_back(i);
  }
  return result;
}

}  // namespace tarnwick::optimizer
