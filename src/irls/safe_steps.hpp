// What the estimator's loop adds to a plain IRLS update: a ridge penalty on
// the coefficients after the first `unpenalised` ones (the intercept), and
// step halving when an update makes the penalised deviance worse.
#pragma once

#include <armadillo>

// The objective the loop minimises: deviance + penalty * |beta'|^2, beta'
// the penalised coefficients. With penalty = 1/C this is -2 (l - |beta'|^2 / (2C)).
double penalised_deviance(double deviance, const arma::vec& beta, double penalty, arma::uword unpenalised);

// A + penalty * I', I' the identity with zeros for the unpenalised
// coefficients: the penalised information, whose inverse is the covariance.
arma::mat penalised_information(const arma::mat& A, double penalty, arma::uword unpenalised);

// Whether the step that led to `current` (the penalised deviance at the new
// coefficients) must be halved: it is not finite, or larger than `previous`
// by more than the rounding of a sum of many rows.
bool step_needs_halving(double previous, double current);

// The most halvings of one step (R's glm.fit allows many more; 2^-30 of a
// step is below any tolerance a fit asks for).
constexpr int max_halvings = 30;
