#include "normal_equations_pass.hpp"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <optional>
#include <stdexcept>
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

// The sums of request over sums (and robust, when formed), as pass_sums
// composes them.
PassSums requested_sums(const PassRequest& request, NormalSums& sums, RobustSums* robust,
                        const MeatSettings& meat) {
  PassSums out;
  if (request.normal_equations) {
    out.normal_equations = &sums;
  }
  if (request.statistics) {
    out.statistics = &sums.statistics;
  }
  if (request.margins) {
    out.margins = &sums.margins;
  }
  if (robust != nullptr) {
    out.robust = robust;
    out.meat = &meat;
  }
  return out;
}

struct PassOf {
  const LogisticData& data;
  const arma::vec& beta;
  const PassRequest& request;
  bool robust;  // request.robust, and workspace.meat forms something
};

void run_worker(const PassOf& pass, PassWorkspace& workspace, const PassSums& total, unsigned worker,
                std::atomic<arma::uword>& next_chunk, OrderedTotal& order) {
  const arma::uword n = pass.data.X.n_rows;
  const PassSums chunk_sums =
      requested_sums(pass.request, workspace.partials[worker],
                     pass.robust ? &workspace.robust_partials[worker] : nullptr, workspace.meat);
  // The level sums are added by the pass's one worker, straight into the
  // total, in row order (they are too large to keep per chunk).
  PassSums rows_into = chunk_sums;
  rows_into.levels = total.levels;
  rows_into.level_margins = total.level_margins;
  try {
    for (;;) {
      const arma::uword chunk = next_chunk.fetch_add(1);
      if (chunk >= workspace.partition.n_chunks) {
        return;
      }
      const RowRange rows = chunk_rows(workspace.partition, chunk, n);
      reset(chunk_sums, rows.begin);
      accumulate_rows(pass.data, pass.beta, rows, workspace.buffers[worker], rows_into);
      std::unique_lock<std::mutex> lock(order.mutex);
      order.turn.wait(lock, [&] { return order.added == chunk || order.failure; });
      if (order.failure) {
        return;
      }
      add_into(total, chunk_sums);
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

void sum_chunks_in_order(const PassOf& pass, PassWorkspace& workspace, const PassSums& total) {
  std::atomic<arma::uword> next_chunk{0};
  OrderedTotal order;
  std::vector<std::thread> helpers;
  helpers.reserve(workspace.workers - 1);
  for (unsigned worker = 1; worker < workspace.workers; ++worker) {
    try {
      helpers.emplace_back(run_worker, std::cref(pass), std::ref(workspace), std::cref(total), worker,
                           std::ref(next_chunk), std::ref(order));
    } catch (const std::system_error&) {
      break;  // no more threads to be had: the chunks are shared among those that started
    }
  }
  run_worker(pass, workspace, total, 0, next_chunk, order);
  for (std::thread& helper : helpers) {
    helper.join();
  }
  if (order.failure) {
    std::rethrow_exception(order.failure);
  }
}

}  // namespace

PassRequest loop_pass(bool with_statistics, bool with_meat) {
  PassRequest request;
  request.statistics = with_statistics;
  request.robust = with_meat;
  return request;
}

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

const NormalSums& form_pass(const LogisticData& data, const arma::vec& beta, const PassRequest& request,
                            PassWorkspace& workspace) {
  const bool robust = request.robust && workspace.meat.kind != MeatKind::none;
  PassSums total =
      requested_sums(request, workspace.total, robust ? &workspace.robust_total : nullptr, workspace.meat);
  if (request.normal_equations) {
    total.levels = workspace.absorbed;
  }
  if (request.margins) {
    total.level_margins = workspace.level_margins;
  }
  if ((total.levels != nullptr || total.level_margins != nullptr) && workspace.workers > 1) {
    throw std::logic_error("the sums by absorbed level are formed by a pass of one worker");
  }
  reset(total, 0);
  std::optional<SingleThreadedBlas> single_threaded;
  if (workspace.partition.single_threaded_blas) {
    single_threaded.emplace();
  }
  const arma::uword n = data.X.n_rows;
  if (workspace.partition.n_chunks == 1) {
    // A single chunk's sum is the total: no partial, no addition.
    accumulate_rows(data, beta, RowRange{0, n}, workspace.buffers[0], total);
  } else {
    // One worker is the caller's thread alone, taking the chunks in order.
    if (workspace.packed_partials) {
      workspace.partials.clear();
      for (unsigned worker = 0; worker < workspace.workers; ++worker) {
        workspace.partials.push_back(zero_packed_sums(workspace.total.b.n_elem));
      }
    }
    sum_chunks_in_order(PassOf{data, beta, request, robust}, workspace, total);
    if (workspace.packed_partials) {
      workspace.partials.clear();
    }
  }
  if (request.normal_equations) {
    fill_upper_triangle(workspace.total.A);
  }
  if (robust && !workspace.robust_total.meat.is_empty()) {
    fill_upper_triangle(workspace.robust_total.meat);
  }
  return workspace.total;
}
