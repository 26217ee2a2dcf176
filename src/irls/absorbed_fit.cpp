#include "absorbed_fit.hpp"

#include <algorithm>
#include <cmath>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include "blas_threads.hpp"
#include "covariance.hpp"
#include "fit_plan.hpp"
#include "halved_pass.hpp"
#include "irls_steps.hpp"
#include "level_elimination.hpp"
#include "margin_sums.hpp"
#include "normal_equations_pass.hpp"

namespace {

// The next change of the coefficients, estimated from the latest two
// (each the largest change of an update): the latest times their ratio,
// which is what a linear convergence gives and more than a quadratic one
// does. Infinite until two are known.
class LastPassEstimate {
 public:
  // The change from the last solved step's start to the coefficients of
  // the coming pass, after `solved` steps (a halved step replaces its own).
  void record(std::int32_t solved, double change) {
    if (solved != solved_) {
      previous_ = latest_;
      solved_ = solved;
    }
    latest_ = change;
  }
  double next_change() const {
    if (!(previous_ > 0.0) || std::isinf(previous_)) {
      return arma::datum::inf;
    }
    return latest_ * std::min(1.0, latest_ / previous_);
  }

 private:
  std::int32_t solved_ = 0;
  double latest_ = arma::datum::inf;
  double previous_ = arma::datum::inf;
};

// Whether the halved pass forms the levels' score_cross (every half's).
void form_level_scores(HalvedPass& halved, arma::uword q_dense, bool formed) {
  for (AbsorbedSums& sums : halved.levels) {
    form_score_cross(sums, q_dense, formed);
  }
}

// The level scores of the last pass when the clusters are the levels: each
// level's score once the levels are partialled out, sum s r (x - m) =
// score_cross - m score. The loop's own when its last pass formed them
// (partialled out by the elimination with that pass's means m); else formed
// by one more pass at its coefficients and effects: the same sums, the pass
// being deterministic, with the means of the last step. Returns whether it
// made that pass.
bool form_last_level_scores(const LogisticData& with_levels, AbsorbedLevels& absorbed,
                            LevelElimination& levels, HalvedPass& halved) {
  if (!halved.levels[0].score_cross.is_empty()) {
    return false;
  }
  absorbed.effects = levels.last_effects().memptr();
  levels.lend_buffers(halved.levels[0]);
  form_level_scores(halved, dense_column_count(with_levels.X), true);
  halved.margins = false;  // the loop's last pass has them, or the plan's pass of their own
  form_halved(with_levels, levels.last_beta(), false, halved);
  partial_out_scores(halved.levels[0], levels.last_means());
  return true;
}

// The robust sums at the last pass's coefficients and effects, from one
// more pass over the rows with each row's level means subtracted from its
// columns. No level sums: the standard pass on every worker, its chunks
// added in order. inverse_information: for hat values, the coefficients'
// inverse information of the last pass (the plan's bread).
RobustSums row_robust_sums(const LogisticData& with_levels, AbsorbedLevels& absorbed,
                           const LevelElimination& levels, unsigned workers, const MeatSettings& meat,
                           const arma::mat* inverse_information) {
  const arma::uword q = coefficient_count(with_levels);
  const arma::uword n_levels = absorbed.n_levels;
  PassWorkspace workspace = make_pass_workspace(with_levels, workers);
  set_meat(workspace, q, meat);
  absorbed.effects = levels.last_effects().memptr();
  absorbed.level_means = levels.last_means().memptr();
  arma::vec inverse_weights;
  if (inverse_information != nullptr) {
    // The hat values need each level's 1 / D beside the coefficients' bread.
    const arma::vec& weights = levels.last_weights();
    inverse_weights.zeros(n_levels);
    for (arma::uword l = 0; l < n_levels; ++l) {
      inverse_weights[l] = weights[l] > 0.0 ? 1.0 / weights[l] : 0.0;
    }
    // A level of weight is a parameter of the hat matrix (its leverage 1/D).
    set_hat_values(workspace.meat, *inverse_information, arma::accu(weights > 0.0));
    absorbed.inverse_level_weights = inverse_weights.memptr();
  }
  PassRequest request;
  request.normal_equations = false;
  request.robust = true;
  form_pass(with_levels, levels.last_beta(), request, workspace);
  workspace.meat.inverse_information = nullptr;
  absorbed.inverse_level_weights = nullptr;
  return std::move(workspace.robust_total);
}

// Each row's frequency weight, 0 for the rows of a level left out.
arma::vec kept_row_weights(const LogisticData& data, const AbsorbedLevels& absorbed) {
  arma::vec weights(data.X.n_rows);
  for (arma::uword i = 0; i < weights.n_elem; ++i) {
    weights[i] = kept_frequency(absorbed, data.sample_weight, i);
  }
  return weights;
}

// The designs an absorbed fit takes: robust sums and further absorbed
// columns need copied blocks only, and not both.
void check_absorbed_design(const LogisticData& data, const MeatSettings& meat,
                           const std::vector<FurtherColumn>& further) {
  const bool dense = dense_column_count(data.X) == coefficient_count(data);
  if (meat.kind != MeatKind::none && !dense) {
    throw std::invalid_argument("robust sums with absorbed levels need a design of dense columns");
  }
  if (!further.empty() && (!dense || meat.kind != MeatKind::none)) {
    throw std::invalid_argument("further absorbed columns need a design of dense columns and no robust sums");
  }
}

// The margin sums alone at the last pass's coefficients and effects, on
// the caller's thread with a workspace of its own (the normal equations
// and level sums there are the last pass's, and are not formed again), the
// sums by level into by_level.
MarginSums margin_pass(const LogisticData& with_levels, AbsorbedLevels& absorbed, FurtherLevels& further,
                       const LevelElimination& levels, LevelMarginSums& by_level) {
  absorbed.effects = levels.last_effects().memptr();
  further.effects = levels.last_further_effects().memptr();
  if (by_level.levels.is_empty()) {
    by_level = zero_level_margin_sums(absorbed);
  }
  PassWorkspace workspace = make_pass_workspace(with_levels, 1);
  workspace.level_margins = &by_level;
  PassRequest request;
  request.normal_equations = false;
  request.margins = true;
  return form_pass(with_levels, levels.last_beta(), request, workspace).margins;
}

// Each update's report with the iterations of the solve its step came
// from (solve nullptr: the reports as they are).
IterationObserver with_inner_iterations(const IterationObserver& observer, const FurtherSolve* solve) {
  if (!observer || solve == nullptr) {
    return observer;
  }
  return [observer, solve](const IterationReport& report) {
    IterationReport with_inner = report;
    with_inner.inner_iterations = solve->iterations();
    observer(with_inner);
  };
}

}  // namespace

