#include "level_elimination.hpp"

#include <cblas.h>

#include <algorithm>
#include <cmath>
#include <thread>
#include <utility>
#include <vector>

#include "started_thread.hpp"

namespace {

// D^-1/2 of a level (0 for a level of no weight), made where it is used:
// an L-sized vector of them would be held for the whole fit.
double root_inverse_of(double weight) { return weight > 0.0 ? 1.0 / std::sqrt(weight) : 0.0; }

// cross(:, l) *= D_l^-1/2 for every level l.
void scale_by_root_inverse(arma::mat& cross, const arma::vec& weight) {
  for (arma::uword level = 0; level < cross.n_cols; ++level) {
    const double factor = root_inverse_of(weight[level]);
    double* column = cross.colptr(level);
    for (arma::uword j = 0; j < cross.n_rows; ++j) {
      column[j] *= factor;
    }
  }
}

// The column that splits the scattered columns' terms of the elimination
// into two halves of about equal work: a pair's work is the number of the
// level's pairs up to it (its column's terms) and the dense columns. q when
// there is no pattern.
arma::uword balanced_split(arma::uword q, arma::uword q_dense, const LevelPattern* pattern) {
  if (pattern == nullptr || pattern->pairs() == 0) {
    return q;
  }
  std::vector<double> work(q, 0.0);
  for (arma::uword level = 0; level + 1 < pattern->level_starts.size(); ++level) {
    const arma::uword start = pattern->level_starts[level];
    for (arma::uword p = start; p < pattern->level_starts[level + 1]; ++p) {
      work[pattern->columns[p]] += static_cast<double>(p - start + 1 + q_dense);
    }
  }
  double total = 0.0;
  for (const double w : work) {
    total += w;
  }
  double so_far = 0.0;
  for (arma::uword column = q_dense; column < q; ++column) {
    so_far += work[column];
    if (so_far >= total / 2.0) {
      return column + 1;
    }
  }
  return q;
}

}  // namespace

LevelElimination::LevelElimination(arma::uword q, arma::uword n_levels, arma::uword q_dense,
                                   const LevelPattern* pattern, unsigned workers, FurtherSolve* further,
                                   arma::uword n_further)
    : current_{
          arma::vec(n_levels, arma::fill::zeros),
          arma::vec(n_levels, arma::fill::zeros),
          arma::mat(q_dense, n_levels),
          arma::vec(pattern == nullptr ? 0 : pattern->pairs()),
          arma::vec(n_levels, arma::fill::zeros),
          arma::vec(q, arma::fill::zeros),
          arma::mat(),
          arma::vec(n_further, arma::fill::zeros),
      },
      anchor_(current_),
      pattern_(pattern),
      workers_(workers),
      further_(further),
      split_column_(balanced_split(q, q_dense, pattern)),
      reduced_(zero_sums(q)) {}

void LevelElimination::step_from(const Eliminated& anchor, const arma::vec& beta, arma::vec& effects) const {
  // alpha_S + D^-1 b_alpha - m' (beta - beta_S): linear in beta, so a
  // halved step halves the levels' step too.
  effects = anchor.effects + anchor.step;
  const arma::vec change = beta - anchor.beta;
  const arma::uword q_dense = anchor.means.n_rows;
  if (q_dense > 0 && effects.n_elem > 0) {
    cblas_dgemv(CblasColMajor, CblasTrans, static_cast<blasint>(q_dense),
                static_cast<blasint>(anchor.means.n_cols), -1.0, anchor.means.memptr(),
                static_cast<blasint>(q_dense), change.memptr(), 1, 1.0, effects.memptr(), 1);
  }
  if (pattern_ != nullptr) {
    for (arma::uword level = 0; level < effects.n_elem; ++level) {
      double sum = 0.0;
      for (arma::uword p = pattern_->level_starts[level]; p < pattern_->level_starts[level + 1]; ++p) {
        sum += anchor.pair_means[p] * change[pattern_->columns[p]];
      }
      effects[level] -= sum;
    }
  }
}

