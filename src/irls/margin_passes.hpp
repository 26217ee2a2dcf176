// Which passes of an in-memory fit form the margin sums (NormalSums::margins,
// LogisticData::with_margin_sums). Only the last pass's are kept, and they
// cost a few per cent of a pass, so they are formed, as the robust sums are,
// in the passes predicted to be the last: from the update after one whose
// change was small, or the last allowed. Should the fit end on a pass that
// did not form them (a large change followed by convergence at once), one
// more pass at the last pass's coefficients forms them.
#pragma once

#include "fit_irls.hpp"

struct MarginPasses {
  bool formed_in_last_pass = false;  // with_margin_sums was on for the latest update's pass(es)
};

// The observer of a fit that forms the margin sums: it calls inner, and
// switches data.with_margin_sums on for the passes predicted to be the last
// (and for the first, when it is the only one allowed). data is the
// fit's own: the pass reads the switch between updates, never during one.
IterationObserver observer_forming_margins(LogisticData& data, const FitSettings& settings,
                                           const IterationObserver& inner, MarginPasses& passes);

// After such a fit: fit.last_pass.margins at the last pass's coefficients,
// from one more pass (on the caller's thread) when the last did not form
// them; nothing after a fit without an update.
void finish_margin_sums(LogisticData& data, const MarginPasses& passes, InMemoryFit& fit);
