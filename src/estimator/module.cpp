// quorvi._native: the native entry of the public package quorvi. It runs
// the same engine as _quorvi.irls, with an implicit intercept, frequency
// weights and worker threads, and releases the interpreter lock while it fits.
// Its arguments are validated and laid out by quorvi's Python code.
#include <pybind11/pybind11.h>

#include "fit_entry.hpp"

PYBIND11_MODULE(_native, m) {
  namespace py = pybind11;
  m.def("fit", &fit_entry, py::arg("X"), py::arg("y"), py::arg("sample_weight"), py::arg("fit_intercept"),
        py::arg("tol"), py::arg("max_iter"), py::arg("n_threads"), py::arg("progress"),
        "Fit a logistic regression by IRLS on a float64 X read in place; return the coefficients, the "
        "iteration count, the loop time, the convergence flag and, at the solution, the covariance of the "
        "coefficients, "
        "the deviance and the number of rows fitted at exactly 0 or 1.");
  m.def("blas_threads", &blas_threads_entry,
        "The number of threads the OpenBLAS behind the engine is currently set to use.");
}
