#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>

// irls(X, y, tol, max_iter): views or copies the arrays as the engine's
// column-major matrix and vector, runs one fit and returns its result as a
// new dict with "coefficients", "iterations", "time" and "converged".
pybind11::dict irls_entry(pybind11::array_t<double> X, pybind11::array_t<double> y, double tol,
                          std::int32_t max_iter);
