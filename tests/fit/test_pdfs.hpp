// Small C++ PDFs for the fit-engine tests. Each evaluates column `column` of
// the events (column 0 is whatever bookkeeping the caller put there) and
// returns a view of its own reused buffer.
#pragma once

#include <cmath>
#include <cstddef>
#include <numbers>
#include <optional>
#include <string>
#include <vector>

#include "fit/parametric_pdf.hpp"

namespace tarnwick::fit::testing {

// The base of the test PDFs: fills `buffer_` through `fill` and counts calls.
class BufferedPdf : public ParametricPdf {
 public:
  std::expected<PdfValues, SPlotError> evaluate_batch(const EventView& events,
                                                      const ParameterMap& parameters) override {
    ++calls;
    batch_sizes.push_back(events.size());
    if (call_log) call_log->push_back(id);
    if (fail_at_call && calls == *fail_at_call) {
      return std::unexpected(PdfEvaluation{"test PDF failed"});
    }
    buffer_.resize(events.size());
    for (std::size_t i = 0; i < events.size(); ++i) {
      buffer_[i] = density(events, i, parameters);
    }
    return PdfValues::tested(buffer_);
  }

  // The density of event i alone.
  double value(const EventView& events, std::size_t i, const ParameterMap& parameters) {
    return density(events, i, parameters);
  }

  std::size_t calls = 0;
  std::vector<std::size_t> batch_sizes;
  std::optional<std::size_t> fail_at_call;  // 1-based call that fails
  std::vector<std::size_t>* call_log = nullptr;  // shared record of the call order
  std::size_t id = 0;

 protected:
  virtual double density(const EventView& events, std::size_t i,
                         const ParameterMap& parameters) = 0;

 private:
  std::vector<double> buffer_;
};

class FlatPdf final : public BufferedPdf {
 protected:
  double density(const EventView&, std::size_t, const ParameterMap&) override { return 1.0; }
};

// exp(−½((x − μ)/σ)²) / (σ √(2π)) with μ a fixed value or a shape parameter.
class GaussPdf final : public BufferedPdf {
 public:
  GaussPdf(std::size_t column, double sigma, std::string mean_name)
      : column_(column), sigma_(sigma), mean_name_(std::move(mean_name)) {}
  GaussPdf(std::size_t column, double sigma, double mean)
      : column_(column), sigma_(sigma), mean_(mean) {}

 protected:
  double density(const EventView& events, std::size_t i,
                 const ParameterMap& parameters) override {
    const double mu = mean_name_.empty() ? mean_ : parameters.at(mean_name_);
    const double z = (events.at(i, column_) - mu) / sigma_;
    return std::exp(-0.5 * z * z) / (sigma_ * std::sqrt(2.0 * std::numbers::pi));
  }

 private:
  std::size_t column_;
  double sigma_;
  std::string mean_name_;
  double mean_ = 0.0;
};

// λ e^(−λ x) normalised on [lo, hi], with λ a shape parameter.
class ExponentialPdf final : public BufferedPdf {
 public:
  ExponentialPdf(std::size_t column, std::string slope_name, double lo, double hi)
      : column_(column), slope_name_(std::move(slope_name)), lo_(lo), hi_(hi) {}

 protected:
  double density(const EventView& events, std::size_t i,
                 const ParameterMap& parameters) override {
    const double lambda = parameters.at(slope_name_);
    const double norm = std::exp(-lambda * lo_) - std::exp(-lambda * hi_);
    return lambda * std::exp(-lambda * events.at(i, column_)) / norm;
  }

 private:
  std::size_t column_;
  std::string slope_name_;
  double lo_;
  double hi_;
};

// A Gaussian whose mean and width are both shape parameters.
class GaussMeanWidthPdf final : public BufferedPdf {
 public:
  GaussMeanWidthPdf(std::size_t column, std::string mean_name, std::string width_name)
      : column_(column), mean_name_(std::move(mean_name)), width_name_(std::move(width_name)) {}

 protected:
  double density(const EventView& events, std::size_t i,
                 const ParameterMap& parameters) override {
    const double mu = parameters.at(mean_name_);
    const double sigma = parameters.at(width_name_);
    const double z = (events.at(i, column_) - mu) / sigma;
    return std::exp(-0.5 * z * z) / (sigma * std::sqrt(2.0 * std::numbers::pi));
  }

 private:
  std::size_t column_;
  std::string mean_name_;
  std::string width_name_;
};

// Returns a fixed array of values whatever the point (for checks of the
// engine's value tests and for the benchmark-like cases).
class FixedPdf final : public ParametricPdf {
 public:
  explicit FixedPdf(std::vector<double> values) : values_(std::move(values)) {}
  std::expected<PdfValues, SPlotError> evaluate_batch(const EventView&,
                                                      const ParameterMap&) override {
    ++calls;
    return PdfValues::tested(values_);
  }
  std::size_t calls = 0;

 private:
  std::vector<double> values_;
};

}  // namespace tarnwick::fit::testing
