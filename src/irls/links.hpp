// The links of a binomial model: each one record of what a pass needs per
// row, its mean mu = h(eta), the IRLS weight and the score's residual, and
// the row's deviance. The pass is a template over the record, chosen once
// per block of rows (with_link), so the per-row loops stay plain arithmetic
// that the compiler vectorises and that gives the same bits at every vector
// width.
//
// For a link with mean h(eta) and variance V(mu) = mu (1 - mu), Fisher
// scoring (the expected information) takes the weight w = h'(eta)^2 / V and
// the score's residual r = (y - mu) h'(eta) / V, so that X'S r is the score
// and the step solves X'SWX delta = X'S r. For the canonical logit h' = V:
// w = V and r = y - mu. The working response is z = eta + r / w.
//
// A new link is a record here and a name in LinkKind (and in the Python
// package's table of links).
#pragma once

#include <cmath>
#include <cstdint>

#include "vector_exp.hpp"

enum class LinkKind : std::uint8_t { logit };

// The working weight's clamp: the lower bound keeps every finite weight
// positive, so the working response never divides by zero; the upper bound
// never acts for the links here (their weights are at most 0.25, 2/pi and
// about 0.65). Two comparisons, not std::clamp: a NaN weight stays NaN.
inline double clamped_weight(double w) {
  constexpr double min_weight = 1e-10;
  constexpr double max_weight = 1.0;
  return w < min_weight ? min_weight : (w > max_weight ? max_weight : w);
}

// What a row contributes to the update: its clamped weight w and the score's
// residual r.
struct RowMoments {
  double weight;
  double residual;
};

// -2 (y log mu + (1 - y) log(1 - mu)) from the logarithms of the two
// probabilities; a term whose factor is 0 is 0 even where its logarithm is
// -inf (a row fitted at exactly 0 or 1 on its own side).
inline double binomial_deviance(double y, double log_mu, double log_complement) {
  const double yes = y > 0.0 ? y * log_mu : 0.0;
  const double no = y < 1.0 ? (1.0 - y) * log_complement : 0.0;
  return -2.0 * (yes + no);
}

// mu = 1 / (1 + exp(-eta)), the canonical link: w = mu (1 - mu), r = y - mu.
struct LogitLink {
  static double mean(double eta) { return 1.0 / (vector_exp(-eta) + 1.0); }
  static RowMoments moments(double /*eta*/, double y, double mu) {
    return RowMoments{clamped_weight(mu * (1.0 - mu)), y - mu};
  }
  // y log(1 + exp(-eta)) + (1 - y) log(1 + exp(eta)), with one logarithm:
  // log(1 + exp(-eta)) = log(1 + exp(eta)) - eta.
  static double deviance(double eta, double y, double /*mu*/) {
    return 2.0 * (vector_softplus(eta) - y * eta);
  }
};

// Calls body(Link{}) with the record of kind: the one dispatch of a block.
template <class Body>
void with_link(LinkKind kind, Body&& body) {
  switch (kind) {  // NOLINT(readability-trivial-switch): one case per link
    case LinkKind::logit:
    default:
      body(LogitLink{});
      break;
  }
}
