// quorvi._native: the native entry of the public package quorvi. It runs
// the same engine and loop as _quorvi.irls, with an implicit intercept,
// frequency weights, worker threads, dependent columns dropped and quiet
// singular solves, and releases the interpreter lock while it fits. Its
// arguments are validated and laid out by quorvi's Python code.
#include <pybind11/pybind11.h>

#include "registrations.hpp"

PYBIND11_MODULE(_native, m) {
  register_links(m);
  register_meat(m);
  register_blocks(m);
  register_fit_request(m);
  register_results(m);
  register_fits(m);
}
