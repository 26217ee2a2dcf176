#include "absorbed_levels.hpp"

#include <algorithm>
#include <stdexcept>

namespace {

// f(block_index, row, column) for every entry of X's scattered blocks, row
// by row within each block, column a coefficient index.
template <class F>
void for_each_scattered_entry(const Design& X, arma::uword first, arma::uword m, F&& f) {
  std::size_t index = 0;
  for_each_scattered_block(X, [&](const auto& block, arma::uword offset) {
    for_each_row(
        block, first, m, [&](arma::uword k, const auto* columns, const double* values, std::size_t entries) {
          if (entries > 1) {
            throw std::invalid_argument("absorbed levels beside a block of more than one entry per row");
          }
          if (entries == 1) {
            f(index, first + k, offset + static_cast<arma::uword>(columns[0]), values[0]);
          }
        });
    ++index;
  });
}

}  // namespace

LevelPattern level_pattern(const Design& X, const AbsorbedLevels& levels) {
  LevelPattern pattern;
  std::size_t n_blocks = 0;
  for_each_scattered_block(X, [&](const auto& /*block*/, arma::uword /*offset*/) { ++n_blocks; });
  if (n_blocks == 0) {
    return pattern;
  }
  const arma::uword n = X.n_rows;
  // Each level's columns in row order (a counting sort by level), then
  // sorted and made unique within the level.
  std::vector<arma::uword> counts(levels.n_levels + 1, 0);
  for_each_scattered_entry(
      X, 0, n, [&](std::size_t, arma::uword row, arma::uword, double) { ++counts[levels.codes[row] + 1]; });
  for (arma::uword l = 0; l < levels.n_levels; ++l) {
    counts[l + 1] += counts[l];
  }
  std::vector<arma::uword> by_level(counts.back());
  std::vector<arma::uword> cursor(counts.begin(), counts.end() - 1);
  for_each_scattered_entry(X, 0, n, [&](std::size_t, arma::uword row, arma::uword column, double) {
    by_level[cursor[levels.codes[row]]++] = column;
  });
  pattern.level_starts.assign(levels.n_levels + 1, 0);
  for (arma::uword l = 0; l < levels.n_levels; ++l) {
    const auto begin = by_level.begin() + static_cast<std::ptrdiff_t>(counts[l]);
    const auto end = by_level.begin() + static_cast<std::ptrdiff_t>(counts[l + 1]);
    std::sort(begin, end);
    pattern.columns.insert(pattern.columns.end(), begin, std::unique(begin, end));
    pattern.level_starts[l + 1] = pattern.columns.size();
  }
  pattern.positions.assign(n_blocks, std::vector<arma::uword>(n, LevelPattern::no_entry));
  for_each_scattered_entry(X, 0, n, [&](std::size_t block, arma::uword row, arma::uword column, double) {
    const auto level = levels.codes[row];
    const auto begin = pattern.columns.begin() + static_cast<std::ptrdiff_t>(pattern.level_starts[level]);
    const auto end = pattern.columns.begin() + static_cast<std::ptrdiff_t>(pattern.level_starts[level + 1]);
    pattern.positions[block][row] =
        static_cast<arma::uword>(std::lower_bound(begin, end, column) - pattern.columns.begin());
  });
  return pattern;
}

AbsorbedSums zero_absorbed_sums(arma::uword q_dense, arma::uword n_levels, const LevelPattern* pattern) {
  return AbsorbedSums{
      arma::vec(n_levels, arma::fill::zeros),
      arma::vec(n_levels, arma::fill::zeros),
      arma::mat(q_dense, n_levels, arma::fill::zeros),
      arma::vec(pattern == nullptr ? 0 : pattern->pairs(), arma::fill::zeros),
      pattern,
      arma::mat(),
      FurtherSums(),
  };
}

void reset(AbsorbedSums& sums) {
  sums.weight.zeros();
  sums.score.zeros();
  sums.cross.zeros();
  sums.pair_cross.zeros();
  sums.score_cross.zeros();
  reset(sums.further);
}

void form_score_cross(AbsorbedSums& sums, arma::uword q_dense, bool formed) {
  if (!formed) {
    sums.score_cross.reset();
  } else if (sums.score_cross.n_cols != sums.score.n_elem) {
    sums.score_cross.zeros(q_dense, sums.score.n_elem);
  }
}

void partial_out_scores(AbsorbedSums& sums, const arma::mat& means) {
  const arma::uword q_dense = sums.score_cross.n_rows;
  for (arma::uword level = 0; level < sums.score_cross.n_cols; ++level) {
    const double score = sums.score[level];
    const double* mean = means.colptr(level);
    double* target = sums.score_cross.colptr(level);
    for (arma::uword j = 0; j < q_dense; ++j) {
      target[j] -= mean[j] * score;
    }
  }
}

