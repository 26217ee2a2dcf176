#include "engine_input.hpp"

#include <string>

namespace py = pybind11;

namespace {

bool has_flags(const py::array& array, int flags) { return (array.flags() & flags) == flags; }

constexpr int aligned_flag = py::detail::npy_api::NPY_ARRAY_ALIGNED_;

}  // namespace

bool is_float64(const py::array& array) { return array.dtype().equal(py::dtype::of<double>()); }

bool is_readable_design(const py::array& X) {
  return is_float64(X) && X.ndim() == 2 &&
         (has_flags(X, py::array::c_style) || has_flags(X, py::array::f_style));
}

bool is_readable_vector(const py::array& vector) {
  return is_float64(vector) && vector.ndim() == 1 && has_flags(vector, py::array::c_style | aligned_flag);
}

Design design_of(const py::array& X, bool intercept) {
  if (!is_float64(X) || X.ndim() != 2) {
    throw py::value_error("X must be a 2-D float64 array");
  }
  if (!is_readable_design(X)) {
    throw py::value_error("X must be C- or F-contiguous");
  }
  // A C-contiguous array with one column (or one row) is also F-contiguous;
  // either reading of it is the same.
  return dense_design(static_cast<const double*>(X.data()), static_cast<arma::uword>(X.shape(0)),
                      static_cast<arma::uword>(X.shape(1)), has_flags(X, py::array::c_style), intercept);
}

const double* vector_memory(const py::array& vector, const char* name) {
  if (!is_readable_vector(vector)) {
    throw py::value_error(std::string(name) + " must be a 1-D, contiguous, aligned float64 array");
  }
  return static_cast<const double*>(vector.data());
}

LogisticData logistic_data_of(const py::array& X, const py::array& y,
                              const std::optional<py::array>& sample_weight, bool intercept) {
  return LogisticData{
      design_of(X, intercept),
      vector_memory(y, "y"),
      static_cast<arma::uword>(y.shape(0)),
      sample_weight ? vector_memory(*sample_weight, "sample_weight") : nullptr,
  };
}
