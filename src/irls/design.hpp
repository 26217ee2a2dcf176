// The design matrix as the kernel reads it: blocks of columns side by side,
// each of one kind, read in place from the caller's memory: an implicit
// column of ones (the intercept), dense float64 columns in either memory
// order, a categorical column as its integer codes, and sparse rows (CSR).
// The dense kinds come first: the kernel copies their rows into a block
// buffer for the BLAS; the other kinds ("scattered" blocks, after them) add
// their rows' terms straight into the sums, touching no zero
// (categorical_block.cpp, sparse_block.cpp).
#pragma once

#include <armadillo>
#include <cstdint>
#include <vector>

enum class ColumnKind : std::uint8_t {
  ones,         // one implicit column of ones: no memory
  dense,        // n_rows x n_cols doubles
  categorical,  // n_rows integer codes; code c is column c - first_level (none below first_level)
  sparse,       // compressed sparse rows: n_cols columns
};

struct DesignBlock {
  ColumnKind kind;
  const double* memory;  // dense: never written; need not be aligned. ones: nullptr
  arma::uword n_cols;
  bool row_major;  // dense: rows are contiguous (NumPy's default order)
  // categorical: n_rows codes of code_bytes (1, 2 or 4) bytes each, signed,
  // aligned, every one in [0, first_level + n_cols) (checked where the
  // design is built, never in the kernel). first_level is 1 when the first
  // level is the reference (no column), else 0.
  const void* codes = nullptr;
  unsigned code_bytes = 0;
  arma::uword first_level = 0;
  // sparse: row i's values are memory[start(i) .. start(i + 1)) in the
  // columns column_indices[same range], each in [0, n_cols) and increasing
  // within the row (checked where the design is built). The row starts are
  // n_rows + 1 integers of row_start_bytes (4 or 8) bytes each, scipy's
  // indptr in place whichever width it has: read them through
  // sparse_row_start (sparse_block.hpp).
  const void* row_starts = nullptr;
  unsigned row_start_bytes = 8;
  const std::int32_t* column_indices = nullptr;
};

struct Design {
  arma::uword n_rows;               // observations
  std::vector<DesignBlock> blocks;  // in the order of the coefficients
};

// The number of columns of all blocks: the coefficients of the model.
arma::uword column_count(const Design& design);

// The columns of the leading ones and dense blocks: those the kernel copies
// into its block buffer. Equal to column_count for a design of those alone.
arma::uword dense_column_count(const Design& design);

// True for the kinds whose rows are added straight into the sums.
bool is_scattered(ColumnKind kind);

// n_rows x n_cols doubles at memory, after a column of ones when intercept.
Design dense_design(const double* memory, arma::uword n_rows, arma::uword n_cols, bool row_major,
                    bool intercept);

// X (n x p) as Armadillo holds it: column by column.
Design design_of(const arma::mat& X);

// Xt (p x n), column-major, is the memory of X (n x p) in row-major order.
Design design_of_transpose(const arma::mat& Xt);
