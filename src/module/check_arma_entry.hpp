#pragma once

// check_arma(): writes the Armadillo version the module was compiled against
// and its LAPACK and BLAS back-ends to the process's standard output.
void check_arma_entry();
