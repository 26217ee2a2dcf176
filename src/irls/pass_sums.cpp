#include "pass_sums.hpp"

#include <cblas.h>

#include <algorithm>

#include "blas_index.hpp"
#include "row_moments.hpp"

namespace {

// Copies rows [first, first + m) of X's copied blocks into the first m
// columns of block, one observation per column, block of columns by block
// of columns (each kind's copy_rows, design.hpp): the only reads of the
// copied blocks' memory.
void copy_block(const LogisticData& data, arma::uword first, arma::uword m, arma::mat& block) {
  const arma::uword q = block.n_rows;
  double* out = block.memptr();
  const arma::uword n_rows = data.X.n_rows;
  for_each_copied_block(data.X, [&](const auto& columns, arma::uword offset) {
    copy_rows(columns, n_rows, first, m, offset, q, out);
  });
}

// x'beta of the block's rows (in buffer.rows, one observation per column)
// into buffer.eta: the copied columns' through the BLAS, then the scattered
// blocks' part.
void linear_predictor(const LogisticData& data, const arma::vec& beta, arma::uword first, arma::uword m,
                      BlockBuffer& buffer) {
  const blasint q = to_blas(buffer.rows.n_rows);
  if (q == 0) {
    buffer.eta.head(m).zeros();  // the BLAS leaves y untouched when there are no columns
  } else {
    cblas_dgemv(CblasColMajor, CblasTrans, q, to_blas(m), 1.0, buffer.rows.memptr(), q, beta.memptr(), 1, 0.0,
                buffer.eta.memptr(), 1);
  }
  if (beta.n_elem > buffer.rows.n_rows) {
    add_scattered_eta(data.X, beta, first, m, buffer.eta.memptr(), buffer.scatter);
  }
}

// x'beta plus the rows' offsets, into buffer.eta_with_offset; x'beta alone
// without an offset. mu and the deviance are functions of the full
// predictor; the working response z is that of the coefficients alone.
// With absorbed levels, their effects are added the same way: they are
// known terms of the pass, as an offset is.
const double* full_predictor(const LogisticData& data, arma::uword first, arma::uword m,
                             BlockBuffer& buffer) {
  if (data.offset == nullptr && data.absorbed == nullptr) {
    return buffer.eta.memptr();
  }
  double* eta = row_buffer(buffer.eta_with_offset, m, buffer.eta.n_elem);
  if (data.offset == nullptr) {
    std::copy(buffer.eta.begin(), buffer.eta.begin() + static_cast<std::ptrdiff_t>(m), eta);
  } else {
    for (arma::uword k = 0; k < m; ++k) {
      eta[k] = buffer.eta[k] + data.offset[first + k];
    }
  }
  if (data.absorbed != nullptr) {
    add_level_effects(*data.absorbed, first, m, eta);
  }
  return eta;
}

// The frequency weights s of the rows [first, first + m) (nullptr for all
// 1): data's own, or, with absorbed levels left out, those times each
// row's level flag, in buffer.row_weight.
const double* row_frequencies(const LogisticData& data, arma::uword first, arma::uword m,
                              BlockBuffer& buffer) {
  const double* s = data.sample_weight == nullptr ? nullptr : data.sample_weight + first;
  if (data.absorbed == nullptr || data.absorbed->kept == nullptr) {
    return s;
  }
  double* out = row_buffer(buffer.row_weight, m, buffer.rows.n_cols);
  for (arma::uword k = 0; k < m; ++k) {
    out[k] = kept_frequency(*data.absorbed, data.sample_weight, first + k);
  }
  return out;
}

// The working weights of the block's rows, for the sums that read them
// (the normal equations, the levels' sums), with the margin sums' terms
// from the same intermediates when those are formed.
void weigh_rows(const LogisticData& data, const PassSums& sums, const RowBlock& block) {
  if (sums.normal_equations == nullptr && sums.levels == nullptr && sums.margins == nullptr) {
    return;
  }
  BlockBuffer& buffer = block.buffer;
  const arma::uword capacity = buffer.rows.n_cols;
  MarginTerms margin;
  if (sums.margins != nullptr) {
    margin = MarginTerms{
        row_buffer(buffer.margin_slope, block.m, capacity),
        row_buffer(buffer.margin_curvature, block.m, capacity),
    };
  }
  double* mu_then_weighted_z = buffer.mu_then_weighted_z.memptr();
  const double* state = buffer.link_state.memptr();
  if (data.score_response) {
    score_weights(data.link, block.eta, block.y, block.s, state, block.m, mu_then_weighted_z,
                  buffer.root_weight.memptr(), margin);
  } else {
    working_weights(data.link, block.linear, block.eta, block.y, block.s, state, block.m, mu_then_weighted_z,
                    buffer.root_weight.memptr(), margin);
  }
}

// The sums that read the link's mean add the block, before the working
// weights take its place.
void add_block_of_means(const LogisticData& data, const PassSums& sums, const RowBlock& block) {
  if (sums.statistics != nullptr) {
    add_rows(*sums.statistics, data.link, block);
  }
  if (sums.robust != nullptr) {
    add_rows(*sums.robust, *sums.meat, data, block);
  }
}

// The sums that read the working weights add the block. The normal
// equations come last: they scale the dense columns in place.
void add_block_of_weights(const LogisticData& data, const PassSums& sums, const RowBlock& block) {
  if (sums.levels != nullptr) {
    add_rows(*sums.levels, data.X, *data.absorbed, block);
  }
  if (sums.margins != nullptr) {
    add_rows(*sums.margins, data.X, block);
    if (sums.level_margins != nullptr) {
      add_rows(*sums.level_margins, *data.absorbed, block);
    }
  }
  if (sums.normal_equations != nullptr) {
    add_rows(*sums.normal_equations, data.X, block);
  }
}

}  // namespace

