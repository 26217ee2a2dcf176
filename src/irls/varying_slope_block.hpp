// A numeric column whose slope varies with a categorical one (a formula's
// x:C(g)): the categorical's integer codes and the numeric column, its
// multiplier, both read in place. A row's one entry is in its level's
// column with the row's multiplier as its value, or none at the reference
// level: the columns of x times each level's indicator, never formed. A
// scattered kind (design.hpp): its terms go straight into the sums
// (scattered_blocks.hpp).
#pragma once

#include <armadillo>
#include <cstddef>

#include "categorical_block.hpp"

struct VaryingSlopeBlock {
  static constexpr bool scattered = true;
  // The codes as a CategoricalBlock's (code_bytes 1, 2 or 4; every code in
  // [0, first_level + n_cols), checked where the design is built): code c
  // is column c - first_level.
  const void* codes;
  unsigned code_bytes;
  arma::uword n_cols;
  arma::uword first_level;  // 1 when the first level is the reference (no column), else 0
  // n_rows finite doubles (checked where the design is built): a NaN would
  // reach every sum through its level's column.
  const double* multiplier;
};

// sum[k] += the block's part of x_(first + k)' beta, k < m; beta starts at
// the block's first coefficient.
inline void add_eta(const VaryingSlopeBlock& block, const double* beta, arma::uword first, arma::uword m,
                    double* sum) {
  const double* multiplier = block.multiplier + first;
  with_codes(block, [&](const auto* codes) {
    for (arma::uword k = 0; k < m; ++k) {
      const arma::uword code = level_of(codes[first + k]);
      if (code >= block.first_level) {
        sum[k] += multiplier[k] * beta[code - block.first_level];
      }
    }
  });
}

// counts[k] += the number of entries of row first + k (0 or 1). A row of
// multiplier 0 keeps its entry: the count depends on the codes alone.
inline void count_entries(const VaryingSlopeBlock& block, arma::uword first, arma::uword m,
                          arma::uword* counts) {
  with_codes(block, [&](const auto* codes) {
    for (arma::uword k = 0; k < m; ++k) {
      counts[k] += level_of(codes[first + k]) >= block.first_level ? 1 : 0;
    }
  });
}

// Row first + k's entry, if any, at columns[cursor[k]] (its coefficient,
// offset being the block's first) and values[cursor[k]]; cursor[k] moves past it.
inline void write_entries(const VaryingSlopeBlock& block, arma::uword first, arma::uword m,
                          arma::uword offset, arma::uword* cursor, arma::uword* columns, double* values) {
  const double* multiplier = block.multiplier + first;
  with_codes(block, [&](const auto* codes) {
    for (arma::uword k = 0; k < m; ++k) {
      const arma::uword code = level_of(codes[first + k]);
      if (code >= block.first_level) {
        columns[cursor[k]] = offset + code - block.first_level;
        values[cursor[k]] = multiplier[k];
        ++cursor[k];
      }
    }
  });
}

// row(k, columns, values, entries) for each row first + k, k < m, with its
// entry read in place: its column within the block, its value the
// multiplier's own element.
template <class Row>
void for_each_row(const VaryingSlopeBlock& block, arma::uword first, arma::uword m, Row&& row) {
  const double* multiplier = block.multiplier + first;
  with_codes(block, [&](const auto* codes) {
    for (arma::uword k = 0; k < m; ++k) {
      const arma::uword code = level_of(codes[first + k]);
      const arma::uword column = code - block.first_level;
      row(k, &column, multiplier + k, std::size_t{code >= block.first_level ? 1U : 0U});
    }
  });
}

// The first of n_rows values that is not finite (NaN or infinite), or
// n_rows when they all are: what the binding checks of a multiplier before
// a block is built.
arma::uword first_non_finite(const double* values, arma::uword n_rows);
