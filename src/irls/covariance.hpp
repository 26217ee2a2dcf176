// The covariance of the coefficients of a maximum-likelihood fit: the
// inverse of the Fisher information at the solution.
#pragma once

#include <armadillo>

// covariance = fisher^-1, by Cholesky when fisher is positive definite; when
// it is singular (a zero or duplicated column), the pseudo-inverse, the
// minimum-norm answer that statsmodels also gives. covariance must already
// have fisher's size; its memory is written in place (it may be a caller's
// array), and it comes out exactly symmetric; NaN throughout when fisher is
// not finite or its SVD fails.
void invert_fisher_information(const arma::mat& fisher, arma::mat& covariance);
