#include "row_partition.hpp"

#include <algorithm>

namespace {

// A block of X of about 512 KiB stays in the L2 cache of current x86-64
// server cores (or their share of L3) while it is scaled and multiplied.
// Fewer than 512 rows make each symmetric rank-k update too thin to run at
// the BLAS's full speed (it rewrites the whole q x q sum per block); more
// than 4,096 gain nothing for narrow X. Measured on 100,000 x 50 to
// 200,000 x 200: 256 KiB blocks were up to 10 % slower at 200 columns.
constexpr arma::uword block_bytes = arma::uword{512} << 10;
constexpr arma::uword min_block_rows = 512;
constexpr arma::uword max_block_rows = 4096;

// A chunk of four blocks keeps the ordered addition of one q x q partial sum
// per chunk well under one per cent of the chunk's own arithmetic.
constexpr arma::uword blocks_per_chunk = 4;

// Up to 512 coefficients a block's products take well under a millisecond,
// and OpenBLAS's threads cost more than they give on them (measured: two
// threads a third slower than one at 100,000 x 50, and on a busy machine a
// hundred times slower at 2,000 x 5, where every call waits for a
// descheduled thread): the BLAS runs single-threaded and the rows are split
// into chunks for our workers. From 512 on, a block is a large product that
// the BLAS spreads over its own threads about as well as our workers would,
// and a partial sum per worker would cost megabytes: one chunk.
constexpr arma::uword max_chunked_q = 512;

}  // namespace

bool single_threaded_blas_for(arma::uword q) { return q <= max_chunked_q; }

RowPartition partition_rows(arma::uword n, arma::uword q) {
  const bool chunked = single_threaded_blas_for(q);
  const arma::uword fitting = block_bytes / (sizeof(double) * std::max<arma::uword>(q, 1));
  // A wide design's block is a large product already at fewer rows, and its
  // memory (block_rows x q) counts against the fit's: half the rows there.
  const arma::uword fewest_rows = chunked ? min_block_rows : min_block_rows / 2;
  const arma::uword block_rows = std::clamp(fitting, fewest_rows, max_block_rows);
  const arma::uword chunk_rows = block_rows * blocks_per_chunk;
  const arma::uword n_chunks = chunked ? std::max<arma::uword>(1, (n + chunk_rows - 1) / chunk_rows) : 1;
  return RowPartition{
      block_rows,
      n_chunks == 1 ? std::max<arma::uword>(n, 1) : chunk_rows,
      n_chunks,
      chunked,
  };
}

RowRange chunk_rows(const RowPartition& partition, arma::uword chunk, arma::uword n) {
  const arma::uword begin = std::min(n, chunk * partition.chunk_rows);
  return RowRange{begin, std::min(n, begin + partition.chunk_rows)};
}
