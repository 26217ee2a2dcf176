// The absorbed fit (absorbed_fit.hpp) against Newton's method on the
// densified design with one dummy per level, written out: the coefficients,
// the levels' effects, the coefficients' covariance (their block of the
// inverse information) and the HC0 sandwich's block, for dense columns
// alone and beside a categorical column (whose cross block with the levels
// is the sparse one), on one thread and two (the same bits). Levels of
// uneven sizes and one of no weight are among them.
#include <gtest/gtest.h>

#include <armadillo>
#include <cstdint>
#include <vector>

#include "absorbed_fit.hpp"
#include "covariance.hpp"

namespace {

struct AbsorbedProblem {
  arma::uword n = 40000;  // three chunks of rows: the two halves of a pass differ
  arma::uword n_levels = 60;
  arma::mat X;                      // dense columns, column-major
  std::vector<std::int32_t> other;  // a categorical of 7 levels, the first the reference
  std::vector<std::int32_t> codes;  // the absorbed levels
  arma::vec y;
  arma::vec s;
  arma::mat densified;  // [X, the categorical's dummies, one dummy per absorbed level]

  explicit AbsorbedProblem(bool with_categorical) {
    arma::arma_rng::set_seed(17);
    X = arma::randn(n, 3);
    const arma::vec u = arma::randu(n);
    const arma::vec level_effects = 0.7 * arma::randn(n_levels);
    arma::vec eta = X * arma::vec{0.6, -0.4, 0.2};
    codes.resize(n);
    other.resize(n);
    for (arma::uword i = 0; i < n; ++i) {
      // Uneven levels: the first ones have many times the rows of the last.
      codes[i] = static_cast<std::int32_t>(static_cast<double>(n_levels) * u[i] * u[i]);
      other[i] = static_cast<std::int32_t>(i % 7);
      eta[i] += level_effects[static_cast<arma::uword>(codes[i])] + 0.1 * other[i];
    }
    s = arma::conv_to<arma::vec>::from(arma::randi<arma::uvec>(n, arma::distr_param(1, 3)));
    // Level 5's rows weigh nothing: it has no effect, and no dummy is fitted.
    for (arma::uword i = 0; i < n; ++i) {
      if (codes[i] == 5) {
        s[i] = 0.0;
      }
    }
    y = arma::conv_to<arma::vec>::from(arma::randu(n) < 1.0 / (1.0 + arma::exp(-eta)));
    arma::mat dummies(n, n_levels, arma::fill::zeros);
    arma::mat other_dummies(n, 6, arma::fill::zeros);
    for (arma::uword i = 0; i < n; ++i) {
      dummies(i, static_cast<arma::uword>(codes[i])) = 1.0;
      if (other[i] > 0) {
        other_dummies(i, static_cast<arma::uword>(other[i] - 1)) = 1.0;
      }
    }
    densified = with_categorical ? arma::join_rows(X, other_dummies, dummies) : arma::join_rows(X, dummies);
  }

