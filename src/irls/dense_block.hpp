// Dense float64 columns read in place, in either memory order.
#pragma once

#include <armadillo>

struct DenseBlock {
  static constexpr bool scattered = false;  // copied into the block buffer (design.hpp)
  const double* memory;                     // n_rows x n_cols doubles: never written; need not be aligned
  arma::uword n_cols;
  bool row_major;  // rows are contiguous (NumPy's default order)
};

// Its columns of rows [first, first + m) of a design of n_rows rows into
// the block buffer out, one observation per q doubles, from row `offset`.
// The same layout whatever the memory order, so both orders give the same
// bits. X is read only through memcpy loads, so its memory need not be
// aligned.
void copy_rows(const DenseBlock& block, arma::uword n_rows, arma::uword first, arma::uword m,
               arma::uword offset, arma::uword q, double* out);
