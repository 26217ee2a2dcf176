#include "further_solve.hpp"

#include <cblas.h>

#include <algorithm>
#include <exception>
#include <thread>
#include <type_traits>
#include <vector>

#include "blas_index.hpp"
#include "started_thread.hpp"

FurtherSolve::FurtherSolve(const FurtherLevels& levels, AbsorbedCodes first_codes, arma::uword n_first,
                           arma::uword n_rows, unsigned workers)
    : levels_(levels),
      first_codes_(first_codes),
      n_rows_(n_rows),
      workers_(std::clamp(workers, 1U, 2U)),
      inverse_first_(n_first) {}

namespace {

// The rows' kernels, for K right-hand sides known when compiled (K > 0) or
// k of them (K == 0): a row's K values are gathered and added in a loop the
// compiler unrolls.
template <int K>
struct Width {
  static constexpr arma::uword of(arma::uword /*k*/) { return K; }
};
template <>
struct Width<0> {
  static arma::uword of(arma::uword k) { return k; }
};

// Rows ahead of the one at hand whose columns of the products are fetched
// into the cache while it is added (as the pass's level sums do,
// absorbed_levels.cpp): the first column's lie anywhere in an L-sized
// block, and waiting for each row's was most of a product's time.
constexpr arma::uword prefetch_distance = 16;

// sum[c] = sum over the further columns j of V(c, f_j) for row i (V's memory at v_base).
template <int K>
void gather_row(const FurtherLevels& levels, arma::uword i, const double* v_base, arma::uword k,
                double* sum) {
  for (arma::uword c = 0; c < k; ++c) {
    sum[c] = 0.0;
  }
  for (std::size_t j = 0; j < levels.codes.size(); ++j) {
    const double* __restrict v = v_base + (levels.starts[j] + levels.codes[j][i]) * k;
    for (arma::uword c = 0; c < k; ++c) {
      sum[c] += v[c];
    }
  }
}

// out(c, f_j) += weight values[c] for row i and every further column j.
template <int K>
void scatter_row(const FurtherLevels& levels, arma::uword i, double weight, const double* values,
                 arma::uword k, double* out_base) {
  for (std::size_t j = 0; j < levels.codes.size(); ++j) {
    double* __restrict out = out_base + (levels.starts[j] + levels.codes[j][i]) * k;
    for (arma::uword c = 0; c < k; ++c) {
      out[c] += weight * values[c];
    }
  }
}

// Rows [begin, end): U(:, level) += s w sum_j V(:, f_j), and with `also`
// the same terms into also(:, f_j).
template <int K, class Code>
void to_first_rows(const FurtherLevels& levels, const Code* first_codes, const arma::mat& V, arma::mat& U,
                   arma::mat* also, arma::uword begin, arma::uword end) {
  const arma::uword k = Width<K>::of(V.n_rows);
  double fixed[K > 0 ? K : 1];
  std::vector<double> any_width(K > 0 ? 0 : k);
  double* row_sum = K > 0 ? fixed : any_width.data();
  const double* weights = levels.row_weights;
  const double* v_base = V.memptr();
  double* u_base = U.memptr();
  double* also_base = also == nullptr ? nullptr : also->memptr();
  for (arma::uword i = begin; i < end; ++i) {
    if (i + prefetch_distance < end) {
      __builtin_prefetch(u_base + static_cast<arma::uword>(first_codes[i + prefetch_distance]) * k, 1);
    }
    const auto level = static_cast<arma::uword>(first_codes[i]);
    const double weight = weights[i];
    if (weight == 0.0) {
      continue;
    }
    gather_row<K>(levels, i, v_base, k, row_sum);
    double* __restrict u = u_base + level * k;
    for (arma::uword c = 0; c < k; ++c) {
      u[c] += weight * row_sum[c];
    }
    if (also_base != nullptr) {
      scatter_row<K>(levels, i, weight, row_sum, k, also_base);
    }
  }
}

// Rows [begin, end): out(:, f_j) += sign s w P(:, level).
template <int K, class Code>
void from_first_rows(const FurtherLevels& levels, const Code* first_codes, const arma::mat& P, double sign,
                     arma::mat& out, arma::uword begin, arma::uword end) {
  const arma::uword k = Width<K>::of(P.n_rows);
  const std::size_t n_columns = levels.codes.size();
  const double* weights = levels.row_weights;
  const double* p_base = P.memptr();
  double* out_base = out.memptr();
  for (arma::uword i = begin; i < end; ++i) {
    if (i + prefetch_distance < end) {
      __builtin_prefetch(p_base + static_cast<arma::uword>(first_codes[i + prefetch_distance]) * k);
    }
    const double weight = sign * weights[i];
    if (weight == 0.0) {
      continue;
    }
    const double* __restrict p = p_base + static_cast<arma::uword>(first_codes[i]) * k;
    for (std::size_t j = 0; j < n_columns; ++j) {
      double* __restrict o = out_base + (levels.starts[j] + levels.codes[j][i]) * k;
      for (arma::uword c = 0; c < k; ++c) {
        o[c] += weight * p[c];
      }
    }
  }
}

// f<K>() for the right-hand sides' count k: compiled widths up to 8 (the
// features of most fixed-effects models, plus one), any other at run time.
template <class F>
void with_width(arma::uword k, F&& f) {
  switch (k) {
    case 1:
      f(std::integral_constant<int, 1>());
      break;
    case 2:
      f(std::integral_constant<int, 2>());
      break;
    case 3:
      f(std::integral_constant<int, 3>());
      break;
    case 4:
      f(std::integral_constant<int, 4>());
      break;
    case 5:
      f(std::integral_constant<int, 5>());
      break;
    case 6:
      f(std::integral_constant<int, 6>());
      break;
    case 7:
      f(std::integral_constant<int, 7>());
      break;
    case 8:
      f(std::integral_constant<int, 8>());
      break;
    default:
      f(std::integral_constant<int, 0>());
      break;
  }
}

// Two fixed halves of the rows, work(half, begin, end) on each: side by
// side with two workers, one after the other with one.
template <class Work>
void by_halves(arma::uword n_rows, unsigned workers, Work&& work) {
  const arma::uword middle = n_rows / 2;
  std::exception_ptr failure;
  std::thread second;
  if (workers > 1) {
    second = started([&] {
      try {
        work(1, middle, n_rows);
      } catch (...) {
        failure = std::current_exception();
      }
    });
  }
  work(0, 0, middle);
  if (second.joinable()) {
    second.join();
  } else {
    work(1, middle, n_rows);
  }
  if (failure) {
    std::rethrow_exception(failure);
  }
}

}  // namespace

