#include "working_storage.hpp"

#include <sys/mman.h>

#include <cstddef>
#include <limits>
#include <new>

namespace {

// Huge pages are 2 MiB on x86-64 and on the common aarch64 kernels; aligning
// a large block to that size lets the kernel back all of it with them.
constexpr std::size_t huge_page_bytes = std::size_t{2} << 20;
constexpr std::size_t cache_line_bytes = 64;

}  // namespace

MatrixMemory allocate_matrix_memory(arma::uword n_elem) {
  if (n_elem > std::numeric_limits<std::size_t>::max() / sizeof(double)) {
    throw std::bad_alloc();
  }
  // Never ask for zero bytes: an empty matrix still gets a valid pointer.
  const std::size_t bytes = (n_elem == 0 ? 1 : n_elem) * sizeof(double);
  const bool large = bytes >= huge_page_bytes;
  void* memory = nullptr;
  if (posix_memalign(&memory, large ? huge_page_bytes : cache_line_bytes, bytes) != 0) {
    throw std::bad_alloc();
  }
  if (large) {
    // Advice only: where the kernel refuses it, small pages serve as before.
    static_cast<void>(madvise(memory, bytes, MADV_HUGEPAGE));
  }
  return MatrixMemory(static_cast<double*>(memory), &std::free);
}

arma::mat matrix_over(const MatrixMemory& memory, arma::uword n_rows, arma::uword n_cols) {
  // copy_aux_mem = false, strict = true: the matrix uses this memory and can
  // never be resized away from it.
  return arma::mat(memory.get(), n_rows, n_cols, false, true);
}
