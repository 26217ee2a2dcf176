#include "normal_equations.hpp"

#include <cblas.h>

#include <algorithm>

#include "blas_index.hpp"
#include "vector_clones.hpp"

namespace {

// A product per element: the same bits at every vector width.
QUORVI_VECTOR_CLONES
void scale_columns(const double* root, arma::uword q, arma::uword m, double* block) {
  for (arma::uword k = 0; k < m; ++k) {
    double* column = block + k * q;
    const double factor = root[k];
    for (arma::uword j = 0; j < q; ++j) {
      column[j] *= factor;
    }
  }
}

// Where the scattered terms of A go: A's own lower triangle, or the packed
// one of a chunk's partial sums.
LowerTriangle lower_of(NormalSums& sums) {
  const bool packed = !sums.packed_lower.is_empty();
  return LowerTriangle{packed ? sums.packed_lower.memptr() : sums.A.memptr(), sums.b.n_elem, packed};
}

}  // namespace

arma::uword coefficient_count(const LogisticData& data) { return column_count(data.X); }

NormalSums zero_sums(arma::uword q) {
  NormalSums sums;
  sums.A.zeros(q, q);
  sums.b.zeros(q);
  return sums;
}

NormalSums zero_packed_sums(arma::uword q) {
  NormalSums sums;
  sums.b.zeros(q);
  sums.packed_lower.zeros(packed_size(q));
  return sums;
}

void reset(NormalSums& sums) {
  sums.margins.weight = 0.0;
  sums.margins.slope = 0.0;
  sums.margins.curvature.zeros();
  sums.A.zeros();
  sums.packed_lower.zeros();
  sums.b.zeros();
  reset(sums.statistics);
}

void add_into(NormalSums& total, const NormalSums& part) {
  if (part.packed_lower.is_empty()) {
    total.A += part.A;
  } else {
    // The lower triangle, column by column: the upper is filled once, at
    // the end of the pass.
    const arma::uword q = total.A.n_rows;
    for (arma::uword j = 0; j < q; ++j) {
      const double* from = part.packed_lower.memptr() + lower_column_offset(j, q, true);
      double* to = total.A.colptr(j);
      for (arma::uword i = j; i < q; ++i) {
        to[i] += from[i];
      }
    }
  }
  total.b += part.b;
}

void fill_upper_triangle(arma::mat& A) {
  for (arma::uword j = 1; j < A.n_cols; ++j) {
    for (arma::uword i = 0; i < j; ++i) {
      A.at(i, j) = A.at(j, i);
    }
  }
}

void add_rows(NormalSums& sums, const Design& X, const RowBlock& block) {
  BlockBuffer& buffer = block.buffer;
  // The dense columns are the first q of the system's; the scattered ones,
  // when there are any, follow them (scattered_blocks.hpp).
  const blasint q = to_blas(buffer.rows.n_rows);
  if (sums.b.n_elem > buffer.rows.n_rows) {
    add_scattered_sums(X, block.first, block.m, buffer.rows, buffer.root_weight.memptr(),
                       buffer.mu_then_weighted_z.memptr(), buffer.scatter, lower_of(sums), sums.b);
  }
  if (q == 0) {
    return;
  }
  // A chunk's partial sums of a scattered design are packed: the dense
  // columns' rank-k updates then go into a small full buffer of their own.
  const bool packed = !sums.packed_lower.is_empty();
  arma::mat& dense_sums = packed ? buffer.scatter.dense_corner : sums.A;
  if (packed && dense_sums.n_rows != buffer.rows.n_rows) {
    dense_sums.zeros(buffer.rows.n_rows, buffer.rows.n_rows);
  }
  const blasint rows_in_block = to_blas(block.m);
  cblas_dgemv(CblasColMajor, CblasNoTrans, q, rows_in_block, 1.0, buffer.rows.memptr(), q,
              buffer.mu_then_weighted_z.memptr(), 1, 1.0, sums.b.memptr(), 1);
  scale_columns(buffer.root_weight.memptr(), buffer.rows.n_rows, block.m, buffer.rows.memptr());
  cblas_dsyrk(CblasColMajor, CblasLower, CblasNoTrans, q, rows_in_block, 1.0, buffer.rows.memptr(), q, 1.0,
              dense_sums.memptr(), std::max<blasint>(to_blas(dense_sums.n_rows), 1));
}

void finish_row_range(NormalSums& sums, BlockBuffer& buffer) {
  if (sums.b.n_elem > buffer.rows.n_rows) {
    add_cross_block(buffer.scatter, lower_of(sums));
  }
  if (!sums.packed_lower.is_empty()) {
    add_dense_corner(buffer.scatter, lower_of(sums));
  }
}
