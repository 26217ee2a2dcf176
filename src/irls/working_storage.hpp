// Memory for the large quantities that live through one fit: the transposed
// (or untransposed) copy of X, the column-scaled XW and the per-observation
// vectors.
#pragma once

#include <armadillo>
#include <cstdlib>
#include <memory>

using WorkingMemory = std::unique_ptr<double, decltype(&std::free)>;

// Allocates room for n_elem doubles, aligned for vector loads and, when
// large, advised to the kernel as transparent-huge-page memory, then faults
// every page in. The first touch of each 4 KiB page costs a fault, which on
// our virtual machines takes several microseconds; huge pages cut the count
// 512-fold, and faulting them in here keeps that cost out of the iterations.
// Throws std::bad_alloc when the memory cannot be had.
WorkingMemory allocate_working_memory(arma::uword n_elem);

// A matrix or vector of the given size whose elements live in memory, which
// must hold enough doubles and outlive it. It can never be resized away.
arma::mat matrix_over(const WorkingMemory& memory, arma::uword n_rows, arma::uword n_cols);
arma::vec vector_over(const WorkingMemory& memory, arma::uword n_elem);

// target = source.t(), for a target of the transposed size. Armadillo's own
// transpose reads a short, very wide source (a row-major X seen as p x n)
// row by row with a stride of p doubles, touching every cache line p times;
// this copy goes tile by tile so that each line is read once.
void copy_transposed(const arma::mat& source, arma::mat& target);
