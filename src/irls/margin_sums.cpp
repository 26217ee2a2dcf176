#include "margin_sums.hpp"

#include <cblas.h>

#include <stdexcept>

#include "blas_index.hpp"
#include "row_moments.hpp"

void reset(MarginSums& sums, arma::uword q) {
  sums.weight = 0.0;
  sums.slope = 0.0;
  sums.curvature.zeros(q);
}

void add_into(MarginSums& total, const MarginSums& part) {
  if (part.curvature.is_empty()) {
    return;
  }
  if (total.curvature.is_empty()) {
    total.curvature.zeros(part.curvature.n_elem);
  }
  total.weight += part.weight;
  total.slope += part.slope;
  total.curvature += part.curvature;
}

void add_rows(MarginSums& sums, const Design& X, const RowBlock& block) {
  const BlockBuffer& buffer = block.buffer;
  const arma::uword m = block.m;
  sums.weight += block.s == nullptr ? static_cast<double>(m) : lane_sum(block.s, m);
  sums.slope += lane_sum(buffer.margin_slope.memptr(), m);
  const blasint q = to_blas(buffer.rows.n_rows);
  if (q > 0) {
    cblas_dgemv(CblasColMajor, CblasNoTrans, q, to_blas(m), 1.0, buffer.rows.memptr(), q,
                buffer.margin_curvature.memptr(), 1, 1.0, sums.curvature.memptr(), 1);
  }
  add_scattered_products(X, block.first, m, buffer.margin_curvature.memptr(), sums.curvature.memptr());
}

LevelMarginSums zero_level_margin_sums(const AbsorbedLevels& levels) {
  const arma::uword n_further = levels.further == nullptr ? 0 : levels.further->n_levels();
  return LevelMarginSums{
      arma::vec(levels.n_levels, arma::fill::zeros),
      arma::vec(n_further, arma::fill::zeros),
  };
}

void reset(LevelMarginSums& sums) {
  sums.levels.zeros();
  sums.further.zeros();
}

void add_into(LevelMarginSums& total, const LevelMarginSums& part) {
  if (!part.levels.is_empty()) {
    total.levels += part.levels;
  }
  if (!part.further.is_empty()) {
    total.further += part.further;
  }
}

void add_rows(LevelMarginSums& sums, const AbsorbedLevels& levels, const RowBlock& block) {
  const double* curvature = block.buffer.margin_curvature.memptr();
  double* by_level = sums.levels.memptr();
  with_absorbed_codes(levels.codes + block.first, [&](const auto* codes) {
    for (arma::uword k = 0; k < block.m; ++k) {
      by_level[codes[k]] += curvature[k];
    }
  });
  const FurtherLevels* further = levels.further;
  if (further == nullptr) {
    return;
  }
  for (std::size_t j = 0; j < further->codes.size(); ++j) {
    double* column = sums.further.memptr() + further->starts[j];
    with_absorbed_codes(further->codes[j] + block.first, [&](const auto* codes) {
      for (arma::uword k = 0; k < block.m; ++k) {
        column[codes[k]] += curvature[k];
      }
    });
  }
}

void carry_to_effects(MarginSums& sums, const LevelMarginSums& by_level, const arma::vec& level_change,
                      const arma::vec& further_change) {
  if (by_level.levels.n_elem != level_change.n_elem || by_level.further.n_elem != further_change.n_elem) {
    throw std::logic_error("the margin sums by level were not formed for these levels");
  }
  sums.slope += arma::dot(by_level.levels, level_change);
  if (!further_change.is_empty()) {
    sums.slope += arma::dot(by_level.further, further_change);
  }
}
