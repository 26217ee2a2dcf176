// The thread count of the OpenBLAS that the engine calls. Workers of our own
// need it single-threaded: OpenBLAS called from several threads at once while
// it also threads its calls runs many times slower than either alone.
#pragma once

// What OpenBLAS is currently set to use (OPENBLAS_NUM_THREADS, threadpoolctl
// and scipy_openblas_set_num_threads all change it).
int blas_thread_count();

// While one of these lives, OpenBLAS runs single-threaded. The setting is
// process-wide in OpenBLAS, so overlapping guards (fits in several threads)
// share it: the first one saves the count, the last one restores it.
struct SingleThreadedBlas {
  SingleThreadedBlas();
  ~SingleThreadedBlas();
  SingleThreadedBlas(const SingleThreadedBlas&) = delete;
  SingleThreadedBlas& operator=(const SingleThreadedBlas&) = delete;
  SingleThreadedBlas(SingleThreadedBlas&&) = delete;
  SingleThreadedBlas& operator=(SingleThreadedBlas&&) = delete;
};
