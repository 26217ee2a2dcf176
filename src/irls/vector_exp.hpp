// exp(x) and log(1 + t) in plain IEEE arithmetic, so that a loop over it vectorises and
// gives the same bits at every vector width. libm's exp is a call per
// element, which no compiler vectorises, and it was most of the time of a
// pass over a narrow design (10,000 x 10: two thirds of the loop). A vector
// library would give different bits on processors of different vector
// widths; here every operation is one correctly rounded addition,
// multiplication or conversion, written out and never contracted into a
// fused multiply-add (-ffp-contract=off), so each width computes the same.
//
// Within 1 ulp of the exact value over the whole range (checked against
// libm in the engine tests); +inf above log(DBL_MAX), subnormal results
// below -708.4, 0 below -745.2, NaN for NaN.
#pragma once

#include <cstdint>
#include <cstring>

inline double vector_exp(double x) {
  // exp(x) = 2^k exp(r) with k = round(x / log 2) and |r| <= log(2) / 2;
  // log 2 in two parts (Cody and Waite), the first with trailing zero bits
  // so that k * log2_high is exact for every k that can occur.
  constexpr double log2e = 1.4426950408889634;
  constexpr double log2_high = 6.93147180369123816490e-01;
  constexpr double log2_low = 1.90821492927058770002e-10;
  // Adding 1.5 * 2^52 rounds to an integer, held in the low bits.
  constexpr double round_shift = 6755399441055744.0;
  const bool is_nan = x != x;
  // Beyond these exp is already +inf or 0; the clamp keeps k in range.
  double clamped = is_nan ? 0.0 : x;
  clamped = clamped > 710.0 ? 710.0 : clamped;
  clamped = clamped < -746.0 ? -746.0 : clamped;
  const double shifted = clamped * log2e + round_shift;
  const double k = shifted - round_shift;
  const double r = (clamped - k * log2_high) - k * log2_low;
  // Taylor series to r^13 / 13!: its remainder is below 5e-18 relative.
  double p = 1.0 / 6227020800.0;
  p = p * r + 1.0 / 479001600.0;
  p = p * r + 1.0 / 39916800.0;
  p = p * r + 1.0 / 3628800.0;
  p = p * r + 1.0 / 362880.0;
  p = p * r + 1.0 / 40320.0;
  p = p * r + 1.0 / 5040.0;
  p = p * r + 1.0 / 720.0;
  p = p * r + 1.0 / 120.0;
  p = p * r + 1.0 / 24.0;
  p = p * r + 1.0 / 6.0;
  p = p * r + 0.5;
  p = p * r + 1.0;
  p = p * r + 1.0;
  // 2^k in two factors, each a normal number for k in [-1076, 1025], so
  // that results in the subnormal range are rounded once, at the end.
  std::int64_t bits = 0;
  std::memcpy(&bits, &shifted, sizeof bits);
  const std::int64_t k_int = bits - std::int64_t{0x4338000000000000};
  const std::int64_t k_half = k_int / 2;
  const std::int64_t first_bits = (k_half + 1023) << 52;
  const std::int64_t second_bits = (k_int - k_half + 1023) << 52;
  double first = 0.0;
  double second = 0.0;
  std::memcpy(&first, &first_bits, sizeof first);
  std::memcpy(&second, &second_bits, sizeof second);
  const double result = p * first * second;
  return is_nan ? x : result;
}

// log(1 + t) for t in [0, 1] (what softplus needs), as 2 atanh(s) with
// s = t / (2 + t) in [0, 1/3]: the odd series 2 (s + s^3/3 + s^5/5 + ...) to
// s^35, whose remainder is below 1e-17 relative, its leading term added
// last. Within 4 ulp of libm's log1p there (the rounding of s; checked in the
// engine tests): ample for a deviance.
inline double vector_log1p_unit(double t) {
  const double s = t / (2.0 + t);
  const double u = s * s;
  // Horner's rule on 1/35, 1/33, ..., 1/3, written out: constants, not
  // divisions, in the vectorised loop.
  double p = 1.0 / 35.0;
  p = p * u + 1.0 / 33.0;
  p = p * u + 1.0 / 31.0;
  p = p * u + 1.0 / 29.0;
  p = p * u + 1.0 / 27.0;
  p = p * u + 1.0 / 25.0;
  p = p * u + 1.0 / 23.0;
  p = p * u + 1.0 / 21.0;
  p = p * u + 1.0 / 19.0;
  p = p * u + 1.0 / 17.0;
  p = p * u + 1.0 / 15.0;
  p = p * u + 1.0 / 13.0;
  p = p * u + 1.0 / 11.0;
  p = p * u + 1.0 / 9.0;
  p = p * u + 1.0 / 7.0;
  p = p * u + 1.0 / 5.0;
  p = p * u + 1.0 / 3.0;
  const double twice = 2.0 * s;
  return twice + twice * (u * p);
}

// log(1 + exp(x)), without overflow for large x or loss for very negative x.
inline double vector_softplus(double x) {
  const double magnitude = x < 0.0 ? -x : x;
  return (x > 0.0 ? x : 0.0) + vector_log1p_unit(vector_exp(-magnitude));
}
