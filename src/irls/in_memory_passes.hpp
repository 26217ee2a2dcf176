// The fit plan's back end for rows in memory (fit_plan.hpp): the passes over
// an X read in place on a number of workers, and the chunk sums a
// distributed back end forms with the same pass, one chunk at a time.
#pragma once

#include <armadillo>
#include <cstdint>
#include <limits>
#include <vector>

#include "irls_loop.hpp"
#include "normal_equations.hpp"
#include "normal_equations_pass.hpp"
#include "robust_sums.hpp"

// A fit over data in memory on `workers` threads (1 = the caller's thread
// alone), with the sums of its last pass: the Fisher information, deviance
// and boundary rows at the coefficients the last update started from. With
// no update (max_iter <= 0), the sums are empty and no working memory is
// allocated. Throws std::logic_error when data's response count differs
// from X's row count (and max_iter >= 1).
//
// The fit plan (fit_plan.hpp) decides which passes run: this is its back
// end for rows in memory. With robust sums (meat's kind not none) they come
// at the same coefficients; meats then holds the meat (one per clustering
// for cluster sums).
struct InMemoryFit {
  FitOutcome outcome;
  NormalSums last_pass;
  std::vector<arma::mat> meats;
  std::vector<arma::uword> hat_one_rows;
  // With an offset beside an intercept: the deviance of the intercept-only
  // model with the same offset (fit_plan.hpp); NaN otherwise.
  double null_deviance = std::numeric_limits<double>::quiet_NaN();
};

// With margins, last_pass.margins holds the margin sums at the last pass's
// coefficients (FitPlan::margins).
InMemoryFit fit_in_memory(const LogisticData& data, const FitSettings& settings, unsigned workers,
                          const IterationObserver& observer, const MeatSettings& meat = MeatSettings(),
                          bool margins = false);

// The deviance of data's intercept-only model with its offset (the null
// model of fit_plan.hpp), fitted in memory on the caller's thread.
double null_deviance_in_memory(const LogisticData& data, const FitSettings& settings);

// The passes of that intercept-only model, for a plan's null model
// (FitPasses::null_normal_equations); the workspace is made at the first.
NormalEquationsSource null_model_passes_in_memory(const LogisticData& data);

// The normal equations of the rows of data alone (a chunk of a larger
// array), A with both triangles, at beta: what a distributed fit's source
// sums over its chunks, in a fixed order. Runs on the caller's thread with
// the BLAS single-threaded.
NormalSums sum_normal_equations(const LogisticData& data, const arma::vec& beta, bool with_statistics);

// The sums of request in the same way, with the robust sums of meat, when
// asked for, into robust (groups then hold the chunk's cluster sums, one
// column per group code of the chunk). Without the normal equations, A and
// b are zeros.
NormalSums sum_pass(const LogisticData& data, const arma::vec& beta, const PassRequest& request,
                    const MeatSettings& meat, RobustSums& robust);
