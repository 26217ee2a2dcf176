// The sums over rows behind the average marginal effects of the numeric
// columns and their delta-method covariance: the effect of column j is
// beta_j slope / weight, its gradient in beta_k is delta_jk slope / weight +
// beta_j curvature_k / weight. h is the link's mean (links.hpp), eta the
// row's full linear predictor (with its offset). Formed in a fit's last
// pass (FitPlan::margins), so that no copy of X has to be kept for them.
#pragma once

#include <armadillo>

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
