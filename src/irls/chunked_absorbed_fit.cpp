#include "chunked_absorbed_fit.hpp"

#include <stdexcept>
#include <utility>

#include "blas_threads.hpp"
#include "level_elimination.hpp"
#include "normal_equations_pass.hpp"

ChunkedAbsorbedFit fit_absorbed_chunked(arma::uword q, arma::uword n_levels,
                                        const ChunkedAbsorbedPasses& passes, const FitPlan& plan,
                                        const IterationObserver& observer) {
  ChunkedAbsorbedFit result;
  if (plan.settings.max_iter <= 0) {
    result.outcome = run_fit_plan(q, FitPasses(), plan, observer).outcome;
    result.effects.zeros(n_levels);
    result.level_weights.zeros(n_levels);
    return result;
  }
  LevelElimination levels(q, n_levels);
  NormalSums total = zero_sums(q);
  AbsorbedSums sums = zero_absorbed_sums(q, n_levels);
  // The margin sums by level of the latest pass that formed them.
  LevelMarginSums by_level;
  FitPasses fit_passes;
  // As the in-memory pass: the effects at beta first, the sums formed with
  // them, then the levels eliminated from those sums.
  fit_passes.normal_equations = [&](const arma::vec& beta, bool with_statistics,
                                    bool /*with_meat*/) -> const NormalSums& {
    const arma::vec& effects = levels.effects_at(beta);
    passes.sums(beta, effects, with_statistics, total, sums, by_level);
    return levels.eliminate(total, sums);
  };
  fit_passes.form_margins = passes.form_margins;
  fit_passes.margin_pass = [&](const arma::vec& /*beta*/) {
    // At the coefficients and effects of the loop's last pass.
    return passes.margin_pass(levels.last_beta(), levels.last_effects(), by_level);
  };
  fit_passes.step_solved = [&levels] { levels.step_solved(); };
  fit_passes.robust_in_loop = false;
  RobustSums robust;
  arma::vec inverse_weights;
  fit_passes.robust_pass = [&](const arma::vec& /*beta*/, const arma::mat* inverse_information) {
    // At the coefficients and effects the last step was solved from: the
    // loop's last pass's.
    const arma::vec* inverse_level_weights = nullptr;
    if (inverse_information != nullptr) {
      const arma::vec& weights = levels.last_weights();
      inverse_weights.zeros(n_levels);
      for (arma::uword l = 0; l < n_levels; ++l) {
        inverse_weights[l] = weights[l] > 0.0 ? 1.0 / weights[l] : 0.0;
      }
      inverse_level_weights = &inverse_weights;
    }
    const AbsorbedRobustRequest request{
        levels.last_beta(),  levels.last_effects(), levels.last_means(),
        inverse_information, inverse_level_weights,
    };
    robust = passes.robust(request);
  };
  fit_passes.robust_sums = [&robust] { return std::move(robust); };
  fit_passes.null_normal_equations = passes.null_model;
  PlannedFit planned = run_fit_plan(q, fit_passes, plan, observer);
  result.outcome = std::move(planned.outcome);
  result.meats = std::move(planned.meats);
  result.hat_one_rows = std::move(planned.hat_one_rows);
  result.null_deviance = planned.null_deviance;
  const arma::vec& beta = result.outcome.result.coefficients;
  result.effects = levels.final_effects(beta);
  result.level_weights = levels.last_weights();
  result.last_pass = levels.eliminate_result();
  if (!planned.margins.curvature.is_empty()) {
    // As fit_absorbed: the slope carried from the effects of the pass the
    // sums come from (those the last step was solved from) to the final ones.
    carry_to_effects(planned.margins, by_level, result.effects - levels.last_effects(), arma::vec());
  }
  result.last_pass.margins = std::move(planned.margins);
  return result;
}

NormalSums sum_absorbed_normal_equations(const LogisticData& data, const arma::vec& beta,
                                         bool with_statistics, AbsorbedSums& sums,
                                         LevelMarginSums* by_level) {
  if (data.absorbed == nullptr) {
    throw std::invalid_argument("the chunk's absorbed levels are not given");
  }
  // The caller runs many of these at once on threads of its own (a Dask
  // worker's), so the BLAS stays single-threaded inside each; one worker, as
  // the level sums are added row by row into one total.
  const SingleThreadedBlas single_threaded;
  PassWorkspace workspace = make_pass_workspace(data, 1);
  workspace.absorbed = &sums;
  PassRequest request = loop_pass(with_statistics, false);
  if (by_level != nullptr) {
    *by_level = zero_level_margin_sums(*data.absorbed);
    workspace.level_margins = by_level;
    request.margins = true;
  }
  form_pass(data, beta, request, workspace);
  return std::move(workspace.total);
}
