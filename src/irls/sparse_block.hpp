// Sparse rows (compressed sparse rows, scipy's CSR, read in place): a row's
// entries are its stored values, in the columns its indices give.
#pragma once

#include <armadillo>
#include <cstdint>
#include <string>

#include "design.hpp"

// Appends row's stored entries of a sparse block whose first column is the
// coefficient `offset`.
template <class Columns, class Values>
void append_sparse_entries(const DesignBlock& block, arma::uword row, arma::uword offset, Columns& columns,
                           Values& values) {
  for (std::int64_t at = block.row_starts[row]; at < block.row_starts[row + 1]; ++at) {
    columns.push_back(offset + static_cast<arma::uword>(block.column_indices[at]));
    values.push_back(block.memory[at]);
  }
}

// What the binding checks before a sparse block is built, so that the
// kernel reads nothing out of range: row_starts (n_rows + 1 of them) start
// at 0, never decrease and end at stored; every index is in [0, n_cols);
// the indices increase within each row (the kernel relies on that order).
// Returns an empty string when they hold, else what is wrong.
std::string sparse_layout_problem(const std::int64_t* row_starts, const std::int32_t* column_indices,
                                  arma::uword n_rows, arma::uword stored, arma::uword n_cols);
