// Memory for the large matrices that live through one fit (the transposed
// or untransposed copy of X and the column-scaled XW).
#pragma once

#include <armadillo>
#include <cstdlib>
#include <memory>

using MatrixMemory = std::unique_ptr<double, decltype(&std::free)>;

// Allocates room for n_elem doubles, aligned for vector loads and, when large,
// advised to the kernel as transparent-huge-page memory: the first touch of
// every 4 KiB page costs a fault, and a matrix of X's size is touched anew
// in every call. Throws std::bad_alloc when the memory cannot be had.
MatrixMemory allocate_matrix_memory(arma::uword n_elem);

// A matrix of the given size whose elements live in memory, which must hold
// at least n_rows * n_cols doubles and outlive the matrix.
arma::mat matrix_over(const MatrixMemory& memory, arma::uword n_rows, arma::uword n_cols);
