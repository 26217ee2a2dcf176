#include "normal_equations.hpp"

#include <cblas.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

#include "links.hpp"

namespace {

// Armadillo's message for a dimension the BLAS's integers cannot hold.
constexpr const char* blas_overflow =
    "integer overflow: matrix dimensions are too large for integer type used by BLAS and LAPACK";

blasint to_blas(arma::uword value) {
  if (value > static_cast<arma::uword>(std::numeric_limits<blasint>::max())) {
    throw std::runtime_error(blas_overflow);
  }
  return static_cast<blasint>(value);
}

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

// Compiled for the widest vector unit the CPU has, chosen once when the
// library loads. Divisions and square roots are correctly rounded at every
// width, vector_exp is plain arithmetic, and nothing is contracted into
// fused multiply-adds, so every variant gives the same bits. With GCC,
// flatten inlines the link's dispatch, loop and record into each variant: it
// does not inline a function of the default target into a clone on its own,
// so the loops ran at the default width in every variant. Clang refuses
// flatten beside target_clones (whether its clones inline the loops is not
// measured here: the wheel's zig build is clang).
#ifdef __clang__
#define QUORVI_VECTOR_CLONES __attribute__((target_clones("default", "avx2", "avx512f")))
#else
#define QUORVI_VECTOR_CLONES __attribute__((flatten, target_clones("default", "avx2", "avx512f")))
#endif

// The per-row pass of one block, in the order of the formulas, for the link
// Link (links.hpp): from eta, the mean mu, the clamped weight w, the score's
// residual r and the working response z = eta + r / w; what the products
// need is s w z and sqrt(s w). It runs as two loops, the first leaving mu in
// wz's place (and the link's state of each row beside it), so that the
// deviance (when asked for) reads mu between them.
template <class Link>
void means_loop(const double* eta, arma::uword m, double* mu, double* state) {
  for (arma::uword k = 0; k < m; ++k) {
    mu[k] = Link::mean(eta[k], state[k]);
  }
}

// s may be null: every weight is then 1. The test is hoisted out of the loop.
// linear is x'beta without the offset: z is the working response of beta;
// eta, with it, is what the weight is a function of. With margins, the
// rows' s h'(eta) and s h''(eta) go into margin.slope and margin.curvature
// (the same intermediates as the weight's: links.hpp).
struct MarginTerms {
  double* slope;
  double* curvature;
};

template <class Link, bool margins>
void working_weights_loop(const double* linear, const double* eta, const double* y, const double* s,
                          const double* state, arma::uword m, double* __restrict mu_then_wz,
                          double* __restrict root, MarginTerms margin) {
  double* __restrict slope = margin.slope;  // unaliased, as in score_weights_loop
  double* __restrict curvature = margin.curvature;
  for (arma::uword k = 0; k < m; ++k) {
    const RowMoments row = Link::moments(eta[k], y[k], mu_then_wz[k], state[k]);
    const double z = linear[k] + row.residual / row.weight;
    const double frequency = s == nullptr ? 1.0 : s[k];
    const double weight = s == nullptr ? row.weight : row.weight * frequency;
    mu_then_wz[k] = weight * z;
    root[k] = std::sqrt(weight);
    if constexpr (margins) {
      slope[k] = frequency * row.slope;
      curvature[k] = frequency * row.curvature;
    }
  }
}

// The same weights with s r, the rows' terms of the score, in place of s w z.
// The outputs are declared unaliased: with the margin terms the loop has
// four, and GCC's run-time alias checks (at most ten) would not cover them,
// leaving the loop scalar.
template <class Link, bool margins>
void score_weights_loop(const double* eta, const double* y, const double* s, const double* state,
                        arma::uword m, double* __restrict mu_then_residual, double* __restrict root,
                        MarginTerms margin) {
  double* __restrict slope = margin.slope;
  double* __restrict curvature = margin.curvature;
  for (arma::uword k = 0; k < m; ++k) {
    const RowMoments row = Link::moments(eta[k], y[k], mu_then_residual[k], state[k]);
    const double frequency = s == nullptr ? 1.0 : s[k];
    mu_then_residual[k] = frequency * row.residual;
    root[k] = std::sqrt(row.weight * frequency);
    if constexpr (margins) {
      slope[k] = frequency * row.slope;
      curvature[k] = frequency * row.curvature;
    }
  }
}

// The rows' weights and score residuals (without s) for the robust sums.
template <class Link>
void meat_moments_loop(const double* eta, const double* y, const double* mu, const double* state,
                       arma::uword m, double* residual, double* weight) {
  for (arma::uword k = 0; k < m; ++k) {
    const RowMoments row = Link::moments(eta[k], y[k], mu[k], state[k]);
    residual[k] = row.residual;
    weight[k] = row.weight;
  }
}

// Each row's contribution to the deviance, s * 2 * (its deviance). The
// weights are applied in a loop of their own: a test for them inside the
// first would keep the compiler from vectorising it (5 times slower). The
// factor 2 is exact, so the product is the same however it is grouped.
template <class Link>
void row_deviances_loop(const double* eta, const double* y, const double* s, const double* mu,
                        const double* state, arma::uword m, double* deviance) {
  for (arma::uword k = 0; k < m; ++k) {
    deviance[k] = Link::deviance(eta[k], y[k], mu[k], state[k]);
  }
  if (s != nullptr) {
    for (arma::uword k = 0; k < m; ++k) {
      deviance[k] *= s[k];
    }
  }
}

// The loops above for the link of the block: the link is chosen here, once
// per block, and each loop is inlined into every vector variant of its
// caller. (Function templates cannot be multiversioned themselves.)
QUORVI_VECTOR_CLONES
void means(LinkKind link, const double* eta, arma::uword m, double* mu, double* state) {
  with_link(link, [&](auto kind) { means_loop<decltype(kind)>(eta, m, mu, state); });
}

QUORVI_VECTOR_CLONES
void working_weights(LinkKind link, const double* linear, const double* eta, const double* y, const double* s,
                     const double* state, arma::uword m, double* mu_then_wz, double* root,
                     MarginTerms margin) {
  with_link(link, [&](auto kind) {
    if (margin.slope != nullptr) {
      working_weights_loop<decltype(kind), true>(linear, eta, y, s, state, m, mu_then_wz, root, margin);
    } else {
      working_weights_loop<decltype(kind), false>(linear, eta, y, s, state, m, mu_then_wz, root, margin);
    }
  });
}

QUORVI_VECTOR_CLONES
void score_weights(LinkKind link, const double* eta, const double* y, const double* s, const double* state,
                   arma::uword m, double* mu_then_residual, double* root, MarginTerms margin) {
  with_link(link, [&](auto kind) {
    if (margin.slope != nullptr) {
      score_weights_loop<decltype(kind), true>(eta, y, s, state, m, mu_then_residual, root, margin);
    } else {
      score_weights_loop<decltype(kind), false>(eta, y, s, state, m, mu_then_residual, root, margin);
    }
  });
}

// The sum of v[0..m) as eight interleaved partial sums added at the end:
// the lanes are fixed by the code, not by the vector unit, so the loop
// vectorises and gives the same bits at every width.
QUORVI_VECTOR_CLONES
double lane_sum(const double* v, arma::uword m) {
  constexpr arma::uword lanes = 8;
  double partial[lanes] = {};
  const arma::uword whole = m - m % lanes;
  for (arma::uword k = 0; k < whole; k += lanes) {
    for (arma::uword lane = 0; lane < lanes; ++lane) {
      partial[lane] += v[k + lane];
    }
  }
  double total = 0.0;
  for (const double value : partial) {
    total += value;
  }
  for (arma::uword k = whole; k < m; ++k) {
    total += v[k];
  }
  return total;
}

QUORVI_VECTOR_CLONES
void meat_moments(LinkKind link, const double* eta, const double* y, const double* mu, const double* state,
                  arma::uword m, double* residual, double* weight) {
  with_link(link,
            [&](auto kind) { meat_moments_loop<decltype(kind)>(eta, y, mu, state, m, residual, weight); });
}

QUORVI_VECTOR_CLONES
void row_deviances(LinkKind link, const double* eta, const double* y, const double* s, const double* mu,
                   const double* state, arma::uword m, double* deviance) {
  with_link(link, [&](auto kind) { row_deviances_loop<decltype(kind)>(eta, y, s, mu, state, m, deviance); });
}

// The deviance of the rows and the count of those of positive weight whose
// mean is exactly 0 or 1, added to sums: the rows' deviances computed side
// by side (vectorised, in deviance), then added one by one in row order.
void row_statistics(LinkKind link, const double* eta, const double* y, const double* s, const double* mu,
                    const double* state, arma::uword m, double* deviance, NormalSums& sums) {
  row_deviances(link, eta, y, s, mu, state, m, deviance);
  for (arma::uword k = 0; k < m; ++k) {
    sums.deviance += deviance[k];
    const double frequency = s == nullptr ? 1.0 : s[k];
    if (frequency > 0.0 && (mu[k] == 0.0 || mu[k] == 1.0)) {
      ++sums.boundary_rows;
    }
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
  if (buffer.eta_with_offset.n_elem < m) {
    buffer.eta_with_offset.set_size(buffer.eta.n_elem);
  }
  if (data.offset == nullptr) {
    std::copy(buffer.eta.begin(), buffer.eta.begin() + static_cast<std::ptrdiff_t>(m),
              buffer.eta_with_offset.begin());
  } else {
    for (arma::uword k = 0; k < m; ++k) {
      buffer.eta_with_offset[k] = buffer.eta[k] + data.offset[first + k];
    }
  }
  if (data.absorbed != nullptr) {
    add_level_effects(*data.absorbed, first, m, buffer.eta_with_offset.memptr());
  }
  return buffer.eta_with_offset.memptr();
}

// The rows' terms of the absorbed levels' sums, when the pass forms them
// (sums not null): the dense columns from the block buffer (still
// unscaled), each scattered entry read in place.
void add_absorbed_rows(const LogisticData& data, arma::uword first, arma::uword m, const BlockBuffer& buffer,
                       AbsorbedSums* sums) {
  if (sums == nullptr) {
    return;
  }
  const double* root = buffer.root_weight.memptr();
  add_level_sums(*data.absorbed, first, m, buffer.rows, root, buffer.weighted_z.memptr(), *sums);
  add_scattered_level_terms(data.X, *data.absorbed, first, m, root, *sums);
}

// x'beta of the block's rows (in buffer.rows, one observation per column)
// into buffer.eta: the copied columns' through the BLAS, then the scattered
// blocks' part.
void linear_predictor(const LogisticData& data, const arma::vec& beta, arma::uword first, arma::uword m,
                      bool scattered, BlockBuffer& buffer) {
  const blasint q = to_blas(buffer.rows.n_rows);
  if (q == 0) {
    buffer.eta.head(m).zeros();  // the BLAS leaves y untouched when there are no columns
  } else {
    cblas_dgemv(CblasColMajor, CblasTrans, q, to_blas(m), 1.0, buffer.rows.memptr(), q, beta.memptr(), 1, 0.0,
                buffer.eta.memptr(), 1);
  }
  if (scattered) {
    add_scattered_eta(data.X, beta, first, m, buffer.eta.memptr(), buffer.scatter);
  }
}

// In a pass for the robust sums of an absorbed fit, the rows' level means
// of the dense columns are subtracted from them (absorbed_levels.hpp).
void partial_out_levels(const LogisticData& data, arma::uword first, arma::uword m, arma::mat& rows) {
  if (data.absorbed != nullptr && data.absorbed->level_means != nullptr) {
    subtract_level_means(*data.absorbed, first, m, rows);
  }
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
  if (buffer.row_weight.n_elem < m) {
    buffer.row_weight.set_size(buffer.rows.n_cols);
  }
  double* out = buffer.row_weight.memptr();
  for (arma::uword k = 0; k < m; ++k) {
    out[k] = kept_frequency(*data.absorbed, data.sample_weight, first + k);
  }
  return out;
}

// With robust sums (robust non-null), the block's rows are added to them
// while the means are at hand and x is not yet scaled. Returns the rows'
// frequency weights (row_frequencies).
const double* weigh_rows(const LogisticData& data, arma::uword first, arma::uword m, bool with_statistics,
                         BlockBuffer& buffer, NormalSums& sums, const MeatSettings* meat,
                         RobustSums* robust) {
  const double* linear = buffer.eta.memptr();
  const double* eta = full_predictor(data, first, m, buffer);
  double* mu_then_wz = buffer.weighted_z.memptr();
  double* root = buffer.root_weight.memptr();
  const double* y = data.y + first;
  const double* s = row_frequencies(data, first, m, buffer);
  double* state = buffer.link_state.memptr();
  means(data.link, eta, m, mu_then_wz, state);
  if (with_statistics) {
    // root_weight is free until working_weights fills it.
    row_statistics(data.link, eta, y, s, mu_then_wz, state, m, root, sums);
  }
  if (robust != nullptr) {
    double* residual = buffer.meat_residual.memptr();
    double* weight = buffer.meat_weight.memptr();
    meat_moments(data.link, eta, y, mu_then_wz, state, m, residual, weight);
    accumulate_meat(data, *meat, RowFrequencies{first, m, s}, buffer.rows, residual, weight, buffer.meat_rows,
                    *robust);
  }
  const MarginTerms margin = data.with_margin_sums
                                 ? MarginTerms{buffer.margin_slope.memptr(), buffer.margin_curvature.memptr()}
                                 : MarginTerms{nullptr, nullptr};
  if (data.score_response) {
    score_weights(data.link, eta, y, s, state, m, mu_then_wz, root, margin);
  } else {
    working_weights(data.link, linear, eta, y, s, state, m, mu_then_wz, root, margin);
  }
  return s;
}

// In a pass that forms the margin sums: the per-row buffers (made at the
// first such pass, at most one per fit otherwise) and the sum of s h'' x
// sized as b.
void prepare_margin_sums(const LogisticData& data, BlockBuffer& buffer, NormalSums& sums) {
  if (!data.with_margin_sums) {
    return;
  }
  if (buffer.margin_slope.n_elem < buffer.rows.n_cols) {
    buffer.margin_slope.set_size(buffer.rows.n_cols);
    buffer.margin_curvature.set_size(buffer.rows.n_cols);
  }
  if (sums.margins.curvature.n_elem != sums.b.n_elem) {
    sums.margins.curvature.zeros(sums.b.n_elem);
  }
}

// The scattered columns' part of the sum of s h'' x, when the pass forms it.
ScatteredMarginTerms scattered_margin_terms(const LogisticData& data, const BlockBuffer& buffer,
                                            NormalSums& sums) {
  if (!data.with_margin_sums) {
    return ScatteredMarginTerms();
  }
  return ScatteredMarginTerms{buffer.margin_curvature.memptr(), sums.margins.curvature.memptr()};
}

// The block's terms of the margin sums (data.with_margin_sums), from the
// rows' s h' and s h'' that weigh_rows left and the dense columns while
// they are unscaled and in cache: sum of s h'' x by the BLAS (the
// scattered columns' part is added with their other sums).
void add_margin_rows(const LogisticData& data, arma::uword m, const double* s, const BlockBuffer& buffer,
                     MarginSums& margins) {
  if (!data.with_margin_sums) {
    return;
  }
  margins.weight += s == nullptr ? static_cast<double>(m) : lane_sum(s, m);
  margins.slope += lane_sum(buffer.margin_slope.memptr(), m);
  const blasint q = to_blas(buffer.rows.n_rows);
  if (q > 0) {
    cblas_dgemv(CblasColMajor, CblasNoTrans, q, to_blas(m), 1.0, buffer.rows.memptr(), q,
                buffer.margin_curvature.memptr(), 1, 1.0, margins.curvature.memptr(), 1);
  }
}

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

}  // namespace

arma::uword coefficient_count(const LogisticData& data) { return column_count(data.X); }

NormalSums zero_sums(arma::uword q) {
  return NormalSums{
      arma::mat(q, q, arma::fill::zeros),
      arma::vec(q, arma::fill::zeros),
      0.0,
      0,
      arma::vec(),
      arma::vec(),
      MarginSums(),
  };
}

NormalSums zero_packed_sums(arma::uword q) {
  return NormalSums{
      arma::mat(),
      arma::vec(q, arma::fill::zeros),
      0.0,
      0,
      arma::vec(packed_size(q), arma::fill::zeros),
      arma::vec(),
      MarginSums(),
  };
}

void reset(NormalSums& sums) {
  sums.margins.weight = 0.0;
  sums.margins.slope = 0.0;
  sums.margins.curvature.zeros();
  sums.A.zeros();
  sums.packed_lower.zeros();
  sums.b.zeros();
  sums.deviance = 0.0;
  sums.boundary_rows = 0;
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
  if (!part.margins.curvature.is_empty()) {
    if (total.margins.curvature.is_empty()) {
      total.margins.curvature.zeros(part.margins.curvature.n_elem);
    }
    total.margins.weight += part.margins.weight;
    total.margins.slope += part.margins.slope;
    total.margins.curvature += part.margins.curvature;
  }
  total.deviance += part.deviance;
  total.boundary_rows += part.boundary_rows;
}

void fill_upper_triangle(arma::mat& A) {
  for (arma::uword j = 1; j < A.n_cols; ++j) {
    for (arma::uword i = 0; i < j; ++i) {
      A.at(i, j) = A.at(j, i);
    }
  }
}

BlockBuffer make_block_buffer(arma::uword block_rows, arma::uword q_dense, arma::uword q) {
  // The offset's and the robust sums' buffers are made when a pass needs them.
  return BlockBuffer{
      arma::mat(q_dense, block_rows),
      arma::vec(block_rows),
      arma::vec(block_rows),
      arma::vec(block_rows),
      arma::vec(block_rows),
      arma::vec(),
      arma::mat(),
      arma::vec(),
      arma::vec(),
      arma::vec(),
      arma::vec(),
      arma::vec(),
      make_scatter_scratch(q_dense, q),
  };
}

void accumulate_normal_equations(const LogisticData& data, const arma::vec& beta, RowRange rows,
                                 bool with_statistics, BlockBuffer& buffer, NormalSums& sums,
                                 const MeatSettings* meat, RobustSums* robust, AbsorbedSums* absorbed_sums) {
  const bool with_meat = robust != nullptr && meat != nullptr && meat->kind != MeatKind::none;
  // Made at the first pass that needs it (at most one per fit): the other
  // passes carry no memory for the robust sums.
  if (with_meat && buffer.meat_rows.n_cols < buffer.rows.n_cols) {
    buffer.meat_rows.set_size(buffer.rows.n_rows, buffer.rows.n_cols);
    buffer.meat_residual.set_size(buffer.rows.n_cols);
    buffer.meat_weight.set_size(buffer.rows.n_cols);
  }
  prepare_margin_sums(data, buffer, sums);
  const arma::uword capacity = buffer.rows.n_cols;
  // The dense columns are the first q of the system's; the scattered ones,
  // when there are any, follow them (scattered_blocks.hpp).
  const blasint q = to_blas(buffer.rows.n_rows);
  const blasint ld = std::max<blasint>(q, 1);
  // A chunk's partial sums of a scattered design are packed: the dense
  // columns' rank-k updates then go into a small full buffer of their own.
  const bool packed = !sums.packed_lower.is_empty();
  arma::mat& dense_sums = packed ? buffer.scatter.dense_corner : sums.A;
  if (packed && dense_sums.n_rows != buffer.rows.n_rows) {
    dense_sums.zeros(buffer.rows.n_rows, buffer.rows.n_rows);
  }
  const LowerTriangle lower{packed ? sums.packed_lower.memptr() : sums.A.memptr(), sums.b.n_elem, packed};
  const blasint ld_sums = std::max<blasint>(to_blas(dense_sums.n_rows), 1);
  const bool scattered = sums.b.n_elem > buffer.rows.n_rows;
  const bool robust_only = with_meat && meat->robust_only;
  for (arma::uword first = rows.begin; first < rows.end; first += capacity) {
    const arma::uword m = std::min(capacity, rows.end - first);
    const blasint rows_in_block = to_blas(m);
    copy_block(data, first, m, buffer.rows);
    linear_predictor(data, beta, first, m, scattered, buffer);
    if (robust_only) {
      partial_out_levels(data, first, m, buffer.rows);
    }
    const double* s =
        weigh_rows(data, first, m, with_statistics, buffer, sums, meat, with_meat ? robust : nullptr);
    if (robust_only) {
      continue;  // the normal equations at these coefficients are known already
    }
    add_absorbed_rows(data, first, m, buffer, absorbed_sums);
    add_margin_rows(data, m, s, buffer, sums.margins);
    if (scattered) {
      add_scattered_sums(data.X, first, m, buffer.rows, buffer.root_weight.memptr(),
                         buffer.weighted_z.memptr(), buffer.scatter, lower, sums.b,
                         scattered_margin_terms(data, buffer, sums));
    }
    if (q == 0) {
      continue;
    }
    cblas_dgemv(CblasColMajor, CblasNoTrans, q, rows_in_block, 1.0, buffer.rows.memptr(), ld,
                buffer.weighted_z.memptr(), 1, 1.0, sums.b.memptr(), 1);
    scale_columns(buffer.root_weight.memptr(), buffer.rows.n_rows, m, buffer.rows.memptr());
    cblas_dsyrk(CblasColMajor, CblasLower, CblasNoTrans, q, rows_in_block, 1.0, buffer.rows.memptr(), ld, 1.0,
                dense_sums.memptr(), ld_sums);
  }
  if (scattered) {
    add_cross_block(buffer.scatter, lower);
  }
  if (packed) {
    add_dense_corner(buffer.scatter, lower);
  }
  if (with_meat) {
    finish_row_range(*robust);
  }
}
