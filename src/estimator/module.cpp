// quorvi._native: the native entry of the public package quorvi. It runs
// the same engine as _quorvi.irls, with an implicit intercept, frequency
// weights and worker threads, and releases the interpreter lock while it fits.
// Its arguments are validated and laid out by quorvi's Python code.
#include <pybind11/pybind11.h>

#include "chunk_entries.hpp"
#include "fit_entry.hpp"

PYBIND11_MODULE(_native, m) {
  namespace py = pybind11;
  m.def("fit", &fit_entry, py::arg("X"), py::arg("y"), py::arg("sample_weight"), py::arg("fit_intercept"),
        py::arg("tol"), py::arg("max_iter"), py::arg("n_threads"), py::arg("progress"),
        "Fit a logistic regression by IRLS on a float64 X read in place; return the coefficients, the "
        "iteration count, the loop time, the convergence flag and, at the solution, the covariance of the "
        "coefficients, "
        "the deviance and the number of rows fitted at exactly 0 or 1.");
  m.def("normal_equations", &normal_equations_entry, py::arg("X"), py::arg("y"), py::arg("sample_weight"),
        py::arg("beta"), py::arg("fit_intercept"), py::arg("with_statistics"),
        "The weighted normal equations of X's rows at beta (one chunk of a distributed fit): A, b and, "
        "with statistics, the deviance and the rows fitted at exactly 0 or 1.");
  m.def("irls_update", &irls_update_entry, py::arg("A"), py::arg("b"), py::arg("beta"), py::arg("tol"),
        "Solve the summed normal equations: the new coefficients, whether one moved by more than tol, and "
        "the largest change.");
  m.def("covariance", &covariance_entry, py::arg("fisher_information"),
        "The inverse of the Fisher information, or its pseudo-inverse when it is singular.");
  m.def("blas_threads", &blas_threads_entry,
        "The number of threads the OpenBLAS behind the engine is currently set to use.");
}
