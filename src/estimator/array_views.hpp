// The engine's views of the NumPy arrays that quorvi's Python code hands to
// the native entries: checked for the layout the engine reads in place, never
// copied. Anything else raises ValueError.
#pragma once

#include <pybind11/numpy.h>

#include <optional>

#include "design_view.hpp"
#include "normal_equations.hpp"

// True when the array's elements are float64.
bool is_float64(const pybind11::array& array);

// X: 2-D float64, C- or F-contiguous, at any alignment.
DesignView design_view_of(const pybind11::array& X);

// A 1-D, contiguous, aligned float64 array of n elements; name is used in
// the error message.
const double* vector_memory(const pybind11::array& vector, pybind11::ssize_t n, const char* name);

// What the engine reads of one fit's arrays: X as above, y and the optional
// sample_weight as above with X's row count.
LogisticData logistic_data_of(const pybind11::array& X, const pybind11::array& y,
                              const std::optional<pybind11::array>& sample_weight, bool fit_intercept);

// A new NumPy array holding a copy of values.
pybind11::array_t<double> to_numpy(const arma::vec& values);
