#include "categorical_block.hpp"

namespace {

template <class Code>
arma::uword first_out_of_range(const Code* codes, arma::uword n_rows, arma::uword levels) {
  for (arma::uword row = 0; row < n_rows; ++row) {
    if (codes[row] < 0 || static_cast<arma::uword>(codes[row]) >= levels) {
      return row;
    }
  }
  return n_rows;
}

}  // namespace

arma::uword first_code_out_of_range(const void* codes, unsigned width, arma::uword n_rows,
                                    arma::uword levels) {
  switch (width) {
    case 1:
      return first_out_of_range(static_cast<const std::int8_t*>(codes), n_rows, levels);
    case 2:
      return first_out_of_range(static_cast<const std::int16_t*>(codes), n_rows, levels);
    default:
      return first_out_of_range(static_cast<const std::int32_t*>(codes), n_rows, levels);
  }
}
