// A solve of the normal equations that uses the structure a categorical
// column gives them: the indicators of one categorical share no row, so
// their block of X'WX is diagonal, and eliminating it first leaves a system
// of the other columns alone. At 1,000 levels beside 60 other columns the
// factorisation costs 60^2 x 1,000 operations instead of 1,060^3 / 3.
#pragma once

#include <armadillo>

// The fewest columns of a diagonal block worth eliminating apart.
constexpr arma::uword min_diagonal_block = 32;

// Solves A x = b, A symmetric (both triangles) and positive definite, by
// eliminating its longest run of consecutive columns whose block of A is
// diagonal: with D that block, B its rows of the other columns and S =
// A_rest - B' D^-1 B, S x_rest = b_rest - B' D^-1 b_run, then x_run =
// D^-1 (b_run - B x_rest). Returns false, with x untouched, when A has no
// such run of min_diagonal_block columns or more, when D is not positive,
// or when S cannot be solved as positive definite: the caller then solves A
// as a whole.
bool solve_by_diagonal_block(const arma::mat& A, const arma::vec& b, arma::vec& x);
