// The absorbed columns after the first, in a fit that absorbs several
// (absorbed_fit.hpp). Their effects enter every row's predictor as the first
// column's do, but a second column's dummies are not orthogonal to the
// first's, so they are solved for rather than eliminated through a diagonal
// block. Once the first column's levels are eliminated exactly
// (level_elimination.hpp), an update's system over X's q columns and the
// further levels f is
//
//   [ S_bb  S_bf ] [ d_beta ]   [ r_b ]
//   [ S_fb  S_ff ] [ d_f    ] = [ r_f ]      S_ff = Z'W(I - P)Z,
//
// Z the further levels' dummies and P the W-projection on the first
// column's. S_ff has a row per further level and is not sparse (a second
// column of 1,000 levels beside one of 10,000 fills it), so it is never
// formed: conjugate gradients solve S_ff [Y_b, y_r] = [S_fb, r_f], q + 1
// right-hand sides at once, preconditioned by the further levels' own
// weights, each product with S_ff two passes over the rows' codes and
// working weights (written by the pass for it). The loop is handed
//
//   S_bb - S_bf Y_b,   r_b - S_bf y_r:
//
// the coefficients' Schur complement of the whole system, so its solve, its
// dependence test and the covariance read from it are those of the model
// with a dummy per level. The levels' steps are linear in the coefficients'
// (d_f = y_r - Y_b d_beta, and the first column's through d_f), so a halved
// step halves them too.
//
// S_ff is singular: one column's effects can shift against another's (and
// within separate groups of connected levels). Its right-hand sides lie in
// its range, where conjugate gradients stay, and its null directions do not
// reach the coefficients (S_bf n = 0 for each): the effects are one
// solution among those that give every row the same predictor.
//
// O(L_f q) memory beside one float64 per row; O(n (q + 1) columns) work per
// product, a few products per update where the levels are well connected.
#pragma once

#include <armadillo>
#include <cstdint>
#include <vector>

#include "further_levels.hpp"
#include "normal_equations.hpp"

// The solve of each update, with what it keeps from one to the next.
class FurtherSolve {
 public:
  // first_codes: the first column's codes (n_rows, in [0, n_first)). The
  // products' passes on up to two workers, over two fixed halves of the
  // rows summed apart and then added: the same bits for any number.
  FurtherSolve(const FurtherLevels& levels, AbsorbedCodes first_codes, arma::uword n_first,
               arma::uword n_rows, unsigned workers = 1);

  // With the first column eliminated from reduced (A and b of the q
  // columns) by its weights D, means C D^-1 (q x L) and step D^-1 b_alpha:
  // eliminates the further levels from reduced, and makes means and step
  // the first column's once the further levels' steps are taken into
  // account. solution is [Y_b'; y_r'] (its first q + 1 rows of L_f columns;
  // any more are 0).
  void eliminate(const FurtherSums& sums, const arma::vec& first_weight, arma::mat& first_means,
                 arma::vec& first_step, NormalSums& reduced, arma::mat& solution);

  // The conjugate gradients' iterations of the latest eliminate, and
  // whether each of its right-hand sides met the tolerance.
  std::int32_t iterations() const { return iterations_; }
  bool converged() const { return converged_; }

  static constexpr double tolerance = 1e-12;  // relative residual of each right-hand side
  static constexpr std::int32_t max_iterations = 5000;

 private:
  static constexpr arma::uword no_group = static_cast<arma::uword>(-1);
  // The groups of further levels connected through the rows of weight (at
  // the first solve: every row of positive frequency weight).
  void find_groups();
  // rhs less its part along the null directions of S_ff.
  void project_to_range(arma::mat& rhs, const arma::vec& weight) const;
  // [S_fb, r_f] = [C_f', b_f] - Z'WZ1 [means', step], k rows (padded with 0).
  arma::mat right_hand_sides(const FurtherSums& sums, const arma::mat& first_means,
                             const arma::vec& first_step, arma::uword k);
  // Preconditioned conjugate gradients for S_ff solution = rhs, one per
  // row of rhs sharing the products; the first q rows start from the
  // latest solution.
  void conjugate_gradients(const arma::mat& rhs, arma::uword q, arma::mat& solution);
  // out = S_ff V for V and out (q + 1) x L_f.
  void apply(const arma::mat& V, arma::mat& out);
  // U(:, l) = D_l^-1 sum over level l's rows of s w sum_j V(:, f_j), the
  // first column's levels' part of Z1'WZ V; with `also` set, the same rows'
  // terms Z'WZ V into it.
  void to_first(const arma::mat& V, arma::mat& U, arma::mat* also);
  // out(:, f_j) += sign s w P(:, level of the first column), row by row.
  void from_first(const arma::mat& P, double sign, arma::mat& out);

  const FurtherLevels& levels_;
  AbsorbedCodes first_codes_;
  arma::uword n_rows_;
  unsigned workers_;
  arma::vec inverse_first_;          // D^-1 of the first column (0 for no weight)
  arma::vec further_weight_;         // D_f of the latest sums
  arma::mat first_block_;            // (q + 1) x L: the products' first-column part
  std::vector<arma::uword> groups_;  // per further level: its group
  arma::uword n_groups_ = 0;
  arma::mat warm_;  // the latest solution: the next solve starts from it
  // The second half's sums of the rows, added to the first's: an L-sized
  // block and an L_f-sized one.
  arma::mat second_first_;
  arma::mat second_further_;
  std::int32_t iterations_ = 0;
  bool converged_ = true;
};
