#include "robust_sums.hpp"

#include <cblas.h>

#include <algorithm>
#include <cmath>

#include "normal_equations.hpp"
#include "row_moments.hpp"

namespace {

// One row's entries of the scattered blocks, as gather_rows leaves them.
struct RowEntries {
  const arma::uword* columns;
  const double* values;
  std::size_t count;
};

// Row k's entries of the rows last gathered into scratch; none when there
// are no scattered blocks (nothing gathered).
RowEntries row_entries(const ScatterScratch& scratch, bool scattered, arma::uword k) {
  if (!scattered) {
    return RowEntries{nullptr, nullptr, 0};
  }
  const arma::uword start = scratch.row_starts[k];
  return RowEntries{
      scratch.columns.data() + start,
      scratch.values.data() + start,
      scratch.row_starts[k + 1] - start,
  };
}

// A row's score s r x into its group of each clustering: score holds the
// dense part (q_dense values), factor * its entries the rest.
void add_score(const MeatSettings& settings, arma::uword row, const double* score, arma::uword q_dense,
               double factor, const RowEntries& entries, std::vector<arma::mat>& groups) {
  for (std::size_t c = 0; c < settings.clusters.size(); ++c) {
    double* target = groups[c].colptr(static_cast<arma::uword>(settings.clusters[c].codes[row]));
    for (arma::uword j = 0; j < q_dense; ++j) {
      target[j] += score[j];
    }
    for (std::size_t e = 0; e < entries.count; ++e) {
      target[entries.columns[e]] += factor * entries.values[e];
    }
  }
}

// x' B x for a row with scattered entries, whose dense
// part is x_dense; with B's factor R, R_dense x_dense is given in
// factor_dense (the upper triangle's leading block: only the first q_dense
// of R x). R x = R_dense x_dense + sum_e v_e R[:, c_e], R's column c_e
// nonzero in its first c_e + 1 rows only; without R, x' (B x) over the
// same columns. O(q (q_dense + entries)) per row.
double scattered_quadratic_form(const MeatSettings& settings, const double* x_dense,
                                const double* factor_dense, arma::uword q_dense, const RowEntries& entries,
                                arma::vec& rx) {
  const arma::uword q = rx.n_elem;
  if (!settings.hat_factor.is_empty()) {
    std::copy(factor_dense, factor_dense + q_dense, rx.memptr());
    std::fill(rx.begin() + static_cast<std::ptrdiff_t>(q_dense), rx.end(), 0.0);
    for (std::size_t e = 0; e < entries.count; ++e) {
      const arma::uword column = entries.columns[e];
      const double* r = settings.hat_factor.colptr(column);
      const double value = entries.values[e];
      for (arma::uword i = 0; i <= column; ++i) {
        rx[i] += value * r[i];
      }
    }
    double sum = 0.0;
    for (arma::uword i = 0; i < q; ++i) {
      sum += rx[i] * rx[i];
    }
    return sum;
  }
  const arma::mat& B = *settings.inverse_information;
  rx.zeros();
  for (arma::uword j = 0; j < q_dense; ++j) {
    const double* b = B.colptr(j);
    for (arma::uword i = 0; i < q; ++i) {
      rx[i] += x_dense[j] * b[i];
    }
  }
  for (std::size_t e = 0; e < entries.count; ++e) {
    const double* b = B.colptr(entries.columns[e]);
    for (arma::uword i = 0; i < q; ++i) {
      rx[i] += entries.values[e] * b[i];
    }
  }
  double sum = 0.0;
  for (arma::uword j = 0; j < q_dense; ++j) {
    sum += x_dense[j] * rx[j];
  }
  for (std::size_t e = 0; e < entries.count; ++e) {
    sum += entries.values[e] * rx[entries.columns[e]];
  }
  return sum;
}

// x_k' B x_k for the block's m rows: |R x_k|^2 by a triangular product in
// workspace when B's factor is known, else x_k' (B x_k). With scattered
// blocks, each row's entries join its dense part (scattered_quadratic_form).
arma::vec hat_quadratic_forms(const LogisticData& data, const MeatSettings& settings, arma::uword first,
                              const arma::mat& x, arma::uword m, bool scattered, arma::mat& workspace,
                              RobustSums& sums) {
  const arma::uword q_dense = x.n_rows;
  arma::vec quadratic(m, arma::fill::zeros);
  const bool factored = !settings.hat_factor.is_empty();
  if (q_dense > 0 && factored) {
    std::copy(x.memptr(), x.memptr() + q_dense * m, workspace.memptr());
    cblas_dtrmm(CblasColMajor, CblasLeft, CblasUpper, CblasNoTrans, CblasNonUnit,
                static_cast<blasint>(q_dense), static_cast<blasint>(m), 1.0, settings.hat_factor.memptr(),
                static_cast<blasint>(settings.hat_factor.n_rows), workspace.memptr(),
                static_cast<blasint>(q_dense));
  }
  if (scattered) {
    gather_rows(data.X, first, m, sums.scatter);
    for (arma::uword k = 0; k < m; ++k) {
      quadratic[k] = scattered_quadratic_form(settings, x.colptr(k), workspace.colptr(k), q_dense,
                                              row_entries(sums.scatter, true, k), sums.hat_row);
    }
    return quadratic;
  }
  if (q_dense == 0) {
    return quadratic;
  }
  if (factored) {
    for (arma::uword k = 0; k < m; ++k) {
      const double* column = workspace.colptr(k);
      double sum = 0.0;
      for (arma::uword j = 0; j < q_dense; ++j) {
        sum += column[j] * column[j];
      }
      quadratic[k] = sum;
    }
    return quadratic;
  }
  const arma::mat projected = (*settings.inverse_information) * x.head_cols(m);
  for (arma::uword k = 0; k < m; ++k) {
    quadratic[k] = arma::dot(x.col(k), projected.col(k));
  }
  return quadratic;
}

// The rows' scores s r x (the dense part scaled in workspace, factor[k] =
// s r) into the groups, or kept for the ordered addition in a worker's
// chunk.
void add_scores(const LogisticData& data, const MeatSettings& settings, arma::uword first, arma::uword m,
                const arma::vec& factor, bool scattered, const arma::mat& workspace, RobustSums& sums) {
  const arma::uword q_dense = workspace.n_rows;
  if (!sums.scores.is_empty() || !sums.score_factors.is_empty()) {
    // A worker's chunk: kept, in row order, for the ordered addition.
    const arma::uword at = first - sums.first_row;
    std::copy(workspace.memptr(), workspace.memptr() + q_dense * m, sums.scores.colptr(at));
    if (scattered) {
      std::copy(factor.memptr(), factor.memptr() + m, sums.score_factors.memptr() + at);
      sums.design = &data.X;
    }
    sums.n_scores = first + m - sums.first_row;
    return;
  }
  if (scattered) {
    gather_rows(data.X, first, m, sums.scatter);
  }
  for (arma::uword k = 0; k < m; ++k) {
    add_score(settings, first + k, workspace.colptr(k), q_dense, factor[k],
              row_entries(sums.scatter, scattered, k), sums.groups);
  }
}

}  // namespace

