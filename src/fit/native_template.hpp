// A histogram as a density with no parameters (the Template model), looked
// up or interpolated as the model's NumPy code does it: a constant
// histogram by the bin's index (by arithmetic for equal bins, by bisection
// otherwise), a linear one as np.interp through its nodes. The table is
// already normalised over the window, so its mass is 1.
#pragma once

#include <span>
#include <vector>

namespace tarnwick::fit {

struct TemplateTable {
  // Linear between the nodes `x`, or constant on the bins with edges `x`.
  bool linear = false;
  // Constant only: whether the bins are equal, which finds the bin by
  // arithmetic instead of by bisection.
  bool equal_bins = false;
  // The edges (constant: one more than the densities) or the nodes
  // (linear: as many as the values), strictly increasing.
  std::vector<double> x;
  // The normalised densities of the bins, or the values at the nodes.
  std::vector<double> y;
};

// Whether the table has the sizes its kind needs.
[[nodiscard]] bool template_table_fits(const TemplateTable& table) noexcept;

// The density at the points `x` into out[0, x.size()). Points outside the
// histogram (or NaN) take the value of a bin at its end, as in the model,
// whose caller discards them.
void template_density(const TemplateTable& table, std::span<const double> x, double* out);

}  // namespace tarnwick::fit
