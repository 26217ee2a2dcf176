// A categorical column read as its integer codes (a pandas Categorical's
// codes, in place): the row's one entry, of value 1, in its level's column.
#pragma once

#include <armadillo>
#include <cstdint>
#include <cstring>

#include "design.hpp"

// The code of row `row`, whatever its width. The binding checked every code
// to lie in [0, first_level + n_cols).
inline arma::uword categorical_code(const DesignBlock& block, arma::uword row) {
  switch (block.code_bytes) {
    case 1:
      return static_cast<arma::uword>(static_cast<const std::int8_t*>(block.codes)[row]);
    case 2:
      return static_cast<arma::uword>(static_cast<const std::int16_t*>(block.codes)[row]);
    default:
      return static_cast<arma::uword>(static_cast<const std::int32_t*>(block.codes)[row]);
  }
}

// Appends row's entry of a categorical block whose first column is the
// coefficient `offset`: none at the reference level.
template <class Columns, class Values>
void append_categorical_entry(const DesignBlock& block, arma::uword row, arma::uword offset, Columns& columns,
                              Values& values) {
  const arma::uword code = categorical_code(block, row);
  if (code >= block.first_level) {
    columns.push_back(offset + code - block.first_level);
    values.push_back(1.0);
  }
}

// The codes of a categorical block as width bytes each are all in [0, levels):
// what the binding checks before a block is built, so that the kernel never
// reads a coefficient out of range. Returns the first row out of range, or
// n_rows when there is none.
arma::uword first_code_out_of_range(const void* codes, unsigned width, arma::uword n_rows,
                                    arma::uword levels);
