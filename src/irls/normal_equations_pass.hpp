// One pass over all rows of X: the sums one IRLS update (or the fit plan)
// asks for, with the rows split into fixed chunks that one or more worker
// threads sum up.
#pragma once

#include <armadillo>
#include <vector>

#include "normal_equations.hpp"
#include "pass_sums.hpp"
#include "row_partition.hpp"

// Everything a pass needs, allocated once per fit: O(q^2 + block x q) per
// worker, nothing of the size of X. (A design with categorical or sparse
// blocks makes its partial sums in each pass, see packed_partials.)
struct PassWorkspace {
  RowPartition partition;
  unsigned workers;                  // threads that run a pass, the caller's included
  std::vector<BlockBuffer> buffers;  // one per worker
  std::vector<NormalSums> partials;  // one per worker, when there is more than one chunk
  NormalSums total;
  // The robust sums, in the passes that ask for them (set_meat first).
  MeatSettings meat;
  std::vector<RobustSums> robust_partials;  // one per worker, when there is more than one chunk
  RobustSums robust_total;
  // The partial sums are packed triangles of a design with scattered
  // blocks, with q up to a few thousand: they are made at the start of each
  // pass and freed at its end, so that they are never held beside the
  // solve's copy of A (with them, a fit would hold 3 q^2 doubles at once,
  // without them 2; making them costs a few milliseconds a pass).
  bool packed_partials = false;
  // An absorbed fit's level sums (absorbed_levels.hpp), formed by a pass of
  // one worker, whose rows are added in row order; nullptr otherwise.
  AbsorbedSums* absorbed = nullptr;
  // Beside them, the margin sums by level (margin_sums.hpp), formed with
  // the margin sums by a pass of one worker in the same way; nullptr otherwise.
  LevelMarginSums* level_margins = nullptr;
};

// What a pass of the workspace forms (pass_sums.hpp). Without the normal
// equations (a pass for the robust sums alone, whose normal equations at
// the same coefficients are known already) the total is left as the last
// pass made it; the level sums are formed with the normal equations.
struct PassRequest {
  bool normal_equations = true;
  bool statistics = false;
  bool robust = false;  // the robust sums of workspace.meat (none: not formed)
  bool margins = false;
};

// The loop's pass: the normal equations, with the statistics and the
// robust sums as asked.
PassRequest loop_pass(bool with_statistics, bool with_meat);

// Makes room for the robust sums of meat (nothing of the size of X).
void set_meat(PassWorkspace& workspace, arma::uword q, const MeatSettings& meat);

// workers >= 1; no more are used than there are chunks.
PassWorkspace make_pass_workspace(const LogisticData& data, unsigned workers);

// The sums over all rows at beta, A with both triangles filled. Each chunk is
// summed on its own, starting from zero, and the chunks' sums are added to
// the total in chunk order, whichever worker finished first; with more than
// one chunk the BLAS always runs single-threaded, so the result is the same,
// bit for bit, for any number of workers. (A single chunk, for q above 512,
// is summed by the caller's thread with the BLAS's own threads.) An
// exception in any worker stops the pass and is rethrown here.
// The robust sums go into workspace.robust_total, the margin sums into the
// total's, in the same order and with the same guarantee.
const NormalSums& form_pass(const LogisticData& data, const arma::vec& beta, const PassRequest& request,
                            PassWorkspace& workspace);
