// The yardsticks of the benchmark, timed with the same Armadillo
// configuration and the same OpenBLAS that the extension links.
// - The roofline: the BLAS and LAPACK work of one IRLS iteration computed the
//   straightforward way (an explicit transposed copy, the column-scaled copy
//   XW, the general product Xt * XW) and nothing else. The engine used to run
//   at about this speed; it is the baseline the one-pass engine is measured
//   against.
// - The floor: one read of X and one symmetric rank-k update over all of X,
//   the least work any iteration can do on this BLAS.
//
// Usage: roofline N P REPEATS [SEED]
// Prints one JSON object on standard output; the medians are in seconds.
#include <sys/mman.h>

#include <algorithm>
#include <armadillo>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <new>
#include <string>
#include <vector>

// OpenBLAS's CBLAS interface: the floor's symmetric rank-k update, and its
// own reports of its build and its thread pool, which prove which library the
// products ran on, not just which one the build asked for.
#include <cblas.h>

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

using Memory = std::unique_ptr<double, decltype(&std::free)>;

// Room for an n_rows x n_cols matrix, 2 MiB aligned and advised to the kernel
// as transparent-huge-page memory. The engine backs its copies of X that way
// and NumPy its large arrays, so the BLAS calls timed here must see the same
// pages: with 4 KiB pages a pass over an X of hundreds of megabytes pays TLB
// misses that the engine's does not.
Memory huge_page_memory(arma::uword n_rows, arma::uword n_cols) {
  constexpr std::size_t huge_page_bytes = std::size_t{2} << 20;
  const std::size_t bytes = std::max<std::size_t>(n_rows * n_cols, 1) * sizeof(double);
  void* memory = nullptr;
  if (posix_memalign(&memory, huge_page_bytes, bytes) != 0) {
    throw std::bad_alloc();
  }
  static_cast<void>(madvise(memory, bytes, MADV_HUGEPAGE));
  return Memory(static_cast<double*>(memory), &std::free);
}

arma::mat matrix_over(const Memory& memory, arma::uword n_rows, arma::uword n_cols) {
  return arma::mat(memory.get(), n_rows, n_cols, false, true);
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t middle = values.size() / 2;
  return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// Escapes the only characters of OpenBLAS's configuration text that could
// break a JSON string.
std::string json_string(const std::string& text) {
  std::string quoted = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      quoted += '\\';
    }
    quoted += c;
  }
  return quoted + "\"";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4 || argc > 5) {
    std::cerr << "usage: roofline N P REPEATS [SEED]\n";
    return 2;
  }
  const auto n = static_cast<arma::uword>(std::strtoull(argv[1], nullptr, 10));
  const auto p = static_cast<arma::uword>(std::strtoull(argv[2], nullptr, 10));
  const int repeats = std::max(1, std::atoi(argv[3]));
  arma::arma_rng::set_seed(argc == 5 ? std::strtoull(argv[4], nullptr, 10) : 0);

  // The values do not change what BLAS does, only the weights need to look
  // like a fit's: mu (1 - mu) for a linear predictor of unit spread.
  const Memory x_memory = huge_page_memory(n, p);
  const Memory xt_memory = huge_page_memory(p, n);
  const Memory xw_memory = huge_page_memory(n, p);
  arma::mat X = matrix_over(x_memory, n, p);
  X.randn();
  arma::mat Xt = matrix_over(xt_memory, p, n);
  Xt = X.t();
  const arma::vec beta = arma::randn<arma::vec>(p) / std::sqrt(static_cast<double>(p));
  const arma::vec mu = 1.0 / (1.0 + arma::exp(-(X * beta)));
  const arma::vec w = mu % (1.0 - mu);
  const arma::vec wz = w % arma::randn<arma::vec>(n);

  // Every buffer is allocated, and touched, before the clock starts, as the
  // engine does: first-touch page faults are not BLAS work.
  arma::vec eta(n, arma::fill::zeros);
  arma::mat XW = matrix_over(xw_memory, n, p);
  XW.zeros();
  arma::mat A(p, p, arma::fill::zeros);
  arma::vec b(p, arma::fill::zeros);
  arma::vec beta_new(p, arma::fill::zeros);

  std::vector<double> gemv_eta, scale, gemm, gemv_b, solve, total, floor_gemv, floor_syrk, floor_total;
  // One untimed round first, so that OpenBLAS's thread pool is up and the
  // caches are in the state later iterations see.
  for (int round = -1; round < repeats; ++round) {
    const auto start = Clock::now();
    auto step = Clock::now();
    eta = X * beta;
    const double t_eta = seconds_since(step);
    step = Clock::now();
    for (arma::uword j = 0; j < p; ++j) {
      XW.col(j) = X.col(j) % w;
    }
    const double t_scale = seconds_since(step);
    step = Clock::now();
    A = Xt * XW;
    const double t_gemm = seconds_since(step);
    step = Clock::now();
    b = Xt * wz;
    const double t_b = seconds_since(step);
    step = Clock::now();
    beta_new = arma::solve(A, b, arma::solve_opts::fast);
    const double t_solve = seconds_since(step);
    const double t_total = seconds_since(start);
    if (round >= 0) {
      gemv_eta.push_back(t_eta);
      scale.push_back(t_scale);
      gemm.push_back(t_gemm);
      gemv_b.push_back(t_b);
      solve.push_back(t_solve);
      total.push_back(t_total);
    }
  }

  // The physical floor of any iteration: one read of X (X * beta, a dgemv)
  // and the np^2 flops of one symmetric rank-k update over all of X (the
  // lower triangle of X'X, a dsyrk), on the same OpenBLAS and threads.
  arma::mat lower(p, p, arma::fill::zeros);
  for (int round = -1; round < repeats; ++round) {
    const auto start = Clock::now();
    eta = X * beta;
    const double t_gemv = seconds_since(start);
    const auto step = Clock::now();
    cblas_dsyrk(CblasColMajor, CblasLower, CblasTrans, static_cast<blasint>(p), static_cast<blasint>(n), 1.0,
                X.memptr(), static_cast<blasint>(std::max<arma::uword>(n, 1)), 0.0, lower.memptr(),
                static_cast<blasint>(std::max<arma::uword>(p, 1)));
    const double t_syrk = seconds_since(step);
    if (round >= 0) {
      floor_gemv.push_back(t_gemv);
      floor_syrk.push_back(t_syrk);
      floor_total.push_back(seconds_since(start));
    }
  }

  // A use of the results, so that no step can be optimised away.
  const double checksum = arma::accu(eta) + arma::accu(beta_new) + arma::accu(lower);

  std::cout.precision(9);
  std::cout << "{\"n\": " << n << ", \"p\": " << p << ", \"repeats\": " << repeats
            << ", \"per_iteration\": " << median(total) << ", \"steps\": {\"X*beta\": " << median(gemv_eta)
            << ", \"scale columns\": " << median(scale) << ", \"Xt*XW\": " << median(gemm)
            << ", \"Xt*wz\": " << median(gemv_b) << ", \"solve\": " << median(solve) << "}"
            << ", \"floor_per_iteration\": " << median(floor_total)
            << ", \"floor_steps\": {\"X*beta\": " << median(floor_gemv)
            << ", \"syrk\": " << median(floor_syrk) << "}"
            << ", \"armadillo\": \"" << arma::arma_version::as_string() << "\""
            << ", \"openblas_config\": " << json_string(openblas_get_config())
            << ", \"openblas_threads\": " << openblas_get_num_threads()
            << ", \"checksum_is_finite\": " << (std::isfinite(checksum) ? "true" : "false") << "}\n";
  return 0;
}