void partial_out_scores(AbsorbedSums& sums) {
  const arma::uword q_dense = sums.score_cross.n_rows;
  for (arma::uword level = 0; level < sums.score_cross.n_cols; ++level) {
    const double weight = sums.weight[level];
    if (!(weight > 0.0)) {
      continue;  // no rows of weight: its scores are 0
    }
    const double score = sums.score[level] / weight;
    const double* cross = sums.cross.colptr(level);
    double* target = sums.score_cross.colptr(level);
    for (arma::uword j = 0; j < q_dense; ++j) {
      target[j] -= cross[j] * score;
    }
  }
}

// Rows ahead of the one at hand whose level's sums are fetched into the
// cache while it is added: a level's sums lie anywhere in L-sized arrays
// (40 MB for 10^6 levels and 5 columns), and waiting for each row's was
// most of the pass's time.
constexpr arma::uword prefetch_distance = 16;

void add_level_effects(const AbsorbedLevels& levels, arma::uword first, arma::uword m, double* eta) {
  with_absorbed_codes(levels.codes + first, [&](const auto* codes) {
    for (arma::uword k = 0; k < m; ++k) {
      if (k + prefetch_distance < m) {
        __builtin_prefetch(levels.effects + codes[k + prefetch_distance]);
      }
      eta[k] += levels.effects[codes[k]];
    }
  });
  if (levels.further != nullptr) {
    add_further_effects(*levels.further, first, m, eta);
  }
}

void add_level_sums(const AbsorbedLevels& levels, arma::uword first, arma::uword m,
                    const arma::mat& dense_rows, const double* root_weight, const double* weighted_z,
                    AbsorbedSums& sums) {
  const arma::uword q_dense = dense_rows.n_rows;
  // The scores s r x in the same loop, when they are formed: the row's
  // level is then in the cache once.
  double* scores = sums.score_cross.is_empty() ? nullptr : sums.score_cross.memptr();
  with_absorbed_codes(levels.codes + first, [&](const auto* codes) {
    for (arma::uword k = 0; k < m; ++k) {
      if (k + prefetch_distance < m) {
        prefetch_level(sums, scores, static_cast<arma::uword>(codes[k + prefetch_distance]), q_dense);
      }
      // The same product s w as the rank-k update's (sqrt(s w) squared), so
      // that D and C are the dummies' part of the very system A is part of.
      add_level_row(sums, scores, static_cast<arma::uword>(codes[k]), root_weight[k] * root_weight[k],
                    weighted_z[k], dense_rows.colptr(k), q_dense);
    }
  });
}

void add_scattered_level_terms(const Design& X, const AbsorbedLevels& levels, arma::uword first,
                               arma::uword m, const double* root_weight, AbsorbedSums& sums) {
  if (sums.pattern == nullptr) {
    if (sums.cross.n_rows == dense_column_count(X)) {
      return;  // no scattered columns
    }
    // A dense cross block of every column (a chunk's sums, added to other
    // chunks' without a pattern common to them): the entries in place.
    for_each_scattered_entry(X, first, m,
                             [&](std::size_t, arma::uword row, arma::uword column, double value) {
                               const double root = root_weight[row - first];
                               sums.cross.at(column, levels.codes[row]) += root * root * value;
                             });
    return;
  }
  const LevelPattern& pattern = *sums.pattern;
  for_each_scattered_entry(X, first, m, [&](std::size_t block, arma::uword row, arma::uword, double value) {
    const double root = root_weight[row - first];
    sums.pair_cross[pattern.positions[block][row]] += root * root * value;
  });
}

void subtract_level_means(const AbsorbedLevels& levels, arma::uword first, arma::uword m,
                          arma::mat& dense_rows) {
  const AbsorbedCodes codes = levels.codes + first;
  const arma::uword q_dense = dense_rows.n_rows;
  for (arma::uword k = 0; k < m; ++k) {
    const double* mean = levels.level_means + codes[k] * q_dense;
    double* x = dense_rows.colptr(k);
    for (arma::uword j = 0; j < q_dense; ++j) {
      x[j] -= mean[j];
    }
  }
}

void add_rows(AbsorbedSums& sums, const Design& X, const AbsorbedLevels& levels, const RowBlock& block) {
  const double* root = block.buffer.root_weight.memptr();
  if (sums.staged != nullptr) {
    stage_level_rows(*sums.staged, block.first, block.m, block.buffer.rows, root,
                     block.buffer.mu_then_weighted_z.memptr());
  } else {
    add_level_sums(levels, block.first, block.m, block.buffer.rows, root,
                   block.buffer.mu_then_weighted_z.memptr(), sums);
  }
  add_scattered_level_terms(X, levels, block.first, block.m, root, sums);
  if (levels.further != nullptr) {
    add_further_sums(*levels.further, block.first, block.m, block.buffer.rows, root,
                     block.buffer.mu_then_weighted_z.memptr(), sums.further);
  }
}

void add_into(AbsorbedSums& total, const AbsorbedSums& part) {
  if (!part.weight.is_empty()) {  // none in sums whose rows were staged
    total.weight += part.weight;
    total.score += part.score;
    total.cross += part.cross;
  }
  total.pair_cross += part.pair_cross;
  if (!part.score_cross.is_empty()) {
    total.score_cross += part.score_cross;
  }
  if (!part.further.weight.is_empty()) {
    add_into(total.further, part.further);
  }
}
