// The robust-covariance arguments of quorvi._native's entries, from Python
// objects: which sums to form and the cluster codes they group rows by.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <vector>

#include "robust_sums.hpp"

// meat, when it is one of MeatKind's values (quorvi._native.Meat can be
// made from any integer); ValueError else.
MeatKind checked_meat(MeatKind meat);

// meat: the kind of sums (quorvi._native.Meat), hat_power and hat_rows
// those of MeatSettings (hat_rows 0 or more); clusters: a list of
// (codes, n_groups), codes 1-D contiguous int64 of n_rows values in
// [0, n_groups). The codes are read in place: the arrays must outlive the
// settings. With absorbed levels (levels_absorbed), clusters_are_levels
// asks for cluster sums whose one-way clusters are the levels, with no
// clusters of their own. ValueError for anything else.
MeatSettings meat_settings_of(MeatKind meat, double hat_power, double hat_rows,
                              const pybind11::list& clusters, pybind11::ssize_t n_rows,
                              bool clusters_are_levels = false, bool levels_absorbed = false);

// An optional offset: 1-D contiguous float64 of n_rows values, or nullptr.
const double* offset_of(const std::optional<pybind11::array>& offset, pybind11::ssize_t n_rows);

// Increasing row indices as a Python list of ints.
pybind11::list rows_to_list(const std::vector<arma::uword>& rows);
