#include "irls_steps.hpp"

#include <algorithm>
#include <cmath>
#include <ostream>
#include <stdexcept>

#include "diagonal_block_solve.hpp"

namespace {

// Armadillo's own message for a system its fast solver rejects.
constexpr const char* singular_warning = "solve(): system is singular; attempting approx solution";

// The fast LAPACK solvers can return NaN without reporting a failure on a
// system with NaN or infinity; the approximate solver refuses it, so such a
// system has no solution at all.
void throw_not_found() { throw std::runtime_error("solve(): solution not found"); }

// A scaled to unit diagonal (a correlation matrix when A is X'WX of centred
// columns), into C (its memory reused when it has A's size); the scale is 0
// for a column of zero or non-finite diagonal. With reference_diagonal, A is
// scaled by it instead (its diagonal is then at most 1).
void unit_diagonal(const arma::mat& A, const arma::vec& reference_diagonal, arma::vec& scale, arma::mat& C) {
  const arma::uword q = A.n_rows;
  scale.set_size(q);
  for (arma::uword j = 0; j < q; ++j) {
    const double diagonal = reference_diagonal.is_empty() ? A.at(j, j) : reference_diagonal[j];
    scale[j] = diagonal > 0.0 && std::isfinite(diagonal) ? 1.0 / std::sqrt(diagonal) : 0.0;
  }
  C = A;
  C.each_col() %= scale;
  C.each_row() %= scale.t();
}

}  // namespace

void solve_normal_equations(const arma::mat& A, const arma::vec& b, arma::vec& beta_new) {
  if (!A.is_finite() || !b.is_finite()) {
    // Take the path the library takes when its fast solver reports a
    // singular system: the warning, then the approximate solver, which
    // refuses non-finite input. ARMA_CERR_STREAM is the stream Armadillo
    // writes its own warnings to.
    ARMA_CERR_STREAM << "\nwarning: " << singular_warning << std::endl;
    beta_new = arma::solve(A, b, arma::solve_opts::force_approx);
    // Should a later Armadillo accept such a system, the outcome stays the same.
    throw_not_found();
  }
  beta_new = arma::solve(A, b, arma::solve_opts::fast);
}

bool solve_normal_equations_quietly(const arma::mat& A, const arma::vec& b, arma::vec& beta_new) {
  if (!A.is_finite() || !b.is_finite()) {
    throw_not_found();
  }
  // A wide categorical's diagonal block eliminated first, when A has one.
  if (solve_by_diagonal_block(A, b, beta_new)) {
    return true;
  }
  // no_approx: the fast solver reports a singular system instead of warning
  // and falling back; the fallback is then asked for explicitly, which
  // Armadillo takes without a warning.
  if (arma::solve(beta_new, A, b, arma::solve_opts::fast + arma::solve_opts::no_approx)) {
    return true;
  }
  if (!arma::solve(beta_new, A, b, arma::solve_opts::force_approx)) {
    throw_not_found();
  }
  return false;
}

bool coefficients_changed(const arma::vec& beta_new, const arma::vec& beta, double tol) {
  for (arma::uword j = 0; j < beta.n_elem; ++j) {
    if (!(std::abs(beta_new[j] - beta[j]) <= tol)) {
      return true;
    }
  }
  return false;
}

double largest_change(const arma::vec& beta_new, const arma::vec& beta) {
  double largest = 0.0;
  for (arma::uword j = 0; j < beta.n_elem; ++j) {
    const double change = std::abs(beta_new[j] - beta[j]);
    if (std::isnan(change)) {
      return change;
    }
    largest = std::max(largest, change);
  }
  return largest;
}

std::vector<arma::uword> dependent_columns(const arma::mat& A, double tol,
                                           const arma::vec& reference_diagonal) {
  // One working copy of A (q^2 doubles), factorised in place: it is made
  // while the pass's own sums are held, so a second would count twice.
  arma::vec scale;
  arma::mat C;
  unit_diagonal(A, reference_diagonal, scale, C);
  const arma::uword q = C.n_rows;
  // Most designs have full rank: one Cholesky factorisation at the BLAS's
  // speed shows it, since its squared pivots are the 1 - R^2 of each column
  // on all earlier ones. (chol with C as both input and output works in
  // place.)
  if (q == 0 || (scale.min() > 0.0 && arma::chol(C, C, "lower") && C.diag().min() > 0.0 &&
                 arma::min(arma::square(C.diag())) > tol)) {
    return {};
  }
  // Otherwise the same factorisation column by column, leaving out each
  // column whose pivot falls to the tolerance: the later columns are then
  // regressed on the independent ones only. C is formed again (the
  // factorisation above overwrote it), and L is written over it: column
  // `rank` of L is written at step j >= rank, after column `rank` of C was
  // read (at step rank, or at this very step, element by element).
  unit_diagonal(A, reference_diagonal, scale, C);
  arma::mat& L = C;  // column k of L belongs to kept[k]
  std::vector<arma::uword> dependent;
  std::vector<arma::uword> kept;
  for (arma::uword j = 0; j < q; ++j) {
    if (scale[j] == 0.0) {
      dependent.push_back(j);
      continue;
    }
    const arma::uword rank = kept.size();
    double pivot = C.at(j, j);
    for (arma::uword k = 0; k < rank; ++k) {
      pivot -= L.at(j, k) * L.at(j, k);
    }
    if (!(pivot > tol)) {
      dependent.push_back(j);
      continue;
    }
    const double root = std::sqrt(pivot);
    L.at(j, rank) = root;
    for (arma::uword i = j + 1; i < q; ++i) {
      double value = C.at(i, j);
      for (arma::uword k = 0; k < rank; ++k) {
        value -= L.at(i, k) * L.at(j, k);
      }
      L.at(i, rank) = value / root;
    }
    kept.push_back(j);
  }
  return dependent;
}

std::vector<arma::uword> columns_not_finite(const arma::mat& A, const arma::vec& b) {
  std::vector<arma::uword> columns;
  for (arma::uword j = 0; j < A.n_rows; ++j) {
    if (!std::isfinite(b[j]) || !A.row(j).is_finite()) {
      columns.push_back(j);
    }
  }
  return columns;
}

arma::uvec kept_columns(arma::uword q, const std::vector<arma::uword>& dropped) {
  arma::uvec kept(q - dropped.size());
  arma::uword next = 0;
  auto skip = dropped.begin();
  for (arma::uword j = 0; j < q; ++j) {
    if (skip != dropped.end() && *skip == j) {
      ++skip;
    } else {
      kept[next++] = j;
    }
  }
  return kept;
}
