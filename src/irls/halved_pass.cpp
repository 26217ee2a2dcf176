#include "halved_pass.hpp"

#include <algorithm>
#include <exception>
#include <thread>

#include "pass_sums.hpp"
#include "scattered_blocks.hpp"
#include "started_thread.hpp"

namespace {

// The chunks of half h: [0, middle) and [middle, n_chunks).
RowRange half_chunks(const RowPartition& partition, unsigned half) {
  const arma::uword middle = (partition.n_chunks + 1) / 2;
  return half == 0 ? RowRange{0, middle} : RowRange{middle, partition.n_chunks};
}

// The normal equations (with their statistics) of sums, as pass_sums composes them.
PassSums normal_sums(NormalSums& sums, bool with_statistics) {
  PassSums out;
  out.normal_equations = &sums;
  out.statistics = with_statistics ? &sums.statistics : nullptr;
  return out;
}

void sum_half(const LogisticData& data, const arma::vec& beta, bool with_statistics, HalvedPass& pass,
              unsigned half) {
  const PassSums total = normal_sums(pass.halves[half], with_statistics);
  reset(total, 0);
  reset(pass.levels[half]);
  const PassSums chunk_sums = normal_sums(pass.partials[half], with_statistics);
  // The level sums straight into the half's: in row order, never per chunk.
  PassSums rows_into = chunk_sums;
  rows_into.levels = &pass.levels[half];
  const RowRange chunks = half_chunks(pass.partition, half);
  for (arma::uword chunk = chunks.begin; chunk < chunks.end; ++chunk) {
    const RowRange rows = chunk_rows(pass.partition, chunk, data.X.n_rows);
    reset(chunk_sums, rows.begin);
    accumulate_rows(data, beta, rows, pass.buffers[half], rows_into);
    add_into(total, chunk_sums);
  }
}

}  // namespace

HalvedPass make_halved_pass(const LogisticData& data, unsigned workers, const LevelPattern* pattern) {
  const arma::uword n = data.X.n_rows;
  const arma::uword q = coefficient_count(data);
  const arma::uword q_dense = dense_column_count(data.X);
  const RowPartition partition =
      q_dense == q ? partition_rows(n, q) : scattered_partition(partition_rows(n, q_dense), n, q);
  const arma::uword block_rows = std::min(partition.block_rows, std::max<arma::uword>(n, 1));
  HalvedPass pass{partition, std::clamp(workers, 1U, 2U), {}, {}, {}, {}};
  // Room for both halves first: growing a vector would copy the sums made
  // so far (Armadillo's moves are not noexcept), L-sized ones among them.
  pass.buffers.reserve(2);
  pass.partials.reserve(2);
  pass.halves.reserve(2);
  pass.levels.reserve(2);
  const arma::uword n_levels = data.absorbed->n_levels;
  for (unsigned half = 0; half < 2; ++half) {
    pass.buffers.push_back(make_block_buffer(block_rows, q_dense, q));
    pass.partials.push_back(q_dense < q ? zero_packed_sums(q) : zero_sums(q));
    pass.halves.push_back(zero_sums(q));
    // The first half's weights, scores and cross block are lent before
    // each pass (LevelElimination::lend_buffers): none of its own, not even
    // for a moment (an L-sized block made and freed here would set the
    // fit's peak).
    pass.levels.push_back(zero_absorbed_sums(q_dense, half == 0 ? 0 : n_levels, pattern));
  }
  if (data.absorbed->further != nullptr) {
    for (AbsorbedSums& sums : pass.levels) {
      sums.further = zero_further_sums(q_dense, data.absorbed->further->n_levels());
    }
  }
  return pass;
}

void form_halved(const LogisticData& data, const arma::vec& beta, bool with_statistics, HalvedPass& pass) {
  std::exception_ptr second_failure;
  std::thread second;
  if (pass.workers > 1 && pass.partition.n_chunks > 1) {
    second = started([&] {
      try {
        sum_half(data, beta, with_statistics, pass, 1);
      } catch (...) {
        second_failure = std::current_exception();
      }
    });
  }
  std::exception_ptr failure;
  try {
    sum_half(data, beta, with_statistics, pass, 0);
  } catch (...) {
    failure = std::current_exception();
  }
  if (second.joinable()) {
    second.join();
  } else if (!failure) {
    sum_half(data, beta, with_statistics, pass, 1);
  }
  if (failure || second_failure) {
    std::rethrow_exception(failure ? failure : second_failure);
  }
  PassSums first_half = normal_sums(pass.halves[0], with_statistics);
  first_half.levels = pass.levels.data();
  PassSums second_half = normal_sums(pass.halves[1], with_statistics);
  second_half.levels = &pass.levels[1];
  add_into(first_half, second_half);
  fill_upper_triangle(pass.halves[0].A);
}
