#pragma once

#include <pybind11/functional.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "fit_request.hpp"
#include "fit_result.hpp"
#include "links.hpp"
#include "robust_sums.hpp"

// Both fits run the engine's one loop with the interpreter lock released,
// and return the result of fit_result. Their settings are the estimator's:
// singular systems solved quietly and counted, dependent columns dropped at
// the first update, the deviance and boundary rows summed in every pass.
// progress, when given, is called as progress(iteration, deviance,
// max_change, seconds, inner_iterations) after every update (the last 0
// but for a fit with further absorbed columns). Both halve a step that makes the
// penalised deviance worse; penalty (1/C, 0 for none) is a ridge penalty on
// every coefficient but the intercept, and no column is dropped with one.
// offset (1-D float64 of X's rows) is added to every row's linear
// predictor. The covariance's request (meat, hat_power, hat_rows, clusters)
// asks for the robust sums of robust_input.hpp at the coefficients of the
// last pass; the result's robust holds them (meats, one per clustering, and
// hat_one_rows, the rows whose hat value is 1), and last_pass_coefficients
// those coefficients.

// fit(X, y, sample_weight, *, options, covariance, absorbed, offset,
// progress): the fit of an X in memory, read in place on options.n_threads
// workers (fit_request.hpp has the three requests). X a 2-D float64 array
// in C or F order (at any alignment), or a list of blocks of several column
// kinds (src/bindings/design_blocks.hpp); y and the optional sample_weight
// 1-D float64 contiguous arrays of X's row count; options.link the mean's
// function of eta (links.hpp, quorvi._native.Link). Raises ValueError for
// any other layout and for n_threads < 1. With absorbed, its first column's
// levels are eliminated on one thread (the result's absorbed then holds
// their effects and weights), covariance.clusters_are_levels asks for cluster
// sums whose clusters are those levels, and its further columns are solved
// for each update (src/irls/further_solve.hpp).
NativeFitResult fit_entry(const pybind11::object& X, const pybind11::array& y,
                          const std::optional<pybind11::array>& sample_weight, const FitOptions& options,
                          const CovarianceRequest& covariance, const std::optional<AbsorbedRequest>& absorbed,
                          const std::optional<pybind11::array>& offset,
                          const std::optional<pybind11::function>& progress);

// fit_chunked(passes, *, n_coefficients, tol, max_iter, progress, ...): the
// fit of rows held elsewhere (the chunks of a Dask array), by the engine's
// fit plan (fit_plan.hpp). passes(beta, with_statistics, with_meat) is
// called once per update, with the lock held, and returns the sums over all
// rows at beta as normal_equations() returns them for one chunk (with
// "groups" as (labels, (n_groups, q) scores) per clustering);
// passes.robust_pass(beta, inverse_information) the robust sums alone after
// the loop, and passes.null_model(beta, with_statistics) the intercept-only
// model's normal equations, when the plan asks for them. With margins, the
// result has the margin sums of the loop's last pass, as fit's: the plan
// calls passes.form_margins() when the passes from the next one on are to
// hold "margin_sums", and passes.margin_pass(beta) for a pass of its own.
NativeFitResult fit_chunked_entry(const pybind11::object& passes, std::int64_t n_coefficients, double tol,
                                  std::int32_t max_iter, const std::optional<pybind11::function>& progress,
                                  double penalty, bool fit_intercept, MeatKind meat, bool offset,
                                  bool margins);

// normal_equations(X, y, sample_weight, beta, *, fit_intercept, with_statistics, ...)
// -> {"A": (q, q), "b": (q,), "deviance": float, "boundary_rows": int}: the
// sums over X's rows at beta (one chunk of a distributed fit), with X, y and
// sample_weight laid out as for fit and beta of q = p (+1 with the
// intercept) elements, at any stride and alignment. deviance and
// boundary_rows are 0 unless with_statistics. The lock is released while it
// sums, and the BLAS runs single-threaded. With covariance's meat
// (robust_input.hpp; its clusterings coded by the chunk) the result also
// holds "meat" (residual, hat_adjusted) or "groups" (cluster: one
// (n_groups, q) array per clustering, by the chunk's own codes) and
// "hat_one_rows"; hat_adjusted needs inverse_information, and forms the
// robust sums alone (A and b are zeros: the caller has them at beta).
// With levels (the chunk's absorbed levels: absorbed_input.hpp's
// chunk_levels_of), the rows' levels are in their linear predictor and the
// result also holds the levels' sums "level_weights", "level_scores" and
// "level_cross" ((L, q)); with robust sums the levels' "level_means" (and
// for hat values "inverse_level_weights") are needed, and only the robust
// sums are formed, of the rows less their level's means. With margins,
// also "margin_sums": [sum s, sum s h'(eta), sum s h''(eta) x (q values)],
// h the link's mean; with levels, not beside robust sums, and also
// "level_margin_curvature": per level, sum s h''(eta) over its rows.
pybind11::dict normal_equations_entry(const pybind11::object& X, const pybind11::array& y,
                                      const std::optional<pybind11::array>& sample_weight,
                                      const pybind11::array& beta, bool fit_intercept, bool with_statistics,
                                      const std::optional<pybind11::array>& offset,
                                      const CovarianceRequest& covariance,
                                      const std::optional<pybind11::array>& inverse_information,
                                      LinkKind link, const std::optional<pybind11::dict>& levels,
                                      bool margins);

// fit_chunked_absorbed(passes, *, n_coefficients, n_levels, tol, max_iter,
// progress, offset, meat): the fit of rows held elsewhere with one absorbed
// fixed effect of n_levels levels (src/irls/chunked_absorbed_fit.hpp) by
// the fit plan, unpenalised. passes(beta, with_statistics, False, effects)
// returns the sums over all rows at beta with the levels at effects, as
// normal_equations(..., levels={"codes": ..., "n_levels": L, "effects":
// effects}) returns them for one chunk; passes.robust_pass(beta,
// inverse_information, effects=, level_means=, inverse_level_weights=) the
// robust sums of meat alone; with offset, passes.null_model(beta,
// with_statistics) the null model's normal equations. The result is fit's
// with absorbed's fixed_effects and level_weights. With margins, the result has the
// margin sums of the loop's last pass as fit's with absorbed levels: the
// plan calls passes.form_margins() when the passes from the next one on are
// to hold "margin_sums" and "level_margin_curvature", and
// passes.margin_pass(beta, effects=) for a pass of its own.
NativeFitResult fit_chunked_absorbed_entry(const pybind11::object& passes, std::int64_t n_coefficients,
                                           std::int64_t n_levels, double tol, std::int32_t max_iter,
                                           const std::optional<pybind11::function>& progress, bool offset,
                                           MeatKind meat, bool margins);

int blas_threads_entry();
