// A design of several column kinds from Python: a list of quorvi._native's
// block objects (registered in src/native/register_blocks.cpp), one class
// per kind, in the order of the coefficients:
//   DenseBlock(values)                          values: 2-D float64, C or F order
//   CategoricalBlock(codes, n_levels, drop_first)
//                                               codes: 1-D int8/16/32, contiguous
//   SparseBlock(data, indices, indptr, n_cols)  CSR: float64, int32, int32 or int64
//   VaryingSlopeBlock(codes, n_levels, drop_first, multiplier)
//                                               codes as a categorical's; multiplier:
//                                               1-D float64, contiguous, finite
// The dense blocks come before the others. A block holds its arrays, and the
// kernel reads them in place for as long as the block is alive, so nothing
// here converts an array (a temporary copy would be gone before the kernel
// reads it): a block of any other layout is refused where it is made
// (ValueError). Its values (codes and column indices in range, a finite
// multiplier) are checked each time a fit reads the block, since the arrays
// stay writable after it is made and a code out of range would make the
// kernel read and write outside its sums (checked here, so that the kernel
// never does).
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>

#include "design.hpp"

// The dense columns: validated once, as nothing in their values can make
// the kernel read out of range.
class DenseColumns {
 public:
  explicit DenseColumns(pybind11::array values);
  const pybind11::array& values() const { return values_; }
  arma::uword n_rows() const { return n_rows_; }
  arma::uword n_cols() const { return block_.n_cols; }
  DesignBlock engine_block() const { return block_; }

 private:
  pybind11::array values_;
  arma::uword n_rows_;
  DenseBlock block_;
};

// A categorical's codes of n_levels levels, the first left out (the
// reference) when drop_first. A varying slope's codes are the same.
class LevelCodes {
 public:
  // what names the block in messages ("a categorical block").
  LevelCodes(pybind11::array codes, std::int64_t n_levels, bool drop_first, const char* what);
  const pybind11::array& codes() const { return codes_; }
  std::int64_t n_levels() const { return n_levels_; }
  bool drop_first() const { return drop_first_; }
  arma::uword n_rows() const { return static_cast<arma::uword>(codes_.shape(0)); }
  arma::uword n_cols() const { return static_cast<arma::uword>(n_levels_) - (drop_first_ ? 1 : 0); }
  // The engine's block, once every code is checked to be in [0, n_levels).
  CategoricalBlock engine_codes() const;

 private:
  pybind11::array codes_;
  std::int64_t n_levels_;
  bool drop_first_;
  const char* what_;
};

class CategoricalColumns : public LevelCodes {
 public:
  CategoricalColumns(pybind11::array codes, std::int64_t n_levels, bool drop_first);
  DesignBlock engine_block() const { return engine_codes(); }
};

class VaryingSlopeColumns : public LevelCodes {
 public:
  VaryingSlopeColumns(pybind11::array codes, std::int64_t n_levels, bool drop_first,
                      pybind11::array multiplier);
  const pybind11::array& multiplier() const { return multiplier_; }
  // Once the codes are in range and every multiplier finite (a NaN or an
  // infinity would reach every sum through its level's column).
  DesignBlock engine_block() const;

 private:
  pybind11::array multiplier_;
};

class SparseColumns {
 public:
  SparseColumns(pybind11::array data, pybind11::array indices, pybind11::array indptr, std::int64_t n_cols);
  const pybind11::array& data() const { return data_; }
  const pybind11::array& indices() const { return indices_; }
  const pybind11::array& indptr() const { return indptr_; }
  arma::uword n_rows() const { return static_cast<arma::uword>(indptr_.shape(0) - 1); }
  arma::uword n_cols() const { return n_cols_; }
  // Once the row pointers and column indices are valid CSR.
  DesignBlock engine_block() const;

 private:
  pybind11::array data_;
  pybind11::array indices_;
  pybind11::array indptr_;
  arma::uword n_cols_;
};

// The design of the blocks, after a column of ones when intercept. TypeError
// for an item that is no block; ValueError for blocks out of order, of
// different row counts or with values out of range.
Design design_of_blocks(const pybind11::list& blocks, bool intercept);
