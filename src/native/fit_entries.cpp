#include "fit_entries.hpp"

#include <algorithm>
#include <armadillo>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "absorbed_fit.hpp"
#include "absorbed_input.hpp"
#include "blas_threads.hpp"
#include "chunked_absorbed_fit.hpp"
#include "covariance.hpp"
#include "design_blocks.hpp"
#include "engine_input.hpp"
#include "fit_plan.hpp"
#include "fit_result.hpp"
#include "in_memory_passes.hpp"
#include "robust_input.hpp"

namespace py = pybind11;

namespace {

// A penalty makes every system regular: no column is dropped then (as
// scikit-learn keeps them all). The intercept, when fitted, is the one
// unpenalised coefficient.
FitSettings estimator_settings(double tol, std::int32_t max_iter, double penalty, bool fit_intercept) {
  if (!(penalty >= 0.0) || !std::isfinite(penalty)) {
    throw py::value_error("penalty must be finite and at least 0");
  }
  FitSettings settings{};
  settings.tol = tol;
  settings.max_iter = max_iter;
  settings.quiet = true;
  settings.drop_dependent = penalty == 0.0;
  settings.with_statistics = true;
  settings.penalty = penalty;
  settings.unpenalised = fit_intercept ? 1 : 0;
  settings.halve_steps = true;
  settings.report_overflow = true;
  settings.score_form = true;
  return settings;
}

// Between updates the observer takes the interpreter lock back: to let a
// pending KeyboardInterrupt end the fit, and to call progress.
IterationObserver python_observer(const std::optional<py::function>& progress) {
  return [&progress](const IterationReport& report) {
    const py::gil_scoped_acquire acquire;
    if (PyErr_CheckSignals() != 0) {
      throw py::error_already_set();
    }
    if (progress) {
      (*progress)(report.iteration, report.deviance, report.max_change, report.seconds,
                  report.inner_iterations);
    }
  };
}

void require_rows(const py::array& vector, py::ssize_t n, const char* name) {
  if (vector.shape(0) != n) {
    throw py::value_error(std::string(name) + " has " + std::to_string(vector.shape(0)) +
                          " elements; X has " + std::to_string(n) + " rows");
  }
}

// X is a NumPy array, or a list of blocks of several column kinds
// (design_blocks.hpp).
LogisticData checked_data(const py::object& X, const py::array& y,
                          const std::optional<py::array>& sample_weight, bool fit_intercept, LinkKind link) {
  LogisticData data =
      py::isinstance<py::list>(X)
          ? LogisticData{design_of_blocks(py::reinterpret_borrow<py::list>(X), fit_intercept),
                         vector_memory(y, "y"), static_cast<arma::uword>(y.shape(0)),
                         sample_weight ? vector_memory(*sample_weight, "sample_weight") : nullptr,}
          : logistic_data_of(X.cast<py::array>(), y, sample_weight, fit_intercept);
  // The estimator's updates solve for their steps (FitSettings::score_form).
  data.score_response = true;
  data.link = link;
  const auto n = static_cast<py::ssize_t>(data.X.n_rows);
  require_rows(y, n, "y");
  if (sample_weight) {
    require_rows(*sample_weight, n, "sample_weight");
  }
  return data;
}

// One float64 element at a byte offset from an array's data, read with
// memcpy: the small arrays these entries read (beta, the sums) may have come
// from another process and lie at any alignment.
double element_at(const py::array& array, py::ssize_t byte_offset) {
  double value = 0.0;
  std::memcpy(&value, static_cast<const char*>(array.data()) + byte_offset, sizeof value);
  return value;
}

// A copy of a float64 vector of q elements, whatever its strides.
arma::vec vector_copy(const py::array& vector, arma::uword q, const char* name) {
  if (!is_float64(vector) || vector.ndim() != 1 || static_cast<arma::uword>(vector.shape(0)) != q) {
    throw py::value_error(std::string(name) + " must be a 1-D float64 array of " + std::to_string(q) +
                          " elements");
  }
  arma::vec copy(q);
  for (arma::uword j = 0; j < q; ++j) {
    copy[j] = element_at(vector, static_cast<py::ssize_t>(j) * vector.strides(0));
  }
  return copy;
}

// A copy of a q x q float64 matrix, whatever its strides and alignment.
void square_copy(const py::array& matrix, arma::uword q, const char* name, arma::mat& copy) {
  if (!is_float64(matrix) || matrix.ndim() != 2 || static_cast<arma::uword>(matrix.shape(0)) != q ||
      static_cast<arma::uword>(matrix.shape(1)) != q) {
    throw py::value_error(std::string(name) + " must be a " + std::to_string(q) + " x " + std::to_string(q) +
                          " float64 array");
  }
  copy.set_size(q, q);
  for (arma::uword column = 0; column < q; ++column) {
    for (arma::uword row = 0; row < q; ++row) {
      copy(row, column) = element_at(matrix, static_cast<py::ssize_t>(row) * matrix.strides(0) +
                                                 static_cast<py::ssize_t>(column) * matrix.strides(1));
    }
  }
}

// The levels' cross block, (n_levels, q) in NumPy's rows, as the engine's
// q x n_levels, whatever its strides and alignment.
void level_cross_copy(const py::array& matrix, arma::uword q, arma::uword n_levels, arma::mat& copy,
                      const char* name = "level_cross") {
  if (!is_float64(matrix) || matrix.ndim() != 2 || static_cast<arma::uword>(matrix.shape(0)) != n_levels ||
      static_cast<arma::uword>(matrix.shape(1)) != q) {
    throw py::value_error(std::string(name) + " must be a " + std::to_string(n_levels) + " x " +
                          std::to_string(q) + " float64 array");
  }
  copy.set_size(q, n_levels);
  for (arma::uword level = 0; level < n_levels; ++level) {
    for (arma::uword j = 0; j < q; ++j) {
      copy(j, level) = element_at(matrix, static_cast<py::ssize_t>(level) * matrix.strides(0) +
                                              static_cast<py::ssize_t>(j) * matrix.strides(1));
    }
  }
}

py::array_t<double> matrix_to_numpy(const arma::mat& values) {
  py::array_t<double> array(
      {static_cast<py::ssize_t>(values.n_rows), static_cast<py::ssize_t>(values.n_cols)});
  // NumPy's memory is row-major: row r is column r of the transpose.
  const arma::mat transpose = values.t();
  std::copy(transpose.begin(), transpose.end(), array.mutable_data());
  return array;
}

// The covariance is computed straight into the array returned, made while
// the lock is held; its pages are not touched until then. It is symmetric,
// so Armadillo's column-major view of it is also the row-major array NumPy
// reads.
struct CovarianceArray {
  py::array_t<double> array;
  arma::mat view;
};

CovarianceArray covariance_array(arma::uword q) {
  const auto size = static_cast<py::ssize_t>(q);
  CovarianceArray covariance{py::array_t<double>({size, size}), arma::mat()};
  if (q > 0) {
    covariance.view = arma::mat(covariance.array.mutable_data(), q, q, false, true);
  }
  return covariance;
}

// A chunk's sums with absorbed levels: the normal equations and the levels'
// sums ("level_weights", "level_scores", "level_cross" of shape (L, q)) at
// the given effects, with margins also the margin sums and their sums by
// level ("level_margin_curvature", L); or, with robust sums and the level
// means, the robust sums alone of the rows less their level's means (the
// caller has the normal equations at beta already).
py::dict absorbed_chunk_sums(LogisticData& data, const arma::vec& beta, bool with_statistics,
                             const MeatSettings& meat, const AbsorbedLevels& levels, bool margins) {
  data.absorbed = &levels;
  const arma::uword q = beta.n_elem;
  py::dict result;
  if (meat.kind == MeatKind::none) {
    AbsorbedSums sums = zero_absorbed_sums(q, levels.n_levels);
    LevelMarginSums by_level;
    NormalSums total;
    {
      const py::gil_scoped_release release;
      total = sum_absorbed_normal_equations(data, beta, with_statistics, sums, margins ? &by_level : nullptr);
    }
    if (margins) {
      result["margin_sums"] = margin_sums_to_numpy(total.margins);
      result["level_margin_curvature"] = to_numpy(by_level.levels);
    }
    result["A"] = matrix_to_numpy(total.A);
    result["b"] = to_numpy(total.b);
    result["deviance"] = py::float_(with_statistics ? total.statistics.deviance : 0.0);
    result["boundary_rows"] = py::int_(with_statistics ? total.statistics.boundary_rows : 0);
    result["level_weights"] = to_numpy(sums.weight);
    result["level_scores"] = to_numpy(sums.score);
    // The engine's q x L block in column order is NumPy's (L, q) in row order.
    py::array_t<double> cross({static_cast<py::ssize_t>(levels.n_levels), static_cast<py::ssize_t>(q)});
    std::copy(sums.cross.begin(), sums.cross.end(), cross.mutable_data());
    result["level_cross"] = cross;
    return result;
  }
  if (margins) {
    throw py::value_error("margin sums beside absorbed levels are formed with the normal equations");
  }
  if (levels.level_means == nullptr || dense_column_count(data.X) != q ||
      (meat.kind == MeatKind::hat_adjusted && levels.inverse_level_weights == nullptr)) {
    throw py::value_error(
        "robust sums with absorbed levels are sums of dense columns, with the level means (and for hat "
        "values the levels' inverse weights)");
  }
  PassRequest robust_alone;
  robust_alone.normal_equations = false;
  robust_alone.robust = true;
  RobustSums robust;
  {
    const py::gil_scoped_release release;
    sum_pass(data, beta, robust_alone, meat, robust);
  }
  // A and b as zeros, as for the hat-adjusted sums: the keys every chunk's sums have.
  result["A"] = matrix_to_numpy(arma::mat(q, q, arma::fill::zeros));
  result["b"] = to_numpy(arma::vec(q, arma::fill::zeros));
  result["deviance"] = py::float_(0.0);
  result["boundary_rows"] = py::int_(0);
  if (meat.kind != MeatKind::cluster) {
    result["meat"] = matrix_to_numpy(robust.meat);
  } else {
    py::list groups;
    for (const arma::mat& group_sums : robust.groups) {
      groups.append(matrix_to_numpy(group_sums.t()));
    }
    result["groups"] = groups;
  }
  result["hat_one_rows"] = py::list();
  return result;
}

// The margin sums of margin_sums_to_numpy's layout, from a chunked source.
MarginSums margin_sums_of(const py::dict& part, arma::uword q) {
  const arma::vec values = vector_copy(part["margin_sums"].cast<py::array>(), q + 2, "margin_sums");
  MarginSums margins;
  margins.weight = values[0];
  margins.slope = values[1];
  margins.curvature = values.tail(q);
  return margins;
}

// A chunked source's normal equations (the dict of chunk_sums) into sums,
// with its margin sums when it has them.
void copy_normal_sums(const py::dict& part, arma::uword q, NormalSums& sums) {
  square_copy(part["A"].cast<py::array>(), q, "A", sums.A);
  sums.b = vector_copy(part["b"].cast<py::array>(), q, "b");
  sums.statistics.deviance = part["deviance"].cast<double>();
  sums.statistics.boundary_rows = part["boundary_rows"].cast<arma::uword>();
  sums.margins = part.contains("margin_sums") ? margin_sums_of(part, q) : MarginSums();
}

// A chunked source's robust sums: the meat (q, q), or per clustering its
// labels and group scores (n_groups, q), and the rows of hat value 1.
RobustSums robust_sums_of(const py::dict& part, arma::uword q) {
  RobustSums robust;
  if (part.contains("meat")) {
    square_copy(part["meat"].cast<py::array>(), q, "meat", robust.meat);
  }
  if (part.contains("groups")) {
    for (const py::handle clustering : part["groups"]) {
      const auto scores = clustering.cast<py::tuple>()[1].cast<py::array>();
      arma::mat groups;
      level_cross_copy(scores, q, static_cast<arma::uword>(scores.shape(0)), groups, "groups");
      robust.groups.push_back(std::move(groups));
    }
  }
  for (const py::handle row : part["hat_one_rows"]) {
    robust.hat_one_rows.push_back(row.cast<arma::uword>());
  }
  return robust;
}

// The intercept-only model's passes of a chunked source: its
// null_model(beta, with_statistics), copied into sums.
NormalEquationsSource null_model_passes(const py::object& passes, NormalSums& sums) {
  return [&passes, &sums](const arma::vec& beta, bool with_statistics,
                          bool /*with_meat*/) -> const NormalSums& {
    const py::gil_scoped_acquire acquire;
    copy_normal_sums(passes.attr("null_model")(to_numpy(beta), with_statistics).cast<py::dict>(), 1, sums);
    return sums;
  };
}

}  // namespace

