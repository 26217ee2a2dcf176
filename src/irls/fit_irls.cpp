#include "fit_irls.hpp"

#include "in_memory_passes.hpp"

FitResult fit_irls(const LogisticData& data, double tol, std::int32_t max_iter) {
  const FitSettings settings{tol, max_iter, false, false, false};
  return fit_in_memory(data, settings, 1, IterationObserver()).outcome.result;
}

FitResult fit_irls(const arma::mat& X, const arma::vec& y, double tol, std::int32_t max_iter) {
  return fit_irls(LogisticData{design_of(X), y.memptr(), y.n_elem, nullptr}, tol, max_iter);
}
