// The rows of a design's scattered blocks (categorical codes, sparse rows,
// varying slopes): each row is read as the short list of its nonzero
// entries (a categorical gives one entry of value 1 in its level's column,
// or none at the reference level; a varying slope the same entry with the
// row's multiplier as its value; a sparse row its stored values), and its
// terms go straight into the sums: b[c] += v s w z, A[c, c'] += s w v v'
// for the row's pairs, and the cross block with the dense columns as an
// axpy of the row's dense values into one column of a small buffer. No zero
// is touched, so one pass costs O(n (q_dense^2 + entries q_dense +
// entries^2)).
//
// A row's entries come in increasing column order, each column once: the
// blocks follow one another in the coefficients' order, and a sparse
// block's indices increase within each row (checked where the design is
// built). So the pairs of an entry with those after it all lie in one
// column of A's lower triangle, written without a test of which is larger.
#pragma once

#include <armadillo>
#include <vector>

#include "design.hpp"
#include "row_partition.hpp"

// Where the scattered terms of A go: A's own lower triangle (full storage,
// column j at j q) or a packed one, where column j holds its rows j..q-1
// right after the columns before it. A chunk's partial sums are packed:
// half the memory of A, and half the memory to clear and add per chunk.
// Element (i, j), i >= j, of such a triangle of order q lies at
// lower_column_offset(j, q, packed) + i.
inline arma::uword lower_column_offset(arma::uword j, arma::uword q, bool packed) {
  return j * q - (packed ? j * (j + 1) / 2 : 0);
}

struct LowerTriangle {
  double* memory;
  arma::uword q;
  bool packed;
  double* column(arma::uword j) const { return memory + lower_column_offset(j, q, packed); }
};

// The lower triangle of a square matrix in full storage.
inline LowerTriangle full_lower_triangle(arma::mat& A) { return LowerTriangle{A.memptr(), A.n_rows, false}; }

// The number of doubles of a packed lower triangle of order q.
arma::uword packed_size(arma::uword q);

// Per-thread working memory of the scattered blocks.
struct ScatterScratch {
  // q_dense x (q - q_dense): column c - q_dense holds the sum of s w x_dense
  // over the rows with an entry in column c (times its value); added into
  // A's lower triangle and cleared at the end of each row range.
  arma::mat cross;
  // q_dense x q_dense, made when first needed: the dense columns' rank-k
  // updates of a row range whose sums are packed (the BLAS writes full
  // storage only); added into the packed triangle at the end of the range.
  arma::mat dense_corner;
  // The entries of a block of rows (gather_rows): row k's are
  // columns[row_starts[k] .. row_starts[k + 1]), coefficient indices, and
  // values alike. The vectors keep their capacity from block to block.
  std::vector<arma::uword> row_starts;
  std::vector<arma::uword> columns;
  std::vector<double> values;
  std::vector<arma::uword> cursor;  // where each row's next entry goes, while they are gathered
  std::vector<double> eta_part;     // the rows' scattered part of x'beta (add_scattered_eta)
};

ScatterScratch make_scatter_scratch(arma::uword q_dense, arma::uword q);

// The entries of rows [first, first + m) of all scattered blocks, as
// coefficient indices and values, into scratch (row_starts, columns,
// values): each block is read once for the m rows, each row's entries in
// increasing column order.
void gather_rows(const Design& X, arma::uword first, arma::uword m, ScatterScratch& scratch);

// eta[k] += the scattered blocks' part of x_(first + k)' beta, k < m: each
// row's entries summed in column order (in scratch.eta_part), then added.
void add_scattered_eta(const Design& X, const arma::vec& beta, arma::uword first, arma::uword m, double* eta,
                       ScatterScratch& scratch);

// The rows' scattered terms into b and A's lower triangle (directly) and
// into scratch.cross. dense_rows holds the rows' dense columns unscaled,
// one observation per column; root_weight is sqrt(s w), weighted_z is s w
// z. With weighted_z null, b is untouched: the robust sums add their meat's
// terms here, with their own root, A the meat and a scratch of their own.
void add_scattered_sums(const Design& X, arma::uword first, arma::uword m, const arma::mat& dense_rows,
                        const double* root_weight, const double* weighted_z, ScatterScratch& scratch,
                        const LowerTriangle& A, arma::vec& b);

// sums[c] += the sum over rows k < m of row_values[k] x_(first + k)[c], for
// the scattered columns c (one sum per coefficient): the margin sums'
// s h''(eta) x. Each column's terms are added in row order.
void add_scattered_products(const Design& X, arma::uword first, arma::uword m, const double* row_values,
                            double* sums);

// scratch.cross into rows q_dense.. of A's first q_dense columns (the lower
// triangle), then cleared. Called once per row range, so that the sums of a
// chunk are complete when the chunk is added in order.
void add_cross_block(ScatterScratch& scratch, const LowerTriangle& A);

// scratch.dense_corner's lower triangle into A's first q_dense columns,
// then cleared; once per row range, as the cross block.
void add_dense_corner(ScatterScratch& scratch, const LowerTriangle& A);

// The partition of a design with scattered blocks: the dense columns' one,
// with chunks widened so that each is at least q^2 / 4 rows. A chunk's
// partial sums are q x q, reset and added once per chunk; with few dense
// columns and many scattered ones (a categorical of a thousand levels, a
// sparse X) the standard chunk of a few thousand rows would spend as much
// on that as on its rows. Depends on the shape alone, as the standard one.
RowPartition scattered_partition(const RowPartition& dense, arma::uword n, arma::uword q);
