// The per-row loops of a pass, over a block of rows, for the link of the
// data (links.hpp): the mean, the working weights, the score residuals, the
// robust sums' moments and the deviances. The link is chosen once per
// block, and each loop is compiled for the widest vector unit the CPU has
// (chosen when the library loads) with the same bits at every width.
#pragma once

#include <armadillo>

#include "links.hpp"

// mu = h(eta) per row, and the link's state beside it.
void means(LinkKind link, const double* eta, arma::uword m, double* mu, double* state);

// Where a weights loop leaves the rows' s h'(eta) and s h''(eta) for the
// margin sums; null pointers: not formed.
struct MarginTerms {
  double* slope = nullptr;
  double* curvature = nullptr;
};

// s w z and sqrt(s w) per row, s w z in place of the row's mean mu: w the
// clamped weight and z = linear + r / w the working response of the
// coefficients alone (linear is x'beta without the offset; eta, with it,
// is what the weight is a function of). s may be null: every weight is
// then 1.
void working_weights(LinkKind link, const double* linear, const double* eta, const double* y, const double* s,
                     const double* state, arma::uword m, double* mu_then_weighted_z, double* root,
                     MarginTerms margin);

// The same weights with s r, the rows' terms of the score, in place of s w z.
void score_weights(LinkKind link, const double* eta, const double* y, const double* s, const double* state,
                   arma::uword m, double* mu_then_weighted_residual, double* root, MarginTerms margin);

// The rows' score residuals r and clamped weights w (without s), for the
// robust sums.
void meat_moments(LinkKind link, const double* eta, const double* y, const double* mu, const double* state,
                  arma::uword m, double* residual, double* weight);

// Each row's contribution to the deviance, s * 2 * (its deviance).
void row_deviances(LinkKind link, const double* eta, const double* y, const double* s, const double* mu,
                   const double* state, arma::uword m, double* deviance);

// The sum of v[0..m) as eight interleaved partial sums added at the end:
// the lanes are fixed by the code, not by the vector unit, so the loop
// vectorises and gives the same bits at every width.
double lane_sum(const double* v, arma::uword m);
