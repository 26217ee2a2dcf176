#include "halved_pass.hpp"

#include <algorithm>
#include <atomic>
#include <exception>
#include <thread>
#include <vector>

#include "pass_sums.hpp"
#include "scattered_blocks.hpp"
#include "started_thread.hpp"

namespace {

// The chunks of half h: [0, middle) and [middle, n_chunks).
RowRange half_chunks(const RowPartition& partition, unsigned half) {
  const arma::uword middle = (partition.n_chunks + 1) / 2;
  return half == 0 ? RowRange{0, middle} : RowRange{middle, partition.n_chunks};
}

// The normal equations (with their statistics and, with the pass's
// margins, the margin sums) of sums, as pass_sums composes them.
PassSums normal_sums(NormalSums& sums, bool with_statistics, bool margins) {
  PassSums out;
  out.normal_equations = &sums;
  out.statistics = with_statistics ? &sums.statistics : nullptr;
  out.margins = margins ? &sums.margins : nullptr;
  return out;
}

// The sums of half h's total: its normal equations, level sums and, with
// the pass's margins, its margin sums by level.
PassSums half_sums(bool with_statistics, HalvedPass& pass, unsigned half) {
  PassSums out = normal_sums(pass.halves[half], with_statistics, pass.margins);
  out.levels = &pass.levels[half];
  out.level_margins = pass.margins ? &pass.level_margins[half] : nullptr;
  return out;
}

// Two threads meeting between the rounds of a pass. A round's work is a
// few milliseconds and both threads have the same, so the first to arrive
// spins briefly, then yields (on a busy machine the other may be
// descheduled). A failure on either releases the other: wait() returns
// false.
class RoundBarrier {
 public:
  bool wait() {
    const unsigned generation = generation_.load(std::memory_order_acquire);
    if (arrived_.fetch_add(1, std::memory_order_acq_rel) == 1) {
      arrived_.store(0, std::memory_order_relaxed);
      generation_.store(generation + 1, std::memory_order_release);
      return !failed_.load(std::memory_order_acquire);
    }
    for (unsigned spin = 0; generation_.load(std::memory_order_acquire) == generation; ++spin) {
      if (failed_.load(std::memory_order_acquire)) {
        return false;
      }
      if (spin >= spins_before_yield) {
        std::this_thread::yield();
      }
    }
    return !failed_.load(std::memory_order_acquire);
  }
  void fail() { failed_.store(true, std::memory_order_release); }

 private:
  static constexpr unsigned spins_before_yield = 1U << 12;
  std::atomic<unsigned> arrived_{0};
  std::atomic<unsigned> generation_{0};
  std::atomic<bool> failed_{false};
};

void reset_half(bool with_statistics, HalvedPass& pass, unsigned half) {
  reset(half_sums(with_statistics, pass, half), 0);
}

// One chunk of the half into its normal equations, and into its level
// sums (staged, when the pass stages them).
void sum_chunk(const LogisticData& data, const arma::vec& beta, bool with_statistics, HalvedPass& pass,
               unsigned half, arma::uword chunk) {
  const PassSums total = normal_sums(pass.halves[half], with_statistics, pass.margins);
  const PassSums chunk_sums = normal_sums(pass.partials[half], with_statistics, pass.margins);
  // The level sums (and the margin sums by level) straight into the
  // half's own: L-sized, too large to keep per chunk.
  const PassSums half_total = half_sums(with_statistics, pass, half);
  PassSums rows_into = chunk_sums;
  rows_into.levels = half_total.levels;
  rows_into.level_margins = half_total.level_margins;
  const RowRange rows = chunk_rows(pass.partition, chunk, data.X.n_rows);
  if (!pass.stages.empty()) {
    pass.stages[half].first = rows.begin;
    pass.stages[half].m = 0;
  }
  reset(chunk_sums, rows.begin);
  accumulate_rows(data, beta, rows, pass.buffers[half], rows_into);
  add_into(total, chunk_sums);
}

// Round r's chunk of the half, or none (its stage empty) past its last.
void sum_round_chunk(const LogisticData& data, const arma::vec& beta, bool with_statistics, HalvedPass& pass,
                     unsigned half, arma::uword round) {
  const RowRange chunks = half_chunks(pass.partition, half);
  if (chunks.begin + round < chunks.end) {
    sum_chunk(data, beta, with_statistics, pass, half, chunks.begin + round);
  } else {
    pass.stages[half].m = 0;
  }
}

// Both stages' rows of levels in [low, high) into the pass's level sums,
// the first half's chunk first.
void add_stages(const LogisticData& data, HalvedPass& pass, unsigned thread, arma::uword low,
                arma::uword high) {
  for (const StagedLevelRows& stage : pass.stages) {
    add_staged_rows(stage, *data.absorbed, low, high, pass.levels[0], pass.selections[thread]);
  }
}

arma::uword round_count(const RowPartition& partition) { return (partition.n_chunks + 1) / 2; }

// The rounds on one thread: both halves' chunks, then every level.
void sum_rounds_alone(const LogisticData& data, const arma::vec& beta, bool with_statistics,
                      HalvedPass& pass) {
  const arma::uword n_levels = data.absorbed->n_levels;
  for (arma::uword round = 0; round < round_count(pass.partition); ++round) {
    sum_round_chunk(data, beta, with_statistics, pass, 0, round);
    sum_round_chunk(data, beta, with_statistics, pass, 1, round);
    add_stages(data, pass, 0, 0, n_levels);
  }
}

// The rounds of one of two threads: its half's chunk, and once both are
// staged, its range of the levels.
void sum_rounds_of(const LogisticData& data, const arma::vec& beta, bool with_statistics, HalvedPass& pass,
                   unsigned half, RoundBarrier& barrier) {
  const arma::uword low = half == 0 ? 0 : pass.level_split;
  const arma::uword high = half == 0 ? pass.level_split : data.absorbed->n_levels;
  for (arma::uword round = 0; round < round_count(pass.partition); ++round) {
    sum_round_chunk(data, beta, with_statistics, pass, half, round);
    if (!barrier.wait()) {
      return;
    }
    add_stages(data, pass, half, low, high);
    if (!barrier.wait()) {
      return;
    }
  }
}

// The first level from which the levels have at least half the rows.
arma::uword balanced_level_split(const AbsorbedLevels& levels, arma::uword n_rows) {
  std::vector<arma::uword> counts(levels.n_levels, 0);
  for (arma::uword i = 0; i < n_rows; ++i) {
    ++counts[levels.codes[i]];
  }
  arma::uword so_far = 0;
  for (arma::uword level = 0; level < levels.n_levels; ++level) {
    so_far += counts[level];
    if (2 * so_far >= n_rows) {
      return level + 1;
    }
  }
  return levels.n_levels;
}

}  // namespace

