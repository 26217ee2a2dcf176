#include "fit_irls.hpp"

#include <chrono>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include "blas_threads.hpp"
#include "irls_steps.hpp"
#include "normal_equations_pass.hpp"

namespace {

using Clock = std::chrono::steady_clock;

// The result when no update runs: q zeros, and no time spent iterating.
// Returned before any working memory is allocated (A alone is q x q), so a
// wide X still gets its zeros.
FitResult without_updates(arma::uword q) { return FitResult{arma::vec(q, arma::fill::zeros), 0, 0.0, false}; }

// y - mu is the first operation that involves y, and it is where a length
// mismatch is reported, in Armadillo's words for that subtraction.
void check_response_length(const arma::vec& y, arma::uword n) {
  if (y.n_elem != n) {
    throw std::logic_error("subtraction: incompatible matrix dimensions: " + std::to_string(y.n_elem) +
                           "x1 and " + std::to_string(n) + "x1");
  }
}

FitResult fit_unweighted(const DesignView& X, const arma::vec& y, double tol, std::int32_t max_iter) {
  if (max_iter <= 0) {
    return without_updates(X.n_cols);
  }
  check_response_length(y, X.n_rows);
  const LogisticData data{X, y.memptr(), nullptr, false};
  return fit_logistic(data, FitSettings{tol, max_iter, 1, false}, IterationObserver());
}

}  // namespace

FitResult fit_irls(const arma::mat& X, const arma::vec& y, double tol, std::int32_t max_iter) {
  return fit_unweighted(column_major_view(X), y, tol, max_iter);
}

FitResult fit_irls_from_transpose(const arma::mat& Xt, const arma::vec& y, double tol,
                                  std::int32_t max_iter) {
  return fit_unweighted(row_major_view(Xt), y, tol, max_iter);
}

FitResult fit_logistic(const LogisticData& data, const FitSettings& settings,
                       const IterationObserver& observer) {
  const arma::uword q = coefficient_count(data);
  if (settings.max_iter <= 0) {
    return without_updates(q);
  }
  // Everything the loop uses is allocated before the clock starts.
  PassWorkspace workspace = make_pass_workspace(data, settings.workers);
  // Held for the whole loop, solves included, not pass by pass: OpenBLAS's
  // idle threads spin for a while after each threaded call, and on a
  // machine with as many cores as workers they would take the workers' time.
  std::optional<SingleThreadedBlas> single_threaded;
  if (workspace.partition.single_threaded_blas) {
    single_threaded.emplace();
  }
  arma::vec beta(q, arma::fill::zeros);
  arma::vec beta_new;
  const bool with_statistics = settings.track_deviance && observer;

  const auto start = Clock::now();
  std::int32_t iterations = 0;
  bool changed = true;
  while (iterations < settings.max_iter) {
    const NormalSums& sums = form_normal_equations(data, beta, with_statistics, workspace);
    solve_normal_equations(sums.A, sums.b, beta_new);
    changed = coefficients_changed(beta_new, beta, settings.tol);
    const double max_change = observer ? largest_change(beta_new, beta) : 0.0;
    beta = beta_new;
    ++iterations;
    if (observer) {
      const double deviance = with_statistics ? sums.deviance : std::numeric_limits<double>::quiet_NaN();
      observer(IterationReport{
          iterations,
          deviance,
          max_change,
          std::chrono::duration<double>(Clock::now() - start).count(),
      });
    }
    if (!changed) {
      break;
    }
  }
  const auto end = Clock::now();
  const auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(end - start).count();
  const double seconds = static_cast<double>(nanoseconds) / 1000000 / 1000;
  return FitResult{beta, iterations, seconds, !changed};
}

FitSummary summarise_fit(const LogisticData& data, const arma::vec& beta, unsigned workers) {
  PassWorkspace workspace = make_pass_workspace(data, workers);
  form_normal_equations(data, beta, true, workspace);
  // The sums are the workspace's own, and it ends here: moved, not copied.
  NormalSums& sums = workspace.total;
  return FitSummary{std::move(sums.A), sums.deviance, sums.boundary_rows};
}

NormalSums sum_normal_equations(const LogisticData& data, const arma::vec& beta, bool with_statistics) {
  // The caller runs many of these at once on threads of its own (a Dask
  // worker's), so the BLAS stays single-threaded inside each.
  const SingleThreadedBlas single_threaded;
  PassWorkspace workspace = make_pass_workspace(data, 1);
  form_normal_equations(data, beta, with_statistics, workspace);
  return std::move(workspace.total);
}
