// Designs of every column kind (the implicit ones, dense columns in either
// memory order, categorical codes with and without a reference level, CSR
// rows with 32- and 64-bit row pointers, varying slopes with and without a
// reference level, and mixes of them) against a direct
// Armadillo transcription of the same sums on the densified design: the
// matrix built from the blocks, with every term written as a whole-matrix
// expression. The normal equations, the robust sums (HC0 meat, the
// hat-adjusted meat of HC2/HC3, one-way and two-way cluster scores), the
// fitted coefficients, the ridge penalty and step halving are compared.
#include <gtest/gtest.h>

#include <algorithm>
#include <armadillo>
#include <cmath>
#include <cstdint>
#include <deque>
#include <string>
#include <type_traits>
#include <vector>

#include "fit_irls.hpp"
#include "in_memory_passes.hpp"
#include "normal_equations_pass.hpp"

namespace {

enum class Kind : std::uint8_t {
  ones,
  dense_c,
  dense_f,
  categorical,
  categorical_drop_first,
  sparse32,
  sparse64,
  varying_slope,
  varying_slope_drop_first
};

struct BlockShape {
  Kind kind;
  arma::uword width;        // columns (dense, sparse) or levels (categorical, varying slope)
  unsigned code_bytes = 4;  // categorical, varying slope: 1, 2 or 4
};

// A design of blocks over memory this object owns, and the same columns as
// one dense matrix. The deques keep every element where it was made, so the
// blocks' pointers stay valid as more are added.
class BlockedDesign {
 public:
  BlockedDesign(arma::uword n, const std::vector<BlockShape>& shapes, unsigned seed) : design{n, {}} {
    arma::arma_rng::set_seed(seed);
    std::vector<arma::mat> parts;
    for (const BlockShape& shape : shapes) {
      parts.push_back(add_block(n, shape));
    }
    dense.set_size(n, 0);
    for (const arma::mat& part : parts) {
      dense = arma::join_rows(dense, part);
    }
  }

  Design design;
  arma::mat dense;

 private:
  arma::mat add_block(arma::uword n, const BlockShape& shape) {
    switch (shape.kind) {
      case Kind::ones:
        design.blocks.emplace_back(OnesBlock{});
        return arma::ones(n, 1);
      case Kind::dense_c: {
        const arma::mat X = arma::randn(n, shape.width);
        // X transposed, column-major, is X in row-major order.
        const arma::mat& Xt = matrices_.emplace_back(X.t());
        design.blocks.emplace_back(DenseBlock{Xt.memptr(), shape.width, true});
        return X;
      }
      case Kind::dense_f: {
        const arma::mat& X = matrices_.emplace_back(arma::randn(n, shape.width));
        design.blocks.emplace_back(DenseBlock{X.memptr(), shape.width, false});
        return X;
      }
      case Kind::categorical:
      case Kind::categorical_drop_first:
        return add_categorical(n, shape, shape.kind == Kind::categorical_drop_first);
      case Kind::sparse32:
      case Kind::sparse64:
        return add_sparse(n, shape, shape.kind == Kind::sparse32);
      case Kind::varying_slope:
      case Kind::varying_slope_drop_first:
        return add_varying_slope(n, shape, shape.kind == Kind::varying_slope_drop_first);
    }
    return {};
  }

  template <typename Code>
  const void* stored_codes(const arma::uvec& levels) {
    std::vector<Code>& codes = held_codes<Code>().emplace_back(levels.n_elem);
    for (arma::uword i = 0; i < levels.n_elem; ++i) {
      codes[i] = static_cast<Code>(levels[i]);
    }
    return codes.data();
  }

  template <typename Code>
  std::deque<std::vector<Code>>& held_codes() {
    if constexpr (std::is_same_v<Code, std::int8_t>) {
      return codes8_;
    } else if constexpr (std::is_same_v<Code, std::int16_t>) {
      return codes16_;
    } else {
      return codes32_;
    }
  }

