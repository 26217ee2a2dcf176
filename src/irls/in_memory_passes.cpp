#include "in_memory_passes.hpp"

#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <variant>

#include "blas_threads.hpp"
#include "fit_plan.hpp"

namespace {

// y - mu is the first operation that involves y, and it is where a length
// mismatch is reported, in Armadillo's words for that subtraction.
void check_response_length(const LogisticData& data) {
  if (data.n_responses != data.X.n_rows) {
    throw std::logic_error(
        "subtraction: incompatible matrix dimensions: " + std::to_string(data.n_responses) + "x1 and " +
        std::to_string(data.X.n_rows) + "x1");
  }
}

// The in-memory back end's pass for the robust sums alone at beta, on the
// loop's workspace. The normal equations at these coefficients are the last
// pass's: kept, and not formed again.
void robust_pass(const LogisticData& data, PassWorkspace& workspace, const arma::vec& beta,
                 const arma::mat* inverse_information) {
  if (inverse_information != nullptr) {
    set_hat_values(workspace.meat, *inverse_information);
  }
  PassRequest request;
  request.normal_equations = false;
  request.robust = true;
  form_pass(data, beta, request, workspace);
  workspace.meat.inverse_information = nullptr;
}

// The intercept-only model's passes over data's rows (one column: one
// worker), with a workspace of its own made at the first.
class NullModelPasses {
 public:
  explicit NullModelPasses(const LogisticData& data) : data_(intercept_only(data)) {}

  const NormalSums& operator()(const arma::vec& beta, bool with_statistics, bool /*with_meat*/) {
    if (!workspace_) {
      workspace_.emplace(make_pass_workspace(data_, 1));
    }
    return form_pass(data_, beta, loop_pass(with_statistics, false), *workspace_);
  }

 private:
  LogisticData data_;
  std::optional<PassWorkspace> workspace_;
};

bool has_intercept(const Design& design) {
  return !design.blocks.empty() && std::holds_alternative<OnesBlock>(design.blocks.front());
}

}  // namespace

InMemoryFit fit_in_memory(const LogisticData& data, const FitSettings& settings, unsigned workers,
                          const IterationObserver& observer, const MeatSettings& meat, bool margins) {
  const arma::uword q = coefficient_count(data);
  const FitPlan plan{settings, meat.kind, data.offset != nullptr && has_intercept(data.X), margins};
  if (settings.max_iter <= 0) {
    // Returned before any working memory is allocated (A alone is q x q),
    // so a wide X still gets its zeros.
    return InMemoryFit{run_fit_plan(q, FitPasses(), plan, observer).outcome, NormalSums(), {}, {}};
  }
  check_response_length(data);
  // Everything the loop uses is allocated before the clock starts.
  PassWorkspace workspace = make_pass_workspace(data, workers);
  set_meat(workspace, q, meat);
  // Held for the whole loop, solves included, not pass by pass: OpenBLAS's
  // idle threads spin for a while after each threaded call, and on a
  // machine with as many cores as workers they would take the workers' time.
  std::optional<SingleThreadedBlas> single_threaded;
  if (workspace.partition.single_threaded_blas) {
    single_threaded.emplace();
  }
  NullModelPasses null_passes(data);
  // The plan switches the margin sums on between updates, never during a pass.
  bool with_margins = false;
  FitPasses passes;
  passes.normal_equations = [&data, &workspace, &with_margins](const arma::vec& beta, bool with_statistics,
                                                               bool with_meat) -> const NormalSums& {
    PassRequest request = loop_pass(with_statistics, with_meat);
    request.margins = with_margins;
    return form_pass(data, beta, request, workspace);
  };
  passes.robust_pass = [&data, &workspace](const arma::vec& beta, const arma::mat* inverse_information) {
    robust_pass(data, workspace, beta, inverse_information);
  };
  passes.robust_sums = [&workspace] { return std::move(workspace.robust_total); };
  passes.null_normal_equations = std::ref(null_passes);
  passes.form_margins = [&with_margins] { with_margins = true; };
  // On the caller's thread, with a workspace of its own: the margin sums
  // alone (the normal equations are the last pass's, and are not formed
  // again, nor counted in the passes).
  passes.margin_pass = [&data](const arma::vec& beta) {
    const SingleThreadedBlas single_threaded;
    PassWorkspace margin_workspace = make_pass_workspace(data, 1);
    PassRequest request;
    request.normal_equations = false;
    request.margins = true;
    return form_pass(data, beta, request, margin_workspace).margins;
  };
  PlannedFit planned = run_fit_plan(q, passes, plan, observer);
  InMemoryFit fit{
      std::move(planned.outcome),      NormalSums(),          std::move(planned.meats),
      std::move(planned.hat_one_rows), planned.null_deviance,
  };
  // The last pass's sums are the workspace's own, and it ends here: moved.
  fit.last_pass = std::move(workspace.total);
  fit.last_pass.margins = std::move(planned.margins);
  return fit;
}

NormalEquationsSource null_model_passes_in_memory(const LogisticData& data) {
  // The source is copied with the plan's passes; its workspace is shared.
  auto passes = std::make_shared<NullModelPasses>(data);
  return [passes](const arma::vec& beta, bool with_statistics, bool with_meat) -> const NormalSums& {
    return (*passes)(beta, with_statistics, with_meat);
  };
}

double null_deviance_in_memory(const LogisticData& data, const FitSettings& settings) {
  NullModelPasses null_passes(data);
  return null_model_deviance(std::ref(null_passes), settings);
}

NormalSums sum_normal_equations(const LogisticData& data, const arma::vec& beta, bool with_statistics) {
  // The caller runs many of these at once on threads of its own (a Dask
  // worker's), so the BLAS stays single-threaded inside each.
  const SingleThreadedBlas single_threaded;
  PassWorkspace workspace = make_pass_workspace(data, 1);
  form_pass(data, beta, loop_pass(with_statistics, false), workspace);
  return std::move(workspace.total);
}

NormalSums sum_pass(const LogisticData& data, const arma::vec& beta, const PassRequest& request,
                    const MeatSettings& meat, RobustSums& robust) {
  const SingleThreadedBlas single_threaded;
  PassWorkspace workspace = make_pass_workspace(data, 1);
  set_meat(workspace, coefficient_count(data), meat);
  form_pass(data, beta, request, workspace);
  robust = std::move(workspace.robust_total);
  return std::move(workspace.total);
}
