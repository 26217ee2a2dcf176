// A fixed effect absorbed rather than estimated as columns: one categorical
// variable of L levels whose effects alpha enter every row's linear
// predictor, eta = x'beta + offset + alpha[level], with no column of the
// design for them. The pass adds alpha to eta and forms, beside the
// normal equations of the design's q columns, the sums of the levels'
// part of the full system over [X, one dummy per level]:
//
//   weight[l]    = sum over the rows of level l of s w        (its diagonal block D)
//   score[l]     = the same of the row's term of b            (s r in the score form)
//   cross(:, l)  = the same of s w x                          (the q x L cross block C)
//
// never an L x L matrix: the dummies of one variable are orthogonal, so D is
// diagonal. The cross block of the dense columns is dense (q_dense x L);
// that of the scattered columns (categorical blocks: one entry per row) is
// sparse, one value per pair of a level and a column that share a row
// (LevelPattern), so that a second fixed effect of 1,000 levels beside one
// of 100,000 costs the pairs that occur, not 10^8 values. A level
// elimination (level_elimination.hpp) eliminates the levels from these
// each update. O(L q_dense + pairs) memory, O(n (q_dense + entries)) work
// per pass.
#pragma once

#include <armadillo>
#include <cstdint>
#include <limits>
#include <vector>

#include "absorbed_codes.hpp"
#include "design.hpp"
#include "further_levels.hpp"
#include "row_block.hpp"
#include "staged_level_rows.hpp"

// What the pass reads of the absorbed variable; nothing is written.
struct AbsorbedLevels {
  AbsorbedCodes codes;  // n_rows codes, each in [0, n_levels) (checked where they are read in)
  arma::uword n_levels;
  const double* effects;  // n_levels: alpha at the pass's coefficients
  // q_dense x n_levels, or nullptr: each level's weighted mean of the dense
  // columns, cross(:, l) / weight[l]. A pass for the robust sums subtracts
  // it from each row's dense columns, x - m[level]: the rows' part of the
  // design once the levels are partialled out, whose sandwich is the
  // coefficients' block of the sandwich of the full system.
  const double* level_means = nullptr;
  // n_levels, or nullptr: 1 / weight[l] (0 for a level of no weight). The
  // hat value of a row in the full model is w (x~' B x~ + 1 / weight[level]),
  // x~ = x - m[level] and B the coefficients' inverse information: the
  // leverage of its level's dummy adds to that of the partialled-out row.
  const double* inverse_level_weights = nullptr;
  // n_levels flags, or nullptr for all 1: a level of flag 0 has every row
  // left out, as if its weights were 0 (the levels separated by their
  // outcomes), with no weight vector of n rows made for it.
  const std::uint8_t* kept = nullptr;
  // The further absorbed columns of a fit that absorbs several
  // (further_levels.hpp), or nullptr: their effects are added to eta too,
  // and their sums formed beside these.
  const FurtherLevels* further = nullptr;
};

// Row `row`'s frequency weight (sample_weight's, nullptr for all 1), 0 when
// its level is left out (AbsorbedLevels::kept, which must be set).
inline double kept_frequency(const AbsorbedLevels& levels, const double* sample_weight, arma::uword row) {
  if (levels.kept[levels.codes[row]] == 0) {
    return 0.0;
  }
  return sample_weight == nullptr ? 1.0 : sample_weight[row];
}

// The hat-value term of row `row`'s level (see inverse_level_weights); 0
// without absorbed levels.
inline double level_leverage(const AbsorbedLevels* levels, arma::uword row) {
  if (levels == nullptr || levels->inverse_level_weights == nullptr) {
    return 0.0;
  }
  return levels->inverse_level_weights[levels->codes[row]];
}

// Which scattered columns each level shares a row with: fixed for a fit
// (it depends on the codes alone). Pairs of level l are
// [level_starts[l], level_starts[l + 1]), their columns (coefficient
// indices) increasing; row i's entry of the b-th scattered block is pair
// positions[b][i] (no_entry at a reference level).
struct LevelPattern {
  static constexpr arma::uword no_entry = std::numeric_limits<arma::uword>::max();
  std::vector<arma::uword> level_starts;
  std::vector<arma::uword> columns;
  std::vector<std::vector<arma::uword>> positions;
  arma::uword pairs() const { return columns.size(); }
};

// The pattern of X's scattered blocks against the levels; empty (no pairs,
// no blocks) for a design of copied blocks. Throws std::invalid_argument
// for a block that can have more than one entry per row (a sparse block).
LevelPattern level_pattern(const Design& X, const AbsorbedLevels& levels);

