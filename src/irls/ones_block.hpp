// The intercept: one implicit column of ones, with no memory.
#pragma once

#include <armadillo>

struct OnesBlock {
  static constexpr bool scattered = false;  // copied into the block buffer (design.hpp)
  arma::uword n_cols = 1;
};

// Its column of rows [first, first + m) into the block buffer out (q doubles
// per observation), at row `offset` of each observation.
inline void copy_rows(const OnesBlock& /*block*/, arma::uword /*n_rows*/, arma::uword /*first*/,
                      arma::uword m, arma::uword offset, arma::uword q, double* out) {
  for (arma::uword k = 0; k < m; ++k) {
    out[k * q + offset] = 1.0;
  }
}
