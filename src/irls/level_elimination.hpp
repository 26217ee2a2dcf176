// The absorbed levels' part of an IRLS update (absorbed_levels.hpp): each
// update's system over [X, one dummy per level] is
//
//   [ A   C ] [ d_beta  ]   [ b       ]
//   [ C'  D ] [ d_alpha ] = [ b_alpha ]      D diagonal (L levels),
//
// and the levels are eliminated exactly through D: the loop solves the
// Schur complement (A - C D^-1 C') d_beta = b - C D^-1 b_alpha as it would
// any source's system, and the levels take their step from the same sums,
// d_alpha = D^-1 (b_alpha - C' d_beta). O(L q^2) per update; no L x L matrix.
//
// The inverse of the Schur complement is the coefficients' block of the
// inverse of the full information, so the covariance read from it is the
// full model's. A level of no weight (D = 0) has no effect: it stays 0.
//
// Whoever forms the sums (a pass over rows in memory, or chunks summed
// elsewhere) drives it: effects_at(beta) before forming the sums at beta,
// eliminate() after, step_solved() when the loop has solved a step from
// the latest sums (run_irls's StepSolved).
#pragma once

#include <armadillo>

#include "absorbed_levels.hpp"
#include "further_solve.hpp"
#include "normal_equations.hpp"

class LevelElimination {
 public:
  // For q coefficients, the first q_dense of them dense columns (whose
  // cross block with the levels is dense) and the others scattered ones of
  // the given pattern (nullptr: none); the scattered columns' terms on up
  // to two threads (the same bits for any number of workers). With
  // further (a design of dense columns only), the further absorbed
  // columns are eliminated after these levels, each update
  // (further_solve.hpp).
  LevelElimination(arma::uword q, arma::uword n_levels, arma::uword q_dense, const LevelPattern* pattern,
                   unsigned workers = 1, FurtherSolve* further = nullptr, arma::uword n_further = 0);
  // A design of dense columns alone.
  LevelElimination(arma::uword q, arma::uword n_levels) : LevelElimination(q, n_levels, q, nullptr) {}

  // The levels' effects for sums at beta: stepped from the sums the last
  // step was solved from (0 before the first solve). Valid until the next
  // call; the sums at beta must be formed with them.
  const arma::vec& effects_at(const arma::vec& beta);
  // The further columns' (stacked), set by the same effects_at.
  const arma::vec& further_effects() const { return current_.further_effects; }

  // The Schur complement of the sums formed at the last effects_at's beta
  // (both triangles of total.A), with A's diagonal before the elimination
  // as the measure of dependence, and total's margin sums. sums' weights, scores (as the step
  // D^-1 b_alpha) and cross blocks become the elimination's (sums are left
  // with the memory lend_buffers lent, or none); their score_cross, when
  // formed, is partialled out with these sums' means (partial_out_scores).
  // The reference stays valid until the next call.
  // O(L q_dense^2 + sum over levels of (pairs q_dense + pairs^2)).
  const NormalSums& eliminate(const NormalSums& total, AbsorbedSums& sums);

  // Before sums are formed in place (a pass over rows): their weights,
  // scores and cross block take the memory of the latest sums' D, step and
  // means, which
  // nothing reads again (a step is taken from the sums it was solved from,
  // kept apart), and eliminate() takes it back. With sums that hold none of
  // their own, the pass and the elimination then hold two q_dense x L
  // blocks between them, not three.
  void lend_buffers(AbsorbedSums& sums);

  // The loop solved its step from the latest sums.
  void step_solved();

  // After the loop: the effects at the final coefficients, and of the
  // sums the last step was solved from (the last ones, when the loop
  // stopped before a solve) their weights D, their effects, their
  // coefficients and each level's mean of the dense columns, C D^-1
  // (q_dense x L).
  arma::vec final_effects(const arma::vec& beta) const;
  // The same effects, and the last weights, in the memory of the sums they
  // come from, which nothing may read after: what a fit returns, with no
  // L-sized copy beside the elimination's own.
  arma::vec take_final_effects(const arma::vec& beta);
  arma::vec take_last_weights();
  arma::vec final_further_effects(const arma::vec& beta) const;
  const arma::vec& last_weights() const { return last().weight; }
  const arma::vec& last_effects() const { return last().effects; }
  const arma::vec& last_further_effects() const { return last().further_effects; }
  const arma::vec& last_beta() const { return last().beta; }
  const arma::mat& last_means() const { return last().means; }
  // The latest eliminated system (what eliminate() last returned).
  const NormalSums& eliminate_result() const { return reduced_; }

 private:
  // One formation of the sums once eliminated: what the levels' step from
  // it needs.
  struct Eliminated {
    arma::vec weight;      // D
    arma::vec step;        // D^-1 b_alpha (0 for a level of no weight)
    arma::mat means;       // q_dense x L: C D^-1 of the dense columns
    arma::vec pair_means;  // per pair of the pattern: its cross sum / D
    arma::vec effects;     // the alpha the sums were formed at
    arma::vec beta;        // the coefficients they were formed at
    // With further columns: their solution [Y_b'; y_r'] (rows q + 1 and
    // more, by L_f: further_solve.hpp),
    // and their effects the sums were formed at.
    arma::mat further_solution;
    arma::vec further_effects;
  };

  const Eliminated& last() const { return solved_ ? anchor_ : current_; }
  void step_from(const Eliminated& anchor, const arma::vec& beta, arma::vec& effects) const;
  // y_r - Y_b (beta - beta_S) from the further effects of the anchor.
  static void further_step_from(const Eliminated& anchor, const arma::vec& beta, arma::vec& effects);
  void eliminate_scattered(const AbsorbedSums& sums);
  // The terms of the pairs whose columns are in [low, high).
  void eliminate_scattered_columns(const AbsorbedSums& sums, arma::uword low, arma::uword high);

  Eliminated current_;  // the latest sums
  Eliminated anchor_;   // those the last step was solved from
  const LevelPattern* pattern_;
  unsigned workers_;
  FurtherSolve* further_;
  arma::uword split_column_;  // eliminate_scattered's second thread takes the columns from it
  bool solved_ = false;
  NormalSums reduced_;
};
