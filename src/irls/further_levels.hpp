// The absorbed columns after the first, in a fit that absorbs several
// (absorbed_fit.hpp): what the pass reads of them (their codes and
// effects, added to each row's predictor as the first column's are) and
// the sums it forms of them, with each row's working weight written for
// the solve of each update (further_solve.hpp).
#pragma once

#include <armadillo>
#include <vector>

#include "absorbed_codes.hpp"

// One further absorbed column: n_rows codes in [0, n_levels), read in place.
struct FurtherColumn {
  AbsorbedCodes codes;
  arma::uword n_levels;
};

// What the pass reads and writes of the further columns: their levels are
// stacked, column j's at [starts[j], starts[j + 1]).
struct FurtherLevels {
  std::vector<AbsorbedCodes> codes;
  std::vector<arma::uword> starts;
  const double* effects = nullptr;  // stacked: the effects at the pass's coefficients
  double* row_weights = nullptr;    // n_rows: the pass writes each row's s w here
  arma::uword n_levels() const { return starts.empty() ? 0 : starts.back(); }
};

FurtherLevels further_levels_of(const std::vector<FurtherColumn>& columns);

// eta[k] += the further effects of row first + k, k < m.
void add_further_effects(const FurtherLevels& levels, arma::uword first, arma::uword m, double* eta);

// The further levels' sums of one pass, as the first column's (absorbed_levels.hpp).
struct FurtherSums {
  arma::vec weight;  // D_f: sum of s w over each level's rows
  arma::vec score;   // the same of the row's term of b
  arma::mat cross;   // q x L_f: the same of s w x
};

FurtherSums zero_further_sums(arma::uword q, arma::uword n_levels);
void reset(FurtherSums& sums);
void add_into(FurtherSums& total, const FurtherSums& part);

// Rows [first, first + m) into sums (as add_level_sums), and each row's s w
// into levels.row_weights.
void add_further_sums(const FurtherLevels& levels, arma::uword first, arma::uword m,
                      const arma::mat& dense_rows, const double* root_weight, const double* weighted_z,
                      FurtherSums& sums);