arma::mat hat_factor_of(const arma::mat& inverse_information) {
  const arma::uword q = inverse_information.n_rows;
  const arma::uvec kept = arma::find(inverse_information.diag() > 0.0);
  arma::mat factor;
  if (!inverse_information.is_finite() ||
      !arma::chol(factor, inverse_information.submat(kept, kept), "upper")) {
    return {};
  }
  arma::mat full(q, q, arma::fill::zeros);
  full.submat(kept, kept) = factor;
  return full;
}

void set_hat_values(MeatSettings& settings, const arma::mat& inverse_information,
                    arma::uword absorbed_parameters) {
  settings.inverse_information = &inverse_information;
  settings.hat_factor = hat_factor_of(inverse_information);
  if (settings.hat_rows > 0.0) {
    const arma::uword k = arma::accu(inverse_information.diag() > 0.0) + absorbed_parameters;
    settings.mean_hat = static_cast<double>(k) / settings.hat_rows;
  }
}

RobustSums make_robust_sums(const MeatSettings& settings, arma::uword q, arma::uword q_dense,
                            bool keep_scores, arma::uword chunk_rows) {
  RobustSums sums;
  const bool scattered = q > q_dense;
  switch (settings.kind) {
    case MeatKind::none:
      break;
    case MeatKind::residual:
    case MeatKind::hat_adjusted:
      sums.meat.zeros(q, q);
      if (scattered) {
        sums.scatter = make_scatter_scratch(q_dense, q);
      }
      if (scattered && settings.kind == MeatKind::hat_adjusted) {
        sums.hat_row.zeros(q);
      }
      break;
    case MeatKind::cluster:
      if (keep_scores) {
        sums.scores.zeros(q_dense, chunk_rows);
        if (scattered) {
          sums.score_factors.zeros(chunk_rows);
        }
      } else {
        for (const ClusterCodes& clustering : settings.clusters) {
          sums.groups.emplace_back(q, clustering.n_groups, arma::fill::zeros);
        }
      }
      break;
  }
  return sums;
}

void reset(RobustSums& sums, arma::uword first_row) {
  sums.meat.zeros();
  sums.scatter.cross.zeros();
  for (arma::mat& groups : sums.groups) {
    groups.zeros();
  }
  sums.first_row = first_row;
  sums.n_scores = 0;
  sums.hat_one_rows.clear();
}

void finish_row_range(RobustSums& sums) {
  if (!sums.scatter.cross.is_empty()) {
    add_cross_block(sums.scatter, full_lower_triangle(sums.meat));
  }
}

