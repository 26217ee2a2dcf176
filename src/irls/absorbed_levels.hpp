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
// diagonal. An absorbed fit (absorbed_fit.hpp) eliminates the levels from
// these each update. O(L (q + 2)) memory, O(n q) work per pass.
#pragma once

#include <armadillo>
#include <cstdint>

// What the pass reads of the absorbed variable; nothing is written.
struct AbsorbedLevels {
  const std::int32_t* codes;  // n_rows codes, each in [0, n_levels) (checked where they are read in)
  arma::uword n_levels;
  const double* effects;  // n_levels: alpha at the pass's coefficients
  // q_dense x n_levels, or nullptr: each level's weighted mean of the dense
  // columns, cross(:, l) / weight[l]. A pass for the robust sums subtracts
  // it from each row's dense columns, x - m[level]: the rows' part of the
  // design once the levels are partialled out, whose sandwich is the
  // coefficients' block of the sandwich of the full system.
  const double* level_means = nullptr;
};

// The sums of the levels over the rows of one pass.
struct AbsorbedSums {
  arma::vec weight;
  arma::vec score;
  arma::mat cross;  // q x n_levels
};

AbsorbedSums zero_absorbed_sums(arma::uword q, arma::uword n_levels);
void reset(AbsorbedSums& sums);

// eta[k] += alpha[level of row first + k], k < m.
void add_level_effects(const AbsorbedLevels& levels, arma::uword first, arma::uword m, double* eta);

// The rows [first, first + m) into sums: root_weight sqrt(s w) and
// weighted_z the row's term of b (as the pass leaves them), dense_rows the
// rows' dense columns unscaled (q_dense x m, one observation per column).
// The scattered blocks' entries are added by add_scattered_level_terms.
void add_level_sums(const AbsorbedLevels& levels, arma::uword first, arma::uword m,
                    const arma::mat& dense_rows, const double* root_weight, const double* weighted_z,
                    AbsorbedSums& sums);

// One scattered entry of row `row`: s w v into cross(column, level).
inline void add_level_entry(const AbsorbedLevels& levels, arma::uword row, arma::uword column, double value,
                            double weight, AbsorbedSums& sums) {
  sums.cross.at(column, static_cast<arma::uword>(levels.codes[row])) += weight * value;
}

// dense_rows(:, k) -= level_means(:, level of row first + k), k < m.
void subtract_level_means(const AbsorbedLevels& levels, arma::uword first, arma::uword m,
                          arma::mat& dense_rows);

// The first row whose code is outside [0, n_levels), or n_rows when none is.
arma::uword first_level_out_of_range(const std::int32_t* codes, arma::uword n_rows, arma::uword n_levels);
