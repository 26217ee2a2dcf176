#include "blas_threads.hpp"

#include <cblas.h>

#include <mutex>

namespace {

std::mutex guard_mutex;
int active_guards = 0;
int saved_thread_count = 1;

}  // namespace

int blas_thread_count() { return openblas_get_num_threads(); }

SingleThreadedBlas::SingleThreadedBlas() {
  const std::lock_guard<std::mutex> lock(guard_mutex);
  if (active_guards++ == 0) {
    saved_thread_count = openblas_get_num_threads();
    openblas_set_num_threads(1);
  }
}

SingleThreadedBlas::~SingleThreadedBlas() {
  const std::lock_guard<std::mutex> lock(guard_mutex);
  if (--active_guards == 0) {
    openblas_set_num_threads(saved_thread_count);
  }
}
