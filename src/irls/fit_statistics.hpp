// The fit statistics of a pass: the deviance of its rows, the count of
// those fitted at exactly 0 or 1 (of positive weight), which the loop
// reads for its step-halving and its boundary warning, and the largest
// |eta| of a row of positive weight, which tells the separation check
// whether a fit came near the boundary without another read of X.
#pragma once

#include <armadillo>

#include "links.hpp"
#include "row_block.hpp"

struct FitStatistics {
  double deviance = 0.0;           // sum of s * (the row's deviance)
  arma::uword boundary_rows = 0;   // rows of positive weight fitted at exactly 0 or 1
  double largest_predictor = 0.0;  // max |eta| (offset and level effects in) of those rows; NaN if any is
};

void reset(FitStatistics& statistics);
// A chunk's statistics into the total's (in chunk order).
void add_into(FitStatistics& total, const FitStatistics& part);

// The block's rows: their deviances computed side by side (vectorised, in
// buffer.row_deviance), then added one by one in row order.
void add_rows(FitStatistics& statistics, LinkKind link, const RowBlock& block);
