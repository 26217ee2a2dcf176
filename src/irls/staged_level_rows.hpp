// The level sums of a pass on two threads without a second copy of them:
// each thread stages its chunk's rows (their weight s w, their term of b
// and their dense columns), and then each adds the staged rows of both
// chunks whose levels lie in its own range of the levels, into the one
// set of sums (halved_pass.hpp). A chunk's stage is a few hundred
// kilobytes; the copy it replaces was L-sized (56 MB at 10^6 levels and
// 5 columns).
#pragma once

#include <armadillo>
#include <vector>

#include "absorbed_codes.hpp"

struct AbsorbedLevels;
struct AbsorbedSums;

// One chunk's rows, staged: column k is row first + k's [s w, its term of
// b, its q_dense dense columns].
struct StagedLevelRows {
  arma::mat rows;  // (q_dense + 2) x chunk_rows
  arma::uword first = 0;
  arma::uword m = 0;  // rows staged
};

StagedLevelRows make_staged_level_rows(arma::uword q_dense, arma::uword chunk_rows);

// Rows [first, first + m) of a block (root_weight sqrt(s w), weighted_z
// the row's term of b, dense_rows its columns unscaled) into the stage, at
// their place from stage.first on.
void stage_level_rows(StagedLevelRows& stage, arma::uword first, arma::uword m, const arma::mat& dense_rows,
                      const double* root_weight, const double* weighted_z);

// The staged rows whose levels are in [low, high) into sums' weights,
// scores, cross block and, when formed, score_cross, in row order (as
// add_level_sums adds them); selected is the calling thread's room for
// the rows of its range (chunk_rows of them).
void add_staged_rows(const StagedLevelRows& stage, const AbsorbedLevels& levels, arma::uword low,
                     arma::uword high, AbsorbedSums& sums, std::vector<arma::uword>& selected);
