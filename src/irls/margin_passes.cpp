#include "margin_passes.hpp"

#include <cmath>
#include <utility>

IterationObserver observer_forming_margins(LogisticData& data, const FitSettings& settings,
                                           const IterationObserver& inner, MarginPasses& passes) {
  data.with_margin_sums = settings.max_iter <= 1;
  return [&data, &passes, &inner, tol = settings.tol,
          max_iter = settings.max_iter](const IterationReport& report) {
    passes.formed_in_last_pass = data.with_margin_sums;
    // The rule of the robust sums' prediction (fit_irls.cpp): Newton's
    // changes shrink quadratically, so after a change of c the next is of
    // order c^2. Once on, the switch stays on.
    if (report.iteration + 1 >= max_iter || report.max_change <= 10.0 * std::sqrt(tol)) {
      data.with_margin_sums = true;
    }
    if (inner) {
      inner(report);
    }
  };
}

void finish_margin_sums(LogisticData& data, const MarginPasses& passes, InMemoryFit& fit) {
  // A fit that made no update (none allowed, or a first system that
  // overflowed) has no effects to average.
  if (fit.outcome.result.iterations == 0 || passes.formed_in_last_pass) {
    return;
  }
  data.with_margin_sums = true;
  // Not counted in outcome.passes: the normal equations of this pass are
  // the last pass's again, and are not read.
  NormalSums again = sum_normal_equations(data, fit.outcome.last_pass_beta, false);
  fit.last_pass.margins = std::move(again.margins);
}