  LogisticData data(bool with_categorical) const {
    Design design{n, {DenseBlock{X.memptr(), X.n_cols, false}}};
    if (with_categorical) {
      design.blocks.emplace_back(CategoricalBlock{other.data(), 4, 6, 1});
    }
    LogisticData result{design, y.memptr(), n, s.memptr()};
    result.score_response = true;
    return result;
  }
};

// Newton's method on the columns of the densified design that have weight.
struct Reference {
  arma::vec coefficients;
  arma::mat inverse_information;
  arma::mat meat;  // sum s r^2 x x' at the optimum
};

Reference newton(const arma::mat& X, const arma::vec& y, const arma::vec& s, const arma::uvec& columns) {
  const arma::mat Z = X.cols(columns);
  arma::vec beta(Z.n_cols, arma::fill::zeros);
  for (int update = 0; update < 50; ++update) {
    const arma::vec mu = 1.0 / (1.0 + arma::exp(-Z * beta));
    const arma::mat A = Z.t() * (Z.each_col() % (s % mu % (1.0 - mu)));
    const arma::vec step = arma::solve(A, Z.t() * (s % (y - mu)), arma::solve_opts::likely_sympd);
    beta += step;
    if (arma::abs(step).max() < 1e-13) {
      break;
    }
  }
  const arma::vec mu = 1.0 / (1.0 + arma::exp(-Z * beta));
  const arma::mat A = Z.t() * (Z.each_col() % (s % mu % (1.0 - mu)));
  const arma::vec r = y - mu;
  return Reference{beta, arma::inv_sympd(A), Z.t() * (Z.each_col() % (s % r % r))};
}

void expect_close(const arma::mat& actual, const arma::mat& expected, double tolerance, const char* what) {
  ASSERT_EQ(actual.n_elem, expected.n_elem) << what;
  const double scale = std::max(1.0, arma::abs(expected).max());
  EXPECT_LE(arma::abs(actual - expected).max(), tolerance * scale) << what;
}

// Two fits at the optimum to rounding (tol 1e-11, quadratic convergence);
// the condition of the full information (levels of one row among them)
// stays below 1e4, so 1e-8 leaves a wide margin.
constexpr double tolerance = 1e-8;

class AbsorbedFitTest : public ::testing::TestWithParam<bool> {};

TEST_P(AbsorbedFitTest, EqualsNewtonOnTheDummyDesign) {
  const bool with_categorical = GetParam();
  const AbsorbedProblem problem(with_categorical);
  const LogisticData data = problem.data(with_categorical);
  const arma::uword q = coefficient_count(data);
  FitSettings settings{1e-11, 50, true, true, true};
  settings.score_form = true;
  settings.halve_steps = true;
  MeatSettings meat;
  meat.kind = with_categorical ? MeatKind::none : MeatKind::residual;
  const AbsorbedFit fit =
      fit_absorbed(data, problem.codes.data(), problem.n_levels, settings, 2, IterationObserver(), meat);
  // One thread sums the two halves of the pass, and eliminates the two ranges
  // of the categorical's columns, one after the other: the same bits.
  const AbsorbedFit one_thread =
      fit_absorbed(data, problem.codes.data(), problem.n_levels, settings, 1, IterationObserver(), meat);
  EXPECT_TRUE(arma::all(fit.fit.outcome.result.coefficients == one_thread.fit.outcome.result.coefficients));
  EXPECT_TRUE(arma::all(fit.effects == one_thread.effects));
  ASSERT_TRUE(fit.fit.outcome.result.converged);
  EXPECT_TRUE(fit.fit.outcome.dropped.empty());
  EXPECT_EQ(fit.level_weights[5], 0.0);
  EXPECT_EQ(fit.effects[5], 0.0);

  // Every column but the dummies of the levels without weight.
  const arma::vec level_weights = problem.densified.tail_cols(problem.n_levels).t() * problem.s;
  const arma::uvec weighted = arma::find(level_weights > 0.0);
  ASSERT_LT(weighted.n_elem, problem.n_levels);
  const arma::uvec columns = arma::join_cols(arma::regspace<arma::uvec>(0, q - 1), q + weighted);
  const Reference reference = newton(problem.densified, problem.y, problem.s, columns);
  expect_close(fit.fit.outcome.result.coefficients, reference.coefficients.head(q), tolerance,
               "coefficients");
  expect_close(arma::vec(fit.effects.elem(weighted)), reference.coefficients.tail(weighted.n_elem), tolerance,
               "effects");

  arma::mat covariance(q, q);
  covariance_of_fit(fit.fit.last_pass.A, {}, covariance);
  const arma::mat block = reference.inverse_information.submat(0, 0, q - 1, q - 1);
  expect_close(covariance, block, tolerance, "covariance");
  if (!with_categorical) {
    const arma::mat expected = reference.inverse_information * reference.meat * reference.inverse_information;
    ASSERT_EQ(fit.fit.meats.size(), 1U);
    expect_close(covariance * fit.fit.meats[0] * covariance, expected.submat(0, 0, q - 1, q - 1), tolerance,
                 "HC0 sandwich");
  }
}

INSTANTIATE_TEST_SUITE_P(Designs, AbsorbedFitTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "BesideACategorical" : "DenseColumns";
                         });

}  // namespace
