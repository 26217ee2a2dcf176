// The kernel of every fit: for a row range of X and coefficients beta, the
// weighted normal equations of one IRLS update, X'WX beta_new = X'Wz, added
// into partial sums. _quorvi.irls, the estimator and any other caller that
// splits the rows its own way call this same function on their ranges.
#pragma once

#include <armadillo>

#include "absorbed_levels.hpp"
#include "design.hpp"
#include "links.hpp"
#include "robust_sums.hpp"
#include "row_partition.hpp"
#include "scattered_blocks.hpp"

// What the kernel reads: the design, the response and, optionally, frequency
// weights. Nothing is written.
struct LogisticData {
  Design X;
  const double* y;                 // X.n_rows responses
  arma::uword n_responses;         // how many y holds: a fit checks that it is X.n_rows before its first pass
  const double* sample_weight;     // X.n_rows frequency weights, or nullptr for all ones
  const double* offset = nullptr;  // X.n_rows known terms added to eta, or nullptr for none
  // b as the score X'S(y - mu) instead of X'SWz: the right-hand side of the
  // update's step, A (beta_new - beta) = b (FitSettings::score_form).
  bool score_response = false;
  LinkKind link = LinkKind::logit;  // mu as a function of eta (links.hpp)
  // A fixed effect absorbed beside X's columns (absorbed_levels.hpp), or nullptr.
  const AbsorbedLevels* absorbed = nullptr;
  // The pass also forms NormalSums::margins: the fit's last pass then holds
  // what the average marginal effects over these rows need, and no copy of
  // X has to be kept for them (which passes: FitPlan::margins).
  bool with_margin_sums = false;
};

// The sums over rows behind the average marginal effects of the numeric
// columns and their delta-method covariance: the effect of column j is
// beta_j slope / weight, its gradient in beta_k is delta_jk slope / weight +
// beta_j curvature_k / weight. h is the link's mean (links.hpp), eta the
// row's full linear predictor (with its offset).
struct MarginSums {
  double weight = 0.0;  // sum of s
  double slope = 0.0;   // sum of s h'(eta)
  arma::vec curvature;  // sum of s h''(eta) x, one per coefficient
};

// The number of coefficients: the columns of all of X's blocks.
arma::uword coefficient_count(const LogisticData& data);

// Sums over rows. Only the lower triangle of A is formed (and, once the
// rows are all added, mirrored by fill_upper_triangle); deviance and
// boundary_rows only when statistics are asked for.
struct NormalSums {
  arma::mat A;                // sum of s w x x'
  arma::vec b;                // sum of s w z x
  double deviance;            // sum of s * (the row's deviance)
  arma::uword boundary_rows;  // rows of positive weight fitted at exactly 0 or 1
  // In place of A (then empty), in a chunk's partial sums of a design with
  // categorical or sparse blocks: A's lower triangle, packed column by
  // column (LowerTriangle), all such a sum ever holds, in half the memory.
  arma::vec packed_lower;
  // Where A is the system of X's columns with absorbed levels eliminated
  // (absorbed_fit.hpp): the diagonal of A before the elimination, against
  // which a column's dependence on the levels and the earlier columns is
  // measured. Empty otherwise (A's own diagonal is then the measure).
  arma::vec dependence_diagonal;
  // With LogisticData::with_margin_sums; otherwise curvature stays empty.
  MarginSums margins;
};

NormalSums zero_sums(arma::uword q);
NormalSums zero_packed_sums(arma::uword q);
void reset(NormalSums& sums);
void add_into(NormalSums& total, const NormalSums& part);
void fill_upper_triangle(arma::mat& A);

// Room for one block of rows: the copied block of the dense columns, then
// its scaled form, and the per-row quantities. One per thread.
struct BlockBuffer {
  arma::mat rows;  // q_dense x block_rows: one observation per column
  arma::vec eta;
  arma::vec weighted_z;       // s w z
  arma::vec root_weight;      // sqrt(s w)
  arma::vec link_state;       // per row, what the link's mean leaves for its weights and deviance (links.hpp)
  arma::vec eta_with_offset;  // x'beta + offset: only with an offset
  arma::mat meat_rows;        // the block scaled for the robust sums: only in a pass that forms them
  arma::vec meat_residual;    // the rows' score residuals r, for the robust sums (same pass)
  arma::vec meat_weight;      // the rows' clamped weights w, for the hat values (same pass)
  arma::vec margin_slope;     // s h'(eta) per row: only in a pass that forms the margin sums
  arma::vec margin_curvature;  // s h''(eta) per row (same pass)
  arma::vec row_weight;        // s of rows some of whose levels are left out (AbsorbedLevels::kept)
  ScatterScratch scatter;      // the categorical and sparse blocks' (empty without them)
};

// q_dense of the q columns are copied (dense_column_count).
BlockBuffer make_block_buffer(arma::uword block_rows, arma::uword q_dense, arma::uword q);

// Adds the rows in `rows` to sums, block by block: each block is copied into
// buffer.rows, one observation per column (the same layout whatever X's
// memory order, so both orders give the same bits), eta = X_b beta, then per row the logistic
// mean mu = 1 / (exp(-eta) + 1) (eta with the row's offset, when data has
// one), the weight w = clamp(mu (1 - mu), 1e-10, 1)
// and the working response z = x'beta + (y - mu) / w; then b += X_b' (s w z)
// (X_b' s (y - mu) with data.score_response) and
// A += S' S with S the block scaled row-wise by sqrt(s w), a symmetric
// rank-k update. With robust sums (robust non-null and meat's kind not
// none), the block's rows are also added to them (robust_sums.hpp). Throws
// std::runtime_error when q exceeds the BLAS's 32-bit integers.
// With data.absorbed, each row's level effect is part of eta, and the rows
// are added to absorbed_sums too (absorbed_levels.hpp); in a pass for the
// robust sums alone, the level means are subtracted from the rows first.
void accumulate_normal_equations(const LogisticData& data, const arma::vec& beta, RowRange rows,
                                 bool with_statistics, BlockBuffer& buffer, NormalSums& sums,
                                 const MeatSettings* meat = nullptr, RobustSums* robust = nullptr,
                                 AbsorbedSums* absorbed_sums = nullptr);
