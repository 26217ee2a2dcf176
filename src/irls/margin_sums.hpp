// The sums over rows behind the average marginal effects of the numeric
// columns and their delta-method covariance: the effect of column j is
// beta_j slope / weight, its gradient in beta_k is delta_jk slope / weight +
// beta_j curvature_k / weight. h is the link's mean (links.hpp), eta the
// row's full linear predictor (with its offset). Formed in a fit's last
// pass (FitPlan::margins), so that no copy of X has to be kept for them.
#pragma once

#include <armadillo>

#include "absorbed_levels.hpp"
#include "design.hpp"
#include "row_block.hpp"

struct MarginSums {
  double weight = 0.0;  // sum of s
  double slope = 0.0;   // sum of s h'(eta)
  arma::vec curvature;  // sum of s h''(eta) x, one per coefficient (empty until a pass forms it)
};

// Zeros of q coefficients.
void reset(MarginSums& sums, arma::uword q);
// A chunk's sums into the total's (in chunk order); a part never formed adds nothing.
void add_into(MarginSums& total, const MarginSums& part);

// The block's rows, from the s h' and s h'' the pass's weights left in
// buffer.margin_slope and margin_curvature, and the dense columns while
// they are unscaled and in cache: the sum of s h'' x of the dense columns
// by the BLAS, of the scattered ones entry by entry (in row order within
// each column, as the dense part).
void add_rows(MarginSums& sums, const Design& X, const RowBlock& block);

// Beside absorbed levels (absorbed_levels.hpp), the sum of s h''(eta) over
// each level's rows: the gradient of the slope in the levels' effects. The
// pass is at the effects the last step was solved from, and the fit's
// final effects differ from those by that step (as the coefficients do):
// with these the slope is carried to the final effects (carry_to_effects).
// L values, added by level as the level sums are: by a pass of one worker,
// or one set per half of a halved pass (halved_pass.hpp), never per chunk.
struct LevelMarginSums {
  arma::vec levels;   // per level of the absorbed column (empty until formed)
  arma::vec further;  // per level of the further columns, stacked (FurtherLevels)
};

// Zeros for the levels of levels (and its further columns).
LevelMarginSums zero_level_margin_sums(const AbsorbedLevels& levels);
void reset(LevelMarginSums& sums);
void add_into(LevelMarginSums& total, const LevelMarginSums& part);
// The block's s h'' (buffer.margin_curvature, which the pass's weights
// left there) into each row's levels, in row order.
void add_rows(LevelMarginSums& sums, const AbsorbedLevels& levels, const RowBlock& block);

// The slope of sums carried to first order from the effects the pass was
// at to effects that differ from them by level_change (and the further
// columns' by further_change): slope + by_level' change. The coefficients'
// change is carried by whoever reads the sums, as for any fit (by the
// curvature).
void carry_to_effects(MarginSums& sums, const LevelMarginSums& by_level, const arma::vec& level_change,
                      const arma::vec& further_change);
