#include "row_block.hpp"

BlockBuffer make_block_buffer(arma::uword block_rows, arma::uword q_dense, arma::uword q) {
  // The buffers of the sums that not every pass forms are made when a pass
  // first needs them.
  BlockBuffer buffer;
  buffer.rows.set_size(q_dense, block_rows);
  buffer.eta.set_size(block_rows);
  buffer.mu_then_weighted_z.set_size(block_rows);
  buffer.link_state.set_size(block_rows);
  buffer.root_weight.set_size(block_rows);
  buffer.scatter = make_scatter_scratch(q_dense, q);
  return buffer;
}
