// The standard normal distribution's smaller tail Phi(-t) and exp(-t^2 / 2)
// in plain IEEE arithmetic, for the probit link: like vector_exp, every
// operation is one correctly rounded addition, multiplication, division or
// conversion, so a loop over it vectorises and gives the same bits at every
// vector width. libm's erfc is a scalar call per row, which no compiler
// vectorises: it was most of the extra time of a probit fit.
#pragma once

#include "vector_exp.hpp"

// exp(-t^2 / 2) for t in [0, 40], to about 2 ulp: t^2 is split exactly into
// hi + lo (Dekker's product, the factors cut into 26-bit halves), so that
// the exponent is not rounded where it is large (a rounded t^2 / 2 of 700
// would cost 700 times the unit roundoff, about 400 ulp, in the result);
// exp(-lo / 2) is 1 - lo / 2 to within lo^2, far below an ulp.
inline double vector_exp_half_square(double t) {
  constexpr double splitter = 134217729.0;  // 2^27 + 1
  const double scaled = splitter * t;
  const double high = scaled - (scaled - t);
  const double low = t - high;
  const double square = t * t;
  const double square_low = ((high * high - square) + 2.0 * high * low) + low * low;
  const double result = vector_exp(-0.5 * square);
  return result - result * (0.5 * square_low);
}

// Phi(-t) and exp(-t^2 / 2) for t >= 0.
struct NormalTail {
  double tail;
  double gaussian;
};

// W. J. Cody's rational approximations of the normal distribution function
// (Math. Comp. 23 (1969) 631-637; his routine ANORM, public domain), whose
// approximation error is below 1e-18 relative:
//   t <= 0.66291:        Phi(-t) = 1/2 - t A(t^2) / B(t^2)
//   t <= 5.656854248:    Phi(-t) = exp(-t^2/2) C(t) / D(t)
//   beyond:              Phi(-t) = exp(-t^2/2) (1/sqrt(2 pi) - u P(u) / Q(u)) / t,  u = 1 / t^2
// All three are formed and one selected, so the loop has no branch; their
// numerators and denominators are selected first and divided once, the one
// division of a row. Beyond t
// = 37.5 the tail is subnormal (it loses precision as it should) and beyond
// 38.5 it is 0; t is held at 40 so that nothing overflows. NaN stays NaN.
inline NormalTail vector_normal_tail(double t) {
  const double held = t > 40.0 ? 40.0 : t;
  const double gaussian = vector_exp_half_square(held);
  const double square = held * held;
  // Near the centre, in t^2.
  double near_numerator = 0.065682337918207449113 * square;
  double near_denominator = square;
  near_numerator = (near_numerator + 2.2352520354606839287) * square;
  near_denominator = (near_denominator + 47.20258190468824187) * square;
  near_numerator = (near_numerator + 161.02823106855587881) * square;
  near_denominator = (near_denominator + 976.09855173777669322) * square;
  near_numerator = (near_numerator + 1067.6894854603709582) * square;
  near_denominator = (near_denominator + 10260.932208618978205) * square;
  near_numerator = near_numerator + 18154.981253343561249;
  near_denominator = near_denominator + 45507.789335026729956;
  // The middle, in t.
  double middle_numerator = 1.0765576773720192317e-8 * held;
  double middle_denominator = held;
  middle_numerator = (middle_numerator + 0.39894151208813466764) * held;
  middle_denominator = (middle_denominator + 22.266688044328115691) * held;
  middle_numerator = (middle_numerator + 8.8831497943883759412) * held;
  middle_denominator = (middle_denominator + 235.38790178262499861) * held;
  middle_numerator = (middle_numerator + 93.506656132177855979) * held;
  middle_denominator = (middle_denominator + 1519.377599407554805) * held;
  middle_numerator = (middle_numerator + 597.27027639480026226) * held;
  middle_denominator = (middle_denominator + 6485.558298266760755) * held;
  middle_numerator = (middle_numerator + 2494.5375852903726711) * held;
  middle_denominator = (middle_denominator + 18615.571640885098091) * held;
  middle_numerator = (middle_numerator + 6848.1904505362823326) * held;
  middle_denominator = (middle_denominator + 34900.952721145977266) * held;
  middle_numerator = (middle_numerator + 11602.651437647350124) * held;
  middle_denominator = (middle_denominator + 38912.003286093271411) * held;
  middle_numerator = middle_numerator + 9842.7148383839780218;
  middle_denominator = middle_denominator + 19685.429676859990727;
  // The far tail, u P(u) / Q(u) with u = 1 / t^2, is written with numerator
  // and denominator times t^10 as P'(t^2) / (t^2 Q'(t^2)), the coefficients
  // in reverse order, so that it needs no division of its own:
  // Phi(-t) = exp(-t^2/2) (s t^2 Q' - P') / (t^3 Q'), s = 1/sqrt(2 pi). Its
  // subtraction loses under a tenth of a bit (the second term is at most
  // 1/32 of the first).
  double far_numerator = 2.9112874951168792e-5 * square;
  double far_denominator = 7.29751555083966205e-5 * square;
  far_numerator = (far_numerator + 0.001421619193227893466) * square;
  far_denominator = (far_denominator + 0.00378239633202758244) * square;
  far_numerator = (far_numerator + 0.022235277870649807) * square;
  far_denominator = (far_denominator + 0.0659881378689285515) * square;
  far_numerator = (far_numerator + 0.1274011611602473639) * square;
  far_denominator = (far_denominator + 0.468238212480865118) * square;
  far_numerator = (far_numerator + 0.21589853405795699) * square;
  far_denominator = (far_denominator + 1.28426009614491121) * square;
  far_numerator = far_numerator + 0.02307344176494017303;
  far_denominator = far_denominator + 1.0;
  const double far_scaled = square * far_denominator;

  const bool near = held <= 0.66291;
  const bool middle = held <= 5.656854248;
  const double numerator =
      near ? near_numerator
           : (middle ? middle_numerator : 0.39894228040143267794 * far_scaled - far_numerator);
  const double denominator = near ? near_denominator : (middle ? middle_denominator : held * far_scaled);
  const double ratio = numerator / denominator;
  const double tail = near ? 0.5 - held * ratio : gaussian * ratio;
  return NormalTail{tail, gaussian};
}
