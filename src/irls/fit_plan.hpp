// The plan of an estimator's fit, written once for every back end: which
// pass forms the robust sums, the extra pass for hat values, which passes
// form the margin sums, and the null model beside an offset. A back end (the rows in memory, the chunks of a
// distributed array) only supplies passes over its rows (FitPasses); the
// loop itself is run_irls (irls_loop.hpp).
#pragma once

#include <armadillo>
#include <cstdint>
#include <functional>
#include <limits>
#include <vector>

#include "irls_loop.hpp"
#include "robust_sums.hpp"

// The passes a back end supplies. Any may be empty where the plan never asks
// for it (no robust sums, no null model, no update).
struct FitPasses {
  // The loop's passes: the normal equations at beta, and the robust sums as
  // well when with_meat (kept by the back end until robust_sums).
  NormalEquationsSource normal_equations;
  // One pass more after the loop, at beta, for the robust sums alone (the
  // normal equations of the loop's last pass stay what they were).
  // inverse_information: for hat values, the inverse information of the
  // last pass with dropped columns at 0; nullptr for the other kinds.
  std::function<void(const arma::vec& beta, const arma::mat* inverse_information)> robust_pass;
  // The robust sums of the latest pass that formed them: the meat, or the
  // group scores of each clustering, and the rows of hat value 1.
  std::function<RobustSums()> robust_sums;
  // The normal equations of the intercept-only model over the same rows,
  // weights and offset, at its coefficient beta (one element).
  NormalEquationsSource null_normal_equations;
  // The loop's passes form the margin sums (NormalSums::margins) from the
  // next one on; never switched off.
  std::function<void()> form_margins;
  // One pass more at beta for the margin sums alone.
  std::function<MarginSums(const arma::vec& beta)> margin_pass;
  // Called after each update's solve (run_irls's StepSolved): absorbed
  // levels take their step from the sums the coefficients' step came from.
  StepSolved step_solved;
  // Whether the loop's passes can form the robust sums. Those of the rows
  // beside absorbed levels subtract each row's level means, known only once
  // the pass has ended: such a back end forms them in robust_pass alone.
  bool robust_in_loop = true;
};

struct FitPlan {
  FitSettings settings;  // the loop's; meat_in_loop is the plan's to set
  MeatKind meat = MeatKind::none;
  // The model has an intercept and the rows an offset: the null model's
  // deviance then has no closed form, and is fitted.
  bool null_model = false;
  // The margin sums of the loop's last pass (the average marginal effects
  // over the fit's rows, with no copy of them kept). They cost a few per
  // cent of a pass, so they are formed, as the residual sums are, in the
  // passes predicted to be the last; a fit that ends on a pass that did
  // not form them (a large change followed by convergence at once) takes
  // one more pass for them.
  bool margins = false;
};

struct PlannedFit {
  FitOutcome outcome;
  // The sums of the loop's last pass, held by the back end (nullptr when
  // no pass ran): the information the covariance is taken from.
  const NormalSums* last_pass = nullptr;
  std::vector<arma::mat> meats;  // the meat, or one per clustering
  std::vector<arma::uword> hat_one_rows;
  double null_deviance = std::numeric_limits<double>::quiet_NaN();  // with null_model
  MarginSums margins;  // with margins, after a fit that made an update
};

// The fit of plan over q coefficients from zero. The robust sums come at
// the coefficients of the loop's last pass (those the covariance is taken
// at): residual and cluster sums from the loop's last pass when it was
// predicted to be the last, else from one more pass; hat-adjusted sums
// always from one more pass, since they need that pass's inverse
// information. Nothing more after a fit whose first system overflowed,
// and no margin sums from a fit that made no update.
PlannedFit run_fit_plan(arma::uword q, const FitPasses& passes, const FitPlan& plan,
                        const IterationObserver& observer);

// The deviance of the intercept-only model fitted by the loop of settings
// (no penalty, nothing printed, at most null_model_max_iter updates), whose
// passes null_normal_equations forms.
constexpr std::int32_t null_model_max_iter = 100;
double null_model_deviance(const NormalEquationsSource& null_normal_equations, const FitSettings& settings);

// The intercept-only model of data's rows: the same responses, weights,
// offset and link, one column of ones.
LogisticData intercept_only(const LogisticData& data);