  // Codes of uneven level frequencies (the square of a uniform draw favours
  // the low codes), stored at shape.code_bytes each; levels holds them.
  const void* draw_codes(arma::uword n, const BlockShape& shape, arma::uvec& levels) {
    const arma::vec u = arma::randu(n);
    levels = arma::conv_to<arma::uvec>::from(arma::floor(arma::square(u) * static_cast<double>(shape.width)));
    return shape.code_bytes == 1   ? stored_codes<std::int8_t>(levels)
           : shape.code_bytes == 2 ? stored_codes<std::int16_t>(levels)
                                   : stored_codes<std::int32_t>(levels);
  }

  // Row i's value in its level's column: 1, or the multiplier of a varying slope.
  static arma::mat level_columns(const arma::uvec& levels, const arma::vec& value, arma::uword width,
                                 bool drop_first) {
    arma::mat columns(levels.n_elem, width, arma::fill::zeros);
    for (arma::uword i = 0; i < levels.n_elem; ++i) {
      columns(i, levels[i]) = value[i];
    }
    return drop_first ? arma::mat(columns.tail_cols(width - 1)) : columns;
  }

  arma::mat add_categorical(arma::uword n, const BlockShape& shape, bool drop_first) {
    arma::uvec levels;
    const void* codes = draw_codes(n, shape, levels);
    design.blocks.emplace_back(
        CategoricalBlock{codes, shape.code_bytes, shape.width - (drop_first ? 1 : 0), drop_first ? 1U : 0U});
    return level_columns(levels, arma::ones(n), shape.width, drop_first);
  }

  // The multiplier is of either sign, with some rows exactly 0 (an entry of
  // value 0 is still an entry).
  arma::mat add_varying_slope(arma::uword n, const BlockShape& shape, bool drop_first) {
    arma::uvec levels;
    const void* codes = draw_codes(n, shape, levels);
    arma::vec& multiplier = multipliers_.emplace_back(1.0 + arma::randn(n));
    multiplier.elem(arma::find(arma::randu(n) < 0.05)).zeros();
    design.blocks.emplace_back(VaryingSlopeBlock{codes, shape.code_bytes, shape.width - (drop_first ? 1 : 0),
                                                 drop_first ? 1U : 0U, multiplier.memptr()});
    return level_columns(levels, multiplier, shape.width, drop_first);
  }

  arma::mat add_sparse(arma::uword n, const BlockShape& shape, bool narrow_starts) {
    // About a third of the entries stored, some rows with none.
    const arma::mat values = arma::randn(n, shape.width);
    const arma::umat stored = arma::randu(n, shape.width) < 0.3;
    std::vector<double>& data = values_.emplace_back();
    std::vector<std::int32_t>& columns = indices_.emplace_back();
    std::vector<std::int64_t> starts{0};
    arma::mat densified(n, shape.width, arma::fill::zeros);
    for (arma::uword i = 0; i < n; ++i) {
      for (arma::uword j = 0; j < shape.width; ++j) {
        if (stored(i, j) != 0) {
          data.push_back(values(i, j));
          columns.push_back(static_cast<std::int32_t>(j));
          densified(i, j) = values(i, j);
        }
      }
      starts.push_back(static_cast<std::int64_t>(data.size()));
    }
    SparseBlock block{data.data(), nullptr, 8, columns.data(), shape.width};
    if (narrow_starts) {
      block.row_starts = narrow_starts_.emplace_back(starts.begin(), starts.end()).data();
      block.row_start_bytes = 4;
    } else {
      block.row_starts = wide_starts_.emplace_back(std::move(starts)).data();
    }
    design.blocks.emplace_back(block);
    return densified;
  }

