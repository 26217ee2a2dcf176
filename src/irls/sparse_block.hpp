// Sparse rows (compressed sparse rows, scipy's CSR, read in place): a row's
// entries are its stored values, in the columns its indices give. A
// scattered kind (design.hpp): its terms go straight into the sums
// (scattered_blocks.hpp).
#pragma once

#include <armadillo>
#include <cstddef>
#include <cstdint>
#include <string>

struct SparseBlock {
  static constexpr bool scattered = true;
  // Row i's values are values[start(i) .. start(i + 1)) in the columns
  // column_indices[same range], each in [0, n_cols) and increasing within
  // the row (checked where the design is built). The row starts are
  // n_rows + 1 integers of row_start_bytes (4 or 8) bytes each, scipy's
  // indptr in place whichever width it has.
  const double* values;
  const void* row_starts;
  unsigned row_start_bytes;
  const std::int32_t* column_indices;
  arma::uword n_cols;
};

// f(starts) with the row starts as the integers they are: the width is
// read once per call, not once per row.
template <class F>
void with_row_starts(const SparseBlock& block, F&& f) {
  if (block.row_start_bytes == 4) {
    f(static_cast<const std::int32_t*>(block.row_starts));
  } else {
    f(static_cast<const std::int64_t*>(block.row_starts));
  }
}

// sum[k] += the block's part of x_(first + k)' beta, k < m, its entries
// added in column order; beta starts at the block's first coefficient.
inline void add_eta(const SparseBlock& block, const double* beta, arma::uword first, arma::uword m,
                    double* sum) {
  with_row_starts(block, [&](const auto* starts) {
    for (arma::uword k = 0; k < m; ++k) {
      const std::int64_t end = starts[first + k + 1];
      for (std::int64_t at = starts[first + k]; at < end; ++at) {
        sum[k] += block.values[at] * beta[block.column_indices[at]];
      }
    }
  });
}

// counts[k] += the number of entries row first + k stores.
inline void count_entries(const SparseBlock& block, arma::uword first, arma::uword m, arma::uword* counts) {
  with_row_starts(block, [&](const auto* starts) {
    for (arma::uword k = 0; k < m; ++k) {
      counts[k] += static_cast<arma::uword>(starts[first + k + 1] - starts[first + k]);
    }
  });
}

// Row first + k's entries from columns[cursor[k]] (their coefficients,
// offset being the block's first) and values[cursor[k]] on; cursor[k]
// moves past them.
inline void write_entries(const SparseBlock& block, arma::uword first, arma::uword m, arma::uword offset,
                          arma::uword* cursor, arma::uword* columns, double* values) {
  with_row_starts(block, [&](const auto* starts) {
    for (arma::uword k = 0; k < m; ++k) {
      const std::int64_t end = starts[first + k + 1];
      for (std::int64_t at = starts[first + k]; at < end; ++at) {
        columns[cursor[k]] = offset + static_cast<arma::uword>(block.column_indices[at]);
        values[cursor[k]] = block.values[at];
        ++cursor[k];
      }
    }
  });
}

// row(k, columns, values, entries) for each row first + k, k < m, with its
// entries read in place: columns within the block.
template <class Row>
void for_each_row(const SparseBlock& block, arma::uword first, arma::uword m, Row&& row) {
  with_row_starts(block, [&](const auto* starts) {
    for (arma::uword k = 0; k < m; ++k) {
      const std::int64_t start = starts[first + k];
      row(k, block.column_indices + start, block.values + start,
          static_cast<std::size_t>(starts[first + k + 1] - start));
    }
  });
}

// What the binding checks before a sparse block is built, so that the
// kernel reads nothing out of range: row_starts (n_rows + 1 of them, of
// width bytes each, 4 or 8) start at 0, never decrease and end at stored;
// every index is in [0, n_cols); the indices increase within each row (the
// kernel relies on that order). Returns an empty string when they hold,
// else what is wrong.
std::string sparse_layout_problem(const void* row_starts, unsigned width, const std::int32_t* column_indices,
                                  arma::uword n_rows, arma::uword stored, arma::uword n_cols);
