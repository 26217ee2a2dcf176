// The engine against a direct transcription of the IRLS loop into Armadillo
// expressions (fresh temporaries every iteration, an explicit transposed
// copy, XᵀWX as a general product), and the engine against itself: memory
// order, repeated runs and the number of worker threads must not change a
// single bit of the result.
#include <cblas.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <armadillo>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>

#include "covariance.hpp"
#include "diagonal_block_solve.hpp"
#include "fit_irls.hpp"
#include "in_memory_passes.hpp"
#include "irls_steps.hpp"
#include "vector_exp.hpp"
#include "vector_normal.hpp"

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

// The two computations differ in summation order (the rank-k update of
// sqrt(w)-scaled blocks against one general product) and in the solver's
// path, so they agree to rounding amplified by the condition number of XᵀWX,
// which for these standard normal designs is below 100: 1e-10 of the
// coefficients' scale leaves a margin of more than 1e3 on every kernel.
void expect_close(const arma::vec& got, const arma::vec& expected) {
  ASSERT_EQ(got.n_elem, expected.n_elem);
  const double scale = std::max(1.0, arma::abs(expected).max());
  EXPECT_LE(arma::abs(got - expected).max(), 1e-10 * scale);
}

struct Shape {
  arma::uword n;
  arma::uword p;
};

class EngineMatchesTranscription : public ::testing::TestWithParam<Shape> {};

TEST_P(EngineMatchesTranscription, ToRoundingAndBitForBitAcrossLayouts) {
  arma::mat X;
  arma::vec y;
  make_problem(GetParam().n, GetParam().p, X, y, 7);
  const arma::mat Xt = X.t();
  // tol -1 fixes the number of updates; 1e-10 lets both converge.
  for (const auto& [tol, max_iter] : {std::pair{-1.0, 1}, std::pair{-1.0, 3}, std::pair{1e-10, 25}}) {
    const FitResult expected = reference_irls(X, y, tol, max_iter);
    const FitResult direct = fit_irls(X, y, tol, max_iter);
    const FitResult transposed =
        fit_irls(LogisticData{design_of_transpose(Xt), y.memptr(), y.n_elem, nullptr}, tol, max_iter);
    const FitResult again = fit_irls(X, y, tol, max_iter);
    expect_close(direct.coefficients, expected.coefficients);
    EXPECT_EQ(direct.iterations, expected.iterations);
    EXPECT_EQ(direct.converged, expected.converged);
    // Each block is copied into the same layout before any arithmetic.
    EXPECT_TRUE(same_bits(transposed.coefficients, direct.coefficients)) << "max_iter " << max_iter;
    EXPECT_TRUE(same_bits(again.coefficients, direct.coefficients));
    EXPECT_EQ(transposed.iterations, direct.iterations);
  }
}

// Tiny systems, one column, one block, several blocks and chunks (20,000
// rows), a wide block, and q above the chunking limit (one chunk, threaded
// BLAS).
INSTANTIATE_TEST_SUITE_P(Shapes, EngineMatchesTranscription,
                         ::testing::Values(Shape{1, 1}, Shape{3, 3}, Shape{4, 4}, Shape{40, 1}, Shape{200, 3},
                                           Shape{1000, 17}, Shape{20000, 7}, Shape{5000, 64},
                                           Shape{20000, 200}, Shape{3000, 600}),
                         [](const ::testing::TestParamInfo<Shape>& info) {
                           return std::to_string(info.param.n) + "x" + std::to_string(info.param.p);
                         });

LogisticData data_of(const arma::mat& X, const arma::vec& y, const double* weights, bool intercept) {
  return LogisticData{dense_design(X.memptr(), X.n_rows, X.n_cols, false, intercept), y.memptr(), y.n_elem,
                      weights};
}

FitResult fit_with(const LogisticData& data, unsigned workers) {
  return fit_in_memory(data, FitSettings{1e-10, 25, false, false, false}, workers, IterationObserver())
      .outcome.result;
}

