// The design matrix as the kernel reads it: blocks of columns side by side,
// each of one kind, read in place from the caller's memory. Today's kinds
// are an implicit column of ones (the intercept) and dense float64 columns
// in either memory order; a new kind (categorical codes, sparse rows) is a
// new block kind with its own row-copying code in the kernel, not a new
// branch in the loop.
#pragma once

#include <armadillo>
#include <cstdint>
#include <vector>

enum class ColumnKind : std::uint8_t {
  ones,   // one implicit column of ones: no memory
  dense,  // n_rows x n_cols doubles
};

struct DesignBlock {
  ColumnKind kind;
  const double* memory;  // dense: never written; need not be aligned. ones: nullptr
  arma::uword n_cols;
  bool row_major;  // dense: rows are contiguous (NumPy's default order)
};

struct Design {
  arma::uword n_rows;               // observations
  std::vector<DesignBlock> blocks;  // in the order of the coefficients
};

// The number of columns of all blocks: the coefficients of the model.
arma::uword column_count(const Design& design);

// n_rows x n_cols doubles at memory, after a column of ones when intercept.
Design dense_design(const double* memory, arma::uword n_rows, arma::uword n_cols, bool row_major,
                    bool intercept);

// X (n x p) as Armadillo holds it: column by column.
Design design_of(const arma::mat& X);

// Xt (p x n), column-major, is the memory of X (n x p) in row-major order.
Design design_of_transpose(const arma::mat& Xt);
