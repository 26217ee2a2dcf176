// The fit with one absorbed fixed effect (absorbed_levels.hpp) over rows held
// elsewhere, such as the chunks of a distributed array: the same loop as the
// in-memory absorbed fit (absorbed_fit.hpp), the levels eliminated from each
// update's sums (level_elimination.hpp), with the pass over rows replaced by
// a source of the sums over all of them.
//
// The source forms the sums at the coefficients and effects it is given;
// it never forms an L x L matrix, only the levels' weight and score (L
// each) and their cross block with the columns (q x L).
#pragma once

#include <armadillo>
#include <functional>

#include "absorbed_levels.hpp"
#include "irls_loop.hpp"

// Fills total (A with both triangles, b, and with with_statistics the
// deviance and the boundary rows) and sums (sized q and n_levels) with the
// sums over all rows at beta, each row's linear predictor holding its
// level's effects[level]. The two are the fit's own memory, overwritten.
using AbsorbedSumsSource = std::function<void(const arma::vec& beta, const arma::vec& effects,
                                              bool with_statistics, NormalSums& total, AbsorbedSums& sums)>;

struct ChunkedAbsorbedFit {
  FitOutcome outcome;
  NormalSums last_pass;     // the Schur complement of the last sums, for the covariance
  arma::vec effects;        // the levels' effects at the final coefficients
  arma::vec level_weights;  // D of the sums the last step was solved from
  // Where the robust sums are formed, in one more pass by the caller (the
  // rows' columns less their level's means, as absorbed_fit.hpp explains):
  // the coefficients and effects of the sums the last step was solved from,
  // and each level's mean of the columns, C D^-1 (q x L).
  arma::vec solved_beta;
  arma::vec solved_effects;
  arma::mat level_means;
};

// The loop of run_irls from zero with settings (meat_in_loop is ignored:
// the robust sums need the level means, known only once a pass has ended).
// max_iter <= 0 makes no call of source, and the effects are 0.
ChunkedAbsorbedFit fit_absorbed_chunked(arma::uword q, arma::uword n_levels, const AbsorbedSumsSource& source,
                                        const FitSettings& settings, const IterationObserver& observer);

// One chunk's share of a source's sums: the sums over data's rows at beta,
// with the levels of data.absorbed (which must be set) at its effects, the
// levels' sums into sums (sized q and n_levels, overwritten). On the
// caller's thread with the BLAS single-threaded, as sum_normal_equations.
NormalSums sum_absorbed_normal_equations(const LogisticData& data, const arma::vec& beta,
                                         bool with_statistics, AbsorbedSums& sums);
