// Giving the memory of a fit's large temporaries back to the system as soon
// as they are freed.
#pragma once

#include <armadillo>

// After the temporaries of one update of a system of q coefficients are
// freed (the solve's copy of A, the dependent-column search's): glibc's
// malloc serves a block of the size it last returned to the system from
// its heap instead, and keeps it there when it is freed, so without this a
// fit's resident memory grows by q^2 doubles at some updates and stays so.
// Returns the heap's free pages to the system (malloc_trim) when the
// temporaries are large enough for that to matter; nothing elsewhere.
void release_freed_memory(arma::uword q);
