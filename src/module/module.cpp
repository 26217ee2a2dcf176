// The _quorvi extension module: registers irls and check_arma. pybind11's
// module macro supplies the interpreter-version check, the multi-phase
// definition and the execution step with its error handling.
#include <pybind11/pybind11.h>

#include "check_arma_entry.hpp"
#include "irls_entry.hpp"

PYBIND11_MODULE(_quorvi, m) {
  // No parameter names: both functions take positional arguments only.
  m.def("irls", &irls_entry, "Run Iteratively Reweighted Least Squares (IRLS)");
  m.def("check_arma", &check_arma_entry, "Check armadillo info");
}
