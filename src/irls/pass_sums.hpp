// The sums one pass over rows forms, composed: the pass evaluates each block
// of rows once (its copy of the dense columns, x'beta, the full predictor,
// the link's mean) and hands it to every sum asked for, each a unit of its
// own with reset, add_rows, add_into (a chunk's sums into the total, in
// chunk order) and, at the end of a row range, finish. A sum not asked for
// costs nothing. A new sum is its unit and its line here.
//
//   normal_equations  A and b of the update (normal_equations.hpp)
//   statistics        the deviance and the rows at 0 or 1 (fit_statistics.hpp)
//   margins           the average marginal effects' sums (margin_sums.hpp)
//   level_margins     their curvature by absorbed level (the same)
//   robust            the meat, the hat values, the cluster scores (robust_sums.hpp)
//   levels            the absorbed levels' sums (absorbed_levels.hpp)
#pragma once

#include <armadillo>

#include "absorbed_levels.hpp"
#include "normal_equations.hpp"
#include "robust_sums.hpp"
#include "row_block.hpp"
#include "row_partition.hpp"

// Each pointer a sum the pass forms, nullptr one it does not.
struct PassSums {
  NormalSums* normal_equations = nullptr;
  FitStatistics* statistics = nullptr;
  MarginSums* margins = nullptr;
  RobustSums* robust = nullptr;
  const MeatSettings* meat = nullptr;        // what robust forms: set with it
  AbsorbedSums* levels = nullptr;            // needs data.absorbed
  LevelMarginSums* level_margins = nullptr;  // needs data.absorbed and margins
};

// Adds the rows in `rows` to each sum of `sums`, block of rows by block of
// rows: each block is copied into buffer.rows, eta = x'beta (with the
// offset and the level effects when data has them), then the link's mean
// and, when a sum needs them, the working weights s w z and sqrt(s w) (s r
// and sqrt(s w) with data.score_response), and each sum adds the block;
// then each finishes the range. Throws std::runtime_error when q exceeds
// the BLAS's 32-bit integers.
void accumulate_rows(const LogisticData& data, const arma::vec& beta, RowRange rows, BlockBuffer& buffer,
                     const PassSums& sums);

// Zeros each sum of `sums`; first_row is where a chunk's rows begin (the
// robust sums keep a chunk's scores by row).
void reset(const PassSums& sums, arma::uword first_row);

// Each sum of part into the same sum of total, where total has it: called
// in chunk order, so that the total is the same, bit for bit, however many
// workers summed the chunks.
void add_into(const PassSums& total, const PassSums& part);
