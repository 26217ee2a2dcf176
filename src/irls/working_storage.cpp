#include "working_storage.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <cstddef>
#include <limits>
#include <new>

namespace {

// Huge pages are 2 MiB on x86-64 and on the common aarch64 kernels; aligning
// a large block to that size lets the kernel back all of it with them.
constexpr std::size_t huge_page_bytes = std::size_t{2} << 20;
constexpr std::size_t cache_line_bytes = 64;

// 32 x 32 doubles (8 KiB) of source and target stay in the L1 cache.
constexpr arma::uword transpose_tile = 32;

}  // namespace

WorkingMemory allocate_working_memory(arma::uword n_elem) {
  if (n_elem > std::numeric_limits<std::size_t>::max() / sizeof(double)) {
    throw std::bad_alloc();
  }
  // Never ask for zero bytes: an empty matrix still gets a valid pointer.
  const std::size_t bytes = std::max<std::size_t>(n_elem, 1) * sizeof(double);
  const bool large = bytes >= huge_page_bytes;
  void* memory = nullptr;
  if (posix_memalign(&memory, large ? huge_page_bytes : cache_line_bytes, bytes) != 0) {
    throw std::bad_alloc();
  }
  if (large) {
    // Both are advice: where the kernel refuses them (older kernels, THP
    // disabled), small pages are faulted in on first use as before.
    static_cast<void>(madvise(memory, bytes, MADV_HUGEPAGE));
#ifdef MADV_POPULATE_WRITE
    static_cast<void>(madvise(memory, bytes, MADV_POPULATE_WRITE));
#endif
  }
  return WorkingMemory(static_cast<double*>(memory), &std::free);
}

arma::mat matrix_over(const WorkingMemory& memory, arma::uword n_rows, arma::uword n_cols) {
  // copy_aux_mem = false, strict = true: the matrix uses this memory as is.
  return arma::mat(memory.get(), n_rows, n_cols, false, true);
}

arma::vec vector_over(const WorkingMemory& memory, arma::uword n_elem) {
  return arma::vec(memory.get(), n_elem, false, true);
}

void copy_transposed(const arma::mat& source, arma::mat& target) {
  const arma::uword rows = source.n_rows;
  const arma::uword cols = source.n_cols;
  for (arma::uword row_start = 0; row_start < rows; row_start += transpose_tile) {
    const arma::uword row_end = std::min(rows, row_start + transpose_tile);
    for (arma::uword col_start = 0; col_start < cols; col_start += transpose_tile) {
      const arma::uword col_end = std::min(cols, col_start + transpose_tile);
      for (arma::uword row = row_start; row < row_end; ++row) {
        for (arma::uword col = col_start; col < col_end; ++col) {
          target.at(col, row) = source.at(row, col);
        }
      }
    }
  }
}
