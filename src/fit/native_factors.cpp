#include "fit/native_factors.hpp"

#include <algorithm>
#include <array>

#include "fit/log_terms.hpp"
#include "fit/native_model_pdf.hpp"
#include "fit/worker_threads.hpp"

namespace tarnwick::fit {
namespace {

bool reads_no_parameter(const NativeModel& model) {
  std::vector<const NativeParameter*> flat;
  parameters_in_preorder(model, flat);
  return std::all_of(flat.begin(), flat.end(),
                     [](const NativeParameter* parameter) { return parameter->name.empty(); });
}

// The leaves below `node` (whose parameters start at `first`) that read no
// shape parameter, with where their parameters start.
void collect_fixed_leaves(const NativeModel& node, std::size_t first,
                          std::vector<std::pair<const NativeModel*, std::size_t>>& out) {
  std::size_t offset = first + node.parameters.size();
  for (const NativeModel& component : node.components) {
    if (component.components.empty() && reads_no_parameter(component)) {
      out.emplace_back(&component, offset);
    }
    collect_fixed_leaves(component, offset, out);
    offset += total_parameters(component);
  }
}

}  // namespace

NativeFactors::NativeFactors(const NativeModel& model, const EventView& events)
    : events_(events.size()) {
  std::vector<const NativeModel*> models;
  if (model.shape == NativeShape::kProduct) {
    for (const NativeModel& factor : model.components) models.push_back(&factor);
  } else {
    models.push_back(&model);
  }
  std::size_t first_parameter = 0;
  for (const NativeModel* factor : models) {
    Factor entry;
    entry.model = factor;
    entry.first_parameter = first_parameter;
    first_parameter += total_parameters(*factor);
    entry.column.resize(events_);
    for (std::size_t i = 0; i < events_; ++i) entry.column[i] = events.at(i, factor->column);
    entry.all_inside = all_inside_window(*factor, entry.column);
    entry.fixed = models.size() > 1 && reads_no_parameter(*factor);
    if (!entry.fixed) collect_fixed_leaves(*factor, entry.first_parameter, entry.fixed_leaves);
    factors_.push_back(std::move(entry));
  }
}

void NativeFactors::evaluate_block(const Factor& factor, std::span<const double> p,
                                   std::size_t start, std::size_t n, double* out) const {
  if (!factor.kept.empty()) {
    std::copy_n(factor.kept.begin() + static_cast<std::ptrdiff_t>(start), n, out);
    return;
  }
  const std::span<const double> q =
      p.subspan(factor.first_parameter, total_parameters(*factor.model));
  model_density(*factor.model, q, factor.all_inside,
                std::span<const double>(factor.column).subspan(start, n), out, &factor.leaves,
                start);
}

void NativeFactors::keep_fixed_values(Factor& factor, std::span<const double> p) const {
  if (factor.fixed) {
    std::vector<double> kept(events_);
    for (std::size_t start = 0; start < events_; start += kDensityBlock) {
      evaluate_block(factor, p, start, std::min(kDensityBlock, events_ - start),
                     kept.data() + start);
    }
    factor.kept = std::move(kept);
    return;
  }
  for (const auto& [leaf, first] : factor.fixed_leaves) {
    const std::span<const double> q = p.subspan(first, leaf->parameters.size());
    std::vector<double> values(events_);
    for (std::size_t start = 0; start < events_; start += kDensityBlock) {
      const std::size_t n = std::min(kDensityBlock, events_ - start);
      leaf_unnormalised(*leaf, q, std::span<const double>(factor.column).subspan(start, n),
                        values.data() + start);
    }
    factor.leaves.leaves.push_back(leaf);
    factor.leaves.values.push_back(std::move(values));
  }
}

void NativeFactors::product_block(std::span<const double> p, std::size_t b,
                                  double* out) const {
  // The product f_0 · f_1 · … in the factors' order, one rounding per
  // factor.
  const std::size_t start = b * kDensityBlock;
  const std::size_t n = std::min(kDensityBlock, events_ - start);
  evaluate_block(factors_[0], p, start, n, out + start);
  std::array<double, kDensityBlock> term;
  for (std::size_t k = 1; k < factors_.size(); ++k) {
    const Factor& factor = factors_[k];
    const double* values = factor.kept.empty() ? term.data() : factor.kept.data() + start;
    if (factor.kept.empty()) evaluate_block(factor, p, start, n, term.data());
    for (std::size_t i = 0; i < n; ++i) out[start + i] *= values[i];
  }
}

void NativeFactors::evaluate(std::span<const double> p, std::vector<double>& out,
                             WorkerThreads* threads) {
  if (!kept_ && events_ > 0) {
    for (Factor& factor : factors_) keep_fixed_values(factor, p);
    kept_ = true;
  }
  const std::size_t n_blocks = (events_ + kDensityBlock - 1) / kDensityBlock;
  if (threads != nullptr && threads->size() > 1 && events_ >= 2 * kEventsPerThread) {
    // Block b is the same arithmetic on whichever thread computes it.
    out.resize(events_);
    auto block = [&](std::size_t b) { product_block(p, b, out.data()); };
    threads->run(n_blocks, block);
    return;
  }
  evaluate_ready(p, out);
}

void NativeFactors::evaluate_ready(std::span<const double> p, std::vector<double>& out) const {
  out.resize(events_);
  const std::size_t n_blocks = (events_ + kDensityBlock - 1) / kDensityBlock;
  for (std::size_t b = 0; b < n_blocks; ++b) product_block(p, b, out.data());
}

}  // namespace tarnwick::fit
