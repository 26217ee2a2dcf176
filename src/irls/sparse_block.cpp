#include "sparse_block.hpp"

namespace {

template <class Start>
std::string layout_problem(const Start* row_starts, const std::int32_t* column_indices, arma::uword n_rows,
                           arma::uword stored, arma::uword n_cols) {
  if (row_starts[0] != 0 || row_starts[n_rows] != static_cast<std::int64_t>(stored)) {
    return "its row pointers do not run from 0 to the number of stored values";
  }
  for (arma::uword row = 0; row < n_rows; ++row) {
    if (row_starts[row + 1] < row_starts[row]) {
      return "its row pointers decrease at row " + std::to_string(row);
    }
  }
  for (arma::uword at = 0; at < stored; ++at) {
    if (column_indices[at] < 0 || static_cast<arma::uword>(column_indices[at]) >= n_cols) {
      return "column index " + std::to_string(column_indices[at]) + " is out of range";
    }
  }
  for (arma::uword row = 0; row < n_rows; ++row) {
    for (std::int64_t at = std::int64_t{row_starts[row]} + 1; at < row_starts[row + 1]; ++at) {
      if (column_indices[at] <= column_indices[at - 1]) {
        return "its column indices do not increase within row " + std::to_string(row) +
               " (sorted, without duplicates, as scipy's canonical format holds them)";
      }
    }
  }
  return {};
}

}  // namespace

std::string sparse_layout_problem(const void* row_starts, unsigned width, const std::int32_t* column_indices,
                                  arma::uword n_rows, arma::uword stored, arma::uword n_cols) {
  if (width == 4) {
    return layout_problem(static_cast<const std::int32_t*>(row_starts), column_indices, n_rows, stored,
                          n_cols);
  }
  return layout_problem(static_cast<const std::int64_t*>(row_starts), column_indices, n_rows, stored, n_cols);
}
