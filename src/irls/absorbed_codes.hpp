// An absorbed column's codes as the caller holds them, read in place: int32
// (codes made from the labels) or int64 (integer labels that are their own
// codes, which spares a copy of 4 bytes a row: 38 MiB at 10^7 rows). Every
// code is in [0, n_levels), checked once where the codes are read in
// (first_level_out_of_range), never in the kernels.
#pragma once

#include <armadillo>
#include <cstdint>

struct AbsorbedCodes {
  const std::int32_t* narrow = nullptr;  // one of the two is set
  const std::int64_t* wide = nullptr;

  AbsorbedCodes() = default;
  AbsorbedCodes(const std::int32_t* codes) : narrow(codes) {}
  AbsorbedCodes(const std::int64_t* codes) : wide(codes) {}

  arma::uword operator[](arma::uword row) const {
    return wide != nullptr ? static_cast<arma::uword>(wide[row]) : static_cast<arma::uword>(narrow[row]);
  }
  // The codes from row first on.
  AbsorbedCodes operator+(arma::uword first) const {
    return wide != nullptr ? AbsorbedCodes(wide + first) : AbsorbedCodes(narrow + first);
  }
};

// f(codes) with the codes as the integers they are, for the loops over
// rows: the width is tested once per call, not once per row.
template <class F>
void with_absorbed_codes(const AbsorbedCodes& codes, F&& f) {
  if (codes.wide != nullptr) {
    f(codes.wide);
  } else {
    f(codes.narrow);
  }
}

// The first row whose code is outside [0, n_levels), or n_rows when none is.
arma::uword first_level_out_of_range(const AbsorbedCodes& codes, arma::uword n_rows, arma::uword n_levels);
