#include "absorbed_fit.hpp"

#include <cblas.h>

#include <cmath>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include "blas_threads.hpp"
#include "normal_equations_pass.hpp"

namespace {

// One pass's levels once eliminated: what their step from that pass needs.
struct EliminatedLevels {
  arma::vec weight;   // D
  arma::vec step;     // D^-1 b_alpha (0 for a level of no weight)
  arma::mat means;    // q x L: C D^-1, each level's weighted mean of the columns
  arma::vec effects;  // the alpha the pass was formed at
  arma::vec beta;     // the coefficients the pass was formed at
};

void swap(EliminatedLevels& a, EliminatedLevels& b) noexcept {
  a.weight.swap(b.weight);
  a.step.swap(b.step);
  a.means.swap(b.means);
  a.effects.swap(b.effects);
  a.beta.swap(b.beta);
}

// The Schur complement of the pass's system into reduced, and the levels'
// part into levels. sums.cross is turned into the means in place (and
// swapped into levels), so a pass holds one q x L matrix of its own.
void eliminate(const NormalSums& total, AbsorbedSums& sums, NormalSums& reduced, EliminatedLevels& levels) {
  const arma::uword q = total.A.n_rows;
  const arma::uword n_levels = sums.weight.n_elem;
  arma::vec root_inverse(n_levels);
  for (arma::uword l = 0; l < n_levels; ++l) {
    const double weight = sums.weight[l];
    levels.step[l] = weight > 0.0 ? sums.score[l] / weight : 0.0;
    root_inverse[l] = weight > 0.0 ? 1.0 / std::sqrt(weight) : 0.0;
  }
  levels.weight = sums.weight;
  reduced.b = total.b;
  reduced.deviance = total.deviance;
  reduced.boundary_rows = total.boundary_rows;
  reduced.dependence_diagonal = total.A.diag();
  reduced.A = total.A;
  if (q > 0 && n_levels > 0) {
    // b - C (D^-1 b_alpha), then C D^-1/2 in place, A - (C D^-1/2)(C D^-1/2)'
    // as a rank-L update of the lower triangle (exactly symmetric once
    // mirrored), and the means C D^-1 in place of it.
    cblas_dgemv(CblasColMajor, CblasNoTrans, static_cast<blasint>(q), static_cast<blasint>(n_levels), -1.0,
                sums.cross.memptr(), static_cast<blasint>(q), levels.step.memptr(), 1, 1.0,
                reduced.b.memptr(), 1);
    sums.cross.each_row() %= root_inverse.t();
    cblas_dsyrk(CblasColMajor, CblasLower, CblasNoTrans, static_cast<blasint>(q),
                static_cast<blasint>(n_levels), -1.0, sums.cross.memptr(), static_cast<blasint>(q), 1.0,
                reduced.A.memptr(), static_cast<blasint>(q));
    fill_upper_triangle(reduced.A);
    sums.cross.each_row() %= root_inverse.t();
  }
  levels.means.swap(sums.cross);
}

// alpha at beta, stepped from the pass the step was solved from:
// alpha_S + d_alpha with d_alpha = D^-1 b_alpha - m' (beta - beta_S). It is
// linear in beta, so a halved step halves the levels' step too.
void effects_at(const EliminatedLevels& anchor, const arma::vec& beta, arma::vec& effects) {
  effects = anchor.effects + anchor.step;
  const arma::vec change = beta - anchor.beta;
  if (change.n_elem > 0 && effects.n_elem > 0) {
    cblas_dgemv(CblasColMajor, CblasTrans, static_cast<blasint>(anchor.means.n_rows),
                static_cast<blasint>(anchor.means.n_cols), -1.0, anchor.means.memptr(),
                static_cast<blasint>(anchor.means.n_rows), change.memptr(), 1, 1.0, effects.memptr(), 1);
  }
}

EliminatedLevels empty_levels(arma::uword q, arma::uword n_levels) {
  return EliminatedLevels{
      arma::vec(n_levels, arma::fill::zeros), arma::vec(n_levels, arma::fill::zeros), arma::mat(q, n_levels),
      arma::vec(n_levels, arma::fill::zeros), arma::vec(q, arma::fill::zeros),
  };
}

}  // namespace

