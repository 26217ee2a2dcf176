#include "normal_equations_pass.hpp"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

#include "blas_threads.hpp"

namespace {

// The chunks' sums, added to the total strictly in chunk order.
struct OrderedTotal {
  std::mutex mutex;
  std::condition_variable turn;
  arma::uword added = 0;
  std::exception_ptr failure;
};

void run_worker(const LogisticData& data, const arma::vec& beta, bool with_statistics, bool with_meat,
                PassWorkspace& workspace, unsigned worker, std::atomic<arma::uword>& next_chunk,
                OrderedTotal& order) {
  const arma::uword n = data.X.n_rows;
  NormalSums& partial = workspace.partials[worker];
  try {
    for (;;) {
      const arma::uword chunk = next_chunk.fetch_add(1);
      if (chunk >= workspace.partition.n_chunks) {
        return;
      }
      reset(partial);
      const RowRange rows = chunk_rows(workspace.partition, chunk, n);
      RobustSums* robust = with_meat ? &workspace.robust_partials[worker] : nullptr;
      if (robust != nullptr) {
        reset(*robust, rows.begin);
      }
      accumulate_normal_equations(data, beta, rows, with_statistics, workspace.buffers[worker], partial,
                                  &workspace.meat, robust, workspace.absorbed);
      std::unique_lock<std::mutex> lock(order.mutex);
      order.turn.wait(lock, [&] { return order.added == chunk || order.failure; });
      if (order.failure) {
        return;
      }
      add_into(workspace.total, partial);
      if (robust != nullptr) {
        add_into(workspace.robust_total, *robust, workspace.meat);
      }
      ++order.added;
      order.turn.notify_all();
    }
  } catch (...) {
    const std::lock_guard<std::mutex> lock(order.mutex);
    if (!order.failure) {
      order.failure = std::current_exception();
    }
    order.turn.notify_all();
  }
}

void sum_chunks_in_order(const LogisticData& data, const arma::vec& beta, bool with_statistics,
                         bool with_meat, PassWorkspace& workspace) {
  std::atomic<arma::uword> next_chunk{0};
  OrderedTotal order;
  std::vector<std::thread> helpers;
  helpers.reserve(workspace.workers - 1);
  for (unsigned worker = 1; worker < workspace.workers; ++worker) {
    try {
      helpers.emplace_back(run_worker, std::cref(data), std::cref(beta), with_statistics, with_meat,
                           std::ref(workspace), worker, std::ref(next_chunk), std::ref(order));
    } catch (const std::system_error&) {
      break;  // no more threads to be had: the chunks are shared among those that started
    }
  }
  run_worker(data, beta, with_statistics, with_meat, workspace, 0, next_chunk, order);
  for (std::thread& helper : helpers) {
    helper.join();
  }
  if (order.failure) {
    std::rethrow_exception(order.failure);
  }
}

}  // namespace

PassWorkspace make_pass_workspace(const LogisticData& data, unsigned workers) {
  const arma::uword n = data.X.n_rows;
  const arma::uword q = coefficient_count(data);
  // Blocks and chunks are sized by the columns copied into the block buffer:
  // the scattered blocks' columns take no room there.
  const arma::uword q_dense = dense_column_count(data.X);
  const RowPartition partition =
      q_dense == q ? partition_rows(n, q) : scattered_partition(partition_rows(n, q_dense), n, q);
  const unsigned used = static_cast<unsigned>(std::clamp<arma::uword>(workers, 1, partition.n_chunks));
  const arma::uword block_rows = std::min(partition.block_rows, std::max<arma::uword>(n, 1));
  PassWorkspace workspace{partition, used, {}, {}, zero_sums(q), MeatSettings(), {}, RobustSums()};
  workspace.buffers.reserve(used);
  for (unsigned worker = 0; worker < used; ++worker) {
    workspace.buffers.push_back(make_block_buffer(block_rows, q_dense, q));
  }
  workspace.packed_partials = q_dense < q;
  if (partition.n_chunks > 1 && !workspace.packed_partials) {
    workspace.partials.reserve(used);
    for (unsigned worker = 0; worker < used; ++worker) {
      workspace.partials.push_back(zero_sums(q));
    }
  }
  return workspace;
}

void set_meat(PassWorkspace& workspace, arma::uword q, const MeatSettings& meat) {
  workspace.meat = meat;
  const arma::uword q_dense = workspace.buffers.front().rows.n_rows;
  workspace.robust_total = make_robust_sums(meat, q, q_dense, false, 0);
  workspace.robust_partials.clear();
  if (workspace.partition.n_chunks > 1) {
    for (unsigned worker = 0; worker < workspace.workers; ++worker) {
      workspace.robust_partials.push_back(
          make_robust_sums(meat, q, q_dense, true, workspace.partition.chunk_rows));
    }
  }
}

const NormalSums& form_normal_equations(const LogisticData& data, const arma::vec& beta, bool with_statistics,
                                        PassWorkspace& workspace, bool with_meat) {
  reset(workspace.total);
  if (workspace.absorbed != nullptr) {
    reset(*workspace.absorbed);
  }
  with_meat = with_meat && workspace.meat.kind != MeatKind::none;
  if (with_meat) {
    reset(workspace.robust_total, 0);
  }
  std::optional<SingleThreadedBlas> single_threaded;
  if (workspace.partition.single_threaded_blas) {
    single_threaded.emplace();
  }
  const arma::uword n = data.X.n_rows;
  if (workspace.partition.n_chunks == 1) {
    // A single chunk's sum is the total: no partial, no addition.
    accumulate_normal_equations(data, beta, RowRange{0, n}, with_statistics, workspace.buffers[0],
                                workspace.total, &workspace.meat,
                                with_meat ? &workspace.robust_total : nullptr, workspace.absorbed);
  } else {
    // One worker is the caller's thread alone, taking the chunks in order.
    if (workspace.packed_partials) {
      workspace.partials.clear();
      for (unsigned worker = 0; worker < workspace.workers; ++worker) {
        workspace.partials.push_back(zero_packed_sums(workspace.total.b.n_elem));
      }
    }
    sum_chunks_in_order(data, beta, with_statistics, with_meat, workspace);
    if (workspace.packed_partials) {
      workspace.partials.clear();
    }
  }
  fill_upper_triangle(workspace.total.A);
  if (with_meat && !workspace.robust_total.meat.is_empty()) {
    fill_upper_triangle(workspace.robust_total.meat);
  }
  return workspace.total;
}
