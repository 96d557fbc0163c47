#include "fit/native_density.hpp"

#include <algorithm>
#include <array>

#include "fit/float_repr.hpp"
#include "numerics/exact_sum.hpp"

namespace tarnwick::fit {
namespace {

bool is_leaf(const NativeModel& model) {
  return model.shape != NativeShape::kSum && model.shape != NativeShape::kProduct;
}

// A leaf's unnormalised density, kept or computed.
void unnormalised(const NativeModel& leaf, std::span<const double> p, std::span<const double> x,
                  double* out, const KeptLeaves* kept, std::size_t row) {
  const double* values = kept != nullptr ? kept->find(leaf) : nullptr;
  if (values != nullptr) {
    std::copy_n(values + row, x.size(), out);
    return;
  }
  leaf_unnormalised(leaf, p, x, out);
}

// The density of a leaf: unnormalised · (1/mass) inside the window, zero
// outside (multiplying by a scale of exactly 1, which the models skip,
// changes nothing).
void leaf_density(const NativeModel& leaf, std::span<const double> p,
                  std::span<const double> x, double* out, const KeptLeaves* kept,
                  std::size_t row) {
  const double scale = 1.0 / leaf_mass(leaf, p);
  unnormalised(leaf, p, x, out, kept, row);
  for (std::size_t i = 0; i < x.size(); ++i) {
    const bool inside = x[i] >= leaf.low && x[i] <= leaf.high;
    out[i] = inside ? out[i] * scale : 0.0;
  }
}

// The weights of a Sum's components: its fractions, then the rest,
// max(0, 1 − Σ φ) with the sum rounded once (math.fsum).
double last_weight(std::span<const double> fractions) {
  const double rest = 1.0 - numerics::exact_sum(fractions);
  return rest > 0.0 ? rest : 0.0;
}

// A Sum: with every event inside the window and only leaves below, each
// component's unnormalised density times weight/mass, added in order;
// otherwise each component's density times its weight, added to zeros.
void sum_density(const NativeModel& sum, std::span<const double> p, bool all_inside,
                 std::span<const double> x, double* out, const KeptLeaves* kept,
                 std::size_t row) {
  const std::span<const double> fractions = p.first(sum.parameters.size());
  const double rest = last_weight(fractions);
  std::span<const double> below = p.subspan(fractions.size());
  bool leaves = true;
  for (const NativeModel& component : sum.components) leaves = leaves && is_leaf(component);
  const bool direct = all_inside && leaves;
  std::array<double, kDensityBlock> term;
  for (std::size_t k = 0; k < sum.components.size(); ++k) {
    const NativeModel& component = sum.components[k];
    const std::span<const double> q = below.first(total_parameters(component));
    below = below.subspan(q.size());
    const double weight = k < fractions.size() ? fractions[k] : rest;
    double* target = k == 0 && direct ? out : term.data();
    if (direct) {
      const double scale = weight / leaf_mass(component, q);
      unnormalised(component, q, x, target, kept, row);
      for (std::size_t i = 0; i < x.size(); ++i) target[i] *= scale;
      if (k > 0) {
        for (std::size_t i = 0; i < x.size(); ++i) out[i] += target[i];
      }
      continue;
    }
    if (k == 0) std::fill(out, out + x.size(), 0.0);
    model_density(component, q, all_inside, x, target, kept, row);
    for (std::size_t i = 0; i < x.size(); ++i) out[i] += target[i] * weight;
  }
}

NativeCheck sum_check(const NativeModel& sum, std::span<const double> fractions) {
  for (std::size_t k = 0; k < fractions.size(); ++k) {
    if (!(fractions[k] >= 0.0 && fractions[k] <= 1.0)) {
      return invalid_value(sum.parameters[k], fractions[k], "must lie in [0, 1]");
    }
  }
  const double total = numerics::exact_sum(fractions);
  if (total > 1.0 + 1e-12) {
    return {NativeCheck::Verdict::kInvalid,
            sum.total_head + float_repr(total) + ", more than 1"};
  }
  return {};
}

}  // namespace

const double* KeptLeaves::find(const NativeModel& leaf) const noexcept {
  for (std::size_t k = 0; k < leaves.size(); ++k) {
    if (leaves[k] == &leaf) return values[k].data();
  }
  return nullptr;
}

void model_density(const NativeModel& model, std::span<const double> p, bool all_inside,
                   std::span<const double> x, double* out, const KeptLeaves* kept,
                   std::size_t row) {
  if (is_leaf(model)) return leaf_density(model, p, x, out, kept, row);
  sum_density(model, p, all_inside, x, out, kept, row);
}

NativeCheck check_model(const NativeModel& model, std::span<const double> p) {
  const std::span<const double> own = p.first(model.parameters.size());
  NativeCheck check = model.shape == NativeShape::kSum ? sum_check(model, own)
                      : is_leaf(model)                  ? leaf_check(model, own)
                                                        : NativeCheck{};
  std::span<const double> below = p.subspan(own.size());
  for (const NativeModel& component : model.components) {
    if (check.verdict != NativeCheck::Verdict::kValid) return check;
    const std::span<const double> q = below.first(total_parameters(component));
    below = below.subspan(q.size());
    check = check_model(component, q);
  }
  return check;
}

bool tree_evaluates_natively(const NativeModel& model, std::span<const double> p) {
  if (is_leaf(model)) return leaf_evaluates_natively(model, p);
  std::span<const double> below = p.subspan(model.parameters.size());
  for (const NativeModel& component : model.components) {
    const std::span<const double> q = below.first(total_parameters(component));
    below = below.subspan(q.size());
    if (!tree_evaluates_natively(component, q)) return false;
  }
  return true;
}

}  // namespace tarnwick::fit
