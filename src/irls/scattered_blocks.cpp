#include "scattered_blocks.hpp"

#include <algorithm>
#include <variant>

namespace {

// The design's only scattered block, else nullptr: its rows are then read
// in place, not gathered. offset is its first coefficient.
const DesignBlock* only_scattered_block(const Design& X, arma::uword& offset) {
  const DesignBlock* only = nullptr;
  arma::uword at = 0;
  for (const DesignBlock& block : X.blocks) {
    if (is_scattered(block)) {
      if (only != nullptr) {
        return nullptr;
      }
      only = &block;
      offset = at;
    }
    at += column_count(block);
  }
  return only;
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
  ScatterScratch scratch;
  scratch.cross.zeros(q_dense, q - q_dense);
  return scratch;
}

void gather_rows(const Design& X, arma::uword first, arma::uword m, ScatterScratch& scratch) {
  // Two visits of each block: the rows' counts of entries, then the entries
  // at their rows' places.
  std::vector<arma::uword>& starts = scratch.row_starts;
  starts.assign(m + 1, 0);
  for_each_scattered_block(X, [&](const auto& block, arma::uword /*offset*/) {
    count_entries(block, first, m, starts.data() + 1);
  });
  for (arma::uword k = 0; k < m; ++k) {
    starts[k + 1] += starts[k];
  }
  scratch.columns.resize(starts[m]);
  scratch.values.resize(starts[m]);
  scratch.cursor.assign(starts.begin(), starts.end() - 1);
  for_each_scattered_block(X, [&](const auto& block, arma::uword offset) {
    write_entries(block, first, m, offset, scratch.cursor.data(), scratch.columns.data(),
                  scratch.values.data());
  });
}

void add_scattered_eta(const Design& X, const arma::vec& beta, arma::uword first, arma::uword m, double* eta,
                       ScatterScratch& scratch) {
  // Each row's entries summed in column order, block by block, as read in
  // place: no list of entries is gathered. The sum is added to eta at the
  // end, as one term.
  scratch.eta_part.assign(m, 0.0);
  double* part = scratch.eta_part.data();
  for_each_scattered_block(X, [&](const auto& block, arma::uword offset) {
    add_eta(block, beta.memptr() + offset, first, m, part);
  });
  for (arma::uword k = 0; k < m; ++k) {
    eta[k] += part[k];
  }
}

void add_scattered_sums(const Design& X, arma::uword first, arma::uword m, const arma::mat& dense_rows,
                        const double* root_weight, const double* weighted_z, ScatterScratch& scratch,
                        const LowerTriangle& A, arma::vec& b) {
  double* right_hand_side = weighted_z == nullptr ? nullptr : b.memptr();
  const auto add_row = [&](arma::uword k, const auto* columns, const double* values, std::size_t entries,
                           arma::uword offset) {
    // s w as the dense part's rank-k update forms it: sqrt(s w) squared.
    const double weight = root_weight[k] * root_weight[k];
    add_row_terms(columns, values, entries, offset, weight, weighted_z == nullptr ? 0.0 : weighted_z[k],
                  dense_rows.colptr(k), scratch, A, right_hand_side);
  };
  arma::uword offset = 0;
  if (const DesignBlock* only = only_scattered_block(X, offset)) {
    std::visit(
        [&](const auto& block) {
          if constexpr (is_scattered_kind<decltype(block)>) {
            for_each_row(block, first, m,
                         [&](arma::uword k, const auto* columns, const double* values, std::size_t entries) {
                           add_row(k, columns, values, entries, offset);
                         });
          }
        },
        *only);
    return;
  }
  gather_rows(X, first, m, scratch);
  for (arma::uword k = 0; k < m; ++k) {
    const arma::uword start = scratch.row_starts[k];
    add_row(k, scratch.columns.data() + start, scratch.values.data() + start,
            scratch.row_starts[k + 1] - start, 0);
  }
}

void add_scattered_products(const Design& X, arma::uword first, arma::uword m, const double* row_values,
                            double* sums) {
  for_each_scattered_block(X, [&](const auto& block, arma::uword offset) {
    for_each_row(block, first, m,
                 [&](arma::uword k, const auto* columns, const double* values, std::size_t entries) {
                   for (std::size_t f = 0; f < entries; ++f) {
                     sums[offset + static_cast<arma::uword>(columns[f])] += values[f] * row_values[k];
                   }
                 });
  });
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
