#include "safe_steps.hpp"

#include <cmath>

namespace {

// An increase of the deviance by this much relative is rounding (a sum of
// millions of rows' deviances carries about 1e-13), not a bad step: halving
// then would only slow the last, converging updates.
constexpr double rounding_slack = 1e-10;

}  // namespace

double penalised_deviance(double deviance, const arma::vec& beta, double penalty, arma::uword unpenalised) {
  if (penalty == 0.0) {
    return deviance;
  }
  double squares = 0.0;
  for (arma::uword j = unpenalised; j < beta.n_elem; ++j) {
    squares += beta[j] * beta[j];
  }
  return deviance + penalty * squares;
}

arma::mat penalised_information(const arma::mat& A, double penalty, arma::uword unpenalised) {
  arma::mat penalised = A;
  for (arma::uword j = unpenalised; j < A.n_rows; ++j) {
    penalised.at(j, j) += penalty;
  }
  return penalised;
}

bool step_needs_halving(double previous, double current) {
  if (!std::isfinite(current)) {
    return true;
  }
  return std::isfinite(previous) && current - previous > rounding_slack * (std::abs(previous) + 0.1);
}
