#include "fit_result.hpp"

#include <limits>

#include "robust_input.hpp"

namespace py = pybind11;

py::array_t<double> to_numpy(const arma::vec& values) {
  return py::array_t<double>(static_cast<py::ssize_t>(values.n_elem), values.memptr());
}

namespace {

py::array_t<double> to_numpy(const std::vector<double>& values) {
  return py::array_t<double>(static_cast<py::ssize_t>(values.size()), values.data());
}

}  // namespace

py::dict fit_result(const FitOutcome& outcome, const NormalSums& last_pass,
                    const py::array_t<double>& covariance, const std::vector<arma::mat>& meats,
                    const std::vector<arma::uword>& hat_one_rows) {
  const bool any_pass = outcome.passes > 0;
  py::list dropped;
  for (const arma::uword column : outcome.dropped) {
    dropped.append(py::int_(column));
  }
  py::dict result;
  result["coefficients"] = to_numpy(outcome.result.coefficients);
  result["iterations"] = py::int_(outcome.result.iterations);
  result["time"] = py::float_(outcome.result.time);
  result["converged"] = py::bool_(outcome.result.converged);
  result["covariance"] = covariance;
  result["deviance"] =
      py::float_(any_pass ? last_pass.statistics.deviance : std::numeric_limits<double>::quiet_NaN());
  result["boundary_rows"] = py::int_(any_pass ? last_pass.statistics.boundary_rows : 0);
  result["dropped"] = dropped;
  result["overflowed"] = rows_to_list(outcome.overflowed);
  result["singular_solves"] = py::int_(outcome.singular_solves);
  result["passes"] = py::int_(outcome.passes);
  result["deviances"] = to_numpy(outcome.deviances);
  result["changes"] = to_numpy(outcome.changes);
  result["halvings"] = py::int_(outcome.halvings);
  result["last_pass_coefficients"] = to_numpy(
      any_pass ? outcome.last_pass_beta : arma::vec(outcome.result.coefficients.n_elem, arma::fill::zeros));
  result["meats"] = matrices_to_numpy(meats);
  result["hat_one_rows"] = rows_to_list(hat_one_rows);
  const MarginSums& margins = last_pass.margins;
  if (outcome.result.iterations > 0 && !margins.curvature.is_empty()) {
    // [sum of s, sum of s h', sum of s h'' x (one per coefficient)].
    arma::vec margin_sums(2 + margins.curvature.n_elem);
    margin_sums[0] = margins.weight;
    margin_sums[1] = margins.slope;
    margin_sums.tail(margins.curvature.n_elem) = margins.curvature;
    result["margin_sums"] = to_numpy(margin_sums);
  }
  return result;
}
