// The fit statistics of a pass: the deviance of its rows and the count of
// those fitted at exactly 0 or 1 (of positive weight), which the loop
// reads for its step-halving and its boundary warning.
#pragma once

#include <armadillo>

#include "links.hpp"
#include "row_block.hpp"

struct FitStatistics {
  double deviance = 0.0;          // sum of s * (the row's deviance)
  arma::uword boundary_rows = 0;  // rows of positive weight fitted at exactly 0 or 1
};

void reset(FitStatistics& statistics);
// A chunk's statistics into the total's (in chunk order).
void add_into(FitStatistics& total, const FitStatistics& part);

// The block's rows: their deviances computed side by side (vectorised, in
// buffer.row_deviance), then added one by one in row order.
void add_rows(FitStatistics& statistics, LinkKind link, const RowBlock& block);
