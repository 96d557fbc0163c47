#include "optimizer/algorithms/gradient/cauchy_point.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

#include "optimizer/core/eigen_provider.hpp"

namespace tarnwick::optimizer {

namespace {
constexpr double kNoBreakpoint = std::numeric_limits<double>::infinity();
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

namespace {

// The path x(t) = P(x − t g): breakpoint t_i where coordinate i reaches its
// bound (∞ when g_i = 0), and the direction d = −g with the coordinates that
// cannot move (t_i < ε) zeroed.
struct Path {
  Vector t;
  Vector d;
};

Path projected_path(const Vector& x, const Vector& g, const Box& box) {
  const Eigen::Index n = x.size();
  Path path{Vector(n), Vector(n)};
  for (Eigen::Index i = 0; i < n; ++i) {
    if (g[i] < 0.0) {
      path.t[i] = (x[i] - box.upper[i]) / g[i];
    } else if (g[i] > 0.0) {
      path.t[i] = (x[i] - box.lower[i]) / g[i];
    } else {
      path.t[i] = kNoBreakpoint;
    }
    path.d[i] = path.t[i] < kMachineEpsilon ? 0.0 : -g[i];
  }
  return path;
}

// The coordinates with t_i > 0 in increasing t (ties keep index order).
std::vector<Eigen::Index> breakpoint_order(const Vector& t) {
  std::vector<Eigen::Index> order;
  for (Eigen::Index i = 0; i < t.size(); ++i) {
    if (t[i] > 0.0) order.push_back(i);
  }
  std::stable_sort(order.begin(), order.end(),
                   [&t](Eigen::Index a, Eigen::Index b) { return t[a] < t[b]; });
  return order;
}

// The model along the current segment: f′ = f1, f″ = f2 (never below ε times
// the first segment's f2_first), p = Wᵀd, and the segment's start t_old.
struct Segment {
  double f1;
  double f2;
  double f2_first;
  double t_old = 0.0;
  Vector p;
};

// Crosses breakpoint b after a segment of length dt. Before: xc, c and the
// segment describe the path up to t_old, and t_old + dt = t_b. After:
// coordinate b is on its bound with d_b = 0, c has advanced by dt·p, and
// f1, f2, p describe the segment starting at t_b.
void cross_breakpoint(Eigen::Index b, double dt, const Vector& x, const Vector& g,
                      const LimitedMemory& memory, const Box& box, Path& path, Segment& seg,
                      CauchyPoint& cp) {
  Vector& d = path.d;
  if (d[b] > 0.0) {
    cp.point[b] = box.upper[b];
  } else if (d[b] < 0.0) {
    cp.point[b] = box.lower[b];
  }
  const double z_b = cp.point[b] - x[b];
  cp.c += dt * seg.p;
  if (d[b] == 0.0) {
    // A breakpoint with 0 < t_b < ε (or g_b = 0): the coordinate already has
    // d_b = 0, so it stays at x_b, and the update terms that assume
    // d_b = −g_b are skipped; only the path's advance over the segment
    // enters f′.
    seg.f1 += dt * seg.f2;
  } else {
    const Matrix& w = memory.w_matrix();
    const double theta = memory.theta();
    const Vector w_b = w.row(b).transpose();
    const double gb = g[b];
    seg.f1 += dt * seg.f2 +
              gb * (theta * z_b + gb - kEigen.vec_dot(w_b, middle_solve(memory, cp.c)));
    seg.f2 -= theta * gb * gb + 2.0 * gb * kEigen.vec_dot(w_b, middle_solve(memory, seg.p)) +
              gb * gb * kEigen.vec_dot(w_b, middle_solve(memory, Vector(w_b)));
    // The subtraction can cancel the whole curvature left on the path when
    // the remaining d_i² are below the rounding of d·d (a large g_b next to
    // tiny ones); f″ = 0 would give Δt_min = ∞ and send the unbounded
    // variables to ±∞. The model is positive definite, so the true f″ is
    // positive: keep at least ε times that of the first segment.
    if (seg.f2 < kMachineEpsilon * seg.f2_first) seg.f2 = kMachineEpsilon * seg.f2_first;
    seg.p += gb * w_b;
    d[b] = 0.0;
  }
}

// Moves along the last segment to its minimiser and lists the free
// coordinates. Before: every crossed coordinate has d_i = 0; t_next is the
// first uncrossed breakpoint (∞ when none). After: cp.point = x^c, cp.c =
// Wᵀ(x^c − x), cp.free the coordinates strictly inside the box.
void finish_on_segment(double dt_min, double t_next, const Path& path, const Box& box,
                       const Segment& seg, CauchyPoint& cp) {
  // fmax turns a NaN Δt_min into 0 (std::max would keep it) and so keeps the
  // Cauchy point finite; a negative Δt_min becomes 0 as well.
  dt_min = std::fmax(dt_min, 0.0);
  const double t_cp = seg.t_old + dt_min;
  // Crossed and never-moving coordinates have d_i = 0 and stay; skipping
  // them also avoids ∞ · 0 when Δt_min is infinite (f″ = +0).
  Vector& xc = cp.point;
  for (Eigen::Index i = 0; i < xc.size(); ++i) {
    if (path.t[i] >= t_next && path.d[i] != 0.0) xc[i] += t_cp * path.d[i];
  }
  cp.c += dt_min * seg.p;
  for (Eigen::Index i = 0; i < xc.size(); ++i) {
    if (box.lower[i] < xc[i] && xc[i] < box.upper[i]) cp.free.push_back(i);
  }
}

}  // namespace

CauchyPoint generalized_cauchy_point(const Vector& x, const Vector& g,
                                     const LimitedMemory& memory, const Box& box) {
  TARNWICK_REQUIRE(g.size() == x.size());
  const Matrix& w = memory.w_matrix();
  Path path = projected_path(x, g, box);
  const std::vector<Eigen::Index> order = breakpoint_order(path.t);
  CauchyPoint cp;
  cp.point = x;
  cp.c = Vector::Zero(w.cols());
  Segment seg{0.0, 0.0, 0.0, 0.0, kEigen.mat_vec(w.transpose(), path.d)};
  if (order.empty()) return cp;
  cp.path_exists = true;

  const double dd = kEigen.vec_dot(path.d, path.d);
  seg.f1 = -dd;
  seg.f2 = memory.theta() * dd - kEigen.vec_dot(seg.p, middle_solve(memory, seg.p));
  seg.f2_first = seg.f2;
  double dt_min = -seg.f1 / seg.f2;
  std::size_t next = 0;  // position in `order` of the first uncrossed breakpoint
  double dt = path.t[order[0]] - seg.t_old;
  // A NaN Δt_min (f″ = 0 with f′ = 0, or NaN inputs) fails this test and
  // ends the walk where it stands.
  while (dt_min >= dt && next < order.size()) {
    const Eigen::Index b = order[next];
    cross_breakpoint(b, dt, x, g, memory, box, path, seg, cp);
    dt_min = -seg.f1 / seg.f2;
    seg.t_old = path.t[b];
    ++next;
    dt = next < order.size() ? path.t[order[next]] - seg.t_old : kNoBreakpoint;
  }
  const double t_next = next < order.size() ? path.t[order[next]] : kNoBreakpoint;
  finish_on_segment(dt_min, t_next, path, box, seg, cp);
  return cp;
}

}  // namespace tarnwick::optimizer
