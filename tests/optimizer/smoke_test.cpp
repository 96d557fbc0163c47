#include <gtest/gtest.h>
#include "optimizer/algorithms/gradient/lbfgsb.hpp"
#include "optimizer/algorithms/gradient/terminators.hpp"
namespace opt = tarnwick::optimizer;
struct Quadratic final : opt::Problem<std::string> {
  std::expected<double, std::string> evaluate(const opt::Vector& x) const override { return 0.5 * x.squaredNorm() + x.sum(); }
  std::expected<opt::Vector, std::string> gradient(const opt::Vector& x) const override { return opt::Vector(x.array() + 1.0); }
  std::expected<std::pair<opt::Vector, opt::Matrix>, std::string> gradient_with_hessian(const opt::Vector& x) const override {
    return std::pair{opt::Vector(x.array() + 1.0), opt::Matrix(opt::Matrix::Identity(x.size(), x.size()))}; }
};
TEST(Smoke, Runs) {
  Quadratic q;
  opt::Callbacks cb;
  cb = opt::with_terminator(std::move(cb), opt::LBFGSBGTerminator::create(1e-8)->clone());
  auto r = opt::LBFGSB{}.process(q, opt::Vector::Constant(3, 5.0), opt::LBFGSBConfig{}, cb);
  ASSERT_TRUE(r);
  EXPECT_NEAR(r->best_point[0], -1.0, 1e-7);
  EXPECT_EQ(r->message.display(), "Success: GRADIENT CONVERGED");
}
