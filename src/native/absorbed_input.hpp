// The absorbed fixed effect of quorvi._native.fit, as the engine reads it:
// one int32 or int64 code per row, read in place.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pytypes.h>

#include <armadillo>
#include <cstdint>
#include <optional>

#include "absorbed_codes.hpp"
#include "absorbed_levels.hpp"

struct AbsorbedInput {
  AbsorbedCodes codes;
  arma::uword n_levels;
  const std::uint8_t* kept = nullptr;  // AbsorbedLevels::kept
};

// codes: a 1-D, contiguous, aligned int32 or int64 array of n_rows codes, each in
// [0, n_levels); kept, when given, a 1-D contiguous bool array of n_levels
// flags. ValueError otherwise, naming the first row out of range.
AbsorbedInput absorbed_input_of(const pybind11::array& codes, std::int64_t n_levels, pybind11::ssize_t n_rows,
                                const std::optional<pybind11::array>& kept = std::nullopt);

// One chunk's levels for quorvi._native.normal_equations, from the dict
// levels: "codes" as above, "n_levels", "effects" (float64, n_levels) and,
// for the robust sums' pass, "level_means" ((n_levels, q) float64: row l
// level l's means of the q columns, which is the engine's q x n_levels in
// column order) and, for hat values, "inverse_level_weights" (float64,
// n_levels: each level's 1 / D, 0 for a level of no weight); each
// C-contiguous and aligned, read in place. ValueError otherwise.
AbsorbedLevels chunk_levels_of(const pybind11::dict& levels, pybind11::ssize_t n_rows, arma::uword q);
