// Sparse rows (compressed sparse rows, scipy's CSR, read in place): a row's
// entries are its stored values, in the columns its indices give.
#pragma once

#include <armadillo>
#include <cstdint>
#include <string>

#include "design.hpp"

// Where row `row` of a sparse block starts in its values and indices (and,
// for row n_rows, how many it stores).
inline std::int64_t sparse_row_start(const DesignBlock& block, arma::uword row) {
  return block.row_start_bytes == 4 ? static_cast<const std::int32_t*>(block.row_starts)[row]
                                    : static_cast<const std::int64_t*>(block.row_starts)[row];
}

// Appends row's stored entries of a sparse block whose first column is the
// coefficient `offset`.
template <class Columns, class Values>
void append_sparse_entries(const DesignBlock& block, arma::uword row, arma::uword offset, Columns& columns,
                           Values& values) {
  const std::int64_t end = sparse_row_start(block, row + 1);
  for (std::int64_t at = sparse_row_start(block, row); at < end; ++at) {
    columns.push_back(offset + static_cast<arma::uword>(block.column_indices[at]));
    values.push_back(block.memory[at]);
  }
}

// What the binding checks before a sparse block is built, so that the
// kernel reads nothing out of range: row_starts (n_rows + 1 of them, of
// width bytes each, 4 or 8) start
// at 0, never decrease and end at stored; every index is in [0, n_cols);
// the indices increase within each row (the kernel relies on that order).
// Returns an empty string when they hold, else what is wrong.
std::string sparse_layout_problem(const void* row_starts, unsigned width, const std::int32_t* column_indices,
                                  arma::uword n_rows, arma::uword stored, arma::uword n_cols);
