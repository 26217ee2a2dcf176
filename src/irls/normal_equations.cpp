#include "normal_equations.hpp"

#include <cblas.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>

namespace {

// The working weight's clamp: the lower bound keeps every finite weight
// positive, so the working response never divides by zero; for finite mu the
// weight is at most 0.25 and the upper bound never acts. NaN passes through.
constexpr double min_weight = 1e-10;
constexpr double max_weight = 1.0;

// Armadillo's message for a dimension the BLAS's integers cannot hold.
constexpr const char* blas_overflow =
    "integer overflow: matrix dimensions are too large for integer type used by BLAS and LAPACK";

blasint to_blas(arma::uword value) {
  if (value > static_cast<arma::uword>(std::numeric_limits<blasint>::max())) {
    throw std::runtime_error(blas_overflow);
  }
  return static_cast<blasint>(value);
}

// One double of X, wherever it lies: X may be a view of a buffer that
// arrived over a network, not aligned to 8 bytes. The copy compiles to the
// same unaligned load as a plain read on the processors the engine targets.
double load(const double* address) {
  double value = 0.0;
  std::memcpy(&value, address, sizeof value);
  return value;
}

// log(1 + exp(x)) without overflow for large x or loss for very negative x.
double softplus(double x) { return std::max(x, 0.0) + std::log1p(std::exp(-std::abs(x))); }

// Copies rows [first, first + m) of X into the first m columns of block, one
// observation per column, after a leading one when the data has an
// intercept. A row-major X is copied row by row without any reordering. X is
// read here and nowhere else, and only through memcpy and load, so its memory
// need not be aligned.
void copy_block(const LogisticData& data, arma::uword first, arma::uword m, arma::mat& block) {
  const DesignView& X = data.X;
  const arma::uword offset = data.intercept ? 1 : 0;
  const arma::uword q = block.n_rows;
  double* out = block.memptr();
  if (X.row_major && !data.intercept) {
    // The block is a contiguous slab of X already in this layout. (An X
    // without columns may have no memory at all: nothing to copy.)
    if (X.n_cols > 0) {
      std::memcpy(out, X.memory + first * X.n_cols, m * X.n_cols * sizeof(double));
    }
  } else if (X.row_major) {
    // Rows of a few doubles: a plain loop, not a library call per row.
    for (arma::uword k = 0; k < m; ++k) {
      double* column = out + k * q;
      const double* row = X.memory + (first + k) * X.n_cols;
      column[0] = 1.0;
      for (arma::uword j = 0; j < X.n_cols; ++j) {
        column[j + 1] = load(row + j);
      }
    }
  } else {
    if (data.intercept) {
      for (arma::uword k = 0; k < m; ++k) {
        out[k * q] = 1.0;
      }
    }
    for (arma::uword j = 0; j < X.n_cols; ++j) {
      const double* source = X.memory + j * X.n_rows + first;
      for (arma::uword k = 0; k < m; ++k) {
        out[k * q + j + offset] = load(source + k);
      }
    }
  }
}

// The per-row pass of one block, in the order of the formulas: from eta, the
// mean mu = 1 / (exp(-eta) + 1), the clamped weight w and the working
// response z = eta + (y - mu) / w; what the products need is s w z and
// sqrt(s w). It runs as two loops: the first calls libm's exp row by row and
// leaves mu in wz's place; the second has no calls, so the compiler
// vectorises its divisions and square roots (which are correctly rounded at
// any vector width: the bits do not change).
void logistic_means(const double* eta, arma::uword m, double* mu) {
  for (arma::uword k = 0; k < m; ++k) {
    mu[k] = 1.0 / (std::exp(-eta[k]) + 1.0);
  }
}

// Compiled for the widest vector unit the CPU has, chosen once when the
// library loads. Divisions and square roots are correctly rounded at every
// width (and nothing is contracted into fused multiply-adds), so every
// variant gives the same bits.
#define QUORVI_VECTOR_CLONES __attribute__((target_clones("default", "avx2", "avx512f")))

// s may be null: every weight is then 1. The test is hoisted out of the loop.
QUORVI_VECTOR_CLONES
void working_weights(const double* eta, const double* y, const double* s, arma::uword m, double* mu_then_wz,
                     double* root) {
  for (arma::uword k = 0; k < m; ++k) {
    const double mu = mu_then_wz[k];
    const double variance = mu * (1.0 - mu);
    const double w = variance < min_weight ? min_weight : (variance > max_weight ? max_weight : variance);
    const double z = eta[k] + (y[k] - mu) / w;
    const double weight = s == nullptr ? w : w * s[k];
    mu_then_wz[k] = weight * z;
    root[k] = std::sqrt(weight);
  }
}

// The deviance of the rows and the count of those of positive weight whose
// mean is exactly 0 or 1, added to sums.
void row_statistics(const double* eta, const double* y, const double* s, const double* mu, arma::uword m,
                    NormalSums& sums) {
  for (arma::uword k = 0; k < m; ++k) {
    const double frequency = s == nullptr ? 1.0 : s[k];
    // y log(1 + exp(-eta)) + (1 - y) log(1 + exp(eta)), with one logarithm:
    // log(1 + exp(-eta)) = log(1 + exp(eta)) - eta.
    sums.deviance += frequency * 2.0 * (softplus(eta[k]) - y[k] * eta[k]);
    if (frequency > 0.0 && (mu[k] == 0.0 || mu[k] == 1.0)) {
      ++sums.boundary_rows;
    }
  }
}

void weigh_rows(const LogisticData& data, arma::uword first, arma::uword m, bool with_statistics,
                BlockBuffer& buffer, NormalSums& sums) {
  const double* eta = buffer.eta.memptr();
  double* mu_then_wz = buffer.weighted_z.memptr();
  double* root = buffer.root_weight.memptr();
  const double* y = data.y + first;
  const double* s = data.sample_weight == nullptr ? nullptr : data.sample_weight + first;
  logistic_means(eta, m, mu_then_wz);
  if (with_statistics) {
    row_statistics(eta, y, s, mu_then_wz, m, sums);
  }
  working_weights(eta, y, s, m, mu_then_wz, root);
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

arma::uword coefficient_count(const LogisticData& data) { return data.X.n_cols + (data.intercept ? 1 : 0); }

NormalSums zero_sums(arma::uword q) {
  return NormalSums{arma::mat(q, q, arma::fill::zeros), arma::vec(q, arma::fill::zeros), 0.0, 0};
}

void reset(NormalSums& sums) {
  sums.A.zeros();
  sums.b.zeros();
  sums.deviance = 0.0;
  sums.boundary_rows = 0;
}

void add_into(NormalSums& total, const NormalSums& part) {
  total.A += part.A;
  total.b += part.b;
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

BlockBuffer make_block_buffer(arma::uword block_rows, arma::uword q) {
  return BlockBuffer{
      arma::mat(q, block_rows),
      arma::vec(block_rows),
      arma::vec(block_rows),
      arma::vec(block_rows),
  };
}

void accumulate_normal_equations(const LogisticData& data, const arma::vec& beta, RowRange rows,
                                 bool with_statistics, BlockBuffer& buffer, NormalSums& sums) {
  const arma::uword capacity = buffer.rows.n_cols;
  const blasint q = to_blas(buffer.rows.n_rows);
  const blasint ld = std::max<blasint>(q, 1);
  for (arma::uword first = rows.begin; first < rows.end; first += capacity) {
    const arma::uword m = std::min(capacity, rows.end - first);
    const blasint rows_in_block = to_blas(m);
    copy_block(data, first, m, buffer.rows);
    if (q == 0) {
      buffer.eta.head(m).zeros();  // the BLAS leaves y untouched when there are no columns
    } else {
      cblas_dgemv(CblasColMajor, CblasTrans, q, rows_in_block, 1.0, buffer.rows.memptr(), ld, beta.memptr(),
                  1, 0.0, buffer.eta.memptr(), 1);
    }
    weigh_rows(data, first, m, with_statistics, buffer, sums);
    if (q == 0) {
      continue;
    }
    cblas_dgemv(CblasColMajor, CblasNoTrans, q, rows_in_block, 1.0, buffer.rows.memptr(), ld,
                buffer.weighted_z.memptr(), 1, 1.0, sums.b.memptr(), 1);
    scale_columns(buffer.root_weight.memptr(), buffer.rows.n_rows, m, buffer.rows.memptr());
    cblas_dsyrk(CblasColMajor, CblasLower, CblasNoTrans, q, rows_in_block, 1.0, buffer.rows.memptr(), ld, 1.0,
                sums.A.memptr(), q);
  }
}