// With the BLAS single-threaded, the fixed chunks and their ordered addition
// make any number of workers give the same bits as one.
TEST(Workers, AnyCountGivesTheSameBits) {
  arma::mat X;
  arma::vec y;
  make_problem(50000, 9, X, y, 11);
  const arma::vec weights = arma::floor(arma::randu<arma::vec>(X.n_rows) * 3.0);
  const int saved = openblas_get_num_threads();
  openblas_set_num_threads(1);
  for (const bool intercept : {false, true}) {
    const LogisticData data = data_of(X, y, weights.memptr(), intercept);
    const FitResult one = fit_with(data, 1);
    EXPECT_TRUE(one.converged);
    for (const unsigned workers : {2U, 3U, 8U}) {
      EXPECT_TRUE(same_bits(fit_with(data, workers).coefficients, one.coefficients)) << workers << " workers";
    }
  }
  openblas_set_num_threads(saved);
  EXPECT_EQ(openblas_get_num_threads(), saved);  // the workers' guard restored it too
}

// The implicit intercept is a column of ones in the copied block: the same
// arithmetic, bit for bit, as an explicit ones column in X.
TEST(Intercept, IsAnImplicitColumnOfOnes) {
  arma::mat X;
  arma::vec y;
  make_problem(30000, 6, X, y, 5);
  const arma::mat with_ones = arma::join_rows(arma::vec(X.n_rows, arma::fill::ones), X);
  const FitResult explicit_column = fit_irls(with_ones, y, 1e-10, 25);
  const LogisticData data = data_of(X, y, nullptr, true);
  const FitResult implicit_column = fit_with(data, 1);
  EXPECT_TRUE(same_bits(implicit_column.coefficients, explicit_column.coefficients));
  EXPECT_EQ(implicit_column.iterations, explicit_column.iterations);
}

// Frequency weights: a row of weight k is that row k times over, and a row of
// weight 0 is no row at all. Summation orders differ, so to rounding.
TEST(Weights, AreFrequencies) {
  arma::mat X;
  arma::vec y;
  make_problem(3000, 5, X, y, 9);
  const arma::uvec counts =
      arma::conv_to<arma::uvec>::from(arma::floor(arma::randu<arma::vec>(X.n_rows) * 4.0));
  const arma::vec weights = arma::conv_to<arma::vec>::from(counts);
  arma::uvec repeated_rows(arma::accu(counts));
  arma::uword next = 0;
  for (arma::uword row = 0; row < X.n_rows; ++row) {
    for (arma::uword copy = 0; copy < counts[row]; ++copy) {
      repeated_rows[next++] = row;
    }
  }
  const arma::mat X_repeated = X.rows(repeated_rows);
  const arma::vec y_repeated = y.elem(repeated_rows);
  const LogisticData weighted = data_of(X, y, weights.memptr(), true);
  const LogisticData repeated = data_of(X_repeated, y_repeated, nullptr, true);
  expect_close(fit_with(weighted, 2).coefficients, fit_with(repeated, 1).coefficients);

  // The summary at the solution: Fisher information and deviance by their
  // textbook formulas over the repeated rows.
  const arma::vec beta = fit_with(weighted, 1).coefficients;
  // (the sums of a pass at beta, as a fit's last pass makes them).
  const NormalSums summary = sum_normal_equations(weighted, beta, true);
  const arma::mat design = arma::join_rows(arma::vec(X_repeated.n_rows, arma::fill::ones), X_repeated);
  const arma::vec eta = design * beta;
  const arma::vec mu = 1.0 / (1.0 + arma::exp(-eta));
  const arma::mat information = design.t() * (design.each_col() % (mu % (1.0 - mu)));
  EXPECT_LE(arma::abs(summary.A - information).max(), 1e-10 * arma::abs(information).max());
  // Its inverse, by Cholesky here, and by the pseudo-inverse for a singular
  // one (a zero column), whose row and column for that column are zero up
  // to rounding.
  arma::mat covariance(information.n_rows, information.n_cols);
  invert_fisher_information(summary.A, covariance);
  const arma::mat expected = arma::inv(information);
  EXPECT_LE(arma::abs(covariance - expected).max(), 1e-9 * arma::abs(expected).max());
  arma::mat singular = information;
  singular.row(2).zeros();
  singular.col(2).zeros();
  invert_fisher_information(singular, covariance);
  EXPECT_LE(arma::abs(covariance.col(2)).max(), 1e-12 * arma::abs(covariance).max());
  EXPECT_TRUE(covariance.is_symmetric(0.0));
  // No inverse at all of a non-finite one (X never looked at, max_iter 0):
  // NaN, not an exception after a fit that succeeded.
  singular(0, 0) = arma::datum::inf;
  invert_fisher_information(singular, covariance);
  EXPECT_TRUE(covariance.has_nan());
  const double deviance =
      -2.0 * arma::accu(y_repeated % arma::log(mu) + (1.0 - y_repeated) % arma::log(1.0 - mu));
  EXPECT_NEAR(summary.statistics.deviance, deviance, 1e-10 * deviance);
  EXPECT_EQ(summary.statistics.boundary_rows, 0U);
}

