#include "fit_irls.hpp"

#include <chrono>

#include "irls_steps.hpp"
#include "working_storage.hpp"

namespace {

// The IRLS loop over X (n x p) and its transpose Xt (p x n). Every working
// quantity is allocated once, before the clock starts, and reused by every
// iteration: on a fresh allocation each first touch of a page faults, which
// for an n x p matrix costs more than the products themselves.
FitResult run_irls(const arma::mat& X, const arma::mat& Xt, const arma::vec& y, double tol,
                   std::int32_t max_iter) {
  const arma::uword n = X.n_rows;
  const arma::uword p = X.n_cols;
  arma::vec beta(p, arma::fill::zeros);
  if (max_iter <= 0) {
    // No update runs, so no time is spent iterating, and the buffers below
    // (A alone is p x p) are not needed: a wide X still gets its zeros.
    return FitResult{beta, 0, 0.0, false};
  }
  arma::vec beta_new;
  arma::vec eta(n);
  arma::vec w(n);
  arma::vec wz(n);
  arma::mat A(p, p);
  arma::vec b(p);
  const MatrixMemory xw_memory = allocate_matrix_memory(X.n_elem);
  arma::mat XW = matrix_over(xw_memory, n, p);

  const auto start = std::chrono::steady_clock::now();
  std::int32_t iterations = 0;
  bool changed = true;
  while (iterations < max_iter) {
    eta = X * beta;
    compute_working_weights(eta, y, w, wz);
    scale_rows(X, w, XW);
    // The weighted normal equations X'WX beta = X'Wz, formed as products with
    // the column-scaled copy; no n x n diagonal matrix is ever built.
    A = Xt * XW;
    b = Xt * wz;
    solve_normal_equations(A, b, beta_new);
    changed = coefficients_changed(beta_new, beta, tol);
    beta = beta_new;
    ++iterations;
    if (!changed) {
      break;
    }
  }
  const auto end = std::chrono::steady_clock::now();
  const auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(end - start).count();
  const double seconds = static_cast<double>(nanoseconds) / 1000000 / 1000;
  return FitResult{beta, iterations, seconds, !changed};
}

}  // namespace

FitResult fit_irls(const arma::mat& X, const arma::vec& y, double tol, std::int32_t max_iter) {
  const MatrixMemory xt_memory = allocate_matrix_memory(X.n_elem);
  arma::mat Xt = matrix_over(xt_memory, X.n_cols, X.n_rows);
  Xt = X.t();
  return run_irls(X, Xt, y, tol, max_iter);
}

FitResult fit_irls_from_transpose(const arma::mat& Xt, const arma::vec& y, double tol,
                                  std::int32_t max_iter) {
  const MatrixMemory x_memory = allocate_matrix_memory(Xt.n_elem);
  arma::mat X = matrix_over(x_memory, Xt.n_cols, Xt.n_rows);
  X = Xt.t();
  return run_irls(X, Xt, y, tol, max_iter);
}
