// The parts of quorvi._native, one concept each, that module.cpp composes.
// The types come before the functions whose defaults are of those types.
#pragma once

#include <pybind11/pybind11.h>

// Link: the binomial model's link (links.hpp).
void register_links(pybind11::module_& m);
// Meat: the robust sums a pass forms (robust_sums.hpp).
void register_meat(pybind11::module_& m);
// DenseBlock, CategoricalBlock, SparseBlock, VaryingSlopeBlock: the column
// blocks of a design (design_blocks.hpp).
void register_blocks(pybind11::module_& m);
// FitOptions, Covariance, Absorbed: what a fit is asked for (fit_request.hpp).
void register_fit_request(pybind11::module_& m);
// FitResult: what every fit returns, with its records of the robust sums
// and the absorbed levels, RobustSums and AbsorbedEffects (fit_result.hpp).
void register_results(pybind11::module_& m);
// fit, fit_chunked, fit_chunked_absorbed, normal_equations, blas_threads
// (fit_entries.hpp).
void register_fits(pybind11::module_& m);
