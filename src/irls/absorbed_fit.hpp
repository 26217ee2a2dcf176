// The fit with one absorbed fixed effect (absorbed_levels.hpp): the model
// with one dummy per level beside X's q columns, fitted without the dummies'
// columns, the levels eliminated from each update (level_elimination.hpp).
//
// What the fit reports of the coefficients is exactly the full model's: the
// covariance from the Schur complement, and, with the dense columns' level
// means m subtracted from each row (x - m[level]), the sandwich of the rows,
// which is the coefficients' block of the full sandwich (the robust sums'
// pass does so).
#pragma once

#include <armadillo>
#include <cstdint>
#include <vector>

#include "further_levels.hpp"
#include "in_memory_passes.hpp"

struct AbsorbedFit {
  InMemoryFit fit;            // X's coefficients; last_pass.A is the Schur complement of the last pass
  arma::vec effects;          // the levels' effects at the final coefficients
  arma::vec level_weights;    // D of the last pass: sum of s w over each level's rows
  arma::vec further_effects;  // the further columns' (stacked), at the final coefficients
  std::int32_t unconverged_solves = 0;  // updates whose further levels' solve missed its tolerance
};

// The fit of data (score_response set) with the levels of codes (n_rows,
// each in [0, n_levels)) absorbed, its passes on `workers` threads (at most
// two: halved_pass.hpp; the same bits for any number). Robust sums come from
// one more pass at the last pass's coefficients, with the rows' level
// means subtracted (and, for hat values, each level's
// leverage 1/D added to its rows'); they need a design of copied blocks
// only (std::invalid_argument otherwise). Clusters that are the levels
// (MeatSettings::clusters_are_levels) take their scores from the level
// sums of the pass predicted to be the loop's last instead, and from one
// more pass of the level sums only when that prediction failed.
// kept_levels (n_levels flags, or nullptr) leaves out the rows of the
// levels flagged 0, as weights of 0 would (AbsorbedLevels::kept).
// further: more absorbed columns, solved for each update after these
// levels (further_solve.hpp); they need a design of copied blocks and no
// robust sums (std::invalid_argument otherwise), and each update's report
// carries the solve's iterations.
// With margins, fit.last_pass.margins holds the margin sums of the loop's
// last pass (FitPlan::margins) over the rows of kept levels, each row's
// predictor with its level effects, at the last pass's coefficients and
// effects; their slope carried to the final effects to first order by the
// sums' gradient in the effects (carry_to_effects, margin_sums.hpp), as
// the caller carries it to the final coefficients by their curvature.
AbsorbedFit fit_absorbed(const LogisticData& data, AbsorbedCodes codes, arma::uword n_levels,
                         const FitSettings& settings, unsigned workers, const IterationObserver& observer,
                         const MeatSettings& meat = MeatSettings(), const std::uint8_t* kept_levels = nullptr,
                         const std::vector<FurtherColumn>& further = {}, bool margins = false);
