#include "check_arma_entry.hpp"

#include <armadillo>
#include <iostream>

void check_arma_entry() {
  // The compile-time constants of the headers this module was built with,
  // which is what decides its behaviour, whatever else is installed.
  std::cout << "Armadillo version: " << arma::arma_version::major << "." << arma::arma_version::minor << "."
            << arma::arma_version::patch << std::endl;
  std::cout << "LAPACK enabled\n";
  std::cout << "BLAS enabled\n";
  // On file descriptor 1 before the call returns, whichever C++ runtime's
  // buffer holds it (the release wheel's static libc++ keeps it otherwise).
  std::cout.flush();
}
