#include "fit_entry.hpp"

#include <armadillo>
#include <stdexcept>
#include <string>

#include "blas_threads.hpp"
#include "covariance.hpp"
#include "fit_irls.hpp"

namespace py = pybind11;

namespace {

bool is_float64(const py::array& array) { return array.dtype().equal(py::dtype::of<double>()); }

bool has_flags(const py::array& array, int flags) { return (array.flags() & flags) == flags; }

constexpr int aligned_flag = py::detail::npy_api::NPY_ARRAY_ALIGNED_;

DesignView design_view_of(const py::array& X) {
  if (!is_float64(X) || X.ndim() != 2 || !has_flags(X, aligned_flag)) {
    throw py::value_error("X must be a 2-D, aligned float64 array");
  }
  const auto n = static_cast<arma::uword>(X.shape(0));
  const auto p = static_cast<arma::uword>(X.shape(1));
  const auto* memory = static_cast<const double*>(X.data());
  // A C-contiguous array with one column (or one row) is also F-contiguous;
  // either reading of it is the same.
  if (has_flags(X, py::array::c_style)) {
    return DesignView{memory, n, p, true};
  }
  if (has_flags(X, py::array::f_style)) {
    return DesignView{memory, n, p, false};
  }
  throw py::value_error("X must be C- or F-contiguous");
}

const double* vector_memory(const py::array& vector, py::ssize_t n, const char* name) {
  if (!is_float64(vector) || vector.ndim() != 1 || !has_flags(vector, py::array::c_style | aligned_flag)) {
    throw py::value_error(std::string(name) + " must be a 1-D, contiguous, aligned float64 array");
  }
  if (vector.shape(0) != n) {
    throw py::value_error(std::string(name) + " has " + std::to_string(vector.shape(0)) +
                          " elements; X has " + std::to_string(n) + " rows");
  }
  return static_cast<const double*>(vector.data());
}

py::array_t<double> to_numpy(const arma::vec& values) {
  return py::array_t<double>(static_cast<py::ssize_t>(values.n_elem), values.memptr());
}

}  // namespace

py::dict fit_entry(const py::array& X, const py::array& y, const std::optional<py::array>& sample_weight,
                   bool fit_intercept, double tol, std::int32_t max_iter, int n_threads,
                   const std::optional<py::function>& progress) {
  if (n_threads < 1) {
    throw py::value_error("n_threads must be at least 1");
  }
  const DesignView design = design_view_of(X);
  const py::ssize_t n = X.shape(0);
  const LogisticData data{
      design,
      vector_memory(y, n, "y"),
      sample_weight ? vector_memory(*sample_weight, n, "sample_weight") : nullptr,
      fit_intercept,
  };
  const auto workers = static_cast<unsigned>(n_threads);

  // Between updates the observer takes the interpreter lock back: to let a
  // pending KeyboardInterrupt end the fit, and to call progress.
  const IterationObserver observer = [&progress](const IterationReport& report) {
    const py::gil_scoped_acquire acquire;
    if (PyErr_CheckSignals() != 0) {
      throw py::error_already_set();
    }
    if (progress) {
      (*progress)(report.iteration, report.deviance, report.max_change, report.seconds);
    }
  };

  // The covariance is computed straight into the array returned, made while
  // the lock is held; its pages are not touched until then.
  const auto q = static_cast<py::ssize_t>(coefficient_count(data));
  py::array_t<double> covariance_array({q, q});
  arma::mat covariance = q == 0 ? arma::mat() : arma::mat(covariance_array.mutable_data(), q, q, false, true);

  FitResult fit;
  double deviance = 0.0;
  arma::uword boundary_rows = 0;
  {
    // The arrays stay referenced by this call's arguments while the lock is
    // released; only native memory is touched until it is taken back.
    const py::gil_scoped_release release;
    fit = fit_logistic(data, FitSettings{tol, max_iter, workers, progress.has_value()}, observer);
    const FitSummary summary = summarise_fit(data, fit.coefficients, workers);
    // Symmetric, so Armadillo's column-major memory is also the row-major
    // memory NumPy reads.
    invert_fisher_information(summary.fisher_information, covariance);
    deviance = summary.deviance;
    boundary_rows = summary.boundary_rows;
  }

  py::dict result;
  result["coefficients"] = to_numpy(fit.coefficients);
  result["iterations"] = py::int_(fit.iterations);
  result["time"] = py::float_(fit.time);
  result["converged"] = py::bool_(fit.converged);
  result["covariance"] = covariance_array;
  result["deviance"] = py::float_(deviance);
  result["boundary_rows"] = py::int_(boundary_rows);
  return result;
}

int blas_threads_entry() { return blas_thread_count(); }
