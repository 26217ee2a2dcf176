#include "irls_steps.hpp"

#include <cmath>
#include <ostream>
#include <stdexcept>

namespace {

// The working weight's clamp: the lower bound keeps every finite weight
// positive, so the working response never divides by zero; for finite mu the
// weight is at most 0.25 and the upper bound never acts. NaN passes through.
constexpr double min_weight = 1e-10;
constexpr double max_weight = 1.0;

// Armadillo's own message for a system its fast solver rejects.
constexpr const char* singular_warning = "solve(): system is singular; attempting approx solution";

}  // namespace

void compute_working_weights(arma::vec& eta_then_wz, const arma::vec& y, arma::vec& w) {
  if (y.n_elem != eta_then_wz.n_elem) {
    // y - mu is the first operation that involves y; let Armadillo's own size
    // check raise its own message for that subtraction.
    const arma::vec mismatch = y - eta_then_wz;
  }
  const arma::uword n = eta_then_wz.n_elem;
  double* eta_mem = eta_then_wz.memptr();
  const double* y_mem = y.memptr();
  double* w_mem = w.memptr();
  for (arma::uword k = 0; k < n; ++k) {
    const double eta = eta_mem[k];
    const double mu = 1.0 / (std::exp(-eta) + 1.0);
    const double variance = mu * (1.0 - mu);
    const double weight =
        variance < min_weight ? min_weight : (variance > max_weight ? max_weight : variance);
    const double z = eta + (y_mem[k] - mu) / weight;
    w_mem[k] = weight;
    eta_mem[k] = weight * z;
  }
}

void scale_rows(const arma::mat& X, const arma::vec& w, arma::mat& XW) {
  for (arma::uword j = 0; j < X.n_cols; ++j) {
    XW.col(j) = X.col(j) % w;
  }
}

void solve_normal_equations(const arma::mat& A, const arma::vec& b, arma::vec& beta_new) {
  if (!A.is_finite() || !b.is_finite()) {
    // The fast LAPACK solvers can return NaN without reporting a failure on
    // such a system. Take the path the library takes when its fast solver
    // does report one: the singular-system warning, then the approximate
    // solver, which refuses non-finite input, so Armadillo throws
    // "solve(): solution not found".
    // ARMA_CERR_STREAM is the stream Armadillo writes its own warnings to.
    ARMA_CERR_STREAM << "\nwarning: " << singular_warning << std::endl;
    beta_new = arma::solve(A, b, arma::solve_opts::force_approx);
    // Should a later Armadillo accept such a system, the outcome stays the same.
    throw std::runtime_error("solve(): solution not found");
  }
  beta_new = arma::solve(A, b, arma::solve_opts::fast);
}

bool coefficients_changed(const arma::vec& beta_new, const arma::vec& beta, double tol) {
  for (arma::uword j = 0; j < beta.n_elem; ++j) {
    if (!(std::abs(beta_new[j] - beta[j]) <= tol)) {
      return true;
    }
  }
  return false;
}
