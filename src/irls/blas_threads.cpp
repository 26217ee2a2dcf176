#include "blas_threads.hpp"

// scipy-openblas32's CBLAS header: its thread-count functions are
// scipy_openblas_get_num_threads and scipy_openblas_set_num_threads, the
// library's own, which threadpoolctl and OPENBLAS_NUM_THREADS act on too.
#include <cblas.h>

#include <mutex>

namespace {

// The guards of the process: the engine is one shared library that both
// extension modules link, so this count is the only one. A guard that finds
// OpenBLAS already single-threaded (set so by the user) leaves the count
// alone on both ends, and the count that was there before the first guard
// is always what remains.
std::mutex guard_mutex;
int active_guards = 0;
int restore_to = 0;  // 0: nothing to restore

}  // namespace

int blas_thread_count() { return scipy_openblas_get_num_threads(); }

SingleThreadedBlas::SingleThreadedBlas() {
  const std::lock_guard<std::mutex> lock(guard_mutex);
  if (active_guards++ == 0) {
    const int current = scipy_openblas_get_num_threads();
    restore_to = current == 1 ? 0 : current;
    if (restore_to != 0) {
      scipy_openblas_set_num_threads(1);
    }
  }
}

SingleThreadedBlas::~SingleThreadedBlas() {
  const std::lock_guard<std::mutex> lock(guard_mutex);
  if (--active_guards == 0 && restore_to != 0) {
    scipy_openblas_set_num_threads(restore_to);
    restore_to = 0;
  }
}