void FurtherSolve::find_groups() {
  // Union-find over the first column's levels [0, L) and the further ones
  // [L, L + L_f), joined by every row of weight.
  const arma::uword n_first = inverse_first_.n_elem;
  const arma::uword n_further = levels_.n_levels();
  std::vector<arma::uword> parent(n_first + n_further);
  for (arma::uword node = 0; node < parent.size(); ++node) {
    parent[node] = node;
  }
  const auto root = [&parent](arma::uword node) {
    while (parent[node] != node) {
      parent[node] = parent[parent[node]];
      node = parent[node];
    }
    return node;
  };
  for (arma::uword i = 0; i < n_rows_; ++i) {
    if (levels_.row_weights[i] == 0.0) {
      continue;
    }
    const arma::uword first = root(first_codes_[i]);
    for (std::size_t j = 0; j < levels_.codes.size(); ++j) {
      const arma::uword other = root(n_first + levels_.starts[j] + levels_.codes[j][i]);
      if (other != first) {
        parent[other] = first;
      }
    }
  }
  // A group per column and connected set of its levels: ids counted column
  // by column, the map from roots reset after each.
  groups_.assign(n_further, 0);
  n_groups_ = 0;
  std::vector<arma::uword> id_of_root(parent.size(), no_group);
  for (std::size_t j = 0; j < levels_.codes.size(); ++j) {
    std::vector<arma::uword> touched;
    for (arma::uword l = levels_.starts[j]; l < levels_.starts[j + 1]; ++l) {
      const arma::uword r = root(n_first + l);
      if (id_of_root[r] == no_group) {
        id_of_root[r] = n_groups_++;
        touched.push_back(r);
      }
      groups_[l] = id_of_root[r];
    }
    for (const arma::uword r : touched) {
      id_of_root[r] = no_group;
    }
  }
}

