#include "absorbed_input.hpp"

#include <limits>
#include <string>

#include "absorbed_levels.hpp"

namespace py = pybind11;

AbsorbedInput absorbed_input_of(const py::array& codes, std::int64_t n_levels, py::ssize_t n_rows) {
  constexpr int aligned = py::detail::npy_api::NPY_ARRAY_ALIGNED_;
  constexpr int readable = static_cast<int>(py::array::c_style) | aligned;
  if (codes.ndim() != 1 || !codes.dtype().equal(py::dtype::of<std::int32_t>()) ||
      (codes.flags() & readable) != readable) {
    throw py::value_error("the absorbed codes must be a 1-D, contiguous, aligned int32 array");
  }
  if (codes.shape(0) != n_rows) {
    throw py::value_error("the absorbed codes have " + std::to_string(codes.shape(0)) + " elements; X has " +
                          std::to_string(n_rows) + " rows");
  }
  if (n_levels < 1 || n_levels > std::numeric_limits<std::int32_t>::max()) {
    throw py::value_error("an absorbed variable must have at least one level");
  }
  const auto* data = static_cast<const std::int32_t*>(codes.data());
  const auto rows = static_cast<arma::uword>(n_rows);
  const arma::uword bad = first_level_out_of_range(data, rows, static_cast<arma::uword>(n_levels));
  if (bad != rows) {
    throw py::value_error("the absorbed code at row " + std::to_string(bad) + " is not in [0, " +
                          std::to_string(n_levels) + ")");
  }
  return AbsorbedInput{data, static_cast<arma::uword>(n_levels)};
}
