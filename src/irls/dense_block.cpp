#include "dense_block.hpp"

#include <algorithm>
#include <cstring>

namespace {

// One double of X, wherever it lies: X may be a view of a buffer that
// arrived over a network, not aligned to 8 bytes. The copy compiles to the
// same unaligned load as a plain read on the processors the engine targets.
double load(const double* address) {
  double value = 0.0;
  std::memcpy(&value, address, sizeof value);
  return value;
}

// Row by row, a plain loop rather than a library call per row (rows of a
// few doubles).
void copy_row_major(const DenseBlock& block, arma::uword first, arma::uword m, arma::uword offset,
                    arma::uword q, double* out) {
  for (arma::uword k = 0; k < m; ++k) {
    double* column = out + k * q + offset;
    const double* row = block.memory + (first + k) * block.n_cols;
    for (arma::uword j = 0; j < block.n_cols; ++j) {
      column[j] = load(row + j);
    }
  }
}

// Eight source columns at a time: each row of the buffer is then written in
// runs of eight neighbouring doubles while eight column streams are read in
// order, where a column at a time would write one double per cache line of
// the buffer.
void copy_column_major(const DenseBlock& block, arma::uword n_rows, arma::uword first, arma::uword m,
                       arma::uword offset, arma::uword q, double* out) {
  constexpr arma::uword tile = 8;
  for (arma::uword j0 = 0; j0 < block.n_cols; j0 += tile) {
    const arma::uword width = std::min(tile, block.n_cols - j0);
    const double* sources[tile] = {};
    for (arma::uword j = 0; j < width; ++j) {
      sources[j] = block.memory + (j0 + j) * n_rows + first;
    }
    for (arma::uword k = 0; k < m; ++k) {
      double* row = out + k * q + offset + j0;
      for (arma::uword j = 0; j < width; ++j) {
        row[j] = load(sources[j] + k);
      }
    }
  }
}

}  // namespace

void copy_rows(const DenseBlock& block, arma::uword n_rows, arma::uword first, arma::uword m,
               arma::uword offset, arma::uword q, double* out) {
  if (block.row_major && offset == 0 && block.n_cols == q) {
    // The rows are a contiguous slab of X already in this layout. (A block
    // without columns may have no memory at all: nothing to copy.)
    if (q > 0) {
      std::memcpy(out, block.memory + first * q, m * q * sizeof(double));
    }
    return;
  }
  if (block.row_major) {
    copy_row_major(block, first, m, offset, q, out);
  } else {
    copy_column_major(block, n_rows, first, m, offset, q, out);
  }
}