  std::deque<arma::mat> matrices_;
  std::deque<arma::vec> multipliers_;
  std::deque<std::vector<std::int8_t>> codes8_;
  std::deque<std::vector<std::int16_t>> codes16_;
  std::deque<std::vector<std::int32_t>> codes32_;
  std::deque<std::vector<double>> values_;
  std::deque<std::vector<std::int32_t>> indices_;
  std::deque<std::vector<std::int32_t>> narrow_starts_;
  std::deque<std::vector<std::int64_t>> wide_starts_;
};

// The sums of one pass written as whole-matrix expressions on the densified X.
struct ReferenceSums {
  arma::mat A;        // X' S W X
  arma::vec score;    // X' S (y - mu)
  arma::vec working;  // X' S W z
  double deviance;    // 2 sum s (log(1 + e^eta) - y eta)
  arma::vec mu;
  arma::vec w;  // mu (1 - mu), clamped as the fit clamps it
};

ReferenceSums reference_sums(const arma::mat& X, const arma::vec& y, const arma::vec& s,
                             const arma::vec& beta) {
  const arma::vec eta = X * beta;
  const arma::vec mu = 1.0 / (1.0 + arma::exp(-eta));
  const arma::vec w = arma::clamp(mu % (1.0 - mu), 1e-10, 1.0);
  const arma::vec z = eta + (y - mu) / w;
  const arma::vec softplus = arma::log1p(arma::exp(eta));
  return ReferenceSums{X.t() * (X.each_col() % (s % w)),
                       X.t() * (s % (y - mu)),
                       X.t() * (s % w % z),
                       2.0 * arma::accu(s % (softplus - y % eta)),
                       mu,
                       w};
}

// sum s r^2 / (1 - h)^power x x', h = w x' B x (power 0: the HC0 meat).
arma::mat reference_meat(const arma::mat& X, const arma::vec& y, const arma::vec& s, const ReferenceSums& at,
                         const arma::mat& bread, double power) {
  const arma::vec r = y - at.mu;
  arma::vec factor = s % arma::square(r);
  if (power > 0.0) {
    const arma::vec h = at.w % arma::sum((X * bread) % X, 1);
    factor /= arma::pow(1.0 - h, power);
  }
  return X.t() * (X.each_col() % factor);
}

// U (q x G): column g the sum of s r x over the rows of group g.
arma::mat reference_scores(const arma::mat& X, const arma::vec& y, const arma::vec& s,
                           const ReferenceSums& at, const std::vector<std::int64_t>& codes,
                           arma::uword n_groups) {
  const arma::mat scores = (X.each_col() % (s % (y - at.mu))).t();
  arma::mat groups(X.n_cols, n_groups, arma::fill::zeros);
  for (arma::uword i = 0; i < X.n_rows; ++i) {
    groups.col(static_cast<arma::uword>(codes[i])) += scores.col(i);
  }
  return groups;
}

// The engine and the transcription add the same terms in other orders (the
// engine by blocks of rows and chunks, scattering the categorical and sparse
// entries; Armadillo as one general product). A sum of n terms in any order
// is within n eps of the sum of the terms' absolute values, which for every
// entry here is at most the largest diagonal entry (Cauchy-Schwarz): 2.2e-12
// of it for 20,000 rows, whatever the kernel. 1e-11 of the largest absolute
// value (at least 1) is above that worst case.
void expect_close(const arma::mat& got, const arma::mat& expected, const std::string& what,
                  double relative = 1e-11) {
  ASSERT_EQ(got.n_rows, expected.n_rows) << what;
  ASSERT_EQ(got.n_cols, expected.n_cols) << what;
  const double scale = std::max(1.0, arma::abs(expected).max());
  EXPECT_LE(arma::abs(got - expected).max(), relative * scale) << what;
}

struct DesignCase {
  const char* name;
  std::vector<BlockShape> blocks;
};

// Each kind once beside the intercept or alone, then mixes. A categorical
// block with all its levels takes the place of the intercept (it is
// collinear with one). 20,000 rows span several chunks of every design, so
// the chunks' ordered addition (the cluster scores read again from the
// design) is part of each comparison.
const DesignCase design_cases[] = {
    {"ones_dense_c", {{Kind::ones, 1}, {Kind::dense_c, 4}}},
    {"dense_f", {{Kind::dense_f, 3}}},
    {"ones_categorical_drop_first_int8", {{Kind::ones, 1}, {Kind::categorical_drop_first, 6, 1}}},
    {"categorical_all_levels_int16", {{Kind::categorical, 5, 2}}},
    // Wide enough that the update's solve eliminates the indicators' diagonal block first.
    {"ones_dense_c_wide_categorical_int16",
     {{Kind::ones, 1}, {Kind::dense_c, 3}, {Kind::categorical_drop_first, 41, 2}}},
    {"ones_sparse_int32_starts", {{Kind::ones, 1}, {Kind::sparse32, 5}}},
    {"dense_f_sparse_int64_starts", {{Kind::dense_f, 2}, {Kind::sparse64, 4}}},
    {"mix_of_every_kind",
     {{Kind::ones, 1},
      {Kind::dense_c, 2},
      {Kind::dense_f, 2},
      {Kind::categorical_drop_first, 7, 4},
      {Kind::sparse64, 3},
      {Kind::categorical_drop_first, 3, 1},
      {Kind::sparse32, 2}}},
    {"categorical_all_levels_then_sparse",
     {{Kind::categorical, 4, 4}, {Kind::sparse32, 3}, {Kind::categorical_drop_first, 4, 2}}},
    {"ones_varying_slope_all_levels_int8", {{Kind::ones, 1}, {Kind::varying_slope, 5, 1}}},
    {"mix_with_varying_slopes",
     {{Kind::ones, 1},
      {Kind::dense_f, 2},
      {Kind::categorical_drop_first, 6, 2},
      {Kind::varying_slope_drop_first, 6, 2},
      {Kind::sparse64, 2},
      {Kind::varying_slope, 3, 4}}},
};

constexpr arma::uword case_rows = 20000;

// A response drawn from the design's own model, frequency weights 0, 1 or 2
// (rows of weight 0 add nothing), and coefficients of a typical update.
struct Problem {
  BlockedDesign blocks;
  arma::vec y;
  arma::vec s;
  arma::vec beta;

