#include "irls_entry.hpp"

#include <armadillo>
#include <cstdint>
#include <stdexcept>

#include "fit_irls.hpp"

namespace py = pybind11;

namespace {

// NumPy's "aligned" requirement (pybind11 names the flag but offers no enum
// for it). A float64 buffer at an address that is not a multiple of 8 passes
// the argument conversion untouched, and some OpenBLAS kernels crash on it.
constexpr int numpy_aligned = py::detail::npy_api::NPY_ARRAY_ALIGNED_;

// NumPy makes the copy when an array is not already in this layout; the
// result is a fresh float64 array that the copy's owner keeps alive.
using FortranArray = py::array_t<double, py::array::f_style | py::array::forcecast | numpy_aligned>;
using ContiguousArray = py::array_t<double, py::array::c_style | py::array::forcecast | numpy_aligned>;

bool is_aligned(const py::buffer_info& view) {
  return reinterpret_cast<std::uintptr_t>(view.ptr) % alignof(double) == 0;
}

bool has_flags(const py::array& array, int flags) { return (array.flags() & flags) == flags; }

// Armadillo wants a non-const pointer; these matrices are only ever read.
// An array with no elements gets an empty matrix of Armadillo's own instead:
// NumPy flags every empty array as aligned, whatever its address, so it is
// never copied, and Armadillo still forms element references into it (for
// the rows of a p = 0 matrix, say), which at a misaligned address is
// undefined behaviour even though nothing is read.
arma::mat matrix_over(const py::buffer_info& view, arma::uword n_rows, arma::uword n_cols) {
  if (view.size == 0) {
    return arma::mat(n_rows, n_cols);
  }
  return arma::mat(static_cast<double*>(view.ptr), n_rows, n_cols, false, true);
}

arma::vec vector_over(const py::buffer_info& view) {
  if (view.size == 0) {
    return arma::vec();
  }
  return arma::vec(static_cast<double*>(view.ptr), static_cast<arma::uword>(view.shape[0]), false, true);
}

FitResult fit_y_on(const py::array_t<double>& X, const py::buffer_info& X_view, const arma::vec& y,
                   double tol, std::int32_t max_iter) {
  const auto n = static_cast<arma::uword>(X_view.shape[0]);
  const auto p = static_cast<arma::uword>(X_view.shape[1]);
  if (is_aligned(X_view) && has_flags(X, py::array::f_style)) {
    return fit_irls(matrix_over(X_view, n, p), y, tol, max_iter);
  }
  if (is_aligned(X_view) && has_flags(X, py::array::c_style)) {
    // NumPy's default row-major order, read as column-major, is the p x n
    // transpose that the engine would otherwise have to copy.
    return fit_irls_from_transpose(matrix_over(X_view, p, n), y, tol, max_iter);
  }
  // Strided, reversed or misaligned: one column-major copy by NumPy.
  const FortranArray X_copy(X);
  const py::buffer_info copy_view = X_copy.request();
  return fit_irls(matrix_over(copy_view, n, p), y, tol, max_iter);
}

}  // namespace

py::dict irls_entry(py::array_t<double> X, py::array_t<double> y, double tol, std::int32_t max_iter) {
  const py::buffer_info X_view = X.request();
  const py::buffer_info y_view = y.request();
  if (X_view.ndim != 2 || y_view.ndim != 1) {
    throw std::runtime_error("Invalid input dimensions");
  }

  FitResult fit;
  if (is_aligned(y_view) && has_flags(y, py::array::c_style)) {
    fit = fit_y_on(X, X_view, vector_over(y_view), tol, max_iter);
  } else {
    const ContiguousArray y_copy(y);
    fit = fit_y_on(X, X_view, vector_over(y_copy.request()), tol, max_iter);
  }

  py::dict result;
  // A new array that owns a copy of the values, not a view of native memory.
  result["coefficients"] =
      py::array_t<double>(static_cast<py::ssize_t>(fit.coefficients.n_elem), fit.coefficients.memptr());
  result["iterations"] = py::int_(fit.iterations);
  result["time"] = py::float_(fit.time);
  result["converged"] = py::bool_(fit.converged);
  return result;
}
