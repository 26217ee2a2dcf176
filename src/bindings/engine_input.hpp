// The engine's input from NumPy arrays, as both extension modules build it:
// the one place that decides what the engine reads in place.
//
// X is read in place in C or F order at any alignment: the kernel reads it
// only through memcpy loads while it copies a block of rows, and a chunk of
// a Dask array that arrived over the network often lies at an odd address.
// The vectors (y, weights) must be contiguous and aligned: the per-row loops
// read them directly, and they are cheap to copy when they are not.
#pragma once

#include <pybind11/numpy.h>

#include <optional>

#include "normal_equations.hpp"

// True when the array's elements are float64.
bool is_float64(const pybind11::array& array);

// True when X (2-D float64) or a vector (1-D float64) can be read in place.
bool is_readable_design(const pybind11::array& X);
bool is_readable_vector(const pybind11::array& vector);

// X, after a column of ones when intercept. ValueError unless readable.
Design design_of(const pybind11::array& X, bool intercept);

// A readable vector's memory; ValueError (naming it) otherwise.
const double* vector_memory(const pybind11::array& vector, const char* name);

// What the engine reads of one fit's arrays. y's length is recorded, not
// checked: the fit checks it (or a caller that wants another error first).
LogisticData logistic_data_of(const pybind11::array& X, const pybind11::array& y,
                              const std::optional<pybind11::array>& sample_weight, bool intercept);
