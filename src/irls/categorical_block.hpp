// A categorical column read as its integer codes (a pandas Categorical's
// codes, in place): the row's one entry, of value 1, in its level's column,
// or none at the reference level. A scattered kind (design.hpp): its terms
// go straight into the sums (scattered_blocks.hpp).
#pragma once

#include <armadillo>
#include <cstddef>
#include <cstdint>

struct CategoricalBlock {
  static constexpr bool scattered = true;
  // n_rows codes of code_bytes (1, 2 or 4) bytes each, signed, aligned,
  // every one in [0, first_level + n_cols) (checked where the design is
  // built, never in the kernel): code c is column c - first_level.
  const void* codes;
  unsigned code_bytes;
  arma::uword n_cols;
  arma::uword first_level;  // 1 when the first level is the reference (no column), else 0
};

// f(codes) with the codes of a block that holds them (this one, or a
// varying slope's, varying_slope_block.hpp) as the integers they are: the
// width is read once per call, not once per row.
template <class Block, class F>
void with_codes(const Block& block, F&& f) {
  switch (block.code_bytes) {
    case 1:
      f(static_cast<const std::int8_t*>(block.codes));
      break;
    case 2:
      f(static_cast<const std::int16_t*>(block.codes));
      break;
    default:
      f(static_cast<const std::int32_t*>(block.codes));
      break;
  }
}

// A code as its level's index. The codes are not negative (checked where
// the design is built), so a byte code is read as unsigned: the same value.
inline arma::uword level_of(std::int8_t code) { return static_cast<std::uint8_t>(code); }
inline arma::uword level_of(std::int16_t code) { return static_cast<arma::uword>(code); }
inline arma::uword level_of(std::int32_t code) { return static_cast<arma::uword>(code); }

// sum[k] += the block's part of x_(first + k)' beta, k < m; beta starts at
// the block's first coefficient.
inline void add_eta(const CategoricalBlock& block, const double* beta, arma::uword first, arma::uword m,
                    double* sum) {
  with_codes(block, [&](const auto* codes) {
    for (arma::uword k = 0; k < m; ++k) {
      const arma::uword code = level_of(codes[first + k]);
      if (code >= block.first_level) {
        sum[k] += beta[code - block.first_level];
      }
    }
  });
}

// counts[k] += the number of entries of row first + k (0 or 1).
inline void count_entries(const CategoricalBlock& block, arma::uword first, arma::uword m,
                          arma::uword* counts) {
  with_codes(block, [&](const auto* codes) {
    for (arma::uword k = 0; k < m; ++k) {
      counts[k] += level_of(codes[first + k]) >= block.first_level ? 1 : 0;
    }
  });
}

// Row first + k's entry, if any, at columns[cursor[k]] (its coefficient,
// offset being the block's first) and values[cursor[k]]; cursor[k] moves past it.
inline void write_entries(const CategoricalBlock& block, arma::uword first, arma::uword m, arma::uword offset,
                          arma::uword* cursor, arma::uword* columns, double* values) {
  with_codes(block, [&](const auto* codes) {
    for (arma::uword k = 0; k < m; ++k) {
      const arma::uword code = level_of(codes[first + k]);
      if (code >= block.first_level) {
        columns[cursor[k]] = offset + code - block.first_level;
        values[cursor[k]] = 1.0;
        ++cursor[k];
      }
    }
  });
}

// row(k, columns, values, entries) for each row first + k, k < m, with its
// entries read in place: columns within the block.
template <class Row>
void for_each_row(const CategoricalBlock& block, arma::uword first, arma::uword m, Row&& row) {
  static constexpr double one = 1.0;
  with_codes(block, [&](const auto* codes) {
    for (arma::uword k = 0; k < m; ++k) {
      const arma::uword code = level_of(codes[first + k]);
      const arma::uword column = code - block.first_level;
      row(k, &column, &one, std::size_t{code >= block.first_level ? 1U : 0U});
    }
  });
}

// The codes of a categorical block as width bytes each are all in [0, levels):
// what the binding checks before a block is built, so that the kernel never
// reads a coefficient out of range. Returns the first row out of range, or
// n_rows when there is none.
arma::uword first_code_out_of_range(const void* codes, unsigned width, arma::uword n_rows,
                                    arma::uword levels);
