#include "varying_slope_block.hpp"

#include <cmath>

arma::uword first_non_finite(const double* values, arma::uword n_rows) {
  for (arma::uword row = 0; row < n_rows; ++row) {
    if (!std::isfinite(values[row])) {
      return row;
    }
  }
  return n_rows;
}