void add_into(RobustSums& total, const RobustSums& part, const MeatSettings& settings) {
  if (!part.meat.is_empty()) {
    total.meat += part.meat;
  }
  total.hat_one_rows.insert(total.hat_one_rows.end(), part.hat_one_rows.begin(), part.hat_one_rows.end());
  const bool scattered = !part.score_factors.is_empty();
  // The chunk's rows in row order, their entries gathered a few hundred
  // rows at a time: a chunk of a scattered design can be q^2 / 4 rows.
  constexpr arma::uword rows_at_once = 512;
  for (arma::uword from = 0; from < part.n_scores; from += rows_at_once) {
    const arma::uword m = std::min(rows_at_once, part.n_scores - from);
    if (scattered) {
      gather_rows(*part.design, part.first_row + from, m, total.scatter);
    }
    for (arma::uword k = 0; k < m; ++k) {
      add_score(settings, part.first_row + from + k, part.scores.colptr(from + k), part.scores.n_rows,
                scattered ? part.score_factors[from + k] : 0.0, row_entries(total.scatter, scattered, k),
                total.groups);
    }
  }
}

void accumulate_meat(const LogisticData& data, const MeatSettings& settings, RowFrequencies rows,
                     const arma::mat& x, const double* residual, const double* weight, arma::mat& workspace,
                     RobustSums& sums) {
  const arma::uword first = rows.first;
  const arma::uword m = rows.m;
  if (settings.kind == MeatKind::none || m == 0) {
    return;
  }
  const arma::uword q = coefficient_count(data);
  if (q == 0) {
    return;  // no scores, no meat; and no hat value is 1
  }
  const arma::uword q_dense = x.n_rows;
  const bool scattered = q_dense < q;
  const double* s = rows.s;
  arma::vec factor(m);
  arma::vec quadratic;  // x' B x per row, for the hat values
  if (settings.kind == MeatKind::hat_adjusted) {
    quadratic = hat_quadratic_forms(data, settings, first, x, m, scattered, workspace, sums);
  }
  for (arma::uword k = 0; k < m; ++k) {
    const double r = residual[k];
    const double frequency = s == nullptr ? 1.0 : s[k];
    if (settings.kind == MeatKind::cluster) {
      factor[k] = frequency * r;
      continue;
    }
    double root = std::sqrt(frequency) * std::abs(r);
    if (settings.kind == MeatKind::hat_adjusted) {
      const double h = weight[k] * (quadratic[k] + level_leverage(data.absorbed, first + k));
      if (frequency > 0.0 && h >= 1.0 - hat_one_tolerance) {
        sums.hat_one_rows.push_back(first + k);
      }
      const double power =
          settings.mean_hat > 0.0 ? std::min(settings.hat_power, h / settings.mean_hat) : settings.hat_power;
      root /= std::pow(1.0 - h, power / 2.0);
    }
    factor[k] = root;
  }
  for (arma::uword k = 0; k < m; ++k) {
    const double* column = x.colptr(k);
    double* out = workspace.colptr(k);
    for (arma::uword j = 0; j < q_dense; ++j) {
      out[j] = column[j] * factor[k];
    }
  }
  if (settings.kind == MeatKind::cluster) {
    add_scores(data, settings, first, m, factor, scattered, workspace, sums);
    return;
  }
  if (q_dense > 0) {
    cblas_dsyrk(CblasColMajor, CblasLower, CblasNoTrans, static_cast<blasint>(q_dense),
                static_cast<blasint>(m), 1.0, workspace.memptr(), static_cast<blasint>(q_dense), 1.0,
                sums.meat.memptr(), static_cast<blasint>(sums.meat.n_rows));
  }
  if (scattered) {
    // The entries' terms s r^2 / (1 - h)^power x x' as the normal
    // equations' scatter adds s w x x', with this root for sqrt(s w); no b.
    arma::vec no_right_hand_side;
    add_scattered_sums(data.X, first, m, x, factor.memptr(), nullptr, sums.scatter,
                       full_lower_triangle(sums.meat), no_right_hand_side);
  }
}

void add_rows(RobustSums& sums, const MeatSettings& settings, const LogisticData& data,
              const RowBlock& block) {
  BlockBuffer& buffer = block.buffer;
  const arma::uword capacity = buffer.rows.n_cols;
  // Made at the first pass that forms the robust sums (at most one per fit
  // in memory): the other passes carry no memory for them.
  if (buffer.meat_rows.n_cols < capacity) {
    buffer.meat_rows.set_size(buffer.rows.n_rows, capacity);
  }
  double* residual = row_buffer(buffer.meat_residual, block.m, capacity);
  double* weight = row_buffer(buffer.meat_weight, block.m, capacity);
  meat_moments(data.link, block.eta, block.y, buffer.mu_then_weighted_z.memptr(), buffer.link_state.memptr(),
               block.m, residual, weight);
  const arma::mat* x = &buffer.rows;
  if (data.absorbed != nullptr && data.absorbed->level_means != nullptr) {
    buffer.level_free_rows = buffer.rows;
    subtract_level_means(*data.absorbed, block.first, block.m, buffer.level_free_rows);
    x = &buffer.level_free_rows;
  }
  accumulate_meat(data, settings, RowFrequencies{block.first, block.m, block.s}, *x, residual, weight,
                  buffer.meat_rows, sums);
}

arma::mat cluster_meat(const arma::mat& groups) {
  arma::mat meat = groups * groups.t();
  return arma::symmatl(meat);
}
