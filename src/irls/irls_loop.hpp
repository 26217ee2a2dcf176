// The IRLS update loop, run_irls, and its settings: logistic regression (0/1
// response; the link of links.hpp) by Iteratively Reweighted Least Squares.
// Armadillo and OpenBLAS only; nothing of Python.
//
// The loop asks a source for each update's weighted normal equations and
// knows nothing of where they come from: the fit plan (fit_plan.hpp) hands
// it the passes of a back end (rows in memory, chunks summed elsewhere,
// levels eliminated). Its rules (the convergence test, the limit, the time,
// the columns left out) are therefore the same for every fit.
#pragma once

#include <algorithm>
#include <armadillo>
#include <cstdint>
#include <functional>
#include <limits>
#include <vector>

#include "normal_equations.hpp"

// What one fit returns; each binding copies it into its own result (_quorvi's dict,
// quorvi._native's FitResult).
struct FitResult {
  arma::vec coefficients;   // final coefficients, one per column of X
  std::int32_t iterations;  // coefficient updates performed
  double time;              // seconds spent in the iteration loop
  bool converged;           // the last update moved no coefficient by more than tol
};

struct FitSettings {
  double tol;
  std::int32_t max_iter;
  // Singular systems are solved by least squares and counted, without the
  // linear-algebra library's warning on standard error.
  bool quiet;
  // At the first update, columns that depend linearly on earlier ones are
  // found (dependent_columns) and their coefficients held at 0.
  bool drop_dependent;
  // Every pass also sums the deviance and counts the boundary rows (a
  // logarithm per row).
  bool with_statistics;
  // A ridge penalty: each update solves (A + penalty I') beta = b, I' the
  // identity without its first `unpenalised` ones (the intercept). 0: none.
  double penalty = 0.0;
  arma::uword unpenalised = 0;
  // Halve a step whose penalised deviance is not finite or larger than the
  // previous one (needs with_statistics), re-forming the normal equations
  // at the halved point, at most max_halvings times per update.
  bool halve_steps = false;
  // Ask the source for the robust sums in the pass predicted to be the last
  // (the previous update's change already small, or the last allowed).
  bool meat_in_loop = false;
  // A first system with a value that is not finite (a column whose sum of
  // squares overflows) ends the fit before its solve, with the columns it
  // involves in FitOutcome::overflowed, for the caller to name in its own
  // words. Without it, the solve throws "solve(): solution not found".
  bool report_overflow = false;
  // The source's b is the score X'S(y - mu) (LogisticData::score_response),
  // and each update solves for its step, A (beta_new - beta) = b. The same
  // update as A beta_new = X'SWz, but its rounding is relative to the step,
  // not to beta: with a nearly collinear column (a year beside the
  // intercept, condition 1e8) the coefficients settle to about 1e-9 instead
  // of moving by 1e-5 per update, and tol 1e-8 is reached.
  bool score_form = false;
};

// The relative tolerance of drop_dependent for q columns: a column whose
// 1 - R^2 on the earlier independent columns is at most this is left out.
//
// The anchor is R's lm, which drops a column when the norm ratio of its QR
// residual, sqrt(1 - R^2), is at most 1e-7: 1 - R^2 at most 1e-14, so that
// only dependence to working precision counts, and a real predictor far
// from zero (a year, 2020 + a 0/1 effect, has 1 - R^2 of about 6e-8 on the
// intercept) is kept. Here 1 - R^2 is a pivot of the normal equations, not
// of a QR of X: forming X'WX and factorising it leaves a relative error of
// order q eps in each pivot, so an exact dependence among q columns (0.1
// times every dummy beside the intercept, say) comes out as 1e-15 to 2e-14
// rather than 0, up to about 10 q eps seen. The floor is therefore raised
// to 100 q eps (a tenfold margin over that) where it exceeds 1e-14: 1e-13
// for 5 columns, 1e-11 for 500, still far below any predictor with a real
// spread.
inline double dependence_tolerance(arma::uword q) {
  constexpr double anchor = 1e-14;
  constexpr double rounding_factor = 100.0;
  return std::max(anchor, rounding_factor * static_cast<double>(q) * arma::datum::eps);
}

struct IterationReport {
  std::int32_t iteration;  // from 1
  double deviance;         // at the coefficients the update started from; NaN without statistics
  double max_change;       // largest absolute coefficient change of the update
  double seconds;          // since the loop started
  // Iterations of an inner solve the update's system needed (the further
  // absorbed columns': further_solve.hpp); 0 without one.
  std::int32_t inner_iterations = 0;
};

// Called on the fitting thread after every update; an exception it throws
// ends the fit and passes on to the caller.
using IterationObserver = std::function<void(const IterationReport&)>;

// The normal equations at beta (A with both triangles), with the deviance
// and boundary rows when asked for. The reference stays valid until the
// next call; the last one is what a caller reads the covariance from.
// with_meat asks for the robust sums too (a source that has none ignores it).
using NormalEquationsSource =
    std::function<const NormalSums&(const arma::vec& beta, bool with_statistics, bool with_meat)>;

// The loop's result and what it saw on the way.
struct FitOutcome {
  FitResult result;
  std::vector<arma::uword> dropped;  // columns held at 0, in increasing order
  std::int32_t singular_solves = 0;  // updates whose system was solved by least squares (quiet only)
  std::int32_t passes = 0;           // normal equations formed: one per update, one per halving
  std::vector<double> deviances;  // per update, at the coefficients it started from (NaN without statistics)
  std::vector<double> changes;    // per update, the largest coefficient change
  arma::vec last_pass_beta;       // the coefficients of the last pass (the last update's start)
  bool last_pass_with_meat = false;
  std::int32_t halvings = 0;  // passes re-formed at a halved step (counted in passes too)
  // With report_overflow: the columns whose row of the first system has a
  // value that is not finite (increasing); no update was made then.
  std::vector<arma::uword> overflowed;
};

// Called after each update's solve, before the next call of the source: the
// step was solved from the sums of the source's latest call. (An absorbed
// fit's levels take their step from those same sums: absorbed_fit.hpp.)
using StepSolved = std::function<void()>;

// The IRLS loop over q coefficients from zero: at most max_iter updates,
// stopping after the first that moves no coefficient by more than tol. The
// last call of source was at the coefficients the last update started from.
FitOutcome run_irls(arma::uword q, const NormalEquationsSource& source, const FitSettings& settings,
                    const IterationObserver& observer, const StepSolved& step_solved = StepSolved());

// Whether the pass after `iterations` updates, the last of which changed
// the coefficients by at most last_change (infinite before the first), is
// predicted to be the loop's last: the last one allowed, or the previous
// change already small. Newton's changes shrink quadratically, so after a
// change of c the next is of order c^2. The passes that form the robust
// and the margin sums are chosen by it.
bool predicted_last_pass(const FitSettings& settings, std::int32_t iterations, double last_change);

// The covariance of the estimator's fit: the inverse of the (penalised)
// information of the last pass, NaN for dropped columns.
void covariance_of_outcome(const FitOutcome& outcome, const NormalSums& last_pass,
                           const FitSettings& settings, arma::mat& covariance);
