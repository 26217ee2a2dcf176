// The design matrix as the kernel reads it: blocks of columns side by side,
// each of one kind, read in place from the caller's memory. Each kind is a
// unit of its own (ones_block.hpp, dense_block.hpp, categorical_block.hpp,
// sparse_block.hpp, varying_slope_block.hpp): a record of what it reads and
// the operations the pass needs of it, as free functions overloaded on the
// record. A kind is one of two sorts, by its constant `scattered`:
//
//   copied (scattered false): copy_rows(block, n_rows, first, m, offset, q,
//     out) writes its columns of a block of rows into the block buffer,
//     where the BLAS forms X beta, b and X'WX (pass_sums.cpp, normal_equations.cpp);
//   scattered (true): its rows are short lists of entries that go straight
//     into the sums, touching no zero (scattered_blocks.hpp): add_eta,
//     count_entries, write_entries and for_each_row.
//
// The copied blocks come first. The pass visits each block once per block
// of rows (for_each_block), never per row, so each kind's loop is compiled
// for that kind alone. A new kind is its unit and its line in DesignBlock
// (and, for Python, its class in src/bindings/design_blocks.* with its registration in
// src/native/register_blocks.cpp).
#pragma once

#include <armadillo>
#include <type_traits>
#include <variant>
#include <vector>

#include "categorical_block.hpp"
#include "dense_block.hpp"
#include "ones_block.hpp"
#include "sparse_block.hpp"
#include "varying_slope_block.hpp"

// The column kinds.
using DesignBlock = std::variant<OnesBlock, DenseBlock, CategoricalBlock, SparseBlock, VaryingSlopeBlock>;

struct Design {
  arma::uword n_rows;               // observations
  std::vector<DesignBlock> blocks;  // in the order of the coefficients
};

// True for a kind whose rows are added straight into the sums.
template <class Kind>
constexpr bool is_scattered_kind = std::decay_t<Kind>::scattered;

bool is_scattered(const DesignBlock& block);
arma::uword column_count(const DesignBlock& block);

// f(block, offset) for each block as its own kind, offset its first coefficient.
template <class F>
void for_each_block(const Design& design, F&& f) {
  arma::uword offset = 0;
  for (const DesignBlock& block : design.blocks) {
    std::visit([&](const auto& kind) { f(kind, offset); }, block);
    offset += column_count(block);
  }
}

// The same over the leading copied blocks only (it stops at the first
// scattered one: the copied blocks are the first dense_column_count
// coefficients, the block buffer's rows), and over the scattered ones only:
// f is compiled for those kinds alone.
template <class F>
void for_each_copied_block(const Design& design, F&& f) {
  arma::uword offset = 0;
  for (const DesignBlock& block : design.blocks) {
    if (is_scattered(block)) {
      return;
    }
    std::visit(
        [&](const auto& kind) {
          if constexpr (!is_scattered_kind<decltype(kind)>) {
            f(kind, offset);
          }
        },
        block);
    offset += column_count(block);
  }
}

template <class F>
void for_each_scattered_block(const Design& design, F&& f) {
  for_each_block(design, [&](const auto& block, arma::uword offset) {
    if constexpr (is_scattered_kind<decltype(block)>) {
      f(block, offset);
    }
  });
}

// The number of columns of all blocks: the coefficients of the model.
arma::uword column_count(const Design& design);

// The columns of the leading copied blocks: those the kernel copies into
// its block buffer. Equal to column_count for a design of those alone.
arma::uword dense_column_count(const Design& design);

// n_rows x n_cols doubles at memory, after a column of ones when intercept.
Design dense_design(const double* memory, arma::uword n_rows, arma::uword n_cols, bool row_major,
                    bool intercept);

// X (n x p) as Armadillo holds it: column by column.
Design design_of(const arma::mat& X);

// Xt (p x n), column-major, is the memory of X (n x p) in row-major order.
Design design_of_transpose(const arma::mat& Xt);
