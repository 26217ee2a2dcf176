#include "absorbed_levels.hpp"

AbsorbedSums zero_absorbed_sums(arma::uword q, arma::uword n_levels) {
  return AbsorbedSums{
      arma::vec(n_levels, arma::fill::zeros),
      arma::vec(n_levels, arma::fill::zeros),
      arma::mat(q, n_levels, arma::fill::zeros),
  };
}

void reset(AbsorbedSums& sums) {
  sums.weight.zeros();
  sums.score.zeros();
  sums.cross.zeros();
}

void add_level_effects(const AbsorbedLevels& levels, arma::uword first, arma::uword m, double* eta) {
  const std::int32_t* codes = levels.codes + first;
  for (arma::uword k = 0; k < m; ++k) {
    eta[k] += levels.effects[codes[k]];
  }
}

void add_level_sums(const AbsorbedLevels& levels, arma::uword first, arma::uword m,
                    const arma::mat& dense_rows, const double* root_weight, const double* weighted_z,
                    AbsorbedSums& sums) {
  const std::int32_t* codes = levels.codes + first;
  const arma::uword q_dense = dense_rows.n_rows;
  for (arma::uword k = 0; k < m; ++k) {
    const auto level = static_cast<arma::uword>(codes[k]);
    // The same product s w as the rank-k update's (sqrt(s w) squared), so
    // that D and C are the dummies' part of the very system A is part of.
    const double weight = root_weight[k] * root_weight[k];
    sums.weight[level] += weight;
    sums.score[level] += weighted_z[k];
    const double* x = dense_rows.colptr(k);
    double* cross = sums.cross.colptr(level);
    for (arma::uword j = 0; j < q_dense; ++j) {
      cross[j] += weight * x[j];
    }
  }
}

void subtract_level_means(const AbsorbedLevels& levels, arma::uword first, arma::uword m,
                          arma::mat& dense_rows) {
  const std::int32_t* codes = levels.codes + first;
  const arma::uword q_dense = dense_rows.n_rows;
  for (arma::uword k = 0; k < m; ++k) {
    const double* mean = levels.level_means + static_cast<arma::uword>(codes[k]) * q_dense;
    double* x = dense_rows.colptr(k);
    for (arma::uword j = 0; j < q_dense; ++j) {
      x[j] -= mean[j];
    }
  }
}

arma::uword first_level_out_of_range(const std::int32_t* codes, arma::uword n_rows, arma::uword n_levels) {
  for (arma::uword row = 0; row < n_rows; ++row) {
    if (codes[row] < 0 || static_cast<arma::uword>(codes[row]) >= n_levels) {
      return row;
    }
  }
  return n_rows;
}
