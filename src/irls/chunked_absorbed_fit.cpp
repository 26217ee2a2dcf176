#include "chunked_absorbed_fit.hpp"

#include <stdexcept>
#include <utility>

#include "blas_threads.hpp"
#include "level_elimination.hpp"
#include "normal_equations_pass.hpp"

ChunkedAbsorbedFit fit_absorbed_chunked(arma::uword q, arma::uword n_levels, const AbsorbedSumsSource& source,
                                        const FitSettings& settings, const IterationObserver& observer) {
  ChunkedAbsorbedFit result;
  FitSettings loop_settings = settings;
  loop_settings.meat_in_loop = false;
  if (settings.max_iter <= 0) {
    result.outcome = run_irls(q, NormalEquationsSource(), loop_settings, observer);
    result.effects.zeros(n_levels);
    result.level_weights.zeros(n_levels);
    return result;
  }
  LevelElimination levels(q, n_levels);
  NormalSums total = zero_sums(q);
  AbsorbedSums sums = zero_absorbed_sums(q, n_levels);
  // As the in-memory pass: the effects at beta first, the sums formed with
  // them, then the levels eliminated from those sums.
  const NormalEquationsSource pass = [&](const arma::vec& beta, bool with_statistics,
                                         bool /*with_meat*/) -> const NormalSums& {
    const arma::vec& effects = levels.effects_at(beta);
    source(beta, effects, with_statistics, total, sums);
    return levels.eliminate(total, sums);
  };
  result.outcome = run_irls(q, pass, loop_settings, observer, [&levels] { levels.step_solved(); });
  result.effects = levels.final_effects(result.outcome.result.coefficients);
  result.level_weights = levels.last_weights();
  result.last_pass = levels.eliminate_result();
  result.solved_beta = levels.last_beta();
  result.solved_effects = levels.last_effects();
  result.level_means = levels.last_means();
  return result;
}

NormalSums sum_absorbed_normal_equations(const LogisticData& data, const arma::vec& beta,
                                         bool with_statistics, AbsorbedSums& sums) {
  if (data.absorbed == nullptr) {
    throw std::invalid_argument("the chunk's absorbed levels are not given");
  }
  // The caller runs many of these at once on threads of its own (a Dask
  // worker's), so the BLAS stays single-threaded inside each; one worker, as
  // the level sums are added row by row into one total.
  const SingleThreadedBlas single_threaded;
  PassWorkspace workspace = make_pass_workspace(data, 1);
  workspace.absorbed = &sums;
  form_pass(data, beta, loop_pass(with_statistics, false), workspace);
  return std::move(workspace.total);
}