void LevelElimination::further_step_from(const Eliminated& anchor, const arma::vec& beta,
                                         arma::vec& effects) {
  const arma::mat& solution = anchor.further_solution;
  if (solution.is_empty()) {
    effects = anchor.further_effects;
    return;
  }
  const arma::uword q = anchor.beta.n_elem;
  effects = anchor.further_effects + solution.row(q).t();
  if (q > 0) {
    const arma::vec change = beta - anchor.beta;
    cblas_dgemv(CblasColMajor, CblasTrans, static_cast<blasint>(q), static_cast<blasint>(solution.n_cols),
                -1.0, solution.memptr(), static_cast<blasint>(solution.n_rows), change.memptr(), 1, 1.0,
                effects.memptr(), 1);
  }
}

const arma::vec& LevelElimination::effects_at(const arma::vec& beta) {
  // Into the latest sums' own effects (0 before the first solve): those
  // of sums no step will be taken from, whose memory step_solved then
  // hands to the anchor.
  if (solved_) {
    step_from(anchor_, beta, current_.effects);
    if (further_ != nullptr) {
      further_step_from(anchor_, beta, current_.further_effects);
    }
  }
  current_.beta = beta;
  return current_.effects;
}

// The scattered columns' terms of the elimination, from their sparse cross
// block c_s and the dense one already scaled, G = C_d D^-1/2: for each level
// l and each of its pairs (column c, value v),
//   b[c] -= v step_l,   A[c, j] -= v D_l^-1/2 G[j, l] (j dense, A's lower triangle),
//   A[c', c] -= v v' / D_l (c' <= c a column of the level's earlier pairs),
// the last into the upper triangle of the scattered block, where the
// level's earlier columns lie down one column of A (in memory order, not a
// stride of q apart), and copied to the lower one at the end; and the
// pairs' means v / D_l.
//
// Each term is written into the row or column of A of its pair's column c,
// and b[c]: the columns below split_column_ on this thread and those from it
// on a second (workers > 1), each in the order of the levels as one thread
// would, so that A comes out the same bits for any number of workers.
void LevelElimination::eliminate_scattered(const AbsorbedSums& sums) {
  const arma::uword q_dense = sums.cross.n_rows;
  const arma::uword q = reduced_.A.n_rows;
  std::thread second;
  if (workers_ > 1 && split_column_ < q) {
    second = started([this, &sums, q] { eliminate_scattered_columns(sums, split_column_, q); });
  }
  eliminate_scattered_columns(sums, q_dense, second.joinable() ? split_column_ : q);
  if (second.joinable()) {
    second.join();
  }
  arma::mat& A = reduced_.A;
  for (arma::uword j = q_dense; j < q; ++j) {
    for (arma::uword i = q_dense; i < j; ++i) {
      A.at(j, i) = A.at(i, j);
    }
  }
}

void LevelElimination::eliminate_scattered_columns(const AbsorbedSums& sums, arma::uword low,
                                                   arma::uword high) {
  const LevelPattern& pattern = *pattern_;
  const arma::mat& scaled = sums.cross;
  const arma::uword q_dense = scaled.n_rows;
  arma::mat& A = reduced_.A;
  for (arma::uword level = 0; level < current_.weight.n_elem; ++level) {
    const double root_inverse = root_inverse_of(current_.weight[level]);
    const double inverse = root_inverse * root_inverse;
    const double step = current_.step[level];
    const double* g = scaled.colptr(level);
    const arma::uword start = pattern.level_starts[level];
    const arma::uword end = pattern.level_starts[level + 1];
    // A level's pairs are in increasing column order: those of the range
    // are one run of them.
    const auto* columns = pattern.columns.data();
    const arma::uword first =
        static_cast<arma::uword>(std::lower_bound(columns + start, columns + end, low) - columns);
    for (arma::uword p = first; p < end && columns[p] < high; ++p) {
      const arma::uword column = pattern.columns[p];
      const double value = sums.pair_cross[p];
      reduced_.b[column] -= value * step;
      const double dense_factor = value * root_inverse;
      for (arma::uword j = 0; j < q_dense; ++j) {
        A.at(column, j) -= dense_factor * g[j];
      }
      const double pair_factor = value * inverse;
      double* upper = A.colptr(column);
      for (arma::uword earlier = start; earlier <= p; ++earlier) {
        upper[pattern.columns[earlier]] -= pair_factor * sums.pair_cross[earlier];
      }
      current_.pair_means[p] = pair_factor;
    }
  }
}

