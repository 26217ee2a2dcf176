#include "fit_irls.hpp"

#include <chrono>

#include "irls_steps.hpp"
#include "working_storage.hpp"

namespace {

// The IRLS loop over X (n x p) and its transpose Xt (p x n). Every working
// quantity is allocated once, before the clock starts, and reused by every
// iteration: on fresh memory each first touch of a page faults, which for an
// n x p temporary costs more than the products that fill it.
FitResult run_irls(const arma::mat& X, const arma::mat& Xt, const arma::vec& y, double tol,
                   std::int32_t max_iter) {
  const arma::uword n = X.n_rows;
  const arma::uword p = X.n_cols;
  arma::vec beta(p, arma::fill::zeros);
  arma::vec beta_new;
  arma::mat A(p, p);
  arma::vec b(p);
  const WorkingMemory xw_memory = allocate_working_memory(X.n_elem);
  const WorkingMemory eta_memory = allocate_working_memory(n);
  const WorkingMemory w_memory = allocate_working_memory(n);
  arma::mat XW = matrix_over(xw_memory, n, p);
  // Holds eta, then w z: the weights pass reads each eta_k just before it
  // overwrites it, and neither is needed again in the same iteration.
  arma::vec eta_then_wz = vector_over(eta_memory, n);
  arma::vec w = vector_over(w_memory, n);

  const auto start = std::chrono::steady_clock::now();
  std::int32_t iterations = 0;
  bool changed = true;
  while (iterations < max_iter) {
    eta_then_wz = X * beta;
    compute_working_weights(eta_then_wz, y, w);
    scale_rows(X, w, XW);
    // The weighted normal equations X'WX beta = X'Wz, formed as products with
    // the column-scaled copy; no n x n diagonal matrix is ever built.
    A = Xt * XW;
    b = Xt * eta_then_wz;
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

// The result when no update runs: p zeros, and no time spent iterating.
// Checked before any copy of X is made, and before the loop's buffers (A
// alone is p x p) are allocated, so a wide X still gets its zeros.
FitResult without_updates(arma::uword p) { return FitResult{arma::vec(p, arma::fill::zeros), 0, 0.0, false}; }

}  // namespace

FitResult fit_irls(const arma::mat& X, const arma::vec& y, double tol, std::int32_t max_iter) {
  if (max_iter <= 0) {
    return without_updates(X.n_cols);
  }
  const WorkingMemory xt_memory = allocate_working_memory(X.n_elem);
  arma::mat Xt = matrix_over(xt_memory, X.n_cols, X.n_rows);
  Xt = X.t();
  return run_irls(X, Xt, y, tol, max_iter);
}

FitResult fit_irls_from_transpose(const arma::mat& Xt, const arma::vec& y, double tol,
                                  std::int32_t max_iter) {
  if (max_iter <= 0) {
    return without_updates(Xt.n_rows);
  }
  const WorkingMemory x_memory = allocate_working_memory(Xt.n_elem);
  arma::mat X = matrix_over(x_memory, Xt.n_cols, Xt.n_rows);
  copy_transposed(Xt, X);
  return run_irls(X, Xt, y, tol, max_iter);
}