TEST(Summary, CountsRowsFittedAtExactlyZeroOrOne) {
  // One column, beta 1: eta 100 gives mu exactly 1 and eta -800 exactly 0;
  // eta 0.5 does not; a zero weight does not count.
  const arma::mat X = arma::vec{100.0, -800.0, 0.5, 100.0};
  const arma::vec y{1.0, 0.0, 1.0, 1.0};
  const arma::vec weights{1.0, 2.0, 1.0, 0.0};
  const LogisticData data = data_of(X, y, weights.memptr(), false);
  EXPECT_EQ(sum_normal_equations(data, arma::vec{1.0}, true).statistics.boundary_rows, 2U);
}

// Block-sized BLAS calls from several threads need the BLAS single-threaded
// (threaded, they run many times slower); a wide design keeps the BLAS's own
// threads for its large blocks. Either way the setting is restored.
TEST(BlasThreads, SingleThreadedForBlockSizedCallsOnly) {
  const int saved = openblas_get_num_threads();
  for (const auto& [p, expected] : {std::pair{8, 1}, std::pair{600, saved}}) {
    arma::mat X;
    arma::vec y;
    make_problem(3000, p, X, y, 2);
    const LogisticData data = data_of(X, y, nullptr, false);
    int during = -1;
    fit_in_memory(data, FitSettings{1e-8, 2, false, false, false}, 2,
                  [&](const IterationReport&) { during = openblas_get_num_threads(); });
    EXPECT_EQ(during, expected) << p << " columns";
    EXPECT_EQ(openblas_get_num_threads(), saved);
  }
}

TEST(Observer, SeesEveryUpdateAndCanStopTheFit) {
  arma::mat X;
  arma::vec y;
  make_problem(500, 4, X, y, 3);
  const LogisticData data = data_of(X, y, nullptr, true);
  std::int32_t seen = 0;
  const FitOutcome fit =
      fit_in_memory(data, FitSettings{1e-10, 25, false, false, true}, 1, [&](const IterationReport& report) {
        EXPECT_EQ(report.iteration, ++seen);
        EXPECT_GT(report.deviance, 0.0);
      }).outcome;
  EXPECT_EQ(seen, fit.result.iterations);
  // A fit of k updates reads X k times: the covariance and deviance come
  // from the last update's pass, not from one more.
  EXPECT_EQ(fit.passes, fit.result.iterations);
  const auto stop = [](const IterationReport&) { throw std::runtime_error("stopped"); };
  EXPECT_THROW(fit_in_memory(data, FitSettings{1e-10, 25, false, false, false}, 1, stop), std::runtime_error);
}

