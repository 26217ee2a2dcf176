#include "staged_level_rows.hpp"

#include <algorithm>

#include "absorbed_levels.hpp"

namespace {

// Staged rows ahead of the one at hand whose level's sums are fetched into
// the cache while it is added (as add_level_sums does: prefetch_level).
constexpr arma::uword prefetch_distance = 16;

}  // namespace

StagedLevelRows make_staged_level_rows(arma::uword q_dense, arma::uword chunk_rows) {
  StagedLevelRows stage;
  stage.rows.set_size(q_dense + 2, chunk_rows);
  return stage;
}

void stage_level_rows(StagedLevelRows& stage, arma::uword first, arma::uword m, const arma::mat& dense_rows,
                      const double* root_weight, const double* weighted_z) {
  const arma::uword q_dense = dense_rows.n_rows;
  for (arma::uword k = 0; k < m; ++k) {
    double* staged = stage.rows.colptr(first - stage.first + k);
    // The same product s w as add_level_sums forms.
    staged[0] = root_weight[k] * root_weight[k];
    staged[1] = weighted_z[k];
    const double* x = dense_rows.colptr(k);
    for (arma::uword j = 0; j < q_dense; ++j) {
      staged[2 + j] = x[j];
    }
  }
  stage.m = std::max(stage.m, first - stage.first + m);
}

void add_staged_rows(const StagedLevelRows& stage, const AbsorbedLevels& levels, arma::uword low,
                     arma::uword high, AbsorbedSums& sums, std::vector<arma::uword>& selected) {
  const arma::uword q_dense = stage.rows.n_rows - 2;
  double* scores = sums.score_cross.is_empty() ? nullptr : sums.score_cross.memptr();
  with_absorbed_codes(levels.codes + stage.first, [&](const auto* codes) {
    // The rows of the range first, without a branch: which rows are the
    // other thread's is as good as random, and a mispredicted branch per
    // row cost more than the sums.
    arma::uword count = 0;
    selected.resize(std::max<arma::uword>(selected.size(), stage.m));
    const arma::uword width = high - low;
    for (arma::uword k = 0; k < stage.m; ++k) {
      selected[count] = k;
      count += static_cast<arma::uword>(codes[k]) - low < width ? 1 : 0;
    }
    for (arma::uword r = 0; r < count; ++r) {
      if (r + prefetch_distance < count) {
        prefetch_level(sums, scores, static_cast<arma::uword>(codes[selected[r + prefetch_distance]]),
                       q_dense);
      }
      const arma::uword k = selected[r];
      const double* staged = stage.rows.colptr(k);
      add_level_row(sums, scores, static_cast<arma::uword>(codes[k]), staged[0], staged[1], staged + 2,
                    q_dense);
    }
  });
}
