#include "row_moments.hpp"

#include <cmath>

#include "vector_clones.hpp"

namespace {

template <class Link>
void means_loop(const double* eta, arma::uword m, double* mu, double* state) {
  for (arma::uword k = 0; k < m; ++k) {
    mu[k] = Link::mean(eta[k], state[k]);
  }
}

// The outputs are declared unaliased: with the margin terms the loop has
// four, and GCC's run-time alias checks (at most ten) would not cover them,
// leaving the loop scalar. The test of s is hoisted out of the loop.
template <class Link, bool margins>
void working_weights_loop(const double* linear, const double* eta, const double* y, const double* s,
                          const double* state, arma::uword m, double* __restrict mu_then_weighted_z,
                          double* __restrict root, MarginTerms margin) {
  double* __restrict slope = margin.slope;
  double* __restrict curvature = margin.curvature;
  for (arma::uword k = 0; k < m; ++k) {
    const RowMoments row = Link::moments(eta[k], y[k], mu_then_weighted_z[k], state[k]);
    const double z = linear[k] + row.residual / row.weight;
    const double frequency = s == nullptr ? 1.0 : s[k];
    const double weight = s == nullptr ? row.weight : row.weight * frequency;
    mu_then_weighted_z[k] = weight * z;
    root[k] = std::sqrt(weight);
    if constexpr (margins) {
      slope[k] = frequency * row.slope;
      curvature[k] = frequency * row.curvature;
    }
  }
}

template <class Link, bool margins>
void score_weights_loop(const double* eta, const double* y, const double* s, const double* state,
                        arma::uword m, double* __restrict mu_then_weighted_residual, double* __restrict root,
                        MarginTerms margin) {
  double* __restrict slope = margin.slope;
  double* __restrict curvature = margin.curvature;
  for (arma::uword k = 0; k < m; ++k) {
    const RowMoments row = Link::moments(eta[k], y[k], mu_then_weighted_residual[k], state[k]);
    const double frequency = s == nullptr ? 1.0 : s[k];
    mu_then_weighted_residual[k] = frequency * row.residual;
    root[k] = std::sqrt(row.weight * frequency);
    if constexpr (margins) {
      slope[k] = frequency * row.slope;
      curvature[k] = frequency * row.curvature;
    }
  }
}

template <class Link>
void meat_moments_loop(const double* eta, const double* y, const double* mu, const double* state,
                       arma::uword m, double* residual, double* weight) {
  for (arma::uword k = 0; k < m; ++k) {
    const RowMoments row = Link::moments(eta[k], y[k], mu[k], state[k]);
    residual[k] = row.residual;
    weight[k] = row.weight;
  }
}

// The weights are applied in a loop of their own: a test for them inside
// the first would keep the compiler from vectorising it (5 times slower).
// The factor 2 is exact, so the product is the same however it is grouped.
template <class Link>
void row_deviances_loop(const double* eta, const double* y, const double* s, const double* mu,
                        const double* state, arma::uword m, double* deviance) {
  for (arma::uword k = 0; k < m; ++k) {
    deviance[k] = Link::deviance(eta[k], y[k], mu[k], state[k]);
  }
  if (s != nullptr) {
    for (arma::uword k = 0; k < m; ++k) {
      deviance[k] *= s[k];
    }
  }
}

}  // namespace

// The loops above for the link of the block: the link is chosen here, once
// per block, and each loop is inlined into every vector variant of its
// caller. (Function templates cannot be multiversioned themselves.)
QUORVI_VECTOR_CLONES
void means(LinkKind link, const double* eta, arma::uword m, double* mu, double* state) {
  with_link(link, [&](auto kind) { means_loop<decltype(kind)>(eta, m, mu, state); });
}

QUORVI_VECTOR_CLONES
void working_weights(LinkKind link, const double* linear, const double* eta, const double* y, const double* s,
                     const double* state, arma::uword m, double* mu_then_weighted_z, double* root,
                     MarginTerms margin) {
  with_link(link, [&](auto kind) {
    if (margin.slope != nullptr) {
      working_weights_loop<decltype(kind), true>(linear, eta, y, s, state, m, mu_then_weighted_z, root,
                                                 margin);
    } else {
      working_weights_loop<decltype(kind), false>(linear, eta, y, s, state, m, mu_then_weighted_z, root,
                                                  margin);
    }
  });
}

QUORVI_VECTOR_CLONES
void score_weights(LinkKind link, const double* eta, const double* y, const double* s, const double* state,
                   arma::uword m, double* mu_then_weighted_residual, double* root, MarginTerms margin) {
  with_link(link, [&](auto kind) {
    if (margin.slope != nullptr) {
      score_weights_loop<decltype(kind), true>(eta, y, s, state, m, mu_then_weighted_residual, root, margin);
    } else {
      score_weights_loop<decltype(kind), false>(eta, y, s, state, m, mu_then_weighted_residual, root, margin);
    }
  });
}

QUORVI_VECTOR_CLONES
void meat_moments(LinkKind link, const double* eta, const double* y, const double* mu, const double* state,
                  arma::uword m, double* residual, double* weight) {
  with_link(link,
            [&](auto kind) { meat_moments_loop<decltype(kind)>(eta, y, mu, state, m, residual, weight); });
}

QUORVI_VECTOR_CLONES
void row_deviances(LinkKind link, const double* eta, const double* y, const double* s, const double* mu,
                   const double* state, arma::uword m, double* deviance) {
  with_link(link, [&](auto kind) { row_deviances_loop<decltype(kind)>(eta, y, s, mu, state, m, deviance); });
}

QUORVI_VECTOR_CLONES
double lane_sum(const double* v, arma::uword m) {
  constexpr arma::uword lanes = 8;
  double partial[lanes] = {};
  const arma::uword whole = m - m % lanes;
  for (arma::uword k = 0; k < whole; k += lanes) {
    for (arma::uword lane = 0; lane < lanes; ++lane) {
      partial[lane] += v[k + lane];
    }
  }
  double total = 0.0;
  for (const double value : partial) {
    total += value;
  }
  for (arma::uword k = whole; k < m; ++k) {
    total += v[k];
  }
  return total;
}
