// The normal equations of one IRLS update over some rows, X'WX beta_new =
// X'Wz, added into partial sums: the sum every pass of a fit forms
// (pass_sums.hpp composes it with the others). _quorvi.irls, the estimator
// and any other caller that splits the rows its own way form them with the
// same kernel on their ranges.
#pragma once

#include <armadillo>

#include "absorbed_levels.hpp"
#include "design.hpp"
#include "fit_statistics.hpp"
#include "links.hpp"
#include "margin_sums.hpp"
#include "row_block.hpp"
#include "scattered_blocks.hpp"

// What a pass reads: the design, the response and, optionally, frequency
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
};

// The number of coefficients: the columns of all of X's blocks.
arma::uword coefficient_count(const LogisticData& data);

// What a source of normal equations hands the loop: the sums over rows
// (only the lower triangle of A while rows are added; mirrored by
// fill_upper_triangle once they all are), with the statistics and margin
// sums of the same pass when it formed them.
struct NormalSums {
  arma::mat A;  // sum of s w x x'
  arma::vec b;  // sum of s w z x
  // In place of A (then empty), in a chunk's partial sums of a design with
  // categorical or sparse blocks: A's lower triangle, packed column by
  // column (LowerTriangle), all such a sum ever holds, in half the memory.
  arma::vec packed_lower;
  // Where A is the system of X's columns with absorbed levels eliminated
  // (absorbed_fit.hpp): the diagonal of A before the elimination, against
  // which a column's dependence on the levels and the earlier columns is
  // measured. Empty otherwise (A's own diagonal is then the measure).
  arma::vec dependence_diagonal;
  FitStatistics statistics;  // zeros when the pass did not form them
  MarginSums margins;        // curvature empty when the pass did not form them
};

NormalSums zero_sums(arma::uword q);
NormalSums zero_packed_sums(arma::uword q);
// Zeros A, b, the statistics and the margin sums.
void reset(NormalSums& sums);
// A chunk's A and b into the total's (the statistics and margin sums are
// sums of their own: add_into of pass_sums.hpp adds each one formed).
void add_into(NormalSums& total, const NormalSums& part);
void fill_upper_triangle(arma::mat& A);

// Adds a block's rows (block.buffer.rows their dense columns, one
// observation per column: the same layout whatever X's memory order, so
// both orders give the same bits): b += X_b' (s w z) (X_b' s r in the score
// form) and A += S' S with S the block scaled row-wise by sqrt(s w), a
// symmetric rank-k update; the scattered blocks' terms entry by entry
// (scattered_blocks.hpp). Scales buffer.rows in place. Throws
// std::runtime_error when q exceeds the BLAS's 32-bit integers.
void add_rows(NormalSums& sums, const Design& X, const RowBlock& block);

// What add_rows holds for a whole row range (the scattered columns' cross
// block with the dense ones, and the dense corner of packed sums) into
// sums: at the end of each range whose rows were added.
void finish_row_range(NormalSums& sums, BlockBuffer& buffer);
