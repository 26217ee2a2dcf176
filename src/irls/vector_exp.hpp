// exp(x), log(1 + t) and log(x) in plain IEEE arithmetic, so that a loop over them
// vectorises and gives the same bits at every vector width. libm's exp is a call per
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
#include <limits>

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

// log(1 + t) for t in [-1/2, 1] (softplus takes [0, 1], the probit
// deviance log(1 - Phi) [-1/2, 0]), as 2 atanh(s) with s = t / (2 + t) in
// [-1/3, 1/3]: the odd series 2 (s + s^3/3 + s^5/5 + ...) to s^35, whose
// remainder is below 1e-17 relative, its leading term added last. Within 4
// ulp of libm's log1p there (the rounding of s; checked in the engine
// tests): ample for a deviance.
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

// log(x) for x >= 0, subnormal x included: x = 2^k m with m in
// [sqrt(1/2), sqrt(2)) read from its bits, log m = 2 atanh(s) with
// s = (m - 1) / (m + 1) in [-0.172, 0.172] (m - 1 is exact), the series to
// s^25 (remainder below 1e-19 relative), and k log 2 in two parts as in
// vector_exp. Within 2 ulp of libm's log (checked in the engine tests);
// -inf for 0, +inf for +inf, NaN for NaN and for x < 0.
inline double vector_log(double x) {
  constexpr double log2_high = 6.93147180369123816490e-01;
  constexpr double log2_low = 1.90821492927058770002e-10;
  constexpr double smallest_normal = 2.2250738585072014e-308;
  // A subnormal x is scaled by 2^54 into the normal range first.
  const bool subnormal = x < smallest_normal;
  const double scaled = subnormal ? x * 18014398509481984.0 : x;
  std::uint64_t bits = 0;
  std::memcpy(&bits, &scaled, sizeof bits);
  // k + 1024 = the exponent field of x / sqrt(1/2), from unsigned integer
  // arithmetic (no arithmetic shift, which AVX2 lacks for 64-bit lanes).
  constexpr std::uint64_t sqrt_half_bits = 0x3fe6a09e667f3bcdULL;
  constexpr std::uint64_t bias = std::uint64_t{1024} << 52;
  const std::uint64_t k_biased = (bits + bias - sqrt_half_bits) >> 52;
  const std::uint64_t m_bits = bits - ((k_biased - 1024) << 52);
  double m = 0.0;
  std::memcpy(&m, &m_bits, sizeof m);
  // k as a double without an integer conversion: 1.5 * 2^52 + k has k in
  // its low bits (the inverse of vector_exp's rounding shift).
  constexpr double round_shift = 6755399441055744.0;
  const std::uint64_t shifted_bits = std::uint64_t{0x4338000000000000} + k_biased - 1024;
  double shifted = 0.0;
  std::memcpy(&shifted, &shifted_bits, sizeof shifted);
  const double k = (shifted - round_shift) - (subnormal ? 54.0 : 0.0);
  const double f = m - 1.0;
  const double s = f / (2.0 + f);
  const double u = s * s;
  double p = 1.0 / 25.0;
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
  const double log_m = twice + twice * (u * p);
  const double result = k * log2_high + (log_m + k * log2_low);
  // Zero, infinity and NaN (and negative x) are not of the form above.
  constexpr double infinity = std::numeric_limits<double>::infinity();
  const double edge = x == 0.0 ? -infinity : (x > 0.0 ? x : std::numeric_limits<double>::quiet_NaN());
  return x > 0.0 && x < infinity ? result : edge;
}

// log(1 + exp(x)), without overflow for large x or loss for very negative x.
inline double vector_softplus(double x) {
  const double magnitude = x < 0.0 ? -x : x;
  return (x > 0.0 ? x : 0.0) + vector_log1p_unit(vector_exp(-magnitude));
}