NativeFitResult fit_entry(const py::object& X, const py::array& y,
                          const std::optional<py::array>& sample_weight, const FitOptions& options,
                          const CovarianceRequest& covariance, const std::optional<AbsorbedRequest>& absorbed,
                          const std::optional<py::array>& offset,
                          const std::optional<py::function>& progress) {
  if (options.n_threads < 1) {
    throw py::value_error("n_threads must be at least 1");
  }
  const int n_threads = options.n_threads;
  const bool fit_intercept = options.fit_intercept;
  LogisticData data = checked_data(X, y, sample_weight, fit_intercept, options.link);
  const auto n_rows = static_cast<py::ssize_t>(data.X.n_rows);
  data.offset = offset_of(offset, n_rows);
  const FitSettings settings =
      estimator_settings(options.tol, options.max_iter, options.penalty, fit_intercept);
  const MeatSettings meat_settings =
      meat_settings_of(covariance.meat, covariance.hat_power, covariance.hat_rows, covariance.clusters,
                       n_rows, covariance.clusters_are_levels, absorbed.has_value());
  const IterationObserver observer = python_observer(progress);
  CovarianceArray covariance_values = covariance_array(coefficient_count(data));
  if (absorbed) {
    const AbsorbedInput levels =
        absorbed_input_of(absorbed->codes, absorbed->n_levels, n_rows, absorbed->kept_levels);
    if (absorbed->further_codes.size() != absorbed->further_levels.size()) {
      throw py::value_error("further_codes and further_levels must have the same length");
    }
    std::vector<FurtherColumn> further;
    for (std::size_t j = 0; j < absorbed->further_levels.size(); ++j) {
      // Read in place while the lock is released: an array the list holds,
      // never one converted from another object for this call alone.
      if (!py::isinstance<py::array>(absorbed->further_codes[j])) {
        throw py::value_error("further_codes must hold int32 or int64 arrays");
      }
      const AbsorbedInput column = absorbed_input_of(absorbed->further_codes[j].cast<py::array>(),
                                                     absorbed->further_levels[j], n_rows);
      further.push_back(FurtherColumn{column.codes, column.n_levels});
    }
    AbsorbedFit fit;
    {
      const py::gil_scoped_release release;
      // With the last pass's sums of the average marginal effects, as below.
      fit = fit_absorbed(data, levels.codes, levels.n_levels, settings, static_cast<unsigned>(n_threads),
                         observer, meat_settings, levels.kept, further, true);
      // On the fitting thread alone, as the fit ran (absorbed_fit.hpp).
      const SingleThreadedBlas single_threaded;
      covariance_of_outcome(fit.fit.outcome, fit.fit.last_pass, settings, covariance_values.view);
    }
    NativeFitResult result = fit_result(fit.fit.outcome, fit.fit.last_pass, covariance_values.array,
                                        fit.fit.null_deviance, fit.fit.meats, fit.fit.hat_one_rows);
    NativeAbsorbedEffects& effects =
        result.absorbed.emplace(absorbed_effects(fit.effects, fit.level_weights));
    if (!further.empty()) {
      effects.further_effects = to_numpy(fit.further_effects);
      effects.further_unconverged = fit.unconverged_solves;
    }
    return result;
  }
  InMemoryFit fit;
  {
    // The arrays stay referenced by this call's arguments while the lock is
    // released; only native memory is touched until it is taken back.
    const py::gil_scoped_release release;
    // With the last pass's sums of the average marginal effects, for
    // marginal_effects() without X.
    fit = fit_in_memory(data, settings, static_cast<unsigned>(n_threads), observer, meat_settings, true);
    covariance_of_outcome(fit.outcome, fit.last_pass, settings, covariance_values.view);
  }
  return fit_result(fit.outcome, fit.last_pass, covariance_values.array, fit.null_deviance, fit.meats,
                    fit.hat_one_rows);
}

