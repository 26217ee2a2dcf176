#include "scattered_blocks.hpp"

#include <algorithm>

#include "categorical_block.hpp"
#include "sparse_block.hpp"

void gather_row(const Design& X, arma::uword row, ScatterScratch& scratch) {
  scratch.columns.clear();
  scratch.values.clear();
  arma::uword offset = 0;
  for (const DesignBlock& block : X.blocks) {
    if (block.kind == ColumnKind::categorical) {
      append_categorical_entry(block, row, offset, scratch.columns, scratch.values);
    } else if (block.kind == ColumnKind::sparse) {
      append_sparse_entries(block, row, offset, scratch.columns, scratch.values);
    }
    offset += block.n_cols;
  }
}

ScatterScratch make_scatter_scratch(arma::uword q_dense, arma::uword q) {
  return ScatterScratch{arma::mat(q_dense, q - q_dense, arma::fill::zeros), {}, {}};
}

void add_scattered_eta(const Design& X, const arma::vec& beta, arma::uword first, arma::uword m,
                       ScatterScratch& scratch, double* eta) {
  for (arma::uword k = 0; k < m; ++k) {
    gather_row(X, first + k, scratch);
    double sum = 0.0;
    for (std::size_t e = 0; e < scratch.columns.size(); ++e) {
      sum += scratch.values[e] * beta[scratch.columns[e]];
    }
    eta[k] += sum;
  }
}

void add_scattered_sums(const Design& X, arma::uword first, arma::uword m, const arma::mat& dense_rows,
                        const double* root_weight, const double* weighted_z, ScatterScratch& scratch,
                        arma::mat& A, arma::vec& b) {
  const arma::uword q_dense = dense_rows.n_rows;
  for (arma::uword k = 0; k < m; ++k) {
    gather_row(X, first + k, scratch);
    // s w as the dense part's rank-k update forms it: sqrt(s w) squared.
    const double weight = root_weight[k] * root_weight[k];
    const double* x = dense_rows.colptr(k);
    const std::size_t entries = scratch.columns.size();
    for (std::size_t e = 0; e < entries; ++e) {
      const arma::uword column = scratch.columns[e];
      const double value = scratch.values[e];
      if (weighted_z != nullptr) {
        b[column] += value * weighted_z[k];
      }
      const double scaled = weight * value;
      double* cross = scratch.cross.colptr(column - q_dense);
      for (arma::uword j = 0; j < q_dense; ++j) {
        cross[j] += scaled * x[j];
      }
      // Pairs with this entry and the ones before it, into the lower
      // triangle whatever order a row's entries come in (a column repeated
      // within a row meets itself twice in the outer product).
      for (std::size_t f = 0; f < e; ++f) {
        const arma::uword other = scratch.columns[f];
        const double twice = other == column ? 2.0 : 1.0;
        A.at(std::max(column, other), std::min(column, other)) += twice * scaled * scratch.values[f];
      }
      A.at(column, column) += scaled * value;
    }
  }
}

void add_cross_block(ScatterScratch& scratch, arma::mat& A) {
  const arma::uword q_dense = scratch.cross.n_rows;
  for (arma::uword c = 0; c < scratch.cross.n_cols; ++c) {
    const double* cross = scratch.cross.colptr(c);
    for (arma::uword j = 0; j < q_dense; ++j) {
      A.at(q_dense + c, j) += cross[j];
    }
  }
  scratch.cross.zeros();
}

RowPartition scattered_partition(const RowPartition& dense, arma::uword n, arma::uword q) {
  if (dense.n_chunks <= 1) {
    return dense;
  }
  const arma::uword blocks = std::max<arma::uword>(1, (q * q / 4 + dense.block_rows - 1) / dense.block_rows);
  const arma::uword chunk_rows = std::max(dense.chunk_rows, blocks * dense.block_rows);
  const arma::uword n_chunks = std::max<arma::uword>(1, (n + chunk_rows - 1) / chunk_rows);
  return RowPartition{
      dense.block_rows,
      n_chunks == 1 ? std::max<arma::uword>(n, 1) : chunk_rows,
      n_chunks,
      dense.single_threaded_blas,
  };
}
