#include "fit_result.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace py = pybind11;

py::array_t<double> to_numpy(const arma::vec& values) {
  return py::array_t<double>(static_cast<py::ssize_t>(values.n_elem), values.memptr());
}

namespace {

py::array_t<double> to_numpy(const std::vector<double>& values) {
  return py::array_t<double>(static_cast<py::ssize_t>(values.size()), values.data());
}

// Each q x q matrix as a NumPy array.
std::vector<py::array_t<double>> matrices_to_numpy(const std::vector<arma::mat>& matrices) {
  std::vector<py::array_t<double>> arrays;
  arrays.reserve(matrices.size());
  for (const arma::mat& matrix : matrices) {
    py::array_t<double> array(
        {static_cast<py::ssize_t>(matrix.n_rows), static_cast<py::ssize_t>(matrix.n_cols)});
    const arma::mat transpose = matrix.t();  // NumPy's memory is row-major
    std::copy(transpose.begin(), transpose.end(), array.mutable_data());
    arrays.push_back(std::move(array));
  }
  return arrays;
}

}  // namespace

NativeFitResult fit_result(const FitOutcome& outcome, const NormalSums& last_pass,
                           const py::array_t<double>& covariance, double null_deviance,
                           const std::vector<arma::mat>& meats,
                           const std::vector<arma::uword>& hat_one_rows) {
  const bool any_pass = outcome.passes > 0;
  NativeFitResult result;
  result.coefficients = to_numpy(outcome.result.coefficients);
  result.iterations = outcome.result.iterations;
  result.time = outcome.result.time;
  result.converged = outcome.result.converged;
  result.covariance = covariance;
  result.deviance = any_pass ? last_pass.statistics.deviance : std::numeric_limits<double>::quiet_NaN();
  result.boundary_rows = any_pass ? static_cast<std::int64_t>(last_pass.statistics.boundary_rows) : 0;
  result.largest_predictor =
      any_pass ? last_pass.statistics.largest_predictor : std::numeric_limits<double>::quiet_NaN();
  result.dropped = outcome.dropped;
  result.overflowed = outcome.overflowed;
  result.singular_solves = outcome.singular_solves;
  result.passes = outcome.passes;
  result.deviances = to_numpy(outcome.deviances);
  result.changes = to_numpy(outcome.changes);
  result.halvings = outcome.halvings;
  result.last_pass_coefficients = to_numpy(
      any_pass ? outcome.last_pass_beta : arma::vec(outcome.result.coefficients.n_elem, arma::fill::zeros));
  // Every robust finish forms a meat (one per clustering, of at least one).
  if (!meats.empty()) {
    result.robust = NativeRobustSums{matrices_to_numpy(meats), hat_one_rows};
  }
  if (!std::isnan(null_deviance)) {
    result.null_deviance = null_deviance;
  }
  const MarginSums& margins = last_pass.margins;
  if (outcome.result.iterations > 0 && !margins.curvature.is_empty()) {
    result.margin_sums = margin_sums_to_numpy(margins);
  }
  return result;
}

NativeAbsorbedEffects absorbed_effects(const arma::vec& effects, const arma::vec& level_weights) {
  NativeAbsorbedEffects absorbed;
  absorbed.fixed_effects = to_numpy(effects);
  absorbed.level_weights = to_numpy(level_weights);
  return absorbed;
}

py::array_t<double> margin_sums_to_numpy(const MarginSums& margins) {
  arma::vec values(2 + margins.curvature.n_elem);
  values[0] = margins.weight;
  values[1] = margins.slope;
  values.tail(margins.curvature.n_elem) = margins.curvature;
  return to_numpy(values);
}
