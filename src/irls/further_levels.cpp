#include "further_levels.hpp"

FurtherLevels further_levels_of(const std::vector<FurtherColumn>& columns) {
  FurtherLevels levels;
  levels.starts.push_back(0);
  for (const FurtherColumn& column : columns) {
    levels.codes.push_back(column.codes);
    levels.starts.push_back(levels.starts.back() + column.n_levels);
  }
  return levels;
}

void add_further_effects(const FurtherLevels& levels, arma::uword first, arma::uword m, double* eta) {
  for (std::size_t j = 0; j < levels.codes.size(); ++j) {
    const double* effects = levels.effects + levels.starts[j];
    with_absorbed_codes(levels.codes[j] + first, [&](const auto* codes) {
      for (arma::uword k = 0; k < m; ++k) {
        eta[k] += effects[codes[k]];
      }
    });
  }
}

FurtherSums zero_further_sums(arma::uword q, arma::uword n_levels) {
  return FurtherSums{
      arma::vec(n_levels, arma::fill::zeros),
      arma::vec(n_levels, arma::fill::zeros),
      arma::mat(q, n_levels, arma::fill::zeros),
  };
}

void reset(FurtherSums& sums) {
  sums.weight.zeros();
  sums.score.zeros();
  sums.cross.zeros();
}

void add_into(FurtherSums& total, const FurtherSums& part) {
  total.weight += part.weight;
  total.score += part.score;
  total.cross += part.cross;
}

void add_further_sums(const FurtherLevels& levels, arma::uword first, arma::uword m,
                      const arma::mat& dense_rows, const double* root_weight, const double* weighted_z,
                      FurtherSums& sums) {
  const arma::uword q = dense_rows.n_rows;
  for (arma::uword k = 0; k < m; ++k) {
    // The same product s w as the first column's D (absorbed_levels.cpp).
    levels.row_weights[first + k] = root_weight[k] * root_weight[k];
  }
  for (std::size_t j = 0; j < levels.codes.size(); ++j) {
    const arma::uword start = levels.starts[j];
    with_absorbed_codes(levels.codes[j] + first, [&](const auto* codes) {
      for (arma::uword k = 0; k < m; ++k) {
        const arma::uword level = start + static_cast<arma::uword>(codes[k]);
        const double weight = levels.row_weights[first + k];
        sums.weight[level] += weight;
        sums.score[level] += weighted_z[k];
        const double* x = dense_rows.colptr(k);
        double* cross = sums.cross.colptr(level);
        for (arma::uword i = 0; i < q; ++i) {
          cross[i] += weight * x[i];
        }
      }
    });
  }
}
