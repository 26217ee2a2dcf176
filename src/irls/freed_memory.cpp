#include "freed_memory.hpp"

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace {

// From 256 coefficients a temporary is half a megabyte; below that the
// trim (a walk over the heap's free lists) is not worth its time.
constexpr arma::uword fewest_coefficients = 256;

}  // namespace

void release_freed_memory(arma::uword q) {
#ifdef __GLIBC__
  if (q >= fewest_coefficients) {
    malloc_trim(0);
  }
#else
  (void)q;
#endif
}
