#include "irls_loop.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <functional>
#include <limits>
#include <vector>

#include "covariance.hpp"
#include "freed_memory.hpp"
#include "irls_steps.hpp"
#include "safe_steps.hpp"

namespace {

using Clock = std::chrono::steady_clock;

// One update's solve. Without dropped columns the system is solved as it
// is; otherwise the system of the kept columns, the others staying 0.
// Returns false when the system was singular and solved by least squares.
bool solve_update(const NormalSums& sums, const std::vector<arma::uword>& dropped, bool quiet,
                  arma::vec& beta_new) {
  if (dropped.empty()) {
    if (!quiet) {
      solve_normal_equations(sums.A, sums.b, beta_new);
      return true;
    }
    return solve_normal_equations_quietly(sums.A, sums.b, beta_new);
  }
  const arma::uvec kept = kept_columns(sums.A.n_rows, dropped);
  arma::vec kept_solution;
  const bool direct =
      quiet ? solve_normal_equations_quietly(sums.A.submat(kept, kept), sums.b.elem(kept), kept_solution)
            : (solve_normal_equations(sums.A.submat(kept, kept), sums.b.elem(kept), kept_solution), true);
  beta_new.zeros(sums.A.n_rows);
  beta_new.elem(kept) = kept_solution;
  return direct;
}

double seconds_since(Clock::time_point start) {
  const auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count();
  return static_cast<double>(nanoseconds) / 1000000 / 1000;
}

bool predicted_last(const FitSettings& settings, std::int32_t iterations,
                    const std::vector<double>& changes) {
  return predicted_last_pass(settings, iterations, changes.empty() ? arma::datum::inf : changes.back());
}

// Halves the step that led to beta (from previous_start) while its
// penalised deviance is worse than previous_objective, re-forming the sums
// at each halved point; returns the sums at the final beta and records its
// objective in previous_objective. The first pass (no step yet) only
// records it.
const NormalSums* halve_while_worse(const NormalEquationsSource& source, const FitSettings& settings,
                                    bool with_meat, const arma::vec& previous_start, bool after_a_step,
                                    double& previous_objective, arma::vec& beta, const NormalSums& formed,
                                    FitOutcome& outcome) {
  const NormalSums* sums = &formed;
  double objective =
      penalised_deviance(sums->statistics.deviance, beta, settings.penalty, settings.unpenalised);
  for (int halving = 0;
       after_a_step && halving < max_halvings && step_needs_halving(previous_objective, objective);
       ++halving) {
    beta = 0.5 * (previous_start + beta);
    sums = &source(beta, settings.with_statistics, with_meat);
    ++outcome.passes;
    ++outcome.halvings;
    objective = penalised_deviance(sums->statistics.deviance, beta, settings.penalty, settings.unpenalised);
  }
  previous_objective = objective;
  return sums;
}

// The update's solve, of the penalised system when there is a penalty. In
// the score form the system gives the step from beta: with a penalty P,
// (A + P) step = score - P beta.
bool solve_penalised_update(const NormalSums& sums, const std::vector<arma::uword>& dropped,
                            const FitSettings& settings, const arma::vec& beta, arma::vec& beta_new) {
  bool direct = true;
  if (settings.penalty > 0.0) {
    NormalSums penalised;
    penalised.A = penalised_information(sums.A, settings.penalty, settings.unpenalised);
    penalised.b = sums.b;
    if (settings.score_form) {
      penalised.b -= (penalised.A - sums.A) * beta;
    }
    direct = solve_update(penalised, dropped, settings.quiet, beta_new);
  } else {
    direct = solve_update(sums, dropped, settings.quiet, beta_new);
  }
  if (settings.score_form) {
    beta_new += beta;
  }
  return direct;
}

}  // namespace

FitOutcome run_irls(arma::uword q, const NormalEquationsSource& source, const FitSettings& settings,
                    const IterationObserver& observer, const StepSolved& step_solved) {
  // With no update, q zeros and no time spent iterating.
  FitOutcome outcome;
  outcome.result = FitResult{arma::vec(q, arma::fill::zeros), 0, 0.0, false};
  if (settings.max_iter <= 0) {
    return outcome;
  }
  arma::vec& beta = outcome.result.coefficients;
  arma::vec beta_new;
  arma::vec previous_start;  // the coefficients the previous update started from
  double previous_objective = std::numeric_limits<double>::quiet_NaN();
  const auto start = Clock::now();
  std::int32_t iterations = 0;
  bool changed = true;
  while (iterations < settings.max_iter) {
    const bool with_meat = settings.meat_in_loop && predicted_last(settings, iterations, outcome.changes);
    const NormalSums* sums = &source(beta, settings.with_statistics, with_meat);
    ++outcome.passes;
    if (settings.halve_steps) {
      sums = halve_while_worse(source, settings, with_meat, previous_start, iterations > 0,
                               previous_objective, beta, *sums, outcome);
    }
    outcome.last_pass_with_meat = with_meat;
    if (iterations == 0 && settings.report_overflow && !(sums->A.is_finite() && sums->b.is_finite())) {
      outcome.overflowed = columns_not_finite(sums->A, sums->b);
      outcome.last_pass_beta = beta;
      break;
    }
    if (iterations == 0 && settings.drop_dependent && sums->A.is_finite()) {
      // The first system, at beta = 0, has every weight 1/4 (times the
      // frequency weights): it is X'SX / 4, and which columns depend on
      // others does not change with the weights. (One that is not finite
      // has no solution at all, and the solve says so.)
      outcome.dropped = dependent_columns(sums->A, dependence_tolerance(q), sums->dependence_diagonal);
    }
    if (!solve_penalised_update(*sums, outcome.dropped, settings, beta, beta_new)) {
      ++outcome.singular_solves;
    }
    if (step_solved) {
      step_solved();
    }
    release_freed_memory(q);
    changed = coefficients_changed(beta_new, beta, settings.tol);
    const double max_change = largest_change(beta_new, beta);
    const double deviance =
        settings.with_statistics ? sums->statistics.deviance : std::numeric_limits<double>::quiet_NaN();
    outcome.deviances.push_back(deviance);
    outcome.changes.push_back(max_change);
    if (settings.halve_steps) {
      previous_start = beta;
    }
    outcome.last_pass_beta = beta;
    beta = beta_new;
    ++iterations;
    if (observer) {
      observer(IterationReport{iterations, deviance, max_change, seconds_since(start)});
    }
    if (!changed) {
      break;
    }
  }
  outcome.result.time = seconds_since(start);
  outcome.result.iterations = iterations;
  outcome.result.converged = !changed;
  return outcome;
}

bool predicted_last_pass(const FitSettings& settings, std::int32_t iterations, double last_change) {
  return iterations + 1 >= settings.max_iter || last_change <= 10.0 * std::sqrt(settings.tol);
}

void covariance_of_outcome(const FitOutcome& outcome, const NormalSums& last_pass,
                           const FitSettings& settings, arma::mat& covariance) {
  if (settings.penalty > 0.0 && !last_pass.A.is_empty()) {
    covariance_of_fit(penalised_information(last_pass.A, settings.penalty, settings.unpenalised),
                      outcome.dropped, covariance);
    return;
  }
  covariance_of_fit(last_pass.A, outcome.dropped, covariance);
}