// The sums of the levels over the rows of one pass.
struct AbsorbedSums {
  arma::vec weight;
  arma::vec score;
  arma::mat cross;              // q_dense x n_levels (q x n_levels without a pattern: see below)
  arma::vec pair_cross;         // per pair of the pattern: sum of s w v
  const LevelPattern* pattern;  // nullptr: no scattered columns
  // q_dense x n_levels, or empty (not formed): sum of s r x, the score of
  // the dense columns over each level's rows. With the means m and score,
  // the score of the level's rows once the levels are partialled out is
  // sum s r (x - m) = score_cross - m score: a cluster's score when the
  // clusters are the levels, without a pass of its own.
  arma::mat score_cross;
  FurtherSums further;  // the further columns' (empty without)
  // Or nullptr: the rows' terms of weight, score, cross and score_cross are
  // staged there by add_rows, to be added by level ranges
  // (staged_level_rows.hpp), and these sums hold none of them.
  StagedLevelRows* staged = nullptr;
};

// One row's terms into its level's sums: weight s w, score its term of b,
// x its q_dense dense columns; scores sums.score_cross's memory, or
// nullptr when it is not formed.
inline void add_level_row(AbsorbedSums& sums, double* scores, arma::uword level, double weight, double score,
                          const double* x, arma::uword q_dense) {
  sums.weight[level] += weight;
  sums.score[level] += score;
  double* cross = sums.cross.colptr(level);
  for (arma::uword j = 0; j < q_dense; ++j) {
    cross[j] += weight * x[j];
  }
  if (scores != nullptr) {
    double* level_scores = scores + level * q_dense;
    for (arma::uword j = 0; j < q_dense; ++j) {
      level_scores[j] += score * x[j];
    }
  }
}

// A level's sums fetched into the cache, for a row ahead of the one at
// hand: they lie anywhere in L-sized arrays (40 MB for 10^6 levels and 5
// columns), and waiting for each row's was most of the pass's time.
inline void prefetch_level(const AbsorbedSums& sums, const double* scores, arma::uword level,
                           arma::uword q_dense) {
  __builtin_prefetch(sums.weight.memptr() + level, 1);
  __builtin_prefetch(sums.score.memptr() + level, 1);
  __builtin_prefetch(sums.cross.colptr(level), 1);
  if (scores != nullptr) {
    __builtin_prefetch(scores + level * q_dense, 1);
  }
}

AbsorbedSums zero_absorbed_sums(arma::uword q_dense, arma::uword n_levels,
                                const LevelPattern* pattern = nullptr);
void reset(AbsorbedSums& sums);

// eta[k] += alpha[level of row first + k], k < m.
void add_level_effects(const AbsorbedLevels& levels, arma::uword first, arma::uword m, double* eta);

// The rows [first, first + m) into sums: root_weight sqrt(s w) and
// weighted_z the row's term of b (as the pass leaves them; s r in the score
// form, which score_cross needs), dense_rows the rows' dense columns
// unscaled (q_dense x m, one observation per column).
// The scattered blocks' entries are added by add_scattered_level_terms.
void add_level_sums(const AbsorbedLevels& levels, arma::uword first, arma::uword m,
                    const arma::mat& dense_rows, const double* root_weight, const double* weighted_z,
                    AbsorbedSums& sums);

// A block's rows as the pass leaves them (row_block.hpp): add_level_sums
// and add_scattered_level_terms.
void add_rows(AbsorbedSums& sums, const Design& X, const AbsorbedLevels& levels, const RowBlock& block);

// Another's sums of the same levels into total (in chunk order).
void add_into(AbsorbedSums& total, const AbsorbedSums& part);

// Whether the pass forms score_cross: zeros of q_dense x n_levels, or none
// (its memory freed).
void form_score_cross(AbsorbedSums& sums, arma::uword q_dense, bool formed);

// The levels' partialled-out scores, score_cross - means .* score (column
// by column), in place of score_cross; means q_dense x n_levels.
void partial_out_scores(AbsorbedSums& sums, const arma::mat& means);
// The same with the sums' own means, cross / weight (a level of no weight
// has scores of 0 and is left as it is).
void partial_out_scores(AbsorbedSums& sums);

// The rows' scattered entries (each s w v) into sums.pair_cross, or, for
// sums without a pattern whose cross block has a row for every column (a
// chunk's, to be added to other chunks'), into the cross block itself.
void add_scattered_level_terms(const Design& X, const AbsorbedLevels& levels, arma::uword first,
                               arma::uword m, const double* root_weight, AbsorbedSums& sums);

// dense_rows(:, k) -= level_means(:, level of row first + k), k < m.
void subtract_level_means(const AbsorbedLevels& levels, arma::uword first, arma::uword m,
                          arma::mat& dense_rows);
