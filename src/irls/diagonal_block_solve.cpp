#include "diagonal_block_solve.hpp"

#include <cmath>

namespace {

struct ColumnRun {
  arma::uword begin = 0;
  arma::uword end = 0;  // one past the last column
};

// The longest run of consecutive columns whose entries off the diagonal,
// among themselves, are all exactly 0 (the first when several are as
// long). A run extends to column j unless one of its entries above the
// diagonal is not 0, and then restarts below that entry: O(q) reads for a
// dense A, O(run^2) for a diagonal block.
ColumnRun longest_diagonal_run(const arma::mat& A) {
  ColumnRun best;
  arma::uword start = 0;
  for (arma::uword j = 0; j < A.n_cols; ++j) {
    const double* column = A.colptr(j);
    for (arma::uword i = j; i > start; --i) {
      if (column[i - 1] != 0.0) {
        start = i;
        break;
      }
    }
    if (j + 1 - start > best.end - best.begin) {
      best = ColumnRun{start, j + 1};
    }
  }
  return best;
}

}  // namespace

bool solve_by_diagonal_block(const arma::mat& A, const arma::vec& b, arma::vec& x) {
  const ColumnRun run = longest_diagonal_run(A);
  const arma::uword q = A.n_rows;
  const arma::uword k = run.end - run.begin;
  if (k < min_diagonal_block) {
    return false;
  }
  const arma::span diagonal(run.begin, run.end - 1);
  const arma::uvec run_columns = arma::regspace<arma::uvec>(run.begin, run.end - 1);
  const arma::vec d = arma::vec(A.diag()).subvec(diagonal);
  if (!(d.min() > 0.0)) {
    return false;
  }
  arma::uvec rest(q - k);
  for (arma::uword j = 0, r = 0; j < q; ++j) {
    if (j < run.begin || j >= run.end) {
      rest[r++] = j;
    }
  }
  const arma::vec root_inverse = 1.0 / arma::sqrt(d);
  // D^-1/2 B: the run's rows of the other columns, scaled.
  arma::mat scaled = A.submat(run_columns, rest);
  scaled.each_col() %= root_inverse;
  const arma::vec scaled_b = b.subvec(diagonal) % root_inverse;
  const arma::mat schur = A.submat(rest, rest) - scaled.t() * scaled;
  const arma::vec rhs = b.elem(rest) - scaled.t() * scaled_b;
  arma::vec x_rest;
  if (!rest.is_empty() &&
      !arma::solve(x_rest, schur, rhs,
                   arma::solve_opts::fast + arma::solve_opts::likely_sympd + arma::solve_opts::no_approx)) {
    return false;
  }
  x.set_size(q);
  if (!rest.is_empty()) {
    x.elem(rest) = x_rest;
    x.subvec(diagonal) = root_inverse % (scaled_b - scaled * x_rest);
  } else {
    x.subvec(diagonal) = root_inverse % scaled_b;
  }
  return true;
}
