// The IRLS fitting engine: logistic regression (0/1 response, logit link) by
// Iteratively Reweighted Least Squares. Armadillo and OpenBLAS only; nothing
// of Python.
#pragma once

#include <armadillo>
#include <cstdint>
#include <functional>

#include "normal_equations.hpp"

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
// at all, and std::bad_alloc when the working memory cannot be had. Runs on
// the caller's thread (OpenBLAS may use its own).
FitResult fit_irls(const arma::mat& X, const arma::vec& y, double tol, std::int32_t max_iter);

// The same fit, bit for bit, given the transpose of the design matrix
// (p x n) instead of X: a row-major array seen in column-major order.
FitResult fit_irls_from_transpose(const arma::mat& Xt, const arma::vec& y, double tol, std::int32_t max_iter);

// The general fit behind both: optional weights and intercept, any number of
// worker threads, and an observer told of each update.
struct FitSettings {
  double tol;
  std::int32_t max_iter;
  unsigned workers;     // 1 = the caller's thread alone
  bool track_deviance;  // report each update's starting deviance (a logarithm per row)
};

struct IterationReport {
  std::int32_t iteration;  // from 1
  double deviance;         // at the coefficients the update started from; NaN unless tracked
  double max_change;       // largest absolute coefficient change of the update
  double seconds;          // since the loop started
};

// Called on the fitting thread after every update; an exception it throws
// ends the fit and passes on to the caller.
using IterationObserver = std::function<void(const IterationReport&)>;

// data.y must hold X.n_rows values (and sample_weight too, when given).
FitResult fit_logistic(const LogisticData& data, const FitSettings& settings,
                       const IterationObserver& observer);

// The state of a fit at given coefficients, for inference: the Fisher
// information (A with both triangles), the deviance, and the rows of
// positive weight whose fitted probability is exactly 0 or 1.
struct FitSummary {
  arma::mat fisher_information;
  double deviance;
  arma::uword boundary_rows;
};

FitSummary summarise_fit(const LogisticData& data, const arma::vec& beta, unsigned workers);

// The normal equations of the rows of data alone (a chunk of a larger
// array), A with both triangles, at beta: what a distributed fit sums over
// its chunks, in a fixed order, before each update (irls_update). Runs on the
// caller's thread with the BLAS single-threaded.
NormalSums sum_normal_equations(const LogisticData& data, const arma::vec& beta, bool with_statistics);