void FurtherSolve::project_to_range(arma::mat& rhs, const arma::vec& weight) const {
  // The null directions of S_ff are the indicators of the groups (a
  // column's levels connected through the rows: the effects of one can
  // shift against another's), orthogonal to each other. The right-hand
  // sides have no part along them but rounding, which conjugate gradients
  // could never remove: it is taken out, as each group's mean over its
  // levels of weight.
  arma::mat sums(rhs.n_rows, n_groups_, arma::fill::zeros);
  arma::vec counts(n_groups_, arma::fill::zeros);
  for (arma::uword l = 0; l < rhs.n_cols; ++l) {
    if (weight[l] > 0.0) {
      sums.col(groups_[l]) += rhs.col(l);
      counts[groups_[l]] += 1.0;
    }
  }
  for (arma::uword l = 0; l < rhs.n_cols; ++l) {
    if (weight[l] > 0.0) {
      rhs.col(l) -= sums.col(groups_[l]) / counts[groups_[l]];
    }
  }
}

void FurtherSolve::to_first(const arma::mat& V, arma::mat& U, arma::mat* also) {
  const arma::uword k = V.n_rows;
  U.zeros(k, inverse_first_.n_elem);
  second_first_.zeros(k, inverse_first_.n_elem);
  if (also != nullptr) {
    second_further_.zeros(k, V.n_cols);
  }
  with_width(k, [&](auto width) {
    by_halves(n_rows_, workers_, [&](unsigned half, arma::uword begin, arma::uword end) {
      arma::mat* into = also == nullptr ? nullptr : half == 0 ? also : &second_further_;
      with_absorbed_codes(first_codes_, [&](const auto* codes) {
        to_first_rows<decltype(width)::value>(levels_, codes, V, half == 0 ? U : second_first_, into, begin,
                                              end);
      });
    });
  });
  U += second_first_;
  if (also != nullptr) {
    *also += second_further_;
  }
  for (arma::uword l = 0; l < U.n_cols; ++l) {
    U.col(l) *= inverse_first_[l];
  }
}

void FurtherSolve::from_first(const arma::mat& P, double sign, arma::mat& out) {
  second_further_.zeros(P.n_rows, out.n_cols);
  with_width(P.n_rows, [&](auto width) {
    by_halves(n_rows_, workers_, [&](unsigned half, arma::uword begin, arma::uword end) {
      with_absorbed_codes(first_codes_, [&](const auto* codes) {
        from_first_rows<decltype(width)::value>(levels_, codes, P, sign, half == 0 ? out : second_further_,
                                                begin, end);
      });
    });
  });
  out += second_further_;
}

void FurtherSolve::apply(const arma::mat& V, arma::mat& out) {
  if (levels_.codes.size() == 1) {
    // One further column: Z'WZ is its diagonal D_f, no pass of its own.
    out = V;
    out.each_row() %= further_weight_.t();
    to_first(V, first_block_, nullptr);
  } else {
    out.zeros(V.n_rows, V.n_cols);
    to_first(V, first_block_, &out);
  }
  from_first(first_block_, -1.0, out);
}

namespace {

// Per right-hand side (row c of the k x L layout): sum over levels of a(c, l) b(c, l).
arma::vec row_dots(const arma::mat& a, const arma::mat& b) { return arma::sum(a % b, 1); }

}  // namespace

arma::mat FurtherSolve::right_hand_sides(const FurtherSums& sums, const arma::mat& first_means,
                                         const arma::vec& first_step, arma::uword k) {
  // The right-hand sides [S_fb, r_f] = [C_f', b_f] - Z'WZ1 [means', step].
  const arma::uword q = first_means.n_rows;
  const arma::uword n_further = sums.weight.n_elem;
  arma::mat rhs;
  rhs.zeros(k, n_further);
  if (q > 0) {
    rhs.head_rows(q) = sums.cross;
  }
  rhs.row(q) = sums.score.t();
  first_block_.zeros(k, inverse_first_.n_elem);
  if (q > 0) {
    first_block_.head_rows(q) = first_means;
  }
  first_block_.row(q) = first_step.t();
  from_first(first_block_, -1.0, rhs);
  return rhs;
}