  explicit Problem(const DesignCase& c) : blocks(case_rows, c.blocks, 17) {
    const arma::uword q = blocks.dense.n_cols;
    beta = 0.4 * arma::randn(q);
    const arma::vec probability = 1.0 / (1.0 + arma::exp(-(blocks.dense * beta)));
    y = arma::conv_to<arma::vec>::from(arma::randu(case_rows) < probability);
    s = arma::floor(3.0 * arma::randu(case_rows));
  }

  LogisticData data(bool score_response) const {
    LogisticData result{blocks.design, y.memptr(), y.n_elem, s.memptr()};
    result.score_response = score_response;
    return result;
  }
};

std::vector<std::int64_t> group_codes(arma::uword n, arma::uword n_groups, unsigned seed) {
  arma::arma_rng::set_seed(seed);
  const arma::uvec drawn = arma::randi<arma::uvec>(n, arma::distr_param(0, static_cast<int>(n_groups) - 1));
  return std::vector<std::int64_t>(drawn.begin(), drawn.end());
}

class BlockKinds : public ::testing::TestWithParam<DesignCase> {};

TEST_P(BlockKinds, NormalEquationsEqualTheDensifiedDesigns) {
  const Problem problem(GetParam());
  ASSERT_EQ(column_count(problem.blocks.design), problem.blocks.dense.n_cols);
  ASSERT_GT(make_pass_workspace(problem.data(false), 2).partition.n_chunks, 1U);
  const ReferenceSums expected = reference_sums(problem.blocks.dense, problem.y, problem.s, problem.beta);
  for (const bool score_response : {false, true}) {
    const NormalSums sums = sum_normal_equations(problem.data(score_response), problem.beta, true);
    expect_close(sums.A, expected.A, "A");
    expect_close(sums.b, score_response ? expected.score : expected.working, "b");
    expect_close(arma::vec{sums.statistics.deviance}, arma::vec{expected.deviance}, "deviance");
    EXPECT_EQ(sums.statistics.boundary_rows, 0U);
  }
}

// The robust sums of one pass (the caller's thread) and of a fit's last
// pass on two workers (chunks summed apart and added in order).
TEST_P(BlockKinds, RobustSumsEqualTheDensifiedDesigns) {
  const Problem problem(GetParam());
  const arma::mat& X = problem.blocks.dense;
  const LogisticData data = problem.data(true);
  const std::vector<std::int64_t> firms = group_codes(case_rows, 37, 3);
  const std::vector<std::int64_t> years = group_codes(case_rows, 5, 4);

  const auto check_at = [&](const arma::vec& beta, const MeatSettings& meat,
                            const std::vector<arma::mat>& meats, const std::vector<arma::mat>& groups,
                            const std::string& where) {
    const ReferenceSums at = reference_sums(X, problem.y, problem.s, beta);
    if (meat.kind == MeatKind::cluster) {
      const arma::mat firm_scores = reference_scores(X, problem.y, problem.s, at, firms, 37);
      const arma::mat year_scores = reference_scores(X, problem.y, problem.s, at, years, 5);
      if (!groups.empty()) {
        expect_close(groups[0], firm_scores, where + " firm scores");
        expect_close(groups[1], year_scores, where + " year scores");
      }
      if (!meats.empty()) {
        expect_close(meats[0], firm_scores * firm_scores.t(), where + " firm meat");
        expect_close(meats[1], year_scores * year_scores.t(), where + " year meat");
      }
      return;
    }
    const double power = meat.kind == MeatKind::hat_adjusted ? meat.hat_power : 0.0;
    const arma::mat bread = power > 0.0 ? arma::mat(arma::inv_sympd(at.A)) : arma::mat();
    expect_close(meats[0], reference_meat(X, problem.y, problem.s, at, bread, power), where + " meat");
  };

  const ReferenceSums start = reference_sums(X, problem.y, problem.s, problem.beta);
  const arma::mat start_bread = arma::inv_sympd(start.A);
  for (const auto& [kind, power] :
       {std::pair{MeatKind::residual, 0.0}, std::pair{MeatKind::hat_adjusted, 1.0},
        std::pair{MeatKind::hat_adjusted, 2.0}, std::pair{MeatKind::cluster, 0.0}}) {
    const std::string name = kind == MeatKind::residual  ? "HC0"
                             : kind == MeatKind::cluster ? "cluster"
                             : power == 1.0              ? "HC2"
                                                         : "HC3";
    MeatSettings meat;
    meat.kind = kind;
    meat.hat_power = power;
    if (kind == MeatKind::cluster) {
      meat.clusters = {ClusterCodes{firms.data(), 37}, ClusterCodes{years.data(), 5}};
    }
    MeatSettings one_pass = meat;
    if (kind == MeatKind::hat_adjusted) {
      one_pass.inverse_information = &start_bread;
      one_pass.hat_factor = hat_factor_of(start_bread);
    }
    RobustSums robust;
    sum_pass(data, problem.beta, loop_pass(false, true), one_pass, robust);
    const std::vector<arma::mat> one_pass_meats =
        kind == MeatKind::cluster ? std::vector<arma::mat>() : std::vector<arma::mat>{symmatl(robust.meat)};
    check_at(problem.beta, meat, one_pass_meats, robust.groups, name + " one pass");
    EXPECT_TRUE(robust.hat_one_rows.empty());

    FitSettings settings{1e-10, 30, false, false, true};
    settings.score_form = true;
    const InMemoryFit fit = fit_in_memory(data, settings, 2, IterationObserver(), meat);
    ASSERT_TRUE(fit.outcome.result.converged) << name;
    check_at(fit.outcome.last_pass_beta, meat, fit.meats, {}, name + " fit on two workers");
  }
}

// Hat values at their bound: a row alone in its level has leverage 1 / s
// (its dummy column is its own), so with weight 1 its hat value is 1 and the
// hat-adjusted meat is undefined there, while a lone row of weight 2 has
// 1/2. The rows flagged are those of the densified design's hat values,
// h = w x' B x with B = (X'SWX)^-1, that reach 1 - hat_one_tolerance.
TEST(HatValues, RowsOfLeverageOneAreThoseOfTheDensifiedDesign) {
  const arma::uword n = case_rows;
  arma::arma_rng::set_seed(23);
  const arma::mat numeric = arma::randn(n, 2);
  std::vector<std::int16_t> codes(n);
  const arma::uvec drawn = arma::randi<arma::uvec>(n, arma::distr_param(0, 3));
  std::copy(drawn.begin(), drawn.end(), codes.begin());
  arma::vec s = arma::ones(n);
  codes[1234] = 4;   // level 4: this row alone, weight 1
  codes[17777] = 5;  // level 5: this row alone, weight 2
  s[17777] = 2.0;
  Design design = dense_design(numeric.memptr(), n, 2, false, true);
  design.blocks.emplace_back(CategoricalBlock{codes.data(), 2, 5, 1});
  arma::mat X = arma::join_rows(arma::ones(n), numeric, arma::zeros(n, 5));
  for (arma::uword i = 0; i < n; ++i) {
    if (codes[i] > 0) {
      X(i, 2 + static_cast<arma::uword>(codes[i])) = 1.0;  // the dummies from column 3
    }
  }
  const arma::vec beta = 0.3 * arma::randn(X.n_cols);
  const arma::vec y = arma::conv_to<arma::vec>::from(arma::randu(n) < 0.5);
  const ReferenceSums at = reference_sums(X, y, s, beta);
  const arma::mat bread = arma::inv_sympd(at.A);
  const arma::vec h = at.w % arma::sum((X * bread) % X, 1);
  const arma::uvec expected = arma::find(h >= 1.0 - hat_one_tolerance && s > 0.0);
  ASSERT_EQ(expected.n_elem, 1U);  // the premise: the lone row of weight 1, no other
  ASSERT_EQ(expected[0], 1234U);
  ASSERT_NEAR(h[17777], 0.5, 1e-9);

  MeatSettings meat;
  meat.kind = MeatKind::hat_adjusted;
  meat.hat_power = 2.0;
  meat.inverse_information = &bread;
  meat.hat_factor = hat_factor_of(bread);
  for (const bool factored : {true, false}) {
    MeatSettings settings = meat;
    if (!factored) {
      settings.hat_factor.reset();  // x' (B x) in full
    }
    RobustSums robust;
    sum_pass(LogisticData{design, y.memptr(), n, s.memptr()}, beta, loop_pass(false, true), settings, robust);
    EXPECT_EQ(robust.hat_one_rows, std::vector<arma::uword>(expected.begin(), expected.end())) << factored;
  }
}

// Newton's method on the densified design, written out, from zero.
arma::vec reference_fit(const arma::mat& X, const arma::vec& y, const arma::vec& s, double penalty,
                        arma::uword unpenalised) {
  arma::vec beta(X.n_cols, arma::fill::zeros);
  arma::vec penalised(X.n_cols, arma::fill::value(penalty));
  penalised.head(unpenalised).zeros();
  for (int update = 0; update < 100; ++update) {
    const ReferenceSums at = reference_sums(X, y, s, beta);
    const arma::vec step = arma::solve(at.A + arma::diagmat(penalised), at.score - penalised % beta,
                                       arma::solve_opts::likely_sympd);
    beta += step;
    if (arma::abs(step).max() <= 1e-14 * std::max(1.0, arma::abs(beta).max())) {
      break;
    }
  }
  return beta;
}

// Both fits converge quadratically, so at tol 1e-10 they sit at the optimum
// to rounding; the optimum itself moves by the rounding of the score
// (1e-13 of its scale here) times the condition number of X'SWX (below 1e3
// for these designs): 1e-8 of the coefficients' scale has a margin of more
// than 50.
constexpr double coefficient_tolerance = 1e-8;

TEST_P(BlockKinds, FitEqualsTheDensifiedDesigns) {
  const Problem problem(GetParam());
  const arma::vec expected = reference_fit(problem.blocks.dense, problem.y, problem.s, 0.0, 0);
  for (const bool score_form : {false, true}) {
    FitSettings settings{1e-10, 30, false, true, true};
    settings.score_form = score_form;
    for (const unsigned workers : {1U, 2U}) {
      const FitOutcome outcome =
          fit_in_memory(problem.data(score_form), settings, workers, IterationObserver()).outcome;
      EXPECT_TRUE(outcome.result.converged);
      EXPECT_TRUE(outcome.dropped.empty());
      expect_close(outcome.result.coefficients, expected, "coefficients", coefficient_tolerance);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Designs, BlockKinds, ::testing::ValuesIn(design_cases),
                         [](const ::testing::TestParamInfo<DesignCase>& info) { return info.param.name; });

// The ridge fit (A + penalty I') step = b - penalty I' beta, I' the identity
// without the intercept, on a design of every kind: the coefficients equal
// those of Newton's method on the densified design with the penalty, and
// the penalised score X'S(y - mu) - penalty I' beta is zero at them, the
// condition that defines the penalised optimum.
TEST(Penalty, RidgeFitEqualsTheDensifiedPenalisedOptimum) {
  const Problem problem(design_cases[6]);
  const arma::mat& X = problem.blocks.dense;
  for (const double penalty : {20.0, 2000.0}) {
    FitSettings settings{1e-10, 30, false, false, true};
    settings.penalty = penalty;
    settings.unpenalised = 1;
    settings.score_form = true;
    const FitOutcome outcome = fit_in_memory(problem.data(true), settings, 2, IterationObserver()).outcome;
    ASSERT_TRUE(outcome.result.converged) << penalty;
    const arma::vec& beta = outcome.result.coefficients;
    expect_close(beta, reference_fit(X, problem.y, problem.s, penalty, 1), "ridge coefficients",
                 coefficient_tolerance);
    arma::vec penalised_beta = penalty * beta;
    penalised_beta[0] = 0.0;
    const ReferenceSums at = reference_sums(X, problem.y, problem.s, beta);
    // The score's terms are at most |x| (a few units) each over 20,000 rows;
    // 1e-7 is the size left by a last update of 1e-10 times the information.
    EXPECT_LE(arma::abs(at.score - penalised_beta).max(), 1e-7) << penalty;
    // The penalty acts: the unpenalised optimum is elsewhere.
    const arma::vec plain = reference_fit(X, problem.y, problem.s, 0.0, 0);
    EXPECT_GT(arma::abs(beta.tail(beta.n_elem - 1) - plain.tail(plain.n_elem - 1)).max(), 1e-3) << penalty;
  }
}

// Seven rows with an offset far from the data: from beta = 0 the Newton step
// (-14.7, -2.39) raises the deviance from 38.14 to 58.27, so the fit must
// halve it. Each accepted update lowers the deviance, and the fit ends at
// the optimum, where the score is zero.
TEST(StepHalving, RejectsAStepThatRaisesTheDevianceAndReachesTheOptimum) {
  const arma::mat X = arma::join_rows(arma::ones(7), arma::vec{3.0, -3.6, 3.4, -0.1, -1.6, -1.6, -2.2});
  const arma::vec y{0.0, 0.0, 1.0, 0.0, 0.0, 1.0, 0.0};
  const arma::vec offset{3.9, 8.7, 4.8, -4.1, 5.1, 2.5, 0.9};
  const auto deviance_at = [&](const arma::vec& beta) {
    const arma::vec eta = X * beta + offset;
    return 2.0 * arma::accu(arma::log1p(arma::exp(eta)) - y % eta);
  };
  // The premise: the full first step is worse than the start.
  const arma::vec start(2, arma::fill::zeros);
  const arma::vec eta = offset;
  const arma::vec mu = 1.0 / (1.0 + arma::exp(-eta));
  const arma::vec full_step = arma::solve(X.t() * (X.each_col() % (mu % (1.0 - mu))), X.t() * (y - mu));
  ASSERT_GT(deviance_at(full_step), deviance_at(start) + 10.0);

  LogisticData data{dense_design(X.colptr(1), 7, 1, false, true), y.memptr(), 7, nullptr, offset.memptr()};
  data.score_response = true;
  FitSettings settings{1e-10, 50, false, false, true};
  settings.halve_steps = true;
  settings.score_form = true;
  const FitOutcome outcome = fit_in_memory(data, settings, 1, IterationObserver()).outcome;
  ASSERT_TRUE(outcome.result.converged);
  EXPECT_GE(outcome.halvings, 1);
  // deviances[k] is at the start of update k: each accepted step lowers it
  // (the last ones may tie to rounding at the optimum).
  ASSERT_GE(outcome.deviances.size(), 2U);
  EXPECT_NEAR(outcome.deviances[0], deviance_at(start), 1e-12 * deviance_at(start));
  EXPECT_LT(outcome.deviances[1], outcome.deviances[0]);
  for (std::size_t k = 1; k < outcome.deviances.size(); ++k) {
    EXPECT_LE(outcome.deviances[k], outcome.deviances[k - 1] * (1.0 + 1e-12)) << "update " << k;
  }
  const arma::vec& beta = outcome.result.coefficients;
  const arma::vec fitted = 1.0 / (1.0 + arma::exp(-(X * beta + offset)));
  // Seven terms of size at most |x| < 4: 1e-9 is the score left by a last
  // update below 1e-10, with margin.
  EXPECT_LE(arma::abs(X.t() * (y - fitted)).max(), 1e-9);
  EXPECT_LT(deviance_at(beta), deviance_at(start));
}

}  // namespace