NativeFitResult fit_chunked_entry(const py::object& passes, std::int64_t n_coefficients, double tol,
                                  std::int32_t max_iter, const std::optional<py::function>& progress,
                                  double penalty, bool fit_intercept, MeatKind meat, bool offset,
                                  bool margins) {
  if (n_coefficients < 0) {
    throw py::value_error("n_coefficients must be at least 0");
  }
  const auto q = static_cast<arma::uword>(n_coefficients);
  FitPlan plan;
  plan.settings = estimator_settings(tol, max_iter, penalty, fit_intercept);
  plan.meat = checked_meat(meat);
  plan.null_model = offset && fit_intercept;
  plan.margins = margins;
  // The sums of the latest update, copied out of what the source returned:
  // fresh, aligned memory of the engine's own; and the robust sums of the
  // latest pass that formed them, as returned.
  NormalSums sums = zero_sums(q);
  NormalSums null_sums = zero_sums(1);
  py::object robust = py::none();
  FitPasses chunked;
  chunked.normal_equations = [&](const arma::vec& beta, bool with_statistics,
                                 bool with_meat) -> const NormalSums& {
    const py::gil_scoped_acquire acquire;
    const py::dict part = passes(to_numpy(beta), with_statistics, with_meat);
    copy_normal_sums(part, q, sums);
    if (with_meat) {
      robust = part;
    }
    return sums;
  };
  chunked.robust_pass = [&](const arma::vec& beta, const arma::mat* inverse_information) {
    const py::gil_scoped_acquire acquire;
    robust = passes.attr("robust_pass")(
        to_numpy(beta), inverse_information == nullptr ? py::object(py::none())
                                                       : py::object(matrix_to_numpy(*inverse_information)));
  };
  chunked.robust_sums = [&] {
    const py::gil_scoped_acquire acquire;
    return robust_sums_of(robust.cast<py::dict>(), q);
  };
  chunked.null_normal_equations = null_model_passes(passes, null_sums);
  chunked.form_margins = [&] {
    const py::gil_scoped_acquire acquire;
    passes.attr("form_margins")();
  };
  chunked.margin_pass = [&](const arma::vec& beta) {
    const py::gil_scoped_acquire acquire;
    return margin_sums_of(passes.attr("margin_pass")(to_numpy(beta)).cast<py::dict>(), q);
  };
  const IterationObserver observer = python_observer(progress);
  CovarianceArray covariance = covariance_array(q);
  PlannedFit fit;
  {
    // The source takes the lock back for itself; the solves run without it.
    const py::gil_scoped_release release;
    fit = run_fit_plan(q, chunked, plan, observer);
    covariance_of_outcome(fit.outcome, fit.last_pass == nullptr ? NormalSums{} : *fit.last_pass,
                          plan.settings, covariance.view);
  }
  NormalSums last_pass = fit.last_pass == nullptr ? NormalSums{} : *fit.last_pass;
  // The plan's margin sums: the last pass's, or those of a pass of their own.
  last_pass.margins = std::move(fit.margins);
  return fit_result(fit.outcome, last_pass, covariance.array, fit.null_deviance, fit.meats, fit.hat_one_rows);
}

