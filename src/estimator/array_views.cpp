#include "array_views.hpp"

#include <string>

namespace py = pybind11;

bool is_float64(const py::array& array) { return array.dtype().equal(py::dtype::of<double>()); }

namespace {

bool has_flags(const py::array& array, int flags) { return (array.flags() & flags) == flags; }

constexpr int aligned_flag = py::detail::npy_api::NPY_ARRAY_ALIGNED_;

}  // namespace

DesignView design_view_of(const py::array& X) {
  // Alignment is not required: the engine copies X block by block with
  // unaligned reads, and a chunk of a Dask array that came over the network
  // is often a view at any byte offset into the received buffer.
  if (!is_float64(X) || X.ndim() != 2) {
    throw py::value_error("X must be a 2-D float64 array");
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

LogisticData logistic_data_of(const py::array& X, const py::array& y,
                              const std::optional<py::array>& sample_weight, bool fit_intercept) {
  const DesignView design = design_view_of(X);
  const py::ssize_t n = X.shape(0);
  return LogisticData{
      design,
      vector_memory(y, n, "y"),
      sample_weight ? vector_memory(*sample_weight, n, "sample_weight") : nullptr,
      fit_intercept,
  };
}

py::array_t<double> to_numpy(const arma::vec& values) {
  return py::array_t<double>(static_cast<py::ssize_t>(values.n_elem), values.memptr());
}
