// The absorbed fixed effect of quorvi._native.fit, as the engine reads it:
// one int32 code per row, read in place.
#pragma once

#include <pybind11/numpy.h>

#include <armadillo>
#include <cstdint>

struct AbsorbedInput {
  const std::int32_t* codes;
  arma::uword n_levels;
};

// codes: a 1-D, contiguous, aligned int32 array of n_rows codes, each in
// [0, n_levels). ValueError otherwise, naming the first row out of range.
AbsorbedInput absorbed_input_of(const pybind11::array& codes, std::int64_t n_levels,
                                pybind11::ssize_t n_rows);
