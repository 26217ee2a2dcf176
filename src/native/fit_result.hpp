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

// Each record below lists its fields once, in order, in its for_each_field:
// visit(name, member) for each, from which the class's properties, its
// pickled state and replace() are made (register_results.cpp).

// The robust sums of a fit (quorvi._native.RobustSums), at the coefficients
// the last update started from, as are the covariance and deviance.
struct NativeRobustSums {
  std::vector<pybind11::array_t<double>> meats;  // one, or one per clustering
  std::vector<arma::uword> hat_one_rows;         // rows whose hat value is 1

  template <class Visit>
  static void for_each_field(Visit&& visit) {
    visit("meats", &NativeRobustSums::meats);
    visit("hat_one_rows", &NativeRobustSums::hat_one_rows);
  }
};

// The absorbed levels of a fit (quorvi._native.AbsorbedEffects).
struct NativeAbsorbedEffects {
  pybind11::array_t<double> fixed_effects;  // the levels' effects at the final coefficients
  pybind11::array_t<double> level_weights;  // each level's sum of s w in the last pass
  // With further absorbed columns: their effects (stacked), and the
  // updates whose solve of them missed its tolerance.
  std::optional<pybind11::array_t<double>> further_effects;
  std::int64_t further_unconverged = 0;

  template <class Visit>
  static void for_each_field(Visit&& visit) {
    visit("fixed_effects", &NativeAbsorbedEffects::fixed_effects);
    visit("level_weights", &NativeAbsorbedEffects::level_weights);
    visit("further_effects", &NativeAbsorbedEffects::further_effects);
    visit("further_unconverged", &NativeAbsorbedEffects::further_unconverged);
  }
};

// A fit's outcome as Python reads it. The arrays are made once, when the
// fit ends, so that reading an attribute copies nothing; the lists of rows
// and columns are copied out on each read, so nothing in the result can be
// changed through them. What only some fits form is a record of its own,
// absent (None) from the others.
struct NativeFitResult {
  pybind11::array_t<double> coefficients;  // q values, the intercept first
  std::int64_t iterations = 0;
  double time = 0.0;  // seconds in the loop
  bool converged = false;
  // (q, q), the inverse Fisher information at the coefficients the last
  // update started from (last_pass_coefficients), as are deviance,
  // boundary_rows, largest_predictor and the robust sums.
  pybind11::array_t<double> covariance;
  double deviance = 0.0;  // NaN without an update
  std::int64_t boundary_rows = 0;
  double largest_predictor = 0.0;       // max |eta| of a row of positive weight; NaN without an update
  std::vector<arma::uword> dropped;     // coefficients held at 0 as linearly dependent
  std::vector<arma::uword> overflowed;  // coefficients whose row of the first system is not finite
  std::int64_t singular_solves = 0;
  std::int64_t passes = 0;  // normal equations formed: one per update and halving
  pybind11::array_t<double> deviances;
  pybind11::array_t<double> changes;
  std::int64_t halvings = 0;
  pybind11::array_t<double> last_pass_coefficients;
  // Where a covariance asked for them and the loop made a pass (none when
  // its first system overflowed).
  std::optional<NativeRobustSums> robust;
  // The intercept-only model's deviance, where the fit plan fitted it.
  std::optional<double> null_deviance;
  // A fit in memory, or chunked with margins: the last pass's margin sums
  // (with absorbed levels, their slope carried to the final effects: absorbed_fit.hpp).
  std::optional<pybind11::array_t<double>> margin_sums;
  // A fit with absorbed levels.
  std::optional<NativeAbsorbedEffects> absorbed;

  template <class Visit>
  static void for_each_field(Visit&& visit) {
    visit("coefficients", &NativeFitResult::coefficients);
    visit("iterations", &NativeFitResult::iterations);
    visit("time", &NativeFitResult::time);
    visit("converged", &NativeFitResult::converged);
    visit("covariance", &NativeFitResult::covariance);
    visit("deviance", &NativeFitResult::deviance);
    visit("boundary_rows", &NativeFitResult::boundary_rows);
    visit("largest_predictor", &NativeFitResult::largest_predictor);
    visit("dropped", &NativeFitResult::dropped);
    visit("overflowed", &NativeFitResult::overflowed);
    visit("singular_solves", &NativeFitResult::singular_solves);
    visit("passes", &NativeFitResult::passes);
    visit("deviances", &NativeFitResult::deviances);
    visit("changes", &NativeFitResult::changes);
    visit("halvings", &NativeFitResult::halvings);
    visit("last_pass_coefficients", &NativeFitResult::last_pass_coefficients);
    visit("robust", &NativeFitResult::robust);
    visit("null_deviance", &NativeFitResult::null_deviance);
    visit("margin_sums", &NativeFitResult::margin_sums);
    visit("absorbed", &NativeFitResult::absorbed);
  }
};

// The result of a fit: the loop's outcome, and what the last pass summed
// (the Fisher information behind covariance, the deviance and the boundary
// rows at the coefficients the last update started from). meats and
// hat_one_rows are the robust sums at the same coefficients: the result's
// robust where the plan formed them (meats empty where it did not).
// null_deviance is NaN where the plan fitted no null model.
NativeFitResult fit_result(const FitOutcome& outcome, const NormalSums& last_pass,
                           const pybind11::array_t<double>& covariance, double null_deviance,
                           const std::vector<arma::mat>& meats = {},
                           const std::vector<arma::uword>& hat_one_rows = {});

// The absorbed levels' record of a fit: their effects and weights, without
// further columns (the in-memory fit adds those it solved).
NativeAbsorbedEffects absorbed_effects(const arma::vec& effects, const arma::vec& level_weights);