void FurtherSolve::conjugate_gradients(const arma::mat& rhs, arma::uword q, arma::mat& solution) {
  const arma::uword k = rhs.n_rows;
  const arma::uword n_further = rhs.n_cols;
  // Preconditioned conjugate gradients, one per right-hand side, sharing
  // the products; from the latest solution (the weights change little from
  // one update to the next).
  arma::vec inverse_weight(n_further);
  for (arma::uword l = 0; l < n_further; ++l) {
    inverse_weight[l] = further_weight_[l] > 0.0 ? 1.0 / further_weight_[l] : 0.0;
  }
  const auto precondition = [&](const arma::mat& r) {
    arma::mat z = r;
    z.each_row() %= inverse_weight.t();
    return z;
  };
  arma::mat residual = rhs;
  arma::mat product;
  // The coefficients' right-hand sides from the latest solution (they
  // change little from one update to the next); the score's from 0, since
  // it shrinks to nothing as the fit converges and the latest one's
  // solution would leave a residual larger than its tolerance.
  solution.zeros(k, n_further);
  if (warm_.n_rows == k && warm_.n_cols == n_further && q > 0) {
    solution.head_rows(q) = warm_.head_rows(q);
    apply(solution, product);
    residual -= product;
  }
  const arma::vec target = tolerance * arma::sqrt(row_dots(rhs, rhs));
  arma::mat z = precondition(residual);
  arma::mat direction = z;
  arma::vec rz = row_dots(residual, z);
  iterations_ = 0;
  converged_ = false;
  while (true) {
    const arma::vec norms = arma::sqrt(row_dots(residual, residual));
    if (arma::all(norms <= target)) {
      converged_ = true;
      break;
    }
    if (iterations_ >= max_iterations) {
      break;
    }
    apply(direction, product);
    ++iterations_;
    const arma::vec curvature = row_dots(direction, product);
    arma::vec alpha(k);
    for (arma::uword c = 0; c < k; ++c) {
      // A right-hand side already met (or one of no curvature left) stays.
      alpha[c] = norms[c] > target[c] && curvature[c] > 0.0 ? rz[c] / curvature[c] : 0.0;
    }
    for (arma::uword l = 0; l < n_further; ++l) {
      solution.col(l) += alpha % direction.col(l);
      residual.col(l) -= alpha % product.col(l);
    }
    z = precondition(residual);
    const arma::vec rz_next = row_dots(residual, z);
    arma::vec ratio(k);
    for (arma::uword c = 0; c < k; ++c) {
      ratio[c] = rz[c] > 0.0 ? rz_next[c] / rz[c] : 0.0;
    }
    for (arma::uword l = 0; l < n_further; ++l) {
      direction.col(l) = z.col(l) + ratio % direction.col(l);
    }
    rz = rz_next;
  }
  warm_ = solution;
}

void FurtherSolve::eliminate(const FurtherSums& sums, const arma::vec& first_weight, arma::mat& first_means,
                             arma::vec& first_step, NormalSums& reduced, arma::mat& solution) {
  const arma::uword q = first_means.n_rows;
  // q + 1 right-hand sides, padded with a side of zeros to an even count:
  // each level's values then fill whole vectors of two.
  const arma::uword k = (q + 2) / 2 * 2;
  const arma::uword n_further = sums.weight.n_elem;
  for (arma::uword l = 0; l < inverse_first_.n_elem; ++l) {
    inverse_first_[l] = first_weight[l] > 0.0 ? 1.0 / first_weight[l] : 0.0;
  }
  arma::mat rhs = right_hand_sides(sums, first_means, first_step, k);
  if (groups_.size() != n_further) {
    find_groups();
  }
  project_to_range(rhs, sums.weight);
  further_weight_ = sums.weight;
  conjugate_gradients(rhs, q, solution);
  // The coefficients' system: A - S_bf Y_b (symmetric up to rounding: its
  // mean with its transpose), b - S_bf y_r.
  if (q > 0 && n_further > 0) {
    arma::mat correction(q, q);
    cblas_dgemm(CblasColMajor, CblasNoTrans, CblasTrans, to_blas(q), to_blas(q), to_blas(n_further), 1.0,
                rhs.memptr(), to_blas(k), solution.memptr(), to_blas(k), 0.0, correction.memptr(),
                to_blas(q));
    reduced.A -= 0.5 * (correction + correction.t());
    cblas_dgemv(CblasColMajor, CblasNoTrans, to_blas(q), to_blas(n_further), -1.0, rhs.memptr(), to_blas(k),
                solution.colptr(0) + q, to_blas(k), 1.0, reduced.b.memptr(), 1);
  }
  // The first column's step through the further levels': D^-1 Z1'WZ [Y_b, y_r].
  to_first(solution, first_block_, nullptr);
  if (q > 0) {
    first_means -= first_block_.head_rows(q);
  }
  first_step -= first_block_.row(q).t();
}
