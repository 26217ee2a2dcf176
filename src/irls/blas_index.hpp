// The BLAS's integer type for a dimension of the engine's: every call to the
// BLAS that takes a dimension converts it here.
#pragma once

#include <cblas.h>

#include <armadillo>
#include <limits>
#include <stdexcept>

// Armadillo's message for a dimension the BLAS's integers cannot hold.
inline constexpr const char* blas_overflow =
    "integer overflow: matrix dimensions are too large for integer type used by BLAS and LAPACK";

// Throws std::runtime_error when value exceeds the BLAS's 32-bit integers.
inline blasint to_blas(arma::uword value) {
  if (value > static_cast<arma::uword>(std::numeric_limits<blasint>::max())) {
    throw std::runtime_error(blas_overflow);
  }
  return static_cast<blasint>(value);
}