void accumulate_rows(const LogisticData& data, const arma::vec& beta, RowRange rows, BlockBuffer& buffer,
                     const PassSums& sums) {
  if (sums.margins != nullptr && sums.margins->curvature.n_elem != beta.n_elem) {
    reset(*sums.margins, beta.n_elem);
  }
  const arma::uword capacity = buffer.rows.n_cols;
  for (arma::uword first = rows.begin; first < rows.end; first += capacity) {
    const arma::uword m = std::min(capacity, rows.end - first);
    copy_block(data, first, m, buffer.rows);
    linear_predictor(data, beta, first, m, buffer);
    const double* eta = full_predictor(data, first, m, buffer);
    const RowBlock block{
        first, m, data.y + first, row_frequencies(data, first, m, buffer), buffer.eta.memptr(), eta, buffer,
    };
    means(data.link, eta, m, buffer.mu_then_weighted_z.memptr(), buffer.link_state.memptr());
    add_block_of_means(data, sums, block);
    weigh_rows(data, sums, block);
    add_block_of_weights(data, sums, block);
  }
  if (sums.normal_equations != nullptr) {
    finish_row_range(*sums.normal_equations, buffer);
  }
  if (sums.robust != nullptr) {
    finish_row_range(*sums.robust);
  }
}

void reset(const PassSums& sums, arma::uword first_row) {
  if (sums.normal_equations != nullptr) {
    reset(*sums.normal_equations);
  }
  if (sums.statistics != nullptr) {
    reset(*sums.statistics);
  }
  if (sums.margins != nullptr) {
    reset(*sums.margins, sums.margins->curvature.n_elem);
  }
  if (sums.robust != nullptr) {
    reset(*sums.robust, first_row);
  }
  if (sums.levels != nullptr) {
    reset(*sums.levels);
  }
  if (sums.level_margins != nullptr) {
    reset(*sums.level_margins);
  }
}

void add_into(const PassSums& total, const PassSums& part) {
  if (total.normal_equations != nullptr && part.normal_equations != nullptr) {
    add_into(*total.normal_equations, *part.normal_equations);
  }
  if (total.statistics != nullptr && part.statistics != nullptr) {
    add_into(*total.statistics, *part.statistics);
  }
  if (total.margins != nullptr && part.margins != nullptr) {
    add_into(*total.margins, *part.margins);
  }
  if (total.robust != nullptr && part.robust != nullptr) {
    add_into(*total.robust, *part.robust, *part.meat);
  }
  if (total.levels != nullptr && part.levels != nullptr) {
    add_into(*total.levels, *part.levels);
  }
  if (total.level_margins != nullptr && part.level_margins != nullptr) {
    add_into(*total.level_margins, *part.level_margins);
  }
}
