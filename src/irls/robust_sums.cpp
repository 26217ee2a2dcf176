#include "robust_sums.hpp"

#include <cblas.h>

#include <algorithm>
#include <cmath>

#include "normal_equations.hpp"

namespace {

// The working weight as the fit clamps it (normal_equations.cpp): the hat
// value is that of the weighted least-squares step whose covariance this is.
double working_weight(double mu) {
  const double variance = mu * (1.0 - mu);
  return std::clamp(variance, 1e-10, 1.0);
}

void add_score(const MeatSettings& settings, arma::uword row, const double* score, arma::uword q,
               std::vector<arma::mat>& groups) {
  for (std::size_t c = 0; c < settings.clusters.size(); ++c) {
    double* target = groups[c].colptr(static_cast<arma::uword>(settings.clusters[c].codes[row]));
    for (arma::uword j = 0; j < q; ++j) {
      target[j] += score[j];
    }
  }
}

// x_k' B x_k for the block's m rows: |R x_k|^2 by a triangular product in
// workspace when B's factor is known, else x_k' (B x_k).
arma::vec hat_quadratic_forms(const MeatSettings& settings, const arma::mat& x, arma::uword m,
                              arma::mat& workspace) {
  const arma::uword q = x.n_rows;
  arma::vec quadratic(m);
  if (q == 0) {
    quadratic.zeros();
    return quadratic;
  }
  if (!settings.hat_factor.is_empty()) {
    std::copy(x.memptr(), x.memptr() + q * m, workspace.memptr());
    cblas_dtrmm(CblasColMajor, CblasLeft, CblasUpper, CblasNoTrans, CblasNonUnit, static_cast<blasint>(q),
                static_cast<blasint>(m), 1.0, settings.hat_factor.memptr(), static_cast<blasint>(q),
                workspace.memptr(), static_cast<blasint>(q));
    for (arma::uword k = 0; k < m; ++k) {
      const double* column = workspace.colptr(k);
      double sum = 0.0;
      for (arma::uword j = 0; j < q; ++j) {
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

RobustSums make_robust_sums(const MeatSettings& settings, arma::uword q, bool keep_scores,
                            arma::uword chunk_rows) {
  RobustSums sums;
  switch (settings.kind) {
    case MeatKind::none:
      break;
    case MeatKind::residual:
    case MeatKind::hat_adjusted:
      sums.meat.zeros(q, q);
      break;
    case MeatKind::cluster:
      if (keep_scores) {
        sums.scores.zeros(q, chunk_rows);
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
  for (arma::mat& groups : sums.groups) {
    groups.zeros();
  }
  sums.first_row = first_row;
  sums.n_scores = 0;
  sums.hat_one_rows.clear();
}

void add_into(RobustSums& total, const RobustSums& part, const MeatSettings& settings) {
  if (!part.meat.is_empty()) {
    total.meat += part.meat;
  }
  total.hat_one_rows.insert(total.hat_one_rows.end(), part.hat_one_rows.begin(), part.hat_one_rows.end());
  for (arma::uword k = 0; k < part.n_scores; ++k) {
    add_score(settings, part.first_row + k, part.scores.colptr(k), part.scores.n_rows, total.groups);
  }
}

void accumulate_meat(const LogisticData& data, const MeatSettings& settings, arma::uword first, arma::uword m,
                     const arma::mat& x, const double* mu_of_rows, arma::mat& workspace, RobustSums& sums) {
  if (settings.kind == MeatKind::none || m == 0) {
    return;
  }
  const arma::uword q = x.n_rows;
  const double* y = data.y + first;
  const double* s = data.sample_weight == nullptr ? nullptr : data.sample_weight + first;
  arma::vec factor(m);
  arma::vec quadratic;  // x' B x per row, for the hat values
  if (settings.kind == MeatKind::hat_adjusted) {
    quadratic = hat_quadratic_forms(settings, x, m, workspace);
  }
  for (arma::uword k = 0; k < m; ++k) {
    const double mu = mu_of_rows[k];
    const double r = y[k] - mu;
    const double frequency = s == nullptr ? 1.0 : s[k];
    if (settings.kind == MeatKind::cluster) {
      factor[k] = frequency * r;
      continue;
    }
    double root = std::sqrt(frequency) * std::abs(r);
    if (settings.kind == MeatKind::hat_adjusted) {
      const double h = working_weight(mu) * quadratic[k];
      if (frequency > 0.0 && h >= 1.0 - hat_one_tolerance) {
        sums.hat_one_rows.push_back(first + k);
      }
      root /= std::pow(1.0 - h, settings.hat_power / 2.0);
    }
    factor[k] = root;
  }
  if (q == 0) {
    return;
  }
  for (arma::uword k = 0; k < m; ++k) {
    const double* column = x.colptr(k);
    double* out = workspace.colptr(k);
    for (arma::uword j = 0; j < q; ++j) {
      out[j] = column[j] * factor[k];
    }
  }
  if (settings.kind != MeatKind::cluster) {
    cblas_dsyrk(CblasColMajor, CblasLower, CblasNoTrans, static_cast<blasint>(q), static_cast<blasint>(m),
                1.0, workspace.memptr(), static_cast<blasint>(q), 1.0, sums.meat.memptr(),
                static_cast<blasint>(q));
    return;
  }
  if (!sums.scores.is_empty()) {
    // A worker's chunk: kept, in row order, for the ordered addition.
    std::copy(workspace.memptr(), workspace.memptr() + q * m, sums.scores.colptr(first - sums.first_row));
    sums.n_scores = first + m - sums.first_row;
    return;
  }
  for (arma::uword k = 0; k < m; ++k) {
    add_score(settings, first + k, workspace.colptr(k), q, sums.groups);
  }
}

arma::mat cluster_meat(const arma::mat& groups) {
  arma::mat meat = groups * groups.t();
  return arma::symmatl(meat);
}
