#include "level_elimination.hpp"

#include <cblas.h>

#include <cmath>

LevelElimination::LevelElimination(arma::uword q, arma::uword n_levels)
    : current_{arma::vec(n_levels, arma::fill::zeros), arma::vec(n_levels, arma::fill::zeros),
               arma::mat(q, n_levels), arma::vec(n_levels, arma::fill::zeros),
               arma::vec(q, arma::fill::zeros)},
      anchor_(current_),
      effects_(n_levels, arma::fill::zeros),
      root_inverse_(n_levels),
      reduced_(zero_sums(q)) {}

void LevelElimination::step_from(const Eliminated& anchor, const arma::vec& beta, arma::vec& effects) {
  // alpha_S + D^-1 b_alpha - m' (beta - beta_S): linear in beta, so a
  // halved step halves the levels' step too.
  effects = anchor.effects + anchor.step;
  const arma::vec change = beta - anchor.beta;
  if (change.n_elem > 0 && effects.n_elem > 0) {
    cblas_dgemv(CblasColMajor, CblasTrans, static_cast<blasint>(anchor.means.n_rows),
                static_cast<blasint>(anchor.means.n_cols), -1.0, anchor.means.memptr(),
                static_cast<blasint>(anchor.means.n_rows), change.memptr(), 1, 1.0, effects.memptr(), 1);
  }
}

const arma::vec& LevelElimination::effects_at(const arma::vec& beta) {
  if (solved_) {
    step_from(anchor_, beta, effects_);
  }
  current_.effects = effects_;
  current_.beta = beta;
  return effects_;
}

const NormalSums& LevelElimination::eliminate(const NormalSums& total, AbsorbedSums& sums) {
  const arma::uword q = total.A.n_rows;
  const arma::uword n_levels = sums.weight.n_elem;
  for (arma::uword l = 0; l < n_levels; ++l) {
    const double weight = sums.weight[l];
    current_.step[l] = weight > 0.0 ? sums.score[l] / weight : 0.0;
    root_inverse_[l] = weight > 0.0 ? 1.0 / std::sqrt(weight) : 0.0;
  }
  current_.weight = sums.weight;
  reduced_.b = total.b;
  reduced_.deviance = total.deviance;
  reduced_.boundary_rows = total.boundary_rows;
  reduced_.dependence_diagonal = total.A.diag();
  reduced_.A = total.A;
  if (q > 0 && n_levels > 0) {
    // b - C (D^-1 b_alpha); then C D^-1/2 in place, A - (C D^-1/2)(C D^-1/2)'
    // as a rank-L update of the lower triangle (exactly symmetric once
    // mirrored), and the means C D^-1 in place of it.
    const auto rows = static_cast<blasint>(q);
    const auto columns = static_cast<blasint>(n_levels);
    cblas_dgemv(CblasColMajor, CblasNoTrans, rows, columns, -1.0, sums.cross.memptr(), rows,
                current_.step.memptr(), 1, 1.0, reduced_.b.memptr(), 1);
    sums.cross.each_row() %= root_inverse_.t();
    cblas_dsyrk(CblasColMajor, CblasLower, CblasNoTrans, rows, columns, -1.0, sums.cross.memptr(), rows, 1.0,
                reduced_.A.memptr(), rows);
    fill_upper_triangle(reduced_.A);
    sums.cross.each_row() %= root_inverse_.t();
  }
  // The pass's cross block becomes these sums' means; the old means' memory
  // is the next pass's cross block.
  current_.means.swap(sums.cross);
  return reduced_;
}

void LevelElimination::step_solved() {
  anchor_.weight.swap(current_.weight);
  anchor_.step.swap(current_.step);
  anchor_.means.swap(current_.means);
  anchor_.effects.swap(current_.effects);
  anchor_.beta.swap(current_.beta);
  solved_ = true;
}

arma::vec LevelElimination::final_effects(const arma::vec& beta) const {
  arma::vec effects;
  step_from(last(), beta, effects);
  return effects;
}