// Columns that are combinations of earlier ones are found at the first
// update and held at 0; the others are fitted as the design without them
// would be (to rounding: the BLAS may block a wider rank-k update otherwise).
TEST(DependentColumns, LaterColumnOfEachSetIsDroppedAndTheRestFitted) {
  arma::mat X;
  arma::vec y;
  make_problem(4000, 4, X, y, 13);
  // Columns: x0 x1 3*x1 x2 x0+x2 x3 0, with an intercept in front.
  const arma::mat design =
      arma::join_rows(arma::join_rows(X.cols(0, 1), 3.0 * X.col(1), X.col(2)),
                      arma::join_rows(X.col(0) + X.col(2), X.col(3), arma::vec(X.n_rows, arma::fill::zeros)));
  const FitSettings settings{1e-10, 25, true, true, false};
  const FitOutcome fit =
      fit_in_memory(data_of(design, y, nullptr, true), settings, 2, IterationObserver()).outcome;
  EXPECT_EQ(fit.dropped, (std::vector<arma::uword>{3, 5, 7}));
  EXPECT_EQ(fit.singular_solves, 0);
  const arma::mat kept = arma::join_rows(design.cols(0, 1), design.col(3), design.col(5));
  const FitOutcome reduced =
      fit_in_memory(data_of(kept, y, nullptr, true), settings, 2, IterationObserver()).outcome;
  EXPECT_TRUE(reduced.dropped.empty());
  expect_close(fit.result.coefficients.elem(arma::uvec{0, 1, 2, 4, 6}), reduced.result.coefficients);
  EXPECT_TRUE(arma::all(fit.result.coefficients.elem(arma::uvec{3, 5, 7}) == 0.0));
  // Nearly dependent is not dependent: 1 - R^2 of 1e-6 stays in.
  const arma::vec noise = 1e-3 * arma::randn<arma::vec>(X.n_rows);
  const arma::mat near = arma::join_rows(X.col(0), X.col(0) + noise);
  EXPECT_TRUE(fit_in_memory(data_of(near, y, nullptr, true), settings, 1, IterationObserver())
                  .outcome.dropped.empty());
}

// The kernel's exp against libm's: within one unit in the last place over
// the whole range, subnormal results included, and the edge values exact.
TEST(VectorExp, WithinOneUlpOfLibm) {
  for (int step = -750000; step <= 750000; ++step) {
    const double x = step * 1e-3 + 1.234567e-7 * (step % 7);
    const double expected = std::exp(x);
    const double actual = vector_exp(x);
    if (std::isinf(expected)) {
      ASSERT_EQ(actual, expected) << x;
      continue;
    }
    const double ulp = std::nextafter(expected, INFINITY) - expected;
    ASSERT_LE(std::abs(actual - expected), std::max(ulp, 4.9e-324)) << x;
  }
  EXPECT_EQ(vector_exp(0.0), 1.0);
  EXPECT_EQ(vector_exp(710.0), INFINITY);
  EXPECT_EQ(vector_exp(-746.0), 0.0);
  EXPECT_EQ(vector_exp(INFINITY), INFINITY);
  EXPECT_EQ(vector_exp(-INFINITY), 0.0);
  EXPECT_TRUE(std::isnan(vector_exp(NAN)));
  // log(1 + t) on [0, 1], what the deviance's softplus takes, to 4 ulp.
  for (int step = 0; step <= 100000; ++step) {
    const double t = step * 1e-5;
    const double expected = std::log1p(t);
    const double ulp = std::nextafter(expected, INFINITY) - expected;
    ASSERT_LE(std::abs(vector_log1p_unit(t) - expected), 4 * std::max(ulp, 4.9e-324)) << t;
  }
}

