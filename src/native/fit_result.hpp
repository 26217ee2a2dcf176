// The one result of quorvi._native's fits (quorvi._native.FitResult,
// register_results.cpp), whichever entry made the fit, and the one place
// that builds it.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "irls_loop.hpp"

// A new NumPy array holding a copy of values.
pybind11::array_t<double> to_numpy(const arma::vec& values);

// The margin sums as the results hold them: [sum of s, sum of s h', sum of
// s h'' x (one per coefficient)].
pybind11::array_t<double> margin_sums_to_numpy(const MarginSums& margins);

// A fit's outcome as Python reads it. The arrays are made once, when the
// fit ends, so that reading an attribute copies nothing; the lists of rows
// and columns are copied out on each read, so nothing in the result can be
// changed through them.
struct NativeFitResult {
  pybind11::array_t<double> coefficients;  // q values, the intercept first
  std::int64_t iterations = 0;
  double time = 0.0;  // seconds in the loop
  bool converged = false;
  // (q, q), the inverse Fisher information at the coefficients the last
  // update started from (last_pass_coefficients), as are deviance,
  // boundary_rows and meats.
  pybind11::array_t<double> covariance;
  double deviance = 0.0;  // NaN without an update
  std::int64_t boundary_rows = 0;
  std::vector<arma::uword> dropped;     // coefficients held at 0 as linearly dependent
  std::vector<arma::uword> overflowed;  // coefficients whose row of the first system is not finite
  std::int64_t singular_solves = 0;
  std::int64_t passes = 0;  // normal equations formed: one per update and halving
  pybind11::array_t<double> deviances;
  pybind11::array_t<double> changes;
  std::int64_t halvings = 0;
  pybind11::array_t<double> last_pass_coefficients;
  std::vector<pybind11::array_t<double>> meats;  // the robust sums: one, or one per clustering
  std::vector<arma::uword> hat_one_rows;         // rows whose hat value is 1
  // The intercept-only model's deviance, where the fit plan fitted it.
  std::optional<double> null_deviance;
  // A fit in memory, or chunked with margins: the last pass's margin sums
  // (with absorbed levels, their slope carried to the final effects: absorbed_fit.hpp).
  std::optional<pybind11::array_t<double>> margin_sums;
  // A fit with absorbed levels: their effects and weights.
  std::optional<pybind11::array_t<double>> fixed_effects;
  std::optional<pybind11::array_t<double>> level_weights;
  // With further absorbed columns: their effects (stacked), and the
  // updates whose solve of them missed its tolerance.
  std::optional<pybind11::array_t<double>> further_effects;
  std::int64_t further_unconverged = 0;
};

// visit(name, member) for each field of NativeFitResult, in order: the one
// list of its attributes, from which the class's properties, its pickled
// state and replace() are made.
template <class Visit>
void for_each_field(Visit&& visit) {
  visit("coefficients", &NativeFitResult::coefficients);
  visit("iterations", &NativeFitResult::iterations);
  visit("time", &NativeFitResult::time);
  visit("converged", &NativeFitResult::converged);
  visit("covariance", &NativeFitResult::covariance);
  visit("deviance", &NativeFitResult::deviance);
  visit("boundary_rows", &NativeFitResult::boundary_rows);
  visit("dropped", &NativeFitResult::dropped);
  visit("overflowed", &NativeFitResult::overflowed);
  visit("singular_solves", &NativeFitResult::singular_solves);
  visit("passes", &NativeFitResult::passes);
  visit("deviances", &NativeFitResult::deviances);
  visit("changes", &NativeFitResult::changes);
  visit("halvings", &NativeFitResult::halvings);
  visit("last_pass_coefficients", &NativeFitResult::last_pass_coefficients);
  visit("meats", &NativeFitResult::meats);
  visit("hat_one_rows", &NativeFitResult::hat_one_rows);
  visit("null_deviance", &NativeFitResult::null_deviance);
  visit("margin_sums", &NativeFitResult::margin_sums);
  visit("fixed_effects", &NativeFitResult::fixed_effects);
  visit("level_weights", &NativeFitResult::level_weights);
  visit("further_effects", &NativeFitResult::further_effects);
  visit("further_unconverged", &NativeFitResult::further_unconverged);
}

// The result of a fit: the loop's outcome, and what the last pass summed
// (the Fisher information behind covariance, the deviance and the boundary
// rows at the coefficients the last update started from). meats and
// hat_one_rows are the robust sums at the same coefficients (empty
// without). null_deviance is NaN where the plan fitted no null model.
NativeFitResult fit_result(const FitOutcome& outcome, const NormalSums& last_pass,
                           const pybind11::array_t<double>& covariance, double null_deviance,
                           const std::vector<arma::mat>& meats = {},
                           const std::vector<arma::uword>& hat_one_rows = {});
