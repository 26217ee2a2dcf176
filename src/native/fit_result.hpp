// The one place quorvi._native turns a fit into its result dict, whichever
// entry made the fit.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "fit_irls.hpp"

// A new NumPy array holding a copy of values.
pybind11::array_t<double> to_numpy(const arma::vec& values);

// The result of fit and fit_chunked: the loop's outcome, and what the last
// pass summed (the Fisher information behind covariance, the deviance and
// the boundary rows at the coefficients the last update started from).
// meats and hat_one_rows are the robust sums at the same coefficients
// (empty without).
pybind11::dict fit_result(const FitOutcome& outcome, const NormalSums& last_pass,
                          const pybind11::array_t<double>& covariance,
                          const std::vector<arma::mat>& meats = {},
                          const std::vector<arma::uword>& hat_one_rows = {});
