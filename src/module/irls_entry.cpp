#include "irls_entry.hpp"

#include <cstdint>
#include <stdexcept>

#include "engine_input.hpp"
#include "fit_irls.hpp"

namespace py = pybind11;

namespace {

// NumPy makes these copies only of arrays the engine cannot read in place
// (a strided or reversed view; a misaligned vector); the copy is a fresh,
// aligned, C-ordered float64 array that lives until the call returns.
// (pybind11 names NumPy's "aligned" requirement but offers no enum for it.)
constexpr int numpy_aligned = py::detail::npy_api::NPY_ARRAY_ALIGNED_;
using ContiguousArray = py::array_t<double, py::array::c_style | py::array::forcecast | numpy_aligned>;

py::array readable_design(const py::array& X) { return is_readable_design(X) ? X : ContiguousArray(X); }

py::array readable_vector(const py::array& vector) {
  return is_readable_vector(vector) ? vector : ContiguousArray(vector);
}

}  // namespace

py::dict irls_entry(py::array_t<double> X, py::array_t<double> y, double tol, std::int32_t max_iter) {
  if (X.ndim() != 2 || y.ndim() != 1) {
    throw std::runtime_error("Invalid input dimensions");
  }
  const py::array X_read = readable_design(X);
  const py::array y_read = readable_vector(y);
  const FitResult fit = fit_irls(logistic_data_of(X_read, y_read, std::nullopt, false), tol, max_iter);

  py::dict result;
  // A new array that owns a copy of the values, not a view of native memory.
  result["coefficients"] =
      py::array_t<double>(static_cast<py::ssize_t>(fit.coefficients.n_elem), fit.coefficients.memptr());
  result["iterations"] = py::int_(fit.iterations);
  result["time"] = py::float_(fit.time);
  result["converged"] = py::bool_(fit.converged);
  return result;
}
