// A read-only view of a dense design matrix in either memory order, so that
// the engine reads a caller's row-major or column-major X in place.
#pragma once

#include <armadillo>

struct DesignView {
  const double* memory;  // n_rows * n_cols doubles, never written; need not be aligned
  arma::uword n_rows;    // observations
  arma::uword n_cols;    // predictors
  bool row_major;        // rows are contiguous (NumPy's default order)
};

// X (n x p) as Armadillo holds it: column by column.
DesignView column_major_view(const arma::mat& X);

// Xt (p x n), column-major, is the memory of X (n x p) in row-major order.
DesignView row_major_view(const arma::mat& Xt);
