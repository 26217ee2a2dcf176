// The fit with one absorbed fixed effect (absorbed_levels.hpp): the model
// with one dummy per level beside X's q columns, fitted without the dummies'
// columns. Each update's system over [X, dummies] is
//
//   [ A   C ] [ d_beta  ]   [ b       ]
//   [ C'  D ] [ d_alpha ] = [ b_alpha ]      D diagonal (L levels),
//
// and the levels are eliminated exactly through D: the loop (run_irls)
// solves the Schur complement (A - C D^-1 C') d_beta = b - C D^-1 b_alpha
// as it would any source's system, and the levels take their step from the
// same sums, d_alpha = D^-1 (b_alpha - C' d_beta). O(L q^2) per update on
// top of the pass; no L x L matrix anywhere.
//
// What the fit reports of the coefficients is then exactly the full model's:
// the inverse of the Schur complement is the coefficients' block of the
// inverse information, and with the dense columns' level means m subtracted
// from each row (x - m[level]) the sandwich of the rows is that block of the
// full sandwich (the robust sums' pass does so). A level of no weight (D = 0)
// has no effect: it stays 0.
#pragma once

#include <armadillo>
#include <cstdint>

#include "fit_irls.hpp"

struct AbsorbedFit {
  InMemoryFit fit;          // X's coefficients; last_pass.A is the Schur complement of the last pass
  arma::vec effects;        // the levels' effects at the final coefficients
  arma::vec level_weights;  // D of the last pass: sum of s w over each level's rows
};

// The fit of data (score_response set) with the levels of codes (n_rows,
// each in [0, n_levels)) absorbed, on the caller's thread: the level sums
// are added row by row into one total. Robust sums of the residual or
// cluster kinds come from one more pass at the last pass's coefficients;
// they need a design of copied blocks only (std::invalid_argument
// otherwise, and for hat-adjusted sums, which are not formed here).
AbsorbedFit fit_absorbed(const LogisticData& data, const std::int32_t* codes, arma::uword n_levels,
                         const FitSettings& settings, const IterationObserver& observer,
                         const MeatSettings& meat = MeatSettings());
