#include "margin_sums.hpp"

#include <cblas.h>

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
