// A design of several column kinds from Python: a list of blocks, in the
// order of the coefficients, each a tuple
//   ("dense", X)                                  X: 2-D float64, C or F order
//   ("categorical", codes, n_levels, drop_first)  codes: 1-D int8/16/32, contiguous
//   ("sparse", data, indices, indptr, n_cols)     CSR: float64, int32, int64
//   ("varying_slope", codes, n_levels, drop_first, multiplier)
//                                                 codes as a categorical's; multiplier:
//                                                 1-D float64, contiguous, finite
// The dense blocks come before the others. Every array is read in place for
// as long as the list is alive, so nothing here converts an array (a
// temporary copy would be gone before the kernel reads it): a block of any
// other layout is a ValueError, and so is a code or a column index out of
// range, and a multiplier that is not finite (checked here once, so that the
// kernel never reads out of range).
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "design.hpp"

// The design of the blocks, after a column of ones when intercept.
Design design_of_blocks(const pybind11::list& blocks, bool intercept);