py::dict normal_equations_entry(const py::object& X, const py::array& y,
                                const std::optional<py::array>& sample_weight, const py::array& beta,
                                bool fit_intercept, bool with_statistics,
                                const std::optional<py::array>& offset, const CovarianceRequest& covariance,
                                const std::optional<py::array>& inverse_information, LinkKind link,
                                const std::optional<py::dict>& levels, bool margins) {
  LogisticData data = checked_data(X, y, sample_weight, fit_intercept, link);
  const auto n_rows = static_cast<py::ssize_t>(data.X.n_rows);
  data.offset = offset_of(offset, n_rows);
  const arma::uword q = coefficient_count(data);
  const arma::vec coefficients = vector_copy(beta, q, "beta");
  // A chunk's clusters are its own codes, the absorbed levels' too.
  MeatSettings meat_settings = meat_settings_of(covariance.meat, covariance.hat_power, covariance.hat_rows,
                                                covariance.clusters, n_rows, covariance.clusters_are_levels);
  std::optional<AbsorbedLevels> chunk_levels;
  if (levels) {
    chunk_levels = chunk_levels_of(*levels, n_rows, q);
  }
  arma::mat bread;
  if (meat_settings.kind == MeatKind::hat_adjusted) {
    if (!inverse_information) {
      throw py::value_error("hat values need inverse_information");
    }
    square_copy(*inverse_information, q, "inverse_information", bread);
    // Each absorbed level of weight is a parameter of the hat matrix.
    arma::uword level_parameters = 0;
    if (chunk_levels && chunk_levels->inverse_level_weights != nullptr) {
      const double* inverse = chunk_levels->inverse_level_weights;
      level_parameters = static_cast<arma::uword>(
          std::count_if(inverse, inverse + chunk_levels->n_levels, [](double value) { return value > 0.0; }));
    }
    set_hat_values(meat_settings, bread, level_parameters);
  }
  if (chunk_levels) {
    return absorbed_chunk_sums(data, coefficients, with_statistics, meat_settings, *chunk_levels, margins);
  }
  NormalSums sums;
  RobustSums robust;
  {
    const py::gil_scoped_release release;
    PassRequest request = loop_pass(with_statistics, meat_settings.kind != MeatKind::none);
    // The hat values' pass comes after the loop, whose normal equations at
    // beta the caller has: they are not formed again.
    request.normal_equations = meat_settings.kind != MeatKind::hat_adjusted;
    request.margins = margins;
    sums = sum_pass(data, coefficients, request, meat_settings, robust);
  }
  py::dict result;
  result["A"] = matrix_to_numpy(sums.A);
  result["b"] = to_numpy(sums.b);
  result["deviance"] = py::float_(with_statistics ? sums.statistics.deviance : 0.0);
  result["boundary_rows"] = py::int_(with_statistics ? sums.statistics.boundary_rows : 0);
  if (meat_settings.kind == MeatKind::residual || meat_settings.kind == MeatKind::hat_adjusted) {
    result["meat"] = matrix_to_numpy(robust.meat);
  }
  if (meat_settings.kind == MeatKind::cluster) {
    // One (n_groups, q) array per clustering: row g the scores of group g.
    py::list groups;
    for (const arma::mat& group_sums : robust.groups) {
      groups.append(matrix_to_numpy(group_sums.t()));
    }
    result["groups"] = groups;
  }
  result["hat_one_rows"] = rows_to_list(robust.hat_one_rows);
  if (margins) {
    result["margin_sums"] = margin_sums_to_numpy(sums.margins);
  }
  return result;
}

