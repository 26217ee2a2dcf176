// What quorvi._native.fit is asked for beside the data, as the public
// package's fit resolves it once: the loop's options, the covariance's
// robust sums, and the absorbed columns. Each is a value of its own
// (quorvi._native.FitOptions, Covariance, Absorbed), so that the entry
// takes the fit as a few values, not one argument per setting.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "links.hpp"
#include "robust_sums.hpp"

struct FitOptions {
  bool fit_intercept = true;
  double tol = 1e-8;
  std::int32_t max_iter = 100;
  int n_threads = 1;
  // 1/C, 0 for none: a ridge penalty on every coefficient but the intercept.
  double penalty = 0.0;
  LinkKind link = LinkKind::logit;
};

// The robust sums of robust_input.hpp's meat_settings_of: the kind, the
// hat values' power and HC4's n, the clusterings as (int64 codes, number
// of groups), and whether the one clustering is the absorbed levels.
struct CovarianceRequest {
  MeatKind meat = MeatKind::none;
  double hat_power = 1.0;
  double hat_rows = 0.0;
  pybind11::list clusters;
  bool clusters_are_levels = false;
};

// The absorbed columns: the first's codes of n_levels levels (absorbed by
// elimination), the levels kept (bool, one per level; the others' rows
// left out), and the further columns' codes and level counts (solved for
// each update). The arrays are read in place while the fit runs.
struct AbsorbedRequest {
  pybind11::array codes;
  std::int64_t n_levels = 0;
  std::optional<pybind11::array> kept_levels;
  pybind11::list further_codes;
  std::vector<std::int64_t> further_levels;
};
