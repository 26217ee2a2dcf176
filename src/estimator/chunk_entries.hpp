#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <optional>

// The steps of a fit whose rows are spread over the chunks of a distributed
// array: each chunk's normal equations, summed where the chunk lives, then
// the update and, at the end, the covariance, where the sums are gathered.

// normal_equations(X, y, sample_weight, beta, fit_intercept, with_statistics)
// -> {"A": (q, q), "b": (q,), "deviance": float, "boundary_rows": int}: the
// sums over X's rows at beta, with X, y and sample_weight laid out as for fit
// and beta of q = p (+1 with the intercept) elements. deviance and
// boundary_rows are 0 unless with_statistics. The interpreter lock is
// released while it sums, and the BLAS runs single-threaded.
pybind11::dict normal_equations_entry(const pybind11::array& X, const pybind11::array& y,
                                      const std::optional<pybind11::array>& sample_weight,
                                      const pybind11::array& beta, bool fit_intercept, bool with_statistics);

// irls_update(A, b, beta, tol) -> (coefficients, changed, max_change): the
// update the in-memory fit makes from the same sums, solved on copies with
// the interpreter lock released.
pybind11::tuple irls_update_entry(const pybind11::array& A, const pybind11::array& b,
                                  const pybind11::array& beta, double tol);

// covariance(fisher_information) -> (q, q): its inverse, or pseudo-inverse
// when singular; NaN when it is not finite.
pybind11::array_t<double> covariance_entry(const pybind11::array& fisher_information);
