// The fit plan against a back end that records what it is asked for: which
// passes run after the loop, at which coefficients, with what inverse
// information, and when the null model is fitted.
#include <gtest/gtest.h>

#include <armadillo>
#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include "fit_plan.hpp"
#include "in_memory_passes.hpp"

namespace {

struct Problem {
  arma::mat X;
  arma::vec y;
  arma::vec offset;
};

Problem problem() {
  arma::arma_rng::set_seed(7);
  Problem made{arma::randn(300, 3), arma::vec(300), arma::vec(300, arma::fill::zeros)};
  const arma::vec eta = 0.3 + made.X * arma::vec{0.8, -0.5, 0.2};
  const arma::vec u = arma::randu(300);
  made.y = arma::conv_to<arma::vec>::from(u < 1.0 / (1.0 + arma::exp(-eta)));
  return made;
}

LogisticData data_of(const Problem& p, bool with_offset) {
  LogisticData data{
      dense_design(p.X.memptr(), p.X.n_rows, p.X.n_cols, false, true),
      p.y.memptr(),
      p.y.n_elem,
      nullptr,
  };
  data.score_response = true;
  data.offset = with_offset ? p.offset.memptr() : nullptr;
  return data;
}

FitSettings settings() {
  FitSettings s{};
  s.tol = 1e-10;
  s.max_iter = 25;
  s.quiet = true;
  s.drop_dependent = true;
  s.with_statistics = true;
  s.score_form = true;
  return s;
}

PassRequest robust_alone() {
  PassRequest request;
  request.normal_equations = false;
  request.robust = true;
  return request;
}

// The margin sums alone of data's rows at beta.
MarginSums margin_sums(const LogisticData& data, const arma::vec& beta) {
  PassRequest request;
  request.normal_equations = false;
  request.margins = true;
  RobustSums unused;
  return sum_pass(data, beta, request, MeatSettings(), unused).margins;
}

// A back end over data's rows on the caller's thread, recording each call.
struct RecordingPasses {
  const LogisticData& data;
  MeatSettings meat;
  NormalSums sums;
  NormalSums null_sums;
  RobustSums robust;
  std::vector<arma::vec> robust_at;  // the coefficients of each robust pass
  std::vector<arma::mat> bread;      // the inverse information it was given (empty: none)
  int null_passes = 0;
  int sums_formed = 0;
  int margins_from = std::numeric_limits<int>::max();  // the first pass forming the margin sums
  int margin_passes = 0;

  FitPasses passes() {
    FitPasses made;
    made.normal_equations = [this](const arma::vec& beta, bool with_statistics,
                                   bool with_meat) -> const NormalSums& {
      PassRequest request = loop_pass(with_statistics, with_meat);
      request.margins = ++sums_formed >= margins_from;
      RobustSums unused;
      sums = sum_pass(data, beta, request, meat, with_meat ? robust : unused);
      return sums;
    };
    made.robust_pass = [this](const arma::vec& beta, const arma::mat* inverse_information) {
      robust_at.push_back(beta);
      bread.push_back(inverse_information == nullptr ? arma::mat() : *inverse_information);
      MeatSettings settings = meat;
      if (inverse_information != nullptr) {
        settings.inverse_information = inverse_information;
        settings.hat_factor = hat_factor_of(*inverse_information);
      }
      sum_pass(data, beta, robust_alone(), settings, robust);
    };
    made.robust_sums = [this] { return robust; };
    made.form_margins = [this] { margins_from = sums_formed + 1; };
    made.margin_pass = [this](const arma::vec& beta) {
      ++margin_passes;
      return margin_sums(data, beta);
    };
    made.null_normal_equations = [this](const arma::vec& beta, bool with_statistics,
                                        bool /*with_meat*/) -> const NormalSums& {
      ++null_passes;
      null_sums = sum_normal_equations(intercept_only(data), beta, with_statistics);
      return null_sums;
    };
    return made;
  }
};

}  // namespace

// Residual sums come from the loop's last pass when it was predicted, else
// from exactly one pass more at the last pass's coefficients; hat values
// always from one pass more, given the inverse of that pass's information.
TEST(FitPlan, RobustSumsComeAtTheLastPassCoefficients) {
  const Problem p = problem();
  const LogisticData data = data_of(p, false);
  for (const MeatKind kind : {MeatKind::residual, MeatKind::hat_adjusted}) {
    RecordingPasses backend{data, MeatSettings{}, {}, {}, {}, {}, {}};
    backend.meat.kind = kind;
    const PlannedFit fit =
        run_fit_plan(4, backend.passes(), FitPlan{settings(), kind, false}, IterationObserver());
    ASSERT_TRUE(fit.outcome.result.converged);
    ASSERT_EQ(fit.meats.size(), 1U);
    const bool extra = kind == MeatKind::hat_adjusted || !fit.outcome.last_pass_with_meat;
    ASSERT_EQ(backend.robust_at.size(), extra ? 1U : 0U);
    if (kind == MeatKind::hat_adjusted) {
      EXPECT_TRUE(arma::approx_equal(backend.robust_at[0], fit.outcome.last_pass_beta, "absdiff", 0.0));
      EXPECT_TRUE(arma::approx_equal(backend.bread[0], arma::inv_sympd(fit.last_pass->A), "reldiff", 1e-10));
    }
    EXPECT_EQ(backend.null_passes, 0);
  }
}

