// The pass of an absorbed fit (absorbed_fit.hpp) on one or two threads. Its
// level sums are L-sized, too large to keep per chunk, so the chunks are
// split into two fixed halves (by the shape alone), each summed in chunk
// order into sums of its own, normal equations and level sums alike; the
// second half's are then added to the first's. One thread sums the halves
// one after the other, two side by side: the same bits either way.
#pragma once

#include <armadillo>
#include <vector>

#include "absorbed_levels.hpp"
#include "normal_equations.hpp"
#include "row_partition.hpp"

struct HalvedPass {
  RowPartition partition;
  unsigned workers;                  // 1 or 2
  std::vector<BlockBuffer> buffers;  // per half
  std::vector<NormalSums> partials;  // per half: one chunk's sums (packed for a scattered design)
  std::vector<NormalSums> halves;    // per half; the whole pass's in the first after form_halved
  std::vector<AbsorbedSums> levels;  // per half; likewise (the first half's weight, score and cross: lent)
};

// For data (with its absorbed levels) and the pattern of its scattered
// columns (nullptr: none); workers >= 1, at most two used. The first
// half's level weights, scores and cross block are empty: the elimination lends
// its own before each pass (LevelElimination::lend_buffers), so that the
// pass holds no L-sized block of its own beside those.
HalvedPass make_halved_pass(const LogisticData& data, unsigned workers, const LevelPattern* pattern);

// The sums at beta: the normal equations (A with both triangles) in
// pass.halves[0], the level sums in pass.levels[0]. An exception on the
// second thread is rethrown here.
void form_halved(const LogisticData& data, const arma::vec& beta, bool with_statistics, HalvedPass& pass);
