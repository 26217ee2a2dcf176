// The IRLS fitting engine: logistic regression (0/1 response, logit link) by
// Iteratively Reweighted Least Squares. Armadillo only; nothing of Python.
#pragma once

#include <armadillo>
#include <cstdint>

// What one fit returns; the binding layer copies it into the result dict.
struct FitResult {
  arma::vec coefficients;   // final coefficients, one per column of X
  std::int32_t iterations;  // coefficient updates performed
  double time;              // seconds spent in the iteration loop
  bool converged;           // the last update moved no coefficient by more than tol
};

// Fits y (length n) on the columns of X (n x p), starting from zero
// coefficients, for at most max_iter updates; stops after the first update
// that moves no coefficient by more than tol. X and y are only read.
// Throws std::logic_error when y's length differs from X's row count (and
// max_iter >= 1), std::runtime_error when a weighted system cannot be solved
// at all, and std::bad_alloc when the working matrices do not fit in memory.
FitResult fit_irls(const arma::mat& X, const arma::vec& y, double tol, std::int32_t max_iter);

// The same fit, bit for bit, given the transpose of the design matrix
// (p x n) instead of X. A row-major array seen in column-major order is
// exactly that matrix, so a caller holding one spares a transposed copy.
FitResult fit_irls_from_transpose(const arma::mat& Xt, const arma::vec& y, double tol, std::int32_t max_iter);
