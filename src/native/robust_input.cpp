#include "robust_input.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>

#include "engine_input.hpp"

namespace py = pybind11;

MeatKind checked_meat(MeatKind meat) {
  if (meat != MeatKind::none && meat != MeatKind::residual && meat != MeatKind::hat_adjusted &&
      meat != MeatKind::cluster) {
    throw py::value_error("meat must be Meat.none, Meat.residual, Meat.hat_adjusted or Meat.cluster");
  }
  return meat;
}

MeatSettings meat_settings_of(MeatKind meat, double hat_power, double hat_rows, const py::list& clusters,
                              py::ssize_t n_rows, bool clusters_are_levels, bool levels_absorbed) {
  MeatSettings settings;
  if (clusters_are_levels) {
    if (meat != MeatKind::cluster || !levels_absorbed) {
      throw py::value_error("clusters_are_levels needs meat=Meat.cluster and absorbed levels (absorb=)");
    }
    settings.kind = MeatKind::cluster;
    settings.clusters_are_levels = true;
    if (!clusters.empty()) {
      throw py::value_error("cluster sums by the absorbed levels take no clusters of their own");
    }
    return settings;
  }
  settings.kind = checked_meat(meat);
  settings.hat_power = hat_power;
  if (!(hat_rows >= 0.0) || std::isinf(hat_rows)) {
    throw py::value_error("hat_rows must be a finite number of 0 or more");
  }
  settings.hat_rows = hat_rows;
  if (settings.kind == MeatKind::cluster && clusters.empty()) {
    throw py::value_error("cluster sums need at least one clustering");
  }
  for (const py::handle item : clusters) {
    const auto pair = item.cast<py::tuple>();
    const auto codes = pair[0].cast<py::array>();
    const auto n_groups = pair[1].cast<std::int64_t>();
    if (!codes.dtype().equal(py::dtype::of<std::int64_t>()) || codes.ndim() != 1 ||
        (codes.flags() & py::array::c_style) == 0 || codes.shape(0) != n_rows || n_groups < 1) {
      throw py::value_error("cluster codes must be 1-D contiguous int64 arrays of X's row count");
    }
    const auto* values = static_cast<const std::int64_t*>(codes.data());
    // A code out of range would add a row's scores outside the group sums.
    if (std::any_of(values, values + n_rows,
                    [n_groups](std::int64_t code) { return code < 0 || code >= n_groups; })) {
      throw py::value_error("cluster codes must lie in [0, n_groups)");
    }
    settings.clusters.push_back(ClusterCodes{values, static_cast<arma::uword>(n_groups)});
  }
  return settings;
}

const double* offset_of(const std::optional<py::array>& offset, py::ssize_t n_rows) {
  if (!offset) {
    return nullptr;
  }
  if (offset->ndim() != 1 || offset->shape(0) != n_rows) {
    throw py::value_error("offset must have one value per row of X");
  }
  return vector_memory(*offset, "offset");
}

py::list rows_to_list(const std::vector<arma::uword>& rows) {
  py::list list;
  for (const arma::uword row : rows) {
    list.append(py::int_(row));
  }
  return list;
}
