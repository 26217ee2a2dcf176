#include "absorbed_input.hpp"

#include <limits>
#include <string>
#include <vector>

#include "absorbed_levels.hpp"

namespace py = pybind11;

namespace {

constexpr int readable =
    static_cast<int>(py::array::c_style) | static_cast<int>(py::detail::npy_api::NPY_ARRAY_ALIGNED_);

// values' memory, when it is a C-contiguous, aligned float64 array of shape.
const double* in_place(const py::array& values, const std::vector<py::ssize_t>& shape, const char* name,
                       const std::string& shape_name) {
  bool fits = values.dtype().equal(py::dtype::of<double>()) && (values.flags() & readable) == readable &&
              values.ndim() == static_cast<py::ssize_t>(shape.size());
  for (std::size_t axis = 0; fits && axis < shape.size(); ++axis) {
    fits = values.shape(static_cast<py::ssize_t>(axis)) == shape[axis];
  }
  if (!fits) {
    throw py::value_error(std::string(name) + " must be a C-contiguous, aligned float64 array of shape " +
                          shape_name);
  }
  return static_cast<const double*>(values.data());
}

}  // namespace

AbsorbedInput absorbed_input_of(const py::array& codes, std::int64_t n_levels, py::ssize_t n_rows,
                                const std::optional<py::array>& kept) {
  const bool narrow = codes.dtype().equal(py::dtype::of<std::int32_t>());
  if (codes.ndim() != 1 || !(narrow || codes.dtype().equal(py::dtype::of<std::int64_t>())) ||
      (codes.flags() & readable) != readable) {
    throw py::value_error("the absorbed codes must be a 1-D, contiguous, aligned int32 or int64 array");
  }
  if (codes.shape(0) != n_rows) {
    throw py::value_error("the absorbed codes have " + std::to_string(codes.shape(0)) + " elements; X has " +
                          std::to_string(n_rows) + " rows");
  }
  if (n_levels < 1 || n_levels > std::numeric_limits<std::int32_t>::max()) {
    throw py::value_error("an absorbed variable must have at least one level");
  }
  const AbsorbedCodes data = narrow ? AbsorbedCodes(static_cast<const std::int32_t*>(codes.data()))
                                    : AbsorbedCodes(static_cast<const std::int64_t*>(codes.data()));
  const auto rows = static_cast<arma::uword>(n_rows);
  const arma::uword bad = first_level_out_of_range(data, rows, static_cast<arma::uword>(n_levels));
  if (bad != rows) {
    throw py::value_error("the absorbed code at row " + std::to_string(bad) + " is not in [0, " +
                          std::to_string(n_levels) + ")");
  }
  AbsorbedInput input{data, static_cast<arma::uword>(n_levels)};
  if (kept) {
    // NumPy's bool is one byte of 0 or 1, read as the engine's flags.
    if (kept->ndim() != 1 || !kept->dtype().equal(py::dtype::of<bool>()) ||
        (kept->flags() & readable) != readable || kept->shape(0) != n_levels) {
      throw py::value_error("kept_levels must be a 1-D, contiguous bool array of n_levels (" +
                            std::to_string(n_levels) + ") flags");
    }
    input.kept = static_cast<const std::uint8_t*>(kept->data());
  }
  return input;
}

AbsorbedLevels chunk_levels_of(const py::dict& levels, py::ssize_t n_rows, arma::uword q) {
  for (const char* key : {"codes", "n_levels", "effects"}) {
    if (!levels.contains(key)) {
      throw py::value_error(std::string("the chunk's levels need \"") + key + "\"");
    }
  }
  const AbsorbedInput input =
      absorbed_input_of(levels["codes"].cast<py::array>(), levels["n_levels"].cast<std::int64_t>(), n_rows);
  const auto n_levels = static_cast<py::ssize_t>(input.n_levels);
  const std::string count = std::to_string(n_levels);
  // An entry given as None counts as absent.
  const auto given = [&levels](const char* key) { return levels.contains(key) && !levels[key].is_none(); };
  const double* effects =
      in_place(levels["effects"].cast<py::array>(), {n_levels}, "effects", "(" + count + ",)");
  AbsorbedLevels chunk{input.codes, input.n_levels, effects, nullptr};
  if (given("level_means")) {
    chunk.level_means =
        in_place(levels["level_means"].cast<py::array>(), {n_levels, static_cast<py::ssize_t>(q)},
                 "level_means", "(" + count + ", " + std::to_string(q) + ")");
  }
  if (given("inverse_level_weights")) {
    chunk.inverse_level_weights = in_place(levels["inverse_level_weights"].cast<py::array>(), {n_levels},
                                           "inverse_level_weights", "(" + count + ",)");
  }
  return chunk;
}
