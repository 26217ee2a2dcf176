#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>

// irls(X, y, tol, max_iter): reads the arrays in place where the engine can
// (copies them once where it cannot), runs one fit on the caller's thread
// with the interpreter lock held, and returns its result as a new dict with
// "coefficients", "iterations", "time" and "converged".
pybind11::dict irls_entry(pybind11::array_t<double> X, pybind11::array_t<double> y, double tol,
                          std::int32_t max_iter);
