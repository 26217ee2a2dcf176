// The plain fit that _quorvi's irls() runs: y on the columns of X, the rows in
// memory, by the fit plan's in-memory passes (in_memory_passes.hpp).
#pragma once

#include <armadillo>
#include <cstdint>

#include "irls_loop.hpp"
#include "normal_equations.hpp"

// The plain fit: y on the columns of X (no intercept, no weights), on the
// caller's thread, singular systems warned of on standard error. Throws
// std::logic_error when y's length differs from X's row count (and
// max_iter >= 1), std::runtime_error when a weighted system cannot be solved
// at all, and std::bad_alloc when the working memory cannot be had.
FitResult fit_irls(const LogisticData& data, double tol, std::int32_t max_iter);

// The same for X (n x p) and y held by Armadillo.
FitResult fit_irls(const arma::mat& X, const arma::vec& y, double tol, std::int32_t max_iter);