AbsorbedFit fit_absorbed(const LogisticData& data, AbsorbedCodes codes, arma::uword n_levels,
                         const FitSettings& settings, unsigned workers, const IterationObserver& observer,
                         const MeatSettings& meat, const std::uint8_t* kept_levels,
                         const std::vector<FurtherColumn>& further, bool margins) {
  const arma::uword q = coefficient_count(data);
  check_absorbed_design(data, meat, further);
  AbsorbedFit result;
  if (settings.max_iter <= 0) {
    const FitPlan plan{settings, meat.kind, false, false};
    result.fit = InMemoryFit{run_fit_plan(q, FitPasses(), plan, observer).outcome, NormalSums(), {}, {}};
    result.effects.zeros(n_levels);
    result.level_weights.zeros(n_levels);
    result.further_effects.zeros(further_levels_of(further).n_levels());
    return result;
  }
  if (data.n_responses != data.X.n_rows) {
    throw std::logic_error("y has " + std::to_string(data.n_responses) + " elements; X has " +
                           std::to_string(data.X.n_rows) + " rows");
  }
  AbsorbedLevels absorbed{codes, n_levels, nullptr};
  absorbed.kept = kept_levels;
  // Which scattered columns share rows with which levels: made once.
  const LevelPattern pattern = level_pattern(data.X, absorbed);
  const arma::uword q_dense = dense_column_count(data.X);
  const LevelPattern* scattered = q_dense < q ? &pattern : nullptr;
  FurtherLevels further_levels = further_levels_of(further);
  arma::vec further_row_weights;
  std::optional<FurtherSolve> further_solve;
  if (!further.empty()) {
    further_row_weights.zeros(data.X.n_rows);
    further_levels.row_weights = further_row_weights.memptr();
    absorbed.further = &further_levels;
    further_solve.emplace(further_levels, codes, n_levels, data.X.n_rows, workers);
  }
  FurtherSolve* solve = further_solve ? &*further_solve : nullptr;
  LevelElimination levels(q, n_levels, q_dense, scattered, workers, solve, further_levels.n_levels());
  LogisticData with_levels = data;
  with_levels.absorbed = &absorbed;
  HalvedPass halved = make_halved_pass(with_levels, workers, scattered);
  // The whole fit runs on this thread, and its BLAS calls are small (the
  // dense columns' products, the solve): held single-threaded throughout,
  // so that no BLAS thread spins between them.
  const SingleThreadedBlas single_threaded;
  // Clusters that are the levels take their scores from the level sums of
  // the pass predicted to be the last; any other robust sums need the
  // rows' level means, known only once their pass has ended.
  const bool level_clusters = meat.kind == MeatKind::cluster && meat.clusters_are_levels;
  // The loop predicts its last pass when the previous change is at most
  // 10 sqrt(tol), as if the changes shrank quadratically; here they often
  // shrink linearly (the levels' step is taken from the sums of the step
  // before), and the scores would be formed in several passes, each a
  // third of a pass more. So they are formed only when the next change,
  // estimated from the last two, is within 10 tol (or in the last pass
  // allowed); a pass that ends the loop unpredicted costs one more pass of
  // the level sums after it.
  LastPassEstimate estimate;
  std::int32_t solved_steps = 0;
  std::int32_t score_passes = 0;  // passes of the level scores the plan did not ask for
  // The plan switches the margin sums on between updates, never during a pass.
  bool with_margins = false;
  FitPasses passes;
  passes.normal_equations = [&](const arma::vec& beta, bool with_statistics,
                                bool with_meat) -> const NormalSums& {
    halved.margins = with_margins;
    absorbed.effects = levels.effects_at(beta).memptr();
    further_levels.effects = levels.further_effects().memptr();
    levels.lend_buffers(halved.levels[0]);
    estimate.record(solved_steps, largest_change(beta, levels.last_beta()));
    const bool scores =
        level_clusters && with_meat &&
        (solved_steps + 1 >= settings.max_iter || estimate.next_change() <= 10.0 * settings.tol);
    form_level_scores(halved, q_dense, scores);
    form_halved(with_levels, beta, with_statistics, halved);
    const NormalSums& eliminated = levels.eliminate(halved.halves[0], halved.levels[0]);
    if (solve != nullptr && !solve->converged()) {
      ++result.unconverged_solves;
    }
    return eliminated;
  };
  passes.step_solved = [&levels, &solved_steps] {
    levels.step_solved();
    ++solved_steps;
  };
  passes.form_margins = [&with_margins] { with_margins = true; };
  LevelMarginSums pass_margins;  // the sums by level of the plan's margin pass
  passes.margin_pass = [&](const arma::vec& /*beta*/) {
    // At the coefficients and effects of the loop's last pass.
    return margin_pass(with_levels, absorbed, further_levels, levels, pass_margins);
  };
  passes.robust_in_loop = level_clusters;
  RobustSums robust;
  passes.robust_pass = [&](const arma::vec& /*beta*/, const arma::mat* inverse_information) {
    // At the coefficients and effects the last step was solved from: the
    // loop's last pass's.
    if (level_clusters) {
      form_last_level_scores(with_levels, absorbed, levels, halved);
    } else {
      robust = row_robust_sums(with_levels, absorbed, levels, workers, meat, inverse_information);
    }
  };
  passes.robust_sums = [&]() -> RobustSums {
    if (!level_clusters) {
      return std::move(robust);
    }
    if (form_last_level_scores(with_levels, absorbed, levels, halved)) {
      ++score_passes;
    }
    // The scores' memory, q_dense x L, is freed once the plan has its meat.
    RobustSums scores;
    scores.groups.push_back(std::move(halved.levels[0].score_cross));
    form_level_scores(halved, q_dense, false);
    return scores;
  };
  // The null model beside an offset (the levels carry the intercept), over
  // the rows of kept levels: its passes have no levels to leave the others
  // out by, so they take weights of their own.
  arma::vec kept_weights;
  LogisticData kept_rows = data;
  if (kept_levels != nullptr && data.offset != nullptr) {
    kept_weights = kept_row_weights(data, absorbed);
    kept_rows.sample_weight = kept_weights.memptr();
  }
  passes.null_normal_equations = null_model_passes_in_memory(kept_rows);
  const FitPlan plan{settings, meat.kind, data.offset != nullptr, margins};
  PlannedFit planned = run_fit_plan(q, passes, plan, with_inner_iterations(observer, solve));
  result.fit.outcome = std::move(planned.outcome);
  result.fit.outcome.passes += score_passes;
  // The eliminated system of the last pass, for the covariance.
  result.fit.last_pass = levels.eliminate_result();
  result.fit.meats = std::move(planned.meats);
  result.fit.hat_one_rows = std::move(planned.hat_one_rows);
  result.fit.null_deviance = planned.null_deviance;
  // The pass's level sums are read no more: freed before the L-sized
  // results are made, which would otherwise set the fit's peak.
  halved.levels.clear();
  const arma::vec& beta = result.fit.outcome.result.coefficients;
  if (!planned.margins.curvature.is_empty()) {
    // The sums by level of the pass the margin sums come from (the loop's
    // last, or the plan's own), at the effects the last step was solved
    // from, as the final effects are.
    const LevelMarginSums& by_level = pass_margins.levels.is_empty() ? halved.level_margins[0] : pass_margins;
    carry_to_effects(planned.margins, by_level, levels.final_effects(beta) - levels.last_effects(),
                     levels.final_further_effects(beta) - levels.last_further_effects());
  }
  result.fit.last_pass.margins = std::move(planned.margins);
  halved.level_margins.clear();
  pass_margins = LevelMarginSums();
  result.further_effects = levels.final_further_effects(beta);
  result.effects = levels.take_final_effects(beta);
  result.level_weights = levels.take_last_weights();
  return result;
}
