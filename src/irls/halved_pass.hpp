// The pass of an absorbed fit (absorbed_fit.hpp) on one or two threads. Its
// level sums are L-sized, too large to keep per chunk or per thread. The
// chunks are split into two fixed halves (by the shape alone), each summed
// in chunk order into normal equations of its own, the second half's then
// added to the first's. The level sums are one set: the pass goes through
// the halves in rounds of a chunk of each, whose rows are staged
// (staged_level_rows.hpp), and then the rows of both stages are added by
// level, the levels below level_split on one thread and the others on the
// second. One thread does the same work in the same order: the same bits
// for one or two. (A pass of one chunk has no second half: its level sums
// are added straight away.)
#pragma once

#include <armadillo>
#include <vector>

#include "absorbed_levels.hpp"
#include "margin_sums.hpp"
#include "normal_equations.hpp"
#include "row_partition.hpp"

struct HalvedPass {
  RowPartition partition;
  unsigned workers;                  // 1 or 2
  std::vector<BlockBuffer> buffers;  // per half
  std::vector<NormalSums> partials;  // per half: one chunk's sums (packed for a scattered design)
  std::vector<NormalSums> halves;    // per half; the whole pass's in the first after form_halved
  // Per half: the first's holds the whole pass's level sums (its weight,
  // score and cross lent), and the pairs and further columns' sums of its
  // half; the second's only the last two, added to the first's.
  std::vector<AbsorbedSums> levels;
  std::vector<StagedLevelRows> stages;  // per half, when the rows are staged (more than one chunk)
  std::vector<std::vector<arma::uword>> selections;  // per thread: the staged rows of its range
  arma::uword level_split = 0;                       // the first level of the second thread's range
  // Whether the pass forms the margin sums (in halves[0].margins) and
  // their sums by level (level_margins[0]): per half, each half's own
  // (L-sized, made by the first pass that forms them), the second's then
  // added to the first's.
  bool margins = false;
  std::vector<LevelMarginSums> level_margins;
};

// For data (with its absorbed levels) and the pattern of its scattered
// columns (nullptr: none); workers >= 1, at most two used. The first
// half's level weights, scores and cross block are empty: the elimination
// lends its own before each pass (LevelElimination::lend_buffers), so that
// the pass holds no L-sized block of its own beside those. The level split
// balances the rows of the two ranges (from the codes alone).
HalvedPass make_halved_pass(const LogisticData& data, unsigned workers, const LevelPattern* pattern);

// The sums at beta: the normal equations (A with both triangles) in
// pass.halves[0], the level sums in pass.levels[0], and with pass.margins
// the margin sums in pass.halves[0].margins and pass.level_margins[0]. An
// exception on the second thread is rethrown here.
void form_halved(const LogisticData& data, const arma::vec& beta, bool with_statistics, HalvedPass& pass);