// With an offset beside the intercept the null model is fitted. A zero
// offset has the closed form: the deviance of the mean of y.
TEST(FitPlan, NullModelBesideAnOffset) {
  const Problem p = problem();
  for (const bool with_offset : {false, true}) {
    const LogisticData data = data_of(p, with_offset);
    RecordingPasses backend{data, MeatSettings{}, {}, {}, {}, {}, {}};
    const PlannedFit fit = run_fit_plan(4, backend.passes(), FitPlan{settings(), MeatKind::none, with_offset},
                                        IterationObserver());
    if (!with_offset) {
      EXPECT_EQ(backend.null_passes, 0);
      EXPECT_TRUE(std::isnan(fit.null_deviance));
      continue;
    }
    const double mean = arma::mean(p.y);
    const double expected = -2.0 * arma::accu(p.y * std::log(mean) + (1.0 - p.y) * std::log1p(-mean));
    EXPECT_GT(backend.null_passes, 0);
    EXPECT_NEAR(fit.null_deviance, expected, 1e-10 * expected);
  }
}

// A first system that overflows ends the fit: no pass more, no null model.
TEST(FitPlan, NothingMoreAfterAnOverflow) {
  Problem p = problem();
  p.X(0, 1) = 1e200;
  const LogisticData data = data_of(p, true);
  RecordingPasses backend{data, MeatSettings{}, {}, {}, {}, {}, {}};
  backend.meat.kind = MeatKind::hat_adjusted;
  FitSettings overflow = settings();
  overflow.report_overflow = true;
  const PlannedFit fit =
      run_fit_plan(4, backend.passes(), FitPlan{overflow, MeatKind::hat_adjusted, true}, IterationObserver());
  EXPECT_FALSE(fit.outcome.overflowed.empty());
  EXPECT_TRUE(backend.robust_at.empty());
  EXPECT_EQ(backend.null_passes, 0);
  EXPECT_TRUE(fit.meats.empty());
}

// With a tolerance of 0 the intercept's change can cycle at one unit of
// rounding: on these rows it does (1.1e-16 on every update), and the null
// model, a fit the caller did not ask for, still ends within its own limit
// and not at the caller's.
TEST(FitPlan, NullModelEndsAtAToleranceOfZero) {
  const arma::vec y{1, 0, 1, 1, 0, 1, 0, 0, 0};
  const arma::vec weights{1, 1, 0, 2, 3, 1, 0, 0, 0};
  const arma::vec offset{0.2063280293603965,   -0.566937337469914,   1.3186404509940808,
                         -0.04297018031629278, -0.03920611283844427, -2.652037050968319,
                         -0.19861701458771777, -0.7988008946971901,  0.5747021101585714};
  LogisticData data{Design{9, {}}, y.memptr(), y.n_elem, weights.memptr()};
  data.score_response = true;
  data.offset = offset.memptr();
  RecordingPasses backend{data, MeatSettings{}, {}, {}, {}, {}, {}};
  FitSettings endless = settings();
  endless.tol = 0.0;
  endless.max_iter = std::numeric_limits<std::int32_t>::max();
  const double converged = null_model_deviance(backend.passes().null_normal_equations, settings());
  backend.null_passes = 0;
  const double deviance = null_model_deviance(backend.passes().null_normal_equations, endless);
  EXPECT_LE(backend.null_passes, null_model_max_iter + 1);
  EXPECT_NEAR(deviance, converged, 1e-12 * converged);
}

// The margin sums are those of a pass at the last pass's coefficients,
// whether the loop's last pass formed them (a fit that converges, one of a
// single update) or one pass more did (a fit whose first change was large
// and within its tolerance at once); only the passes predicted to be the
// last form them.
TEST(FitPlan, MarginSumsAreTheLastPasses) {
  const Problem p = problem();
  const LogisticData data = data_of(p, false);
  for (const auto [max_iter, tol] : {std::pair{25, 1e-10}, std::pair{1, 1e-10}, std::pair{25, 1e300}}) {
    RecordingPasses backend{data, MeatSettings{}, {}, {}, {}, {}, {}};
    FitSettings limited = settings();
    limited.max_iter = max_iter;
    limited.tol = tol;
    FitPlan plan{limited, MeatKind::none, false, true};
    const PlannedFit fit = run_fit_plan(4, backend.passes(), plan, IterationObserver());
    const MarginSums expected = margin_sums(data, fit.outcome.last_pass_beta);
    EXPECT_NEAR(fit.margins.slope, expected.slope, 1e-12 * std::abs(expected.slope));
    EXPECT_EQ(fit.margins.weight, expected.weight);
    EXPECT_TRUE(arma::approx_equal(fit.margins.curvature, expected.curvature, "reldiff", 1e-12));
    EXPECT_GE(backend.margins_from, fit.outcome.passes - 1);
    EXPECT_EQ(backend.margin_passes, tol > 1.0 ? 1 : 0);
  }
}
