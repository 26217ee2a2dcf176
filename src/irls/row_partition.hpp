// How one pass splits the rows of X: into blocks that the arithmetic works on
// while they sit in the cache, and blocks into chunks, the units of work of
// the threads. Both depend on the shape alone, never on the thread count, so
// the sums come out the same whatever number of threads adds them up.
#pragma once

#include <armadillo>

struct RowRange {
  arma::uword begin;
  arma::uword end;  // one past the last row
};

struct RowPartition {
  arma::uword block_rows;  // rows copied and multiplied at a time
  arma::uword chunk_rows;  // rows summed into one partial result
  arma::uword n_chunks;
  // The BLAS calls of a block are small enough that OpenBLAS's own threads
  // cost more than they give: it runs them single-threaded.
  bool single_threaded_blas;
};

// Whether the products and solves of a system of q coefficients are small
// enough that OpenBLAS's own threads cost more than they give on them.
bool single_threaded_blas_for(arma::uword q);

// The partition of n rows for a system of q coefficients.
RowPartition partition_rows(arma::uword n, arma::uword q);

// The rows of chunk number `chunk` of n rows.
RowRange chunk_rows(const RowPartition& partition, arma::uword chunk, arma::uword n);
