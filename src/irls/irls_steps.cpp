#include "irls_steps.hpp"

#include <algorithm>
#include <cmath>
#include <ostream>
#include <stdexcept>

namespace {

// Armadillo's own message for a system its fast solver rejects.
constexpr const char* singular_warning = "solve(): system is singular; attempting approx solution";

}  // namespace

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

double largest_change(const arma::vec& beta_new, const arma::vec& beta) {
  double largest = 0.0;
  for (arma::uword j = 0; j < beta.n_elem; ++j) {
    const double change = std::abs(beta_new[j] - beta[j]);
    if (std::isnan(change)) {
      return change;
    }
    largest = std::max(largest, change);
  }
  return largest;
}

UpdateStep irls_update(const arma::mat& A, const arma::vec& b, const arma::vec& beta, double tol) {
  UpdateStep step{arma::vec(), false, 0.0};
  solve_normal_equations(A, b, step.coefficients);
  step.changed = coefficients_changed(step.coefficients, beta, tol);
  step.max_change = largest_change(step.coefficients, beta);
  return step;
}
