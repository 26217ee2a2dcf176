#include "chunk_entries.hpp"

#include <algorithm>
#include <armadillo>
#include <cstring>
#include <string>

#include "array_views.hpp"
#include "covariance.hpp"
#include "fit_irls.hpp"
#include "irls_steps.hpp"

namespace py = pybind11;

namespace {

// One float64 element at a byte offset from an array's data, read with
// memcpy: the arrays these entries read may have come from another process
// and lie at any alignment.
double element_at(const py::array& array, py::ssize_t byte_offset) {
  double value = 0.0;
  std::memcpy(&value, static_cast<const char*>(array.data()) + byte_offset, sizeof value);
  return value;
}

// A copy of a float64 vector of q elements, whatever its strides: the arrays
// the update reads are tiny.
arma::vec vector_copy(const py::array& vector, arma::uword q, const char* name) {
  if (!is_float64(vector) || vector.ndim() != 1 || static_cast<arma::uword>(vector.shape(0)) != q) {
    throw py::value_error(std::string(name) + " must be a 1-D float64 array of " + std::to_string(q) +
                          " elements");
  }
  arma::vec copy(q);
  for (arma::uword j = 0; j < q; ++j) {
    copy[j] = element_at(vector, static_cast<py::ssize_t>(j) * vector.strides(0));
  }
  return copy;
}

// A copy of a square float64 matrix, whatever its strides and alignment.
arma::mat square_copy(const py::array& matrix, const char* name) {
  if (!is_float64(matrix) || matrix.ndim() != 2 || matrix.shape(0) != matrix.shape(1)) {
    throw py::value_error(std::string(name) + " must be a square 2-D float64 array");
  }
  const auto q = static_cast<arma::uword>(matrix.shape(0));
  arma::mat copy(q, q);
  for (arma::uword column = 0; column < q; ++column) {
    for (arma::uword row = 0; row < q; ++row) {
      copy(row, column) = element_at(matrix, static_cast<py::ssize_t>(row) * matrix.strides(0) +
                                                 static_cast<py::ssize_t>(column) * matrix.strides(1));
    }
  }
  return copy;
}

py::array_t<double> matrix_to_numpy(const arma::mat& values) {
  py::array_t<double> array(
      {static_cast<py::ssize_t>(values.n_rows), static_cast<py::ssize_t>(values.n_cols)});
  // NumPy's memory is row-major: row r is column r of the transpose.
  const arma::mat transpose = values.t();
  std::copy(transpose.begin(), transpose.end(), array.mutable_data());
  return array;
}

}  // namespace

py::dict normal_equations_entry(const py::array& X, const py::array& y,
                                const std::optional<py::array>& sample_weight, const py::array& beta,
                                bool fit_intercept, bool with_statistics) {
  const LogisticData data = logistic_data_of(X, y, sample_weight, fit_intercept);
  const arma::vec coefficients = vector_copy(beta, coefficient_count(data), "beta");
  NormalSums sums;
  {
    // The arrays stay referenced by this call's arguments while the lock is
    // released; only native memory is touched until it is taken back.
    const py::gil_scoped_release release;
    sums = sum_normal_equations(data, coefficients, with_statistics);
  }
  py::dict result;
  result["A"] = matrix_to_numpy(sums.A);
  result["b"] = to_numpy(sums.b);
  result["deviance"] = py::float_(with_statistics ? sums.deviance : 0.0);
  result["boundary_rows"] = py::int_(with_statistics ? sums.boundary_rows : 0);
  return result;
}

py::tuple irls_update_entry(const py::array& A, const py::array& b, const py::array& beta, double tol) {
  const arma::mat normal_matrix = square_copy(A, "A");
  const arma::uword q = normal_matrix.n_rows;
  const arma::vec right_hand_side = vector_copy(b, q, "b");
  const arma::vec coefficients = vector_copy(beta, q, "beta");
  UpdateStep step{arma::vec(), false, 0.0};
  {
    // Only the copies above are read: a wide system's solve lets other
    // Python threads run.
    const py::gil_scoped_release release;
    step = irls_update(normal_matrix, right_hand_side, coefficients, tol);
  }
  return py::make_tuple(to_numpy(step.coefficients), step.changed, step.max_change);
}

py::array_t<double> covariance_entry(const py::array& fisher_information) {
  const arma::mat fisher = square_copy(fisher_information, "fisher_information");
  arma::mat covariance(fisher.n_rows, fisher.n_cols);
  {
    const py::gil_scoped_release release;
    invert_fisher_information(fisher, covariance);
  }
  return matrix_to_numpy(covariance);
}
