#include "absorbed_codes.hpp"

arma::uword first_level_out_of_range(const AbsorbedCodes& codes, arma::uword n_rows, arma::uword n_levels) {
  arma::uword bad = n_rows;
  with_absorbed_codes(codes, [&](const auto* values) {
    for (arma::uword row = 0; row < n_rows; ++row) {
      if (values[row] < 0 || static_cast<arma::uword>(values[row]) >= n_levels) {
        bad = row;
        return;
      }
    }
  });
  return bad;
}
