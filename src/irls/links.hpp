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
// Each record's mean also leaves one double per row, its state: what it
// computed on the way that the weights and the deviance of the same row need
// again (probit: the tail Phi(-|eta|); cloglog: exp(eta)), so that the pass
// forms the costly part of a row once. The pass keeps it beside mu and hands
// it back with mu; a link that needs none leaves it alone.
//
// moments also gives the mean's first two derivatives h'(eta) and h''(eta),
// from the same intermediates as the weight: the average marginal effects
// over the fit's rows are formed from them (normal_equations.hpp). A loop
// that does not read them leaves them to the optimiser to remove.
//
// A new link is a record here and a name in LinkKind (and in the Python
// package's table of links).
#pragma once

#include <cmath>
#include <cstdint>

#include "vector_exp.hpp"
#include "vector_normal.hpp"

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
// residual r; and h'(eta), h''(eta) (unclamped) for the margin sums.
struct RowMoments {
  double weight;
  double residual;
  double slope;      // h'(eta)
  double curvature;  // h''(eta)
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
  static double mean(double eta, double& /*state*/) { return 1.0 / (vector_exp(-eta) + 1.0); }
  // h' = mu (1 - mu), h'' = h' (1 - 2 mu).
  static RowMoments moments(double /*eta*/, double y, double mu, double /*state*/) {
    const double slope = mu * (1.0 - mu);
    return RowMoments{clamped_weight(slope), y - mu, slope, slope * (1.0 - 2.0 * mu)};
  }
  // y log(1 + exp(-eta)) + (1 - y) log(1 + exp(eta)), with one logarithm:
  // log(1 + exp(-eta)) = log(1 + exp(eta)) - eta.
  static double deviance(double eta, double y, double /*mu*/, double /*state*/) {
    return 2.0 * (vector_softplus(eta) - y * eta);
  }
};

// mu = Phi(eta), the normal distribution function. Both tails come from
// Phi(-|eta|) in plain arithmetic (vector_normal.hpp), so Phi(-x) for large x
// keeps its relative accuracy and 1 - mu is never 1 minus a rounded mu. The
// state is that tail: for eta > 0 only 1 - mu would be at hand otherwise,
// which has lost the tail's low digits.
struct ProbitLink {
  static double mean(double eta, double& state) {
    state = vector_normal_tail(std::fabs(eta)).tail;
    return eta < 0.0 ? state : 1.0 - state;
  }
  // The weight phi^2 / (Phi (1 - Phi)) and the factor phi / (Phi (1 - Phi))
  // of y - mu. Beyond |eta| = 37 the weight is far below the clamp and the
  // factor is about |eta|; eta is held there so that neither phi nor Phi's
  // tail underflow to 0 (0 / 0): the tail of the held eta is Phi(-37), a
  // constant. NaN passes through the comparisons. h' = phi(eta) and h'' =
  // -eta phi(eta), at the held eta (both below 1e-290 there).
  static RowMoments moments(double eta, double y, double mu, double tail) {
    constexpr double tail_at_hold = 5.725571222524577e-300;  // Phi(-37), correctly rounded
    const double magnitude = std::fabs(eta);
    const bool held = magnitude > 37.0;
    const double t = held ? tail_at_hold : tail;
    const double at = held ? 37.0 : magnitude;
    const double density = 0.3989422804014326779 * vector_exp_half_square(at);
    const double factor = density / (t * (1.0 - t));
    const double signed_at = eta < 0.0 ? -at : at;
    return RowMoments{clamped_weight(density * factor), (y - mu) * factor, density, -signed_at * density};
  }
  static double deviance(double eta, double y, double /*mu*/, double tail) {
    const double log_t = vector_log(tail);
    const double log_other = vector_log1p_unit(-tail);
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
  // The state is exp(eta).
  static double mean(double eta, double& state) {
    state = vector_exp(eta);
    return vector_one_minus_exp_neg(state);
  }
  // eta is held below 700 (where exp(eta) would overflow); beyond 3.6, 1 - mu
  // is below 1e-16 and the weight far below the clamp. mu is mean(eta), which
  // for eta in [-700, 700] is the mean of the held eta to the bit (and 1
  // above), so the factor exp(eta) / mu reuses it: one exponential a row
  // here, exp(-exp(eta)). Below -700, where mu may underflow, the factor is
  // its limit 1, which exp(-700) / (1 - exp(-exp(-700))) also rounds to.
  // h' = exp(eta) exp(-exp(eta)) and h'' = h' (1 - exp(eta)), from the held
  // exp(eta) (h' is below 1e-300 beyond the holds, 0 above 700).
  static RowMoments moments(double eta, double y, double mu, double exp_eta) {
    const double e =
        eta < -700.0 ? 9.8596765437597708e-305 : (eta > 700.0 ? 1.0142320547350045e+304 : exp_eta);
    const double complement = vector_exp(-e);
    const double factor = eta < -700.0 ? 1.0 : e / mu;
    const double slope = e * complement;
    return RowMoments{clamped_weight(slope * factor), (y - mu) * factor, slope, slope * (1.0 - e)};
  }
  static double deviance(double /*eta*/, double y, double mu, double exp_eta) {
    return binomial_deviance(y, vector_log(mu), -exp_eta);
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
