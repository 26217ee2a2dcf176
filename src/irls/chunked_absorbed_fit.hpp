// The fit with one absorbed fixed effect (absorbed_levels.hpp) over rows held
// elsewhere, such as the chunks of a distributed array: the same loop as the
// in-memory absorbed fit (absorbed_fit.hpp), the levels eliminated from each
// update's sums (level_elimination.hpp), with the pass over rows replaced by
// a source of the sums over all of them.
//
// The source forms the sums at the coefficients and effects it is given;
// it never forms an L x L matrix, only the levels' weight and score (L
// each) and their cross block with the columns (q x L).
#pragma once

#include <armadillo>
#include <functional>
#include <limits>
#include <vector>

#include "absorbed_levels.hpp"
#include "fit_plan.hpp"
#include "irls_loop.hpp"
#include "margin_sums.hpp"
#include "robust_sums.hpp"

// Fills total (A with both triangles, b, and with with_statistics the
// deviance and the boundary rows) and sums (sized q and n_levels) with the
// sums over all rows at beta, each row's linear predictor holding its
// level's effects[level]; once form_margins has been called, also the
// margin sums (total.margins) and their sums by level (by_level). The
// three are the fit's own memory, overwritten.
using AbsorbedSumsSource =
    std::function<void(const arma::vec& beta, const arma::vec& effects, bool with_statistics,
                       NormalSums& total, AbsorbedSums& sums, LevelMarginSums& by_level)>;

// The margin sums alone at beta and effects, their sums by level into
// by_level: a pass after the loop.
using AbsorbedMarginSource =
    std::function<MarginSums(const arma::vec& beta, const arma::vec& effects, LevelMarginSums& by_level)>;

// The robust sums over all rows at the coefficients and effects the last
// step was solved from, each row's columns less its level's means (q x L,
// C D^-1); for hat values also the coefficients' inverse information of
// the last pass and each level's 1 / D (0 for a level of no weight), else
// both nullptr.
struct AbsorbedRobustRequest {
  const arma::vec& beta;
  const arma::vec& effects;
  const arma::mat& level_means;
  const arma::mat* inverse_information;
  const arma::vec* inverse_level_weights;
};
using AbsorbedRobustSource = std::function<RobustSums(const AbsorbedRobustRequest& request)>;

// What a chunked back end supplies: the sums of each update, the robust
// sums after the loop, the intercept-only model's normal equations (the
// null model beside an offset), and the margin sums (FitPlan::margins):
// form_margins asks the sums from the next pass on for them, margin_pass
// forms them alone. All but the first may be empty where the plan never
// asks for them.
struct ChunkedAbsorbedPasses {
  AbsorbedSumsSource sums;
  AbsorbedRobustSource robust;
  NormalEquationsSource null_model;
  std::function<void()> form_margins;
  AbsorbedMarginSource margin_pass;
};

struct ChunkedAbsorbedFit {
  FitOutcome outcome;
  // The Schur complement of the last sums, for the covariance; with
  // plan.margins, its margins are those of fit_absorbed (absorbed_fit.hpp).
  NormalSums last_pass;
  arma::vec effects;             // the levels' effects at the final coefficients
  arma::vec level_weights;       // D of the sums the last step was solved from
  std::vector<arma::mat> meats;  // the plan's robust finish: the meat, or one per clustering
  std::vector<arma::uword> hat_one_rows;
  double null_deviance = std::numeric_limits<double>::quiet_NaN();  // with plan.null_model
};

// The fit of plan by run_fit_plan from zero, the levels eliminated from
// each update's sums. The robust sums always come from a pass after the
// loop (they need the level means, known only once a pass has ended).
// max_iter <= 0 makes no call of passes, and the effects are 0.
ChunkedAbsorbedFit fit_absorbed_chunked(arma::uword q, arma::uword n_levels,
                                        const ChunkedAbsorbedPasses& passes, const FitPlan& plan,
                                        const IterationObserver& observer);

// One chunk's share of a source's sums: the sums over data's rows at beta,
// with the levels of data.absorbed (which must be set) at its effects, the
// levels' sums into sums (sized q and n_levels, overwritten), and with
// by_level the margin sums as well (in the result's margins) and their
// sums by level into by_level (sized for the levels, overwritten). On the
// caller's thread with the BLAS single-threaded, as sum_normal_equations.
NormalSums sum_absorbed_normal_equations(const LogisticData& data, const arma::vec& beta,
                                         bool with_statistics, AbsorbedSums& sums,
                                         LevelMarginSums* by_level = nullptr);
