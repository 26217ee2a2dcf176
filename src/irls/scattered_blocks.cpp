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

namespace {

// The one sparse block of a design whose only scattered block it is, else
// nullptr: its rows are then read in place, not gathered. offset is its
// first coefficient.
const DesignBlock* only_sparse_block(const Design& X, arma::uword& offset) {
  const DesignBlock* sparse = nullptr;
  arma::uword at = 0;
  for (const DesignBlock& block : X.blocks) {
    if (block.kind == ColumnKind::categorical || (block.kind == ColumnKind::sparse && sparse != nullptr)) {
      return nullptr;
    }
    if (block.kind == ColumnKind::sparse) {
      sparse = &block;
      offset = at;
    }
    at += block.n_cols;
  }
  return sparse;
}

// One row's terms: entries (columns + offset, values) in increasing column
// order. The pairs of entry f with the entries after it lie in column
// c_f of A, below its diagonal.
template <class Index>
void add_row_terms(const Index* columns, const double* values, std::size_t entries, arma::uword offset,
                   double weight, double weighted_z, const double* x, ScatterScratch& scratch,
                   const LowerTriangle& A, double* b) {
  const arma::uword q_dense = scratch.cross.n_rows;
  for (std::size_t f = 0; f < entries; ++f) {
    const arma::uword column = offset + static_cast<arma::uword>(columns[f]);
    const double value = values[f];
    if (b != nullptr) {
      b[column] += value * weighted_z;
    }
    const double scaled = weight * value;
    double* cross = scratch.cross.colptr(column - q_dense);
    for (arma::uword j = 0; j < q_dense; ++j) {
      cross[j] += scaled * x[j];
    }
    double* lower = A.column(column);
    lower[column] += scaled * value;
    for (std::size_t e = f + 1; e < entries; ++e) {
      lower[offset + static_cast<arma::uword>(columns[e])] += scaled * values[e];
    }
  }
}

}  // namespace

arma::uword packed_size(arma::uword q) { return q * (q + 1) / 2; }

ScatterScratch make_scatter_scratch(arma::uword q_dense, arma::uword q) {
  return ScatterScratch{arma::mat(q_dense, q - q_dense, arma::fill::zeros), arma::mat(), {}, {}};
}

void add_scattered_eta(const Design& X, const arma::vec& beta, arma::uword first, arma::uword m,
                       double* eta) {
  // Each row's entries summed in column order, block by block, as read in
  // place: no list of entries is gathered.
  for (arma::uword k = 0; k < m; ++k) {
    const arma::uword row = first + k;
    double sum = 0.0;
    arma::uword offset = 0;
    for (const DesignBlock& block : X.blocks) {
      if (block.kind == ColumnKind::categorical) {
        const arma::uword code = categorical_code(block, row);
        if (code >= block.first_level) {
          sum += beta[offset + code - block.first_level];
        }
      } else if (block.kind == ColumnKind::sparse) {
        const std::int64_t end = sparse_row_start(block, row + 1);
        for (std::int64_t at = sparse_row_start(block, row); at < end; ++at) {
          sum += block.memory[at] * beta[offset + static_cast<arma::uword>(block.column_indices[at])];
        }
      }
      offset += block.n_cols;
    }
    eta[k] += sum;
  }
}

void add_scattered_sums(const Design& X, arma::uword first, arma::uword m, const arma::mat& dense_rows,
                        const double* root_weight, const double* weighted_z, ScatterScratch& scratch,
                        const LowerTriangle& A, arma::vec& b) {
  arma::uword offset = 0;
  const DesignBlock* sparse = only_sparse_block(X, offset);
  double* right_hand_side = weighted_z == nullptr ? nullptr : b.memptr();
  for (arma::uword k = 0; k < m; ++k) {
    // s w as the dense part's rank-k update forms it: sqrt(s w) squared.
    const double weight = root_weight[k] * root_weight[k];
    const double* x = dense_rows.colptr(k);
    if (sparse != nullptr) {
      const std::int64_t start = sparse_row_start(*sparse, first + k);
      const auto entries = static_cast<std::size_t>(sparse_row_start(*sparse, first + k + 1) - start);
      add_row_terms(sparse->column_indices + start, sparse->memory + start, entries, offset, weight,
                    weighted_z == nullptr ? 0.0 : weighted_z[k], x, scratch, A, right_hand_side);
    } else {
      gather_row(X, first + k, scratch);
      add_row_terms(scratch.columns.data(), scratch.values.data(), scratch.columns.size(), 0, weight,
                    weighted_z == nullptr ? 0.0 : weighted_z[k], x, scratch, A, right_hand_side);
    }
  }
}

void add_cross_block(ScatterScratch& scratch, const LowerTriangle& A) {
  const arma::uword q_dense = scratch.cross.n_rows;
  for (arma::uword j = 0; j < q_dense; ++j) {
    double* lower = A.column(j) + q_dense;
    for (arma::uword c = 0; c < scratch.cross.n_cols; ++c) {
      lower[c] += scratch.cross.at(j, c);
    }
  }
  scratch.cross.zeros();
}

void add_dense_corner(ScatterScratch& scratch, const LowerTriangle& A) {
  const arma::uword q_dense = scratch.dense_corner.n_rows;
  for (arma::uword j = 0; j < q_dense; ++j) {
    double* lower = A.column(j);
    for (arma::uword i = j; i < q_dense; ++i) {
      lower[i] += scratch.dense_corner.at(i, j);
    }
  }
  scratch.dense_corner.zeros();
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
