// The covariance of the coefficients of a maximum-likelihood fit: the
// inverse of the Fisher information.
#pragma once

#include <armadillo>
#include <vector>

// covariance = fisher^-1, by Cholesky when fisher is positive definite; when
// it is singular (a zero or duplicated column), the pseudo-inverse, the
// minimum-norm answer that statsmodels also gives. covariance must already
// have fisher's size; its memory is written in place (it may be a caller's
// array), and it comes out exactly symmetric; NaN throughout when fisher is
// not finite or its SVD fails.
void invert_fisher_information(const arma::mat& fisher, arma::mat& covariance);

// The covariance of a fit whose coefficients in `dropped` were held at 0:
// the inverse of the Fisher information of the other coefficients, and NaN
// in the rows and columns of the dropped ones (they were not estimated).
// An empty fisher (a fit without updates) gives NaN throughout.
void covariance_of_fit(const arma::mat& fisher, const std::vector<arma::uword>& dropped,
                       arma::mat& covariance);