// The probit link's normal tail Phi(-t) against erfc in long double (64-bit
// significand: where the tail is 1e-300 its argument's rounding moves it by
// under 0.7 ulp of a double, so the reference holds to 1 ulp), on a grid
// over every branch of the approximation up to the last normal result; and
// vector_log, which the probit and cloglog deviances take, against libm.
TEST(VectorNormal, TailWithinEightUlpToTheFarTail) {
  const long double sqrt_half = 0.707106781186547524400844362104849039L;
  double worst = 0.0;
  for (int step = 0; step <= 375000; ++step) {
    const double t = step * 1e-4 + 3.1e-9 * (step % 11);
    const auto expected = static_cast<double>(0.5L * std::erfc(static_cast<long double>(t) * sqrt_half));
    const NormalTail normal = vector_normal_tail(t);
    const double ulp = std::nextafter(expected, INFINITY) - expected;
    worst = std::max(worst, std::abs(normal.tail - expected) / ulp);
    const auto gaussian = static_cast<double>(std::exp(-0.5L * static_cast<long double>(t) * t));
    const double gaussian_ulp = std::nextafter(gaussian, INFINITY) - gaussian;
    ASSERT_LE(std::abs(normal.gaussian - gaussian), 2 * gaussian_ulp) << t;
  }
  // Measured: 7.3 ulp at most, in the middle branch (Cody's degree-8
  // rational, rounded at each of its steps); about 4 beyond it.
  EXPECT_LE(worst, 8.0);
  EXPECT_EQ(vector_normal_tail(0.0).tail, 0.5);
  EXPECT_EQ(vector_normal_tail(39.0).tail, 0.0);
  EXPECT_EQ(vector_normal_tail(INFINITY).tail, 0.0);
  EXPECT_TRUE(std::isnan(vector_normal_tail(NAN).tail));
  // log over the normal and subnormal range, and its edges.
  for (int step = -3230; step <= 3080; ++step) {
    const double x = std::pow(10.0, step * 0.1 + 1.234567e-3 * (step % 5));
    const double expected = std::log(x);
    const double ulp = std::nextafter(std::abs(expected), INFINITY) - std::abs(expected);
    ASSERT_LE(std::abs(vector_log(x) - expected), 2 * std::max(ulp, 4.9e-324)) << x;
  }
  for (int step = 1; step <= 100000; ++step) {
    const double x = 0.5 + step * 1e-5;  // around 1, where log x is small
    const double expected = std::log(x);
    const double ulp = std::nextafter(std::abs(expected), INFINITY) - std::abs(expected);
    ASSERT_LE(std::abs(vector_log(x) - expected), 2 * ulp) << x;
    // log(1 - t) for t in [0, 1/2], the probit deviance's other term.
    const double t = step * 5e-6;
    const double other = std::log1p(-t);
    const double other_ulp = std::nextafter(std::abs(other), INFINITY) - std::abs(other);
    ASSERT_LE(std::abs(vector_log1p_unit(-t) - other), 4 * other_ulp) << t;
  }
  EXPECT_EQ(vector_log(1.0), 0.0);
  EXPECT_EQ(vector_log(0.0), -INFINITY);
  EXPECT_EQ(vector_log(INFINITY), INFINITY);
  EXPECT_TRUE(std::isnan(vector_log(NAN)));
  EXPECT_TRUE(std::isnan(vector_log(-1.0)));
}

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

// A system with a diagonal block in the middle (40 columns between 3 and
// 4 others, as a categorical's indicators lie between numeric columns) is
// solved by eliminating the block first, to the full solve's solution; one
// whose block is too narrow, or not positive, is left to the full solve.
TEST(DiagonalBlockSolve, EqualsTheFullSolve) {
  arma::arma_rng::set_seed(3);
  const arma::uword before = 3;
  const arma::uword block = 40;
  const arma::uword q = before + block + 4;
  const arma::mat X = arma::randn(500, q);
  arma::mat A = X.t() * X;
  A.submat(before, before, before + block - 1, before + block - 1) = arma::diagmat(arma::randu(block) + 1.0);
  const arma::vec b = arma::randn(q);
  arma::vec x;
  ASSERT_TRUE(solve_by_diagonal_block(A, b, x));
  const arma::vec expected = arma::solve(A, b);
  EXPECT_LT(arma::abs(x - expected).max(), 1e-10 * arma::abs(expected).max());

  arma::mat narrow = X.t() * X;
  narrow.submat(before, before, before + 9, before + 9) = arma::eye(10, 10);
  EXPECT_FALSE(solve_by_diagonal_block(narrow, b, x));
  arma::mat not_positive = A;
  not_positive(before + 5, before + 5) = 0.0;
  EXPECT_FALSE(solve_by_diagonal_block(not_positive, b, x));
}
