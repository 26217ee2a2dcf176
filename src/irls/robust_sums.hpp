// The sums a robust covariance needs beside the normal equations, formed in
// the same pass over X (the "meat" of a sandwich covariance):
//
//   residual:      M = sum s r^2 x x'                     (HC0, HC1)
//   hat_adjusted:  M = sum s r^2 / (1 - h)^power x x'     (HC2: power 1, HC3: power 2;
//                  HC4: power min(4, h / mean h), Cribari-Neto 2004)
//                  with h = w x' B x, B the inverse information, the hat
//                  value of one observation (a row of weight m is m rows)
//   cluster:       U_c[g] = sum over the rows of group g of s r x, for each
//                  clustering c (one-way: one; two-way: A, B and A and B)
//
// with r = y - mu. Memory is O(q^2 + G q), never O(n q). The cluster sums
// are deterministic: a chunk keeps its rows' scores and they are added into
// U in row order when the chunk's sums are added to the total.
//
// x is the whole row: its dense columns (the block buffer's copy) and its
// scattered blocks' entries (scattered_blocks.hpp). The meat takes the
// entries' terms through the normal equations' own scatter, with its root
// sqrt(s) |r| / (1 - h)^(power / 2) in place of sqrt(s w); a hat value adds
// each entry's column of the factor R to R x; a chunk keeps the dense part
// of its rows' scores and each row's s r, and the entries are read again
// from the design when the chunk is added (a chunk of a scattered design is
// about q^2 / 4 rows: its whole scores, q per row, could be gigabytes).
#pragma once

#include <armadillo>
#include <cstdint>
#include <vector>

#include "design.hpp"
#include "row_block.hpp"
#include "row_partition.hpp"
#include "scattered_blocks.hpp"

struct LogisticData;

enum class MeatKind : std::uint8_t { none, residual, hat_adjusted, cluster };

// One clustering: a group code in [0, n_groups) per row.
struct ClusterCodes {
  const std::int64_t* codes;
  arma::uword n_groups;
};

// What a robust pass forms; fixed for a fit, except the inverse
// information that the hat values need (known only after the loop).
struct MeatSettings {
  MeatKind kind = MeatKind::none;
  double hat_power = 1.0;
  // hat_adjusted with the power by leverage (HC4): n, the sum of the
  // frequency weights of the fit's rows; each row's power is then
  // min(hat_power, h / mean_hat). 0: hat_power for every row.
  double hat_rows = 0.0;
  // k / n, the hat values' mean (k the parameters estimated: the trace of
  // the hat matrix), set with the inverse information (set_hat_values).
  double mean_hat = 0.0;
  std::vector<ClusterCodes> clusters;
  // cluster: the one clustering is the absorbed levels' own, and clusters
  // is empty. An absorbed fit then forms each cluster's score from its
  // level's sums (absorbed_fit.hpp) rather than row by row.
  bool clusters_are_levels = false;
  const arma::mat* inverse_information = nullptr;  // hat_adjusted: q x q
  // hat_adjusted: R upper triangular with R'R = inverse_information, so that
  // x'Bx = |Rx|^2 costs a triangular product; empty when B has none (the
  // full product B x is taken then).
  arma::mat hat_factor;
};

// R with R'R = B for a symmetric positive semi-definite B whose zero rows
// and columns (left-out coefficients) stay zero in R; empty when the rest
// of B is not positive definite.
arma::mat hat_factor_of(const arma::mat& inverse_information);

// What the hat values need, set once the inverse information B is known
// (dropped columns at 0; the caller keeps B): B, its factor and, with
// hat_rows, the hat values' mean, k counting B's kept columns and the
// absorbed levels of positive weight (absorbed_parameters).
void set_hat_values(MeatSettings& settings, const arma::mat& inverse_information,
                    arma::uword absorbed_parameters = 0);

// A hat value at least this close to 1 makes HC2 to HC4 undefined.
constexpr double hat_one_tolerance = 1e-10;

// The robust sums of some rows. For a chunk summed by a worker, scores
// holds its rows' s r x_dense (one column per row, from first_row) and,
// with scattered blocks, score_factors their s r, until the ordered
// addition scatters them; for the total (or a single chunk), the scores
// are added straight into groups.
struct RobustSums {
  arma::mat meat;                         // q x q, lower triangle until mirrored
  std::vector<arma::mat> groups;          // per clustering, q x n_groups
  arma::mat scores;                       // q_dense x chunk rows (a worker's chunk only)
  arma::vec score_factors;                // chunk rows: s r (a worker's chunk of a scattered design)
  arma::uword first_row = 0;              // the row of scores' first column
  arma::uword n_scores = 0;               // rows kept in scores
  std::vector<arma::uword> hat_one_rows;  // rows whose hat value is 1, increasing
  // With scattered blocks: a row's entries and the meat's cross block with
  // the dense columns (added into meat by finish_row_range), the rows' R x
  // for the hat values, and the design the kept scores' entries are read
  // from again.
  ScatterScratch scatter;
  arma::vec hat_row;
  const Design* design = nullptr;
};

// Sums for the total (keep_scores false) or for a worker's chunks (true,
// room for chunk_rows rows), for q coefficients of which the first q_dense
// are the dense columns.
RobustSums make_robust_sums(const MeatSettings& settings, arma::uword q, arma::uword q_dense,
                            bool keep_scores, arma::uword chunk_rows);
void reset(RobustSums& sums, arma::uword first_row);

// Adds what is held for a whole row range (the meat's cross block) into the
// meat: at the end of each range that accumulate_meat was called on.
void finish_row_range(RobustSums& sums);

// Adds a chunk's sums into the total: the meat, the flagged rows, and its
// rows' scores into their groups, row by row.
void add_into(RobustSums& total, const RobustSums& part, const MeatSettings& settings);

// The rows [first, first + m) of a block and their frequency weights s
// (nullptr for all 1).
struct RowFrequencies {
  arma::uword first;
  arma::uword m;
  const double* s;
};

// Adds the rows of a block: x the block's dense columns (q_dense x m, one
// observation per column, unscaled; the scattered entries are read from
// data.X), residual the rows' score residuals r and weight their clamped
// IRLS weights (links.hpp). workspace is q_dense x m of scratch.
void accumulate_meat(const LogisticData& data, const MeatSettings& settings, RowFrequencies rows,
                     const arma::mat& x, const double* residual, const double* weight, arma::mat& workspace,
                     RobustSums& sums);

// Adds a block's rows as the pass leaves them (row_block.hpp): their score
// residuals and weights from the link's mean, then accumulate_meat. In an
// absorbed fit with the level means (AbsorbedLevels::level_means), of the
// rows less their level's means, in a copy of the block (the others' sums
// read the rows as they are).
void add_rows(RobustSums& sums, const MeatSettings& settings, const LogisticData& data,
              const RowBlock& block);

// The meat of clustering c: sum_g U_g U_g' (q x q, both triangles).
arma::mat cluster_meat(const arma::mat& groups);