HalvedPass make_halved_pass(const LogisticData& data, unsigned workers, const LevelPattern* pattern) {
  const arma::uword n = data.X.n_rows;
  const arma::uword q = coefficient_count(data);
  const arma::uword q_dense = dense_column_count(data.X);
  const RowPartition partition =
      q_dense == q ? partition_rows(n, q) : scattered_partition(partition_rows(n, q_dense), n, q);
  const arma::uword block_rows = std::min(partition.block_rows, std::max<arma::uword>(n, 1));
  HalvedPass pass{partition, std::clamp(workers, 1U, 2U), {}, {}, {}, {}, {}, {}, 0, false, {}};
  // Room for both halves first: growing a vector would copy the sums made
  // so far (Armadillo's moves are not noexcept), and the sums point into
  // the stages.
  pass.buffers.reserve(2);
  pass.partials.reserve(2);
  pass.halves.reserve(2);
  pass.levels.reserve(2);
  const bool staged = partition.n_chunks > 1;
  if (staged) {
    pass.stages.reserve(2);
    pass.selections.assign(2, std::vector<arma::uword>(partition.chunk_rows));
    pass.level_split = balanced_level_split(*data.absorbed, n);
  }
  for (unsigned half = 0; half < 2; ++half) {
    pass.buffers.push_back(make_block_buffer(block_rows, q_dense, q));
    pass.partials.push_back(q_dense < q ? zero_packed_sums(q) : zero_sums(q));
    pass.halves.push_back(zero_sums(q));
    // The first half's weights, scores and cross block are lent before
    // each pass (LevelElimination::lend_buffers): none of its own, not even
    // for a moment (an L-sized block made and freed here would set the
    // fit's peak). The second half's rows are staged: none either.
    pass.levels.push_back(zero_absorbed_sums(q_dense, 0, pattern));
    if (staged) {
      pass.stages.push_back(make_staged_level_rows(q_dense, partition.chunk_rows));
    }
  }
  if (staged) {
    for (unsigned half = 0; half < 2; ++half) {
      pass.levels[half].staged = &pass.stages[half];
    }
  }
  if (data.absorbed->further != nullptr) {
    for (AbsorbedSums& sums : pass.levels) {
      sums.further = zero_further_sums(q_dense, data.absorbed->further->n_levels());
    }
  }
  return pass;
}

void form_halved(const LogisticData& data, const arma::vec& beta, bool with_statistics, HalvedPass& pass) {
  if (pass.margins && pass.level_margins.empty()) {
    pass.level_margins.assign(2, zero_level_margin_sums(*data.absorbed));
  }
  reset_half(with_statistics, pass, 0);
  reset_half(with_statistics, pass, 1);
  if (pass.stages.empty()) {
    // One chunk: the first half's, its level sums added as its rows are.
    sum_chunk(data, beta, with_statistics, pass, 0, 0);
  } else {
    RoundBarrier barrier;
    std::exception_ptr second_failure;
    std::thread second;
    if (pass.workers > 1) {
      second = started([&] {
        try {
          sum_rounds_of(data, beta, with_statistics, pass, 1, barrier);
        } catch (...) {
          second_failure = std::current_exception();
          barrier.fail();
        }
      });
    }
    std::exception_ptr failure;
    try {
      if (second.joinable()) {
        sum_rounds_of(data, beta, with_statistics, pass, 0, barrier);
      } else {
        sum_rounds_alone(data, beta, with_statistics, pass);
      }
    } catch (...) {
      failure = std::current_exception();
      barrier.fail();
    }
    if (second.joinable()) {
      second.join();
    }
    if (failure || second_failure) {
      std::rethrow_exception(failure ? failure : second_failure);
    }
  }
  add_into(half_sums(with_statistics, pass, 0), half_sums(with_statistics, pass, 1));
  fill_upper_triangle(pass.halves[0].A);
}
