// The steps of one IRLS update after the normal equations are formed.
#pragma once

#include <armadillo>

// Solves A beta_new = b with Armadillo's fast solver. A singular system
// writes the library's warning to standard error and takes the minimum-norm
// least-squares solution; a system that cannot be solved at all throws
// std::runtime_error "solve(): solution not found".
void solve_normal_equations(const arma::mat& A, const arma::vec& b, arma::vec& beta_new);

// True when some coefficient moved by more than tol. A NaN change or a NaN
// tol counts as a change: a fit that produced NaN is never "converged".
bool coefficients_changed(const arma::vec& beta_new, const arma::vec& beta, double tol);

// The largest absolute change of any coefficient; NaN when any change is NaN.
double largest_change(const arma::vec& beta_new, const arma::vec& beta);

// One IRLS update from normal equations summed elsewhere (over the chunks of
// a distributed array): the new coefficients, whether any moved by more than
// tol, and the largest change. The same solve and test as a fit in memory.
struct UpdateStep {
  arma::vec coefficients;
  bool changed;
  double max_change;
};

UpdateStep irls_update(const arma::mat& A, const arma::vec& b, const arma::vec& beta, double tol);
