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

enum class LinkKind : std::uint8_t { logit, probit, cloglog };

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

// mu = Phi(eta), the normal distribution function. Both tails come from
// erfc of |eta| (libm's, one call per row: a scalar call gives the same bits
// at every vector width), so Phi(-x) for large x keeps its relative accuracy
// and 1 - mu is never 1 minus a rounded mu.
struct ProbitLink {
  // Phi(-|eta|): the smaller of mu and 1 - mu.
  static double tail(double eta) { return 0.5 * std::erfc(std::fabs(eta) * 0.7071067811865475244); }
  static double mean(double eta) {
    const double t = tail(eta);
    return eta < 0.0 ? t : 1.0 - t;
  }
  // The weight phi^2 / (Phi (1 - Phi)) and the factor phi / (Phi (1 - Phi))
  // of y - mu. Beyond |eta| = 37 the weight is far below the clamp and the
  // factor is about |eta|; eta is held there so that neither phi nor Phi's
  // tail underflow to 0 (0 / 0). NaN passes through the two comparisons.
  static RowMoments moments(double eta, double y, double mu) {
    const double held = eta < -37.0 ? -37.0 : (eta > 37.0 ? 37.0 : eta);
    const double t = tail(held);
    const double density = 0.3989422804014326779 * vector_exp(-0.5 * held * held);
    const double factor = density / (t * (1.0 - t));
    return RowMoments{clamped_weight(density * factor), (y - mu) * factor};
  }
  static double deviance(double eta, double y, double /*mu*/) {
    const double t = tail(eta);
    const double log_t = std::log(t);
    const double log_other = std::log1p(-t);
    return eta < 0.0 ? binomial_deviance(y, log_t, log_other) : binomial_deviance(y, log_other, log_t);
  }
};

// 1 - exp(-t) for t >= 0 in plain arithmetic: below 0.125 its series to t^12
// (remainder below 1e-20 relative), above it 1 - exp(-t), which is then at
// least 0.117 and loses at most 3 bits. Both are computed and one selected,
// so the loop vectorises.
inline double vector_one_minus_exp_neg(double t) {
  double p = -1.0 / 479001600.0;  // Horner's rule on (-1)^(k+1) t^k / k!, k = 12 .. 1
  p = p * t + 1.0 / 39916800.0;
  p = p * t - 1.0 / 3628800.0;
  p = p * t + 1.0 / 362880.0;
  p = p * t - 1.0 / 40320.0;
  p = p * t + 1.0 / 5040.0;
  p = p * t - 1.0 / 720.0;
  p = p * t + 1.0 / 120.0;
  p = p * t - 1.0 / 24.0;
  p = p * t + 1.0 / 6.0;
  p = p * t - 0.5;
  const double series = t + t * (t * p);
  const double direct = 1.0 - vector_exp(-t);
  return t < 0.125 ? series : direct;
}

// mu = 1 - exp(-exp(eta)), the complementary log-log link: 1 - mu =
// exp(-exp(eta)) and h'(eta) = exp(eta) (1 - mu), so w = exp(eta)^2 (1 - mu) / mu
// and r = (y - mu) exp(eta) / mu.
struct CloglogLink {
  static double mean(double eta) { return vector_one_minus_exp_neg(vector_exp(eta)); }
  // eta is held below 700 (where exp(eta) would overflow); beyond 3.6, 1 - mu
  // is below 1e-16 and the weight far below the clamp. Held above -700 so that
  // exp(eta) / mu stays 1 and not 0 / 0.
  static RowMoments moments(double eta, double y, double mu) {
    const double held = eta < -700.0 ? -700.0 : (eta > 700.0 ? 700.0 : eta);
    const double e = vector_exp(held);
    const double complement = vector_exp(-e);
    const double mean_held = vector_one_minus_exp_neg(e);
    const double factor = e / mean_held;
    return RowMoments{clamped_weight(e * complement * factor), (y - mu) * factor};
  }
  static double deviance(double eta, double y, double mu) {
    return binomial_deviance(y, std::log(mu), -vector_exp(eta));
  }
};

// Calls body(Link{}) with the record of kind: the one dispatch of a block.
template <class Body>
void with_link(LinkKind kind, Body&& body) {
  switch (kind) {
    case LinkKind::probit:
      body(ProbitLink{});
      break;
    case LinkKind::cloglog:
      body(CloglogLink{});
      break;
    case LinkKind::logit:
    default:
      body(LogitLink{});
      break;
  }
}
