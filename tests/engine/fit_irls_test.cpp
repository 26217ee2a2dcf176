// The engine against a direct transcription of the IRLS loop into Armadillo
// expressions (fresh temporaries every iteration, an explicit transposed
// copy): the reused buffers, the fused element-wise pass and the
// transposed-memory entry must not change a single bit of the result.
#include <gtest/gtest.h>

#include <armadillo>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>

#include "fit_irls.hpp"
#include "irls_steps.hpp"

namespace {

FitResult reference_irls(const arma::mat& X, const arma::vec& y, double tol, std::int32_t max_iter) {
  arma::vec beta(X.n_cols, arma::fill::zeros);
  arma::vec beta_new;
  const arma::mat Xt = X.t();
  std::int32_t i = 0;
  bool changed = true;
  while (i < max_iter) {
    const arma::vec eta = X * beta;
    const arma::vec mu = 1.0 / (arma::exp(-eta) + 1.0);
    const arma::vec w = arma::clamp(mu % (1.0 - mu), 1e-10, 1.0);
    const arma::vec z = eta + (y - mu) / w;
    const arma::mat XW = X.each_col() % w;
    beta_new = arma::solve(Xt * XW, Xt * (w % z), arma::solve_opts::fast);
    changed = false;
    for (arma::uword j = 0; j < beta.n_elem; ++j) {
      if (!(std::abs(beta_new[j] - beta[j]) <= tol)) {
        changed = true;
        break;
      }
    }
    beta = beta_new;
    ++i;
    if (!changed) break;
  }
  return FitResult{beta, i, 0.0, !changed};
}

// Logistic data with known coefficients; seeded, so every run sees the same.
void make_problem(arma::uword n, arma::uword p, arma::mat& X, arma::vec& y, unsigned seed) {
  arma::arma_rng::set_seed(seed);
  X.randn(n, p);
  const arma::vec truth = arma::randn<arma::vec>(p) * (1.0 / std::sqrt(static_cast<double>(p)));
  const arma::vec probability = 1.0 / (1.0 + arma::exp(-(X * truth)));
  y = arma::conv_to<arma::vec>::from(arma::randu<arma::vec>(n) < probability);
}

bool same_bits(const arma::vec& a, const arma::vec& b) {
  return a.n_elem == b.n_elem && std::memcmp(a.memptr(), b.memptr(), a.n_elem * sizeof(double)) == 0;
}

struct Shape {
  arma::uword n;
  arma::uword p;
};

class EngineMatchesTranscription : public ::testing::TestWithParam<Shape> {};

TEST_P(EngineMatchesTranscription, BitForBit) {
  arma::mat X;
  arma::vec y;
  make_problem(GetParam().n, GetParam().p, X, y, 7);
  for (const std::int32_t max_iter : {1, 3, 25}) {
    const FitResult expected = reference_irls(X, y, 1e-10, max_iter);
    const FitResult direct = fit_irls(X, y, 1e-10, max_iter);
    const arma::mat Xt = X.t();
    const FitResult transposed = fit_irls_from_transpose(Xt, y, 1e-10, max_iter);
    for (const FitResult* fit : {&direct, &transposed}) {
      EXPECT_TRUE(same_bits(fit->coefficients, expected.coefficients)) << "max_iter " << max_iter;
      EXPECT_EQ(fit->iterations, expected.iterations);
      EXPECT_EQ(fit->converged, expected.converged);
    }
  }
}

// Tiny square systems take Armadillo's unrolled products, one column takes
// matrix-vector paths, and the large shapes take threaded OpenBLAS kernels.
INSTANTIATE_TEST_SUITE_P(Shapes, EngineMatchesTranscription,
                         ::testing::Values(Shape{1, 1}, Shape{3, 3}, Shape{4, 4}, Shape{40, 1}, Shape{200, 3},
                                           Shape{1000, 17}, Shape{5000, 64}, Shape{20000, 200}),
                         [](const ::testing::TestParamInfo<Shape>& info) {
                           return std::to_string(info.param.n) + "x" + std::to_string(info.param.p);
                         });

TEST(Engine, EmptyDesignConvergesAtOnce) {
  const FitResult fit = fit_irls(arma::mat(5, 0), arma::vec(5, arma::fill::ones), 1e-8, 25);
  EXPECT_EQ(fit.coefficients.n_elem, 0u);
  EXPECT_EQ(fit.iterations, 1);
  EXPECT_TRUE(fit.converged);
}

TEST(Engine, LengthMismatchThrowsLogicError) {
  arma::mat X;
  arma::vec y;
  make_problem(5, 2, X, y, 3);
  const arma::vec short_y = y.head(3);
  try {
    fit_irls(X, short_y, 1e-8, 25);
    FAIL() << "no exception";
  } catch (const std::logic_error& error) {
    EXPECT_STREQ(error.what(), "subtraction: incompatible matrix dimensions: 3x1 and 5x1");
  }
}

// The convergence test: a change counts unless it is known to be within tol,
// so a NaN (in either coefficient or in tol) is never taken for convergence.
TEST(ConvergenceTest, NaNCountsAsAChange) {
  const double nan = arma::datum::nan;
  EXPECT_TRUE(coefficients_changed(arma::vec{nan}, arma::vec{0.0}, 1.0));
  EXPECT_TRUE(coefficients_changed(arma::vec{0.0}, arma::vec{nan}, 1.0));
  EXPECT_TRUE(coefficients_changed(arma::vec{0.0}, arma::vec{0.0}, nan));
  EXPECT_TRUE(coefficients_changed(arma::vec{0.0, nan}, arma::vec{0.0, 0.0}, 1.0));
}

TEST(ConvergenceTest, ChangeEqualToTolDoesNotCount) {
  EXPECT_FALSE(coefficients_changed(arma::vec{1.5, -2.0}, arma::vec{1.0, -2.5}, 0.5));
  EXPECT_TRUE(coefficients_changed(arma::vec{1.5, -2.0}, arma::vec{1.0, -2.5}, 0.4999));
  EXPECT_FALSE(coefficients_changed(arma::vec(), arma::vec(), -1.0));
  EXPECT_TRUE(coefficients_changed(arma::vec{1.0}, arma::vec{1.0}, -1.0));
}

}  // namespace
