#include "fit_statistics.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "row_moments.hpp"

namespace {

// The larger, NaN when either is: a NaN predictor must not hide behind a
// finite one, whatever the order the chunks come in.
double larger(double a, double b) {
  if (std::isnan(a) || std::isnan(b)) {
    return std::numeric_limits<double>::quiet_NaN();
  }
  return std::max(a, b);
}

}  // namespace

void reset(FitStatistics& statistics) { statistics = FitStatistics(); }

void add_into(FitStatistics& total, const FitStatistics& part) {
  total.deviance += part.deviance;
  total.boundary_rows += part.boundary_rows;
  total.largest_predictor = larger(total.largest_predictor, part.largest_predictor);
}

void add_rows(FitStatistics& statistics, LinkKind link, const RowBlock& block) {
  BlockBuffer& buffer = block.buffer;
  const arma::uword m = block.m;
  double* deviance = row_buffer(buffer.row_deviance, m, buffer.rows.n_cols);
  const double* mu = buffer.mu_then_weighted_z.memptr();
  row_deviances(link, block.eta, block.y, block.s, mu, buffer.link_state.memptr(), m, deviance);
  double largest = statistics.largest_predictor;
  for (arma::uword k = 0; k < m; ++k) {
    statistics.deviance += deviance[k];
    const double frequency = block.s == nullptr ? 1.0 : block.s[k];
    if (frequency > 0.0) {
      if (mu[k] == 0.0 || mu[k] == 1.0) {
        ++statistics.boundary_rows;
      }
      largest = larger(largest, std::abs(block.eta[k]));
    }
  }
  statistics.largest_predictor = largest;
}
