// The steps of one IRLS iteration that are not a single Armadillo product.
#pragma once

#include <armadillo>

// From the linear predictor eta and the response y, in one pass over the
// observations: the logistic mean mu = 1 / (exp(-eta) + 1), the working weight
// w = clamp(mu (1 - mu), 1e-10, 1) and the working response
// z = eta + (y - mu) / w. Writes w, and overwrites eta with the product w z,
// the only use of z; mu and z are never stored. Throws std::logic_error when
// y and eta differ in length.
void compute_working_weights(arma::vec& eta_then_wz, const arma::vec& y, arma::vec& w);

// XW = X with every column multiplied element-wise by w, written into XW's
// existing storage.
void scale_rows(const arma::mat& X, const arma::vec& w, arma::mat& XW);

// Solves A beta_new = b with Armadillo's fast solver. A singular system
// writes the library's warning to standard error and takes the minimum-norm
// least-squares solution; a system that cannot be solved at all throws
// std::runtime_error "solve(): solution not found".
void solve_normal_equations(const arma::mat& A, const arma::vec& b, arma::vec& beta_new);

// True when some coefficient moved by more than tol. A NaN change or a NaN
// tol counts as a change: a fit that produced NaN is never "converged".
bool coefficients_changed(const arma::vec& beta_new, const arma::vec& beta, double tol);
