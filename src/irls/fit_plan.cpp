#include "fit_plan.hpp"

#include <algorithm>
#include <functional>
#include <utility>

#include "design.hpp"

namespace {

// The robust sums at the coefficients of the loop's last pass.
void finish_robust_sums(const FitPasses& passes, const FitPlan& plan, const NormalSums& last_pass,
                        PlannedFit& fit) {
  FitOutcome& outcome = fit.outcome;
  if (plan.meat == MeatKind::hat_adjusted) {
    arma::mat bread(last_pass.A.n_rows, last_pass.A.n_cols);
    covariance_of_outcome(outcome, last_pass, plan.settings, bread);
    bread.replace(arma::datum::nan, 0.0);  // dropped columns: x' B x over the kept ones
    passes.robust_pass(outcome.last_pass_beta, &bread);
    ++outcome.passes;
  } else if (!outcome.last_pass_with_meat) {
    passes.robust_pass(outcome.last_pass_beta, nullptr);
    ++outcome.passes;
  }
  RobustSums robust = passes.robust_sums();
  if (plan.meat == MeatKind::cluster) {
    for (const arma::mat& groups : robust.groups) {
      fit.meats.push_back(cluster_meat(groups));
    }
  } else {
    fit.meats.push_back(std::move(robust.meat));
  }
  fit.hat_one_rows = std::move(robust.hat_one_rows);
}

// The plan's observer: it switches the margin sums on for the passes
// predicted to be the last (predicted_last_pass, the robust sums' rule),
// and records whether the latest update's pass formed them.
class MarginSwitch {
 public:
  MarginSwitch(const FitPasses& passes, const FitPlan& plan, const IterationObserver& inner)
      : passes_(passes), plan_(plan), inner_(inner) {
    // A fit of one update forms them in its only pass (and one of none
    // asks for no pass).
    if (plan.margins && plan.settings.max_iter == 1) {
      switch_on();
    }
  }

  void operator()(const IterationReport& report) {
    formed_in_last_pass_ = on_;
    if (plan_.margins && predicted_last_pass(plan_.settings, report.iteration, report.max_change)) {
      switch_on();
    }
    if (inner_) {
      inner_(report);
    }
  }

  bool formed_in_last_pass() const { return formed_in_last_pass_; }

 private:
  void switch_on() {
    if (!on_) {
      passes_.form_margins();
      on_ = true;
    }
  }

  const FitPasses& passes_;
  const FitPlan& plan_;
  const IterationObserver& inner_;
  bool on_ = false;
  bool formed_in_last_pass_ = false;
};

}  // namespace

PlannedFit run_fit_plan(arma::uword q, const FitPasses& passes, const FitPlan& plan,
                        const IterationObserver& observer) {
  FitSettings settings = plan.settings;
  settings.meat_in_loop =
      passes.robust_in_loop && (plan.meat == MeatKind::residual || plan.meat == MeatKind::cluster);
  PlannedFit fit;
  const NormalEquationsSource kept = [&passes, &fit](const arma::vec& beta, bool with_statistics,
                                                     bool with_meat) -> const NormalSums& {
    fit.last_pass = &passes.normal_equations(beta, with_statistics, with_meat);
    return *fit.last_pass;
  };
  MarginSwitch margins(passes, plan, observer);
  fit.outcome = run_irls(q, passes.normal_equations ? kept : NormalEquationsSource(), settings,
                         std::ref(margins), passes.step_solved);
  if (fit.outcome.passes == 0 || !fit.outcome.overflowed.empty()) {
    return fit;
  }
  if (plan.margins && fit.outcome.result.iterations > 0) {
    fit.margins = margins.formed_in_last_pass() ? fit.last_pass->margins
                                                : passes.margin_pass(fit.outcome.last_pass_beta);
  }
  if (plan.meat != MeatKind::none) {
    finish_robust_sums(passes, plan, *fit.last_pass, fit);
  }
  if (plan.null_model) {
    fit.null_deviance = null_model_deviance(passes.null_normal_equations, plan.settings);
  }
  return fit;
}

double null_model_deviance(const NormalEquationsSource& null_normal_equations, const FitSettings& settings) {
  FitSettings null_settings = settings;
  null_settings.penalty = 0.0;
  null_settings.unpenalised = 1;
  null_settings.drop_dependent = true;
  null_settings.meat_in_loop = false;
  // One coefficient converges in a few updates from any start, but with a
  // tolerance of 0 its change can cycle at one unit of rounding forever:
  // the caller's limit bounds the fit it asked for, this one bounds the
  // fit it did not.
  null_settings.max_iter = std::min(settings.max_iter, null_model_max_iter);
  const NormalSums* last = nullptr;
  const NormalEquationsSource kept = [&null_normal_equations, &last](const arma::vec& beta,
                                                                     bool with_statistics,
                                                                     bool with_meat) -> const NormalSums& {
    last = &null_normal_equations(beta, with_statistics, with_meat);
    return *last;
  };
  const FitOutcome outcome = run_irls(1, kept, null_settings, IterationObserver());
  return last == nullptr || !outcome.overflowed.empty() ? std::numeric_limits<double>::quiet_NaN()
                                                        : last->statistics.deviance;
}

LogisticData intercept_only(const LogisticData& data) {
  LogisticData null = data;
  null.X = Design{data.X.n_rows, {DesignBlock(OnesBlock{})}};
  null.absorbed = nullptr;
  return null;
}