AbsorbedFit fit_absorbed(const LogisticData& data, const std::int32_t* codes, arma::uword n_levels,
                         const FitSettings& settings, const IterationObserver& observer,
                         const MeatSettings& meat) {
  const arma::uword q = coefficient_count(data);
  if (meat.kind == MeatKind::hat_adjusted) {
    throw std::invalid_argument("hat values are not formed with absorbed levels");
  }
  if (meat.kind != MeatKind::none && dense_column_count(data.X) != q) {
    throw std::invalid_argument("robust sums with absorbed levels need a design of dense columns");
  }
  AbsorbedFit result;
  if (settings.max_iter <= 0) {
    result.fit = InMemoryFit{run_irls(q, NormalEquationsSource(), settings, observer), NormalSums(), {}, {}};
    result.effects.zeros(n_levels);
    result.level_weights.zeros(n_levels);
    return result;
  }
  if (data.n_responses != data.X.n_rows) {
    throw std::logic_error("y has " + std::to_string(data.n_responses) + " elements; X has " +
                           std::to_string(data.X.n_rows) + " rows");
  }
  arma::vec effects(n_levels, arma::fill::zeros);
  AbsorbedLevels levels{codes, n_levels, effects.memptr()};
  LogisticData with_levels = data;
  with_levels.absorbed = &levels;
  PassWorkspace workspace = make_pass_workspace(with_levels, 1);
  set_meat(workspace, q, meat);
  AbsorbedSums sums = zero_absorbed_sums(q, n_levels);
  workspace.absorbed = &sums;
  NormalSums reduced = zero_sums(q);
  EliminatedLevels current = empty_levels(q, n_levels);
  EliminatedLevels anchor = empty_levels(q, n_levels);
  bool solved = false;
  std::optional<SingleThreadedBlas> single_threaded;
  if (workspace.partition.single_threaded_blas) {
    single_threaded.emplace();
  }
  const NormalEquationsSource pass = [&](const arma::vec& beta, bool with_statistics,
                                         bool /*with_meat*/) -> const NormalSums& {
    if (solved) {
      effects_at(anchor, beta, effects);
    }
    current.effects = effects;
    current.beta = beta;
    form_normal_equations(with_levels, beta, with_statistics, workspace);
    eliminate(workspace.total, sums, reduced, current);
    return reduced;
  };
  const StepSolved step_solved = [&]() {
    swap(anchor, current);
    solved = true;
  };
  FitSettings loop_settings = settings;
  loop_settings.meat_in_loop = false;  // the rows' level means are known only once their pass has ended
  result.fit.outcome = run_irls(q, pass, loop_settings, observer, step_solved);
  // The pass the last step was solved from (or, when the loop stopped
  // before a solve, the only one).
  const EliminatedLevels& last = solved ? anchor : current;
  effects_at(last, result.fit.outcome.result.coefficients, result.effects);
  result.level_weights = last.weight;
  if (meat.kind != MeatKind::none && result.fit.outcome.overflowed.empty()) {
    effects = last.effects;
    levels.level_means = last.means.memptr();
    workspace.absorbed = nullptr;
    workspace.meat.robust_only = true;
    form_normal_equations(with_levels, last.beta, false, workspace, true);
    ++result.fit.outcome.passes;
    if (meat.kind == MeatKind::cluster) {
      for (const arma::mat& groups : workspace.robust_total.groups) {
        result.fit.meats.push_back(cluster_meat(groups));
      }
    } else {
      result.fit.meats.push_back(std::move(workspace.robust_total.meat));
    }
  }
  result.fit.last_pass = std::move(reduced);
  return result;
}
