#include "fit/native_template.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace tarnwick::fit {
namespace {

// The bins of equal width: t = (x − e_0) · (n / (e_n − e_0)), truncated
// toward zero and clipped to [0, n − 1]. (NumPy's cast of a NaN or of a
// value beyond the integers lands in the clip as well.)
void equal_bins(const TemplateTable& table, std::span<const double> x, double* out) {
  const std::size_t bins = table.y.size();
  const double first = table.x.front();
  const double per_unit = static_cast<double>(bins) / (table.x.back() - first);
  const double last = static_cast<double>(bins - 1);
  for (std::size_t i = 0; i < x.size(); ++i) {
    const double t = (x[i] - first) * per_unit;
    // Truncation toward zero of t in (−1, n) and clipping agree with
    // clipping t to [0, n − 1] first; a NaN goes to bin 0.
    const double clipped = t >= 0.0 ? (t < last ? t : last) : 0.0;
    out[i] = table.y[static_cast<std::size_t>(clipped)];
  }
}

// The bin holding x by bisection: the number of edges ≤ x, less one,
// clipped to [0, n − 1] (a NaN, above every edge, to the last bin).
void bisected_bins(const TemplateTable& table, std::span<const double> x, double* out) {
  const std::size_t bins = table.y.size();
  for (std::size_t i = 0; i < x.size(); ++i) {
    const auto above = std::upper_bound(table.x.begin(), table.x.end(), x[i]);
    const std::size_t count = static_cast<std::size_t>(above - table.x.begin());
    out[i] = table.y[std::clamp<std::size_t>(count, 1, bins) - 1];
  }
}

// np.interp: the end values outside the nodes, the node's value on a node,
// else slope · (x − x_j) + y_j with the slope of segment j; a NaN result
// is taken from the segment's other end instead.
double interpolated(const TemplateTable& table, double x) {
  const std::vector<double>& nodes = table.x;
  const std::vector<double>& values = table.y;
  if (std::isnan(x)) return x;
  if (x > nodes.back()) return values.back();
  if (x < nodes.front()) return values.front();
  const std::size_t j =
      static_cast<std::size_t>(std::upper_bound(nodes.begin(), nodes.end(), x) - nodes.begin()) -
      1;
  if (j == nodes.size() - 1 || nodes[j] == x) return values[j];
  const double slope = (values[j + 1] - values[j]) / (nodes[j + 1] - nodes[j]);
  double result = slope * (x - nodes[j]) + values[j];
  if (std::isnan(result)) {
    result = slope * (x - nodes[j + 1]) + values[j + 1];
    if (std::isnan(result) && values[j] == values[j + 1]) result = values[j];
  }
  return result;
}

}  // namespace

bool template_table_fits(const TemplateTable& table) noexcept {
  const std::size_t values = table.linear ? table.x.size() : table.x.size() - 1;
  return table.x.size() >= 2 && table.y.size() == values;
}

void template_density(const TemplateTable& table, std::span<const double> x, double* out) {
  if (table.linear) {
    for (std::size_t i = 0; i < x.size(); ++i) out[i] = interpolated(table, x[i]);
  } else if (table.equal_bins) {
    equal_bins(table, x, out);
  } else {
    bisected_bins(table, x, out);
  }
}

}  // namespace tarnwick::fit