const NormalSums& LevelElimination::eliminate(const NormalSums& total, AbsorbedSums& sums) {
  const arma::uword q = total.A.n_rows;
  const arma::uword q_dense = sums.cross.n_rows;
  const arma::uword n_levels = sums.weight.n_elem;
  if (!sums.score_cross.is_empty()) {
    // The levels' scores once they are partialled out, with this pass's
    // means, while the scores are at hand.
    partial_out_scores(sums);
  }
  // The step D^-1 b_alpha in place of the scores, then taken over with
  // their memory (lent by the step's: lend_buffers).
  for (arma::uword l = 0; l < n_levels; ++l) {
    const double weight = sums.weight[l];
    sums.score[l] = weight > 0.0 ? sums.score[l] / weight : 0.0;
  }
  current_.step.swap(sums.score);
  // D, taken over with its memory: what the sums hold instead is never read.
  current_.weight.swap(sums.weight);
  reduced_.b = total.b;
  reduced_.statistics = total.statistics;
  // The margin sums are the pass's, whatever is eliminated (the rows' own
  // sums at their level effects).
  reduced_.margins = total.margins;
  reduced_.dependence_diagonal = total.A.diag();
  reduced_.A = total.A;
  if (q == 0 || n_levels == 0) {
    if (further_ != nullptr && n_levels > 0) {
      further_->eliminate(sums.further, current_.weight, current_.means, current_.step, reduced_,
                          current_.further_solution);
    }
    return reduced_;
  }
  // The dense columns: b - C (D^-1 b_alpha); then C D^-1/2 in place,
  // A - (C D^-1/2)(C D^-1/2)' as a rank-L update of the lower triangle of
  // their block; the scattered columns from that scaled block; and the
  // means C D^-1 in place of it.
  const auto rows = static_cast<blasint>(q_dense);
  const auto columns = static_cast<blasint>(n_levels);
  if (q_dense > 0) {
    cblas_dgemv(CblasColMajor, CblasNoTrans, rows, columns, -1.0, sums.cross.memptr(), rows,
                current_.step.memptr(), 1, 1.0, reduced_.b.memptr(), 1);
    scale_by_root_inverse(sums.cross, current_.weight);
    cblas_dsyrk(CblasColMajor, CblasLower, CblasNoTrans, rows, columns, -1.0, sums.cross.memptr(), rows, 1.0,
                reduced_.A.memptr(), static_cast<blasint>(q));
  }
  if (pattern_ != nullptr) {
    eliminate_scattered(sums);
  }
  fill_upper_triangle(reduced_.A);
  scale_by_root_inverse(sums.cross, current_.weight);
  // The pass's cross block becomes these sums' means; the old means' memory
  // is the next pass's cross block.
  current_.means.swap(sums.cross);
  if (further_ != nullptr) {
    further_->eliminate(sums.further, current_.weight, current_.means, current_.step, reduced_,
                        current_.further_solution);
  }
  return reduced_;
}

void LevelElimination::lend_buffers(AbsorbedSums& sums) {
  sums.weight.swap(current_.weight);
  sums.score.swap(current_.step);
  sums.cross.swap(current_.means);
}

void LevelElimination::step_solved() {
  anchor_.weight.swap(current_.weight);
  anchor_.step.swap(current_.step);
  anchor_.means.swap(current_.means);
  anchor_.pair_means.swap(current_.pair_means);
  anchor_.effects.swap(current_.effects);
  anchor_.beta.swap(current_.beta);
  anchor_.further_solution.swap(current_.further_solution);
  anchor_.further_effects.swap(current_.further_effects);
  solved_ = true;
}

arma::vec LevelElimination::final_effects(const arma::vec& beta) const {
  arma::vec effects;
  step_from(last(), beta, effects);
  return effects;
}

arma::vec LevelElimination::take_final_effects(const arma::vec& beta) {
  Eliminated& from = solved_ ? anchor_ : current_;
  // In place: step_from reads each level's effect before it writes it.
  step_from(from, beta, from.effects);
  return std::move(from.effects);
}

arma::vec LevelElimination::take_last_weights() {
  return std::move(solved_ ? anchor_.weight : current_.weight);
}

arma::vec LevelElimination::final_further_effects(const arma::vec& beta) const {
  arma::vec effects;
  if (further_ != nullptr) {
    further_step_from(last(), beta, effects);
  }
  return effects;
}
