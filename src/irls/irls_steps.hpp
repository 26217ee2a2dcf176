// The steps of one IRLS update after the normal equations are formed.
#pragma once

#include <armadillo>
#include <vector>

// Solves A beta_new = b with Armadillo's fast solver. A singular system
// writes the library's warning to standard error and takes the minimum-norm
// least-squares solution; a system that cannot be solved at all throws
// std::runtime_error "solve(): solution not found".
void solve_normal_equations(const arma::mat& A, const arma::vec& b, arma::vec& beta_new);

// The same solve without a word to standard error, for callers that report
// to their users in their own way: false when the system was singular and
// the minimum-norm least-squares solution was taken. A system with a wide
// diagonal block (a categorical's) is solved by eliminating it first
// (diagonal_block_solve.hpp).
bool solve_normal_equations_quietly(const arma::mat& A, const arma::vec& b, arma::vec& beta_new);

// True when some coefficient moved by more than tol. A NaN change or a NaN
// tol counts as a change: a fit that produced NaN is never "converged".
bool coefficients_changed(const arma::vec& beta_new, const arma::vec& beta, double tol);

// The largest absolute change of any coefficient; NaN when any change is NaN.
double largest_change(const arma::vec& beta_new, const arma::vec& beta);

// The columns of a symmetric positive semi-definite A (X'WX) that are, to a
// relative tolerance, linear combinations of earlier columns, in increasing
// order. Columns are taken in their order, as R's glm takes them: column j
// is dependent when 1 - R^2 of its regression on the earlier independent
// columns, in the metric of A, is at most tol; a column with a zero (or not
// finite) diagonal is dependent too. So of two equal columns the later one
// is reported, and of the indicators of all levels of a categorical beside
// an intercept, the last level.
// With reference_diagonal (not empty), the 1 - R^2 are relative to it in
// place of A's own diagonal: A is then a system with other columns
// eliminated (absorbed levels), and a column that those explain has a
// small pivot of its own however small its diagonal has become.
std::vector<arma::uword> dependent_columns(const arma::mat& A, double tol,
                                           const arma::vec& reference_diagonal = arma::vec());

// The columns j of A beta = b whose row of A, or b[j], has a value that is
// not finite, in increasing order: where forming the system overflowed.
std::vector<arma::uword> columns_not_finite(const arma::mat& A, const arma::vec& b);

// The columns of a q-column system not in dropped (increasing), as
// Armadillo indices: what the solve and the covariance keep.
arma::uvec kept_columns(arma::uword q, const std::vector<arma::uword>& dropped);
