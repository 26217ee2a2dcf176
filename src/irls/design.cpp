#include "design.hpp"

arma::uword column_count(const Design& design) {
  arma::uword count = 0;
  for (const DesignBlock& block : design.blocks) {
    count += block.n_cols;
  }
  return count;
}

arma::uword dense_column_count(const Design& design) {
  arma::uword count = 0;
  for (const DesignBlock& block : design.blocks) {
    if (is_scattered(block.kind)) {
      break;
    }
    count += block.n_cols;
  }
  return count;
}

bool is_scattered(ColumnKind kind) { return kind == ColumnKind::categorical || kind == ColumnKind::sparse; }

Design dense_design(const double* memory, arma::uword n_rows, arma::uword n_cols, bool row_major,
                    bool intercept) {
  Design design{n_rows, {}};
  if (intercept) {
    design.blocks.push_back(DesignBlock{ColumnKind::ones, nullptr, 1, false});
  }
  design.blocks.push_back(DesignBlock{ColumnKind::dense, memory, n_cols, row_major});
  return design;
}

Design design_of(const arma::mat& X) { return dense_design(X.memptr(), X.n_rows, X.n_cols, false, false); }

Design design_of_transpose(const arma::mat& Xt) {
  return dense_design(Xt.memptr(), Xt.n_cols, Xt.n_rows, true, false);
}
