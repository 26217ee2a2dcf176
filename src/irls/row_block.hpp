// One block of rows as a pass holds it for the sums it forms (pass_sums.hpp):
// the rows' dense columns, copied one observation per column, and per row
// the link's quantities at the pass's coefficients. Each sum reads what it
// needs of it; none writes what another reads, except the normal
// equations, which scale the dense columns in place and so are added last.
#pragma once

#include <armadillo>

#include "scattered_blocks.hpp"

// Room for one block of rows: the copied block of the dense columns and
// the per-row quantities. One per thread; a sum's own buffers are made at
// the first pass that forms it (at most one pass per fit for most).
struct BlockBuffer {
  arma::mat rows;  // q_dense x block_rows: one observation per column
  arma::vec eta;   // x'beta
  // The link's mean mu, then, once the working weights are formed in its
  // place, s w z (s r in the score form): one stream of memory for both.
  arma::vec mu_then_weighted_z;
  arma::vec link_state;       // per row, what the link's mean leaves for its weights and deviance (links.hpp)
  arma::vec root_weight;      // sqrt(s w)
  arma::vec eta_with_offset;  // x'beta + offset (+ level effects): only with either
  arma::vec row_weight;       // s of rows some of whose levels are left out (AbsorbedLevels::kept)
  arma::vec row_deviance;     // the statistics' per-row deviances
  arma::mat meat_rows;        // the block scaled for the robust sums
  arma::mat level_free_rows;  // the rows less their level's means, for the robust sums of an absorbed fit
  arma::vec meat_residual;    // the rows' score residuals r, for the robust sums
  arma::vec meat_weight;      // the rows' clamped weights w, for the hat values
  arma::vec margin_slope;     // s h'(eta) per row, for the margin sums
  arma::vec margin_curvature;  // s h''(eta) per row (the same)
  ScatterScratch scatter;      // the categorical and sparse blocks' (empty without them)
};

// q_dense of the q columns are copied (dense_column_count).
BlockBuffer make_block_buffer(arma::uword block_rows, arma::uword q_dense, arma::uword q);

// A block's rows [first, first + m) once the pass has evaluated the link on
// them: buffer.rows holds their dense columns (unscaled),
// buffer.mu_then_weighted_z and buffer.link_state the link's mean and state.
// The sums that read the mean add the block first; then, when a sum of the
// pass needs them, the working weights replace the mean (s w z, and
// sqrt(s w) in buffer.root_weight), with margin_slope and margin_curvature
// beside them for the margin sums, and the other sums add the block.
struct RowBlock {
  arma::uword first;
  arma::uword m;
  const double* y;       // the rows' responses
  const double* s;       // their frequency weights, or nullptr for all 1
  const double* linear;  // x'beta
  const double* eta;     // the full predictor: x'beta, the offset and the level effects
  BlockBuffer& buffer;
};

// The first m entries of v, set to size first when v is shorter: the
// per-row buffers of a sum are made when a pass first forms it.
inline double* row_buffer(arma::vec& v, arma::uword m, arma::uword capacity) {
  if (v.n_elem < m) {
    v.set_size(capacity);
  }
  return v.memptr();
}
