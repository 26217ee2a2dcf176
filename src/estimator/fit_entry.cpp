#include "fit_entry.hpp"

#include <armadillo>

#include "array_views.hpp"
#include "blas_threads.hpp"
#include "covariance.hpp"
#include "fit_irls.hpp"

namespace py = pybind11;

py::dict fit_entry(const py::array& X, const py::array& y, const std::optional<py::array>& sample_weight,
                   bool fit_intercept, double tol, std::int32_t max_iter, int n_threads,
                   const std::optional<py::function>& progress) {
  if (n_threads < 1) {
    throw py::value_error("n_threads must be at least 1");
  }
  const LogisticData data = logistic_data_of(X, y, sample_weight, fit_intercept);
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
