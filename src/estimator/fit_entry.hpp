#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <optional>

// fit(X, y, sample_weight, fit_intercept, tol, max_iter, n_threads, progress):
// X a 2-D float64 array in C or F order (at any alignment), read in place;
// y and the optional sample_weight 1-D float64 contiguous arrays of X's row
// count.
// Raises ValueError for any other layout. progress, when given, is called as
// progress(iteration, deviance, max_change, seconds) after every update.
pybind11::dict fit_entry(const pybind11::array& X, const pybind11::array& y,
                         const std::optional<pybind11::array>& sample_weight, bool fit_intercept, double tol,
                         std::int32_t max_iter, int n_threads,
                         const std::optional<pybind11::function>& progress);

int blas_threads_entry();
