#include "design.hpp"

bool is_scattered(const DesignBlock& block) {
  return std::visit([](const auto& kind) { return is_scattered_kind<decltype(kind)>; }, block);
}

arma::uword column_count(const DesignBlock& block) {
  return std::visit([](const auto& kind) { return kind.n_cols; }, block);
}

arma::uword column_count(const Design& design) {
  arma::uword count = 0;
  for (const DesignBlock& block : design.blocks) {
    count += column_count(block);
  }
  return count;
}

arma::uword dense_column_count(const Design& design) {
  arma::uword count = 0;
  for (const DesignBlock& block : design.blocks) {
    if (is_scattered(block)) {
      break;
    }
    count += column_count(block);
  }
  return count;
}

Design dense_design(const double* memory, arma::uword n_rows, arma::uword n_cols, bool row_major,
                    bool intercept) {
  Design design{n_rows, {}};
  if (intercept) {
    design.blocks.emplace_back(OnesBlock{});
  }
  design.blocks.emplace_back(DenseBlock{memory, n_cols, row_major});
  return design;
}

Design design_of(const arma::mat& X) { return dense_design(X.memptr(), X.n_rows, X.n_cols, false, false); }

Design design_of_transpose(const arma::mat& Xt) {
  return dense_design(Xt.memptr(), Xt.n_cols, Xt.n_rows, true, false);
}