int blas_threads_entry() { return blas_thread_count(); }

NativeFitResult fit_chunked_absorbed_entry(const py::object& passes, std::int64_t n_coefficients,
                                           std::int64_t n_levels, double tol, std::int32_t max_iter,
                                           const std::optional<py::function>& progress, bool offset,
                                           MeatKind meat, bool margins) {
  if (n_coefficients < 0 || n_levels < 1) {
    throw py::value_error("n_coefficients must be at least 0 and n_levels at least 1");
  }
  const auto q = static_cast<arma::uword>(n_coefficients);
  const auto levels = static_cast<arma::uword>(n_levels);
  FitPlan plan;
  // No penalty: it would shrink the levels.
  plan.settings = estimator_settings(tol, max_iter, 0.0, false);
  plan.meat = checked_meat(meat);
  plan.null_model = offset;  // the levels carry the intercept
  plan.margins = margins;
  ChunkedAbsorbedPasses chunked;
  // The margin sums by level of a source's sums, when it formed them.
  const auto copy_level_margins = [levels](const py::dict& part, LevelMarginSums& by_level) {
    if (part.contains("level_margin_curvature")) {
      by_level.levels =
          vector_copy(part["level_margin_curvature"].cast<py::array>(), levels, "level_margin_curvature");
    }
  };
  chunked.sums = [&](const arma::vec& beta, const arma::vec& effects, bool with_statistics, NormalSums& total,
                     AbsorbedSums& sums, LevelMarginSums& by_level) {
    const py::gil_scoped_acquire acquire;
    const py::dict part = passes(to_numpy(beta), with_statistics, false, to_numpy(effects));
    copy_normal_sums(part, q, total);
    sums.weight = vector_copy(part["level_weights"].cast<py::array>(), levels, "level_weights");
    sums.score = vector_copy(part["level_scores"].cast<py::array>(), levels, "level_scores");
    level_cross_copy(part["level_cross"].cast<py::array>(), q, levels, sums.cross);
    copy_level_margins(part, by_level);
  };
  chunked.form_margins = [&] {
    const py::gil_scoped_acquire acquire;
    passes.attr("form_margins")();
  };
  chunked.margin_pass = [&](const arma::vec& beta, const arma::vec& effects, LevelMarginSums& by_level) {
    const py::gil_scoped_acquire acquire;
    const py::dict part =
        passes.attr("margin_pass")(to_numpy(beta), py::arg("effects") = to_numpy(effects)).cast<py::dict>();
    copy_level_margins(part, by_level);
    return margin_sums_of(part, q);
  };
  chunked.robust = [&](const AbsorbedRobustRequest& request) {
    const py::gil_scoped_acquire acquire;
    // The engine's q x L means in column order are NumPy's (L, q) in row order.
    py::array_t<double> means({static_cast<py::ssize_t>(levels), static_cast<py::ssize_t>(q)});
    std::copy(request.level_means.begin(), request.level_means.end(), means.mutable_data());
    const py::object none = py::none();
    const py::object part = passes.attr("robust_pass")(
        to_numpy(request.beta),
        request.inverse_information == nullptr ? none
                                               : py::object(matrix_to_numpy(*request.inverse_information)),
        py::arg("effects") = to_numpy(request.effects), py::arg("level_means") = means,
        py::arg("inverse_level_weights") = request.inverse_level_weights == nullptr
                                               ? none
                                               : py::object(to_numpy(*request.inverse_level_weights)));
    return robust_sums_of(part.cast<py::dict>(), q);
  };
  NormalSums null_sums = zero_sums(1);
  chunked.null_model = null_model_passes(passes, null_sums);
  const IterationObserver observer = python_observer(progress);
  CovarianceArray covariance = covariance_array(q);
  ChunkedAbsorbedFit fit;
  {
    const py::gil_scoped_release release;
    fit = fit_absorbed_chunked(q, levels, chunked, plan, observer);
    covariance_of_outcome(fit.outcome, fit.last_pass, plan.settings, covariance.view);
  }
  NativeFitResult result = fit_result(fit.outcome, fit.last_pass, covariance.array, fit.null_deviance,
                                      fit.meats, fit.hat_one_rows);
  result.absorbed = absorbed_effects(fit.effects, fit.level_weights);
  return result;
}
