#include "design_blocks.hpp"

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>

#include "engine_input.hpp"

namespace py = pybind11;

namespace {

constexpr int aligned_flag = py::detail::npy_api::NPY_ARRAY_ALIGNED_;

// A 1-D, contiguous, aligned array of exactly one of the given dtypes.
void require_vector(const py::array& array, const py::dtype& dtype, const std::string& what) {
  if (array.ndim() != 1 || !array.dtype().equal(dtype) ||
      (array.flags() & (py::array::c_style | aligned_flag)) != (py::array::c_style | aligned_flag)) {
    throw py::value_error(what + " must be a 1-D, contiguous, aligned " +
                          std::string(py::str(static_cast<const py::object&>(dtype))) + " array");
  }
}

DenseBlock dense_block_of(const py::array& values, arma::uword& n_rows) {
  const Design dense = design_of(values, false);
  n_rows = dense.n_rows;
  return std::get<DenseBlock>(dense.blocks[0]);
}

// The item as a block of the class Columns, when it is one: its engine
// block (its values checked) and its rows.
template <class Columns>
bool read_as(const py::handle& item, DesignBlock& block, arma::uword& n_rows) {
  if (!py::isinstance<Columns>(item)) {
    return false;
  }
  const auto& columns = item.cast<const Columns&>();
  block = columns.engine_block();
  n_rows = columns.n_rows();
  return true;
}

}  // namespace

DenseColumns::DenseColumns(py::array values)
    : values_(std::move(values)), n_rows_(0), block_(dense_block_of(values_, n_rows_)) {}

LevelCodes::LevelCodes(py::array codes, std::int64_t n_levels, bool drop_first, const char* what)
    : codes_(std::move(codes)), n_levels_(n_levels), drop_first_(drop_first), what_(what) {
  const std::string name(what);
  const auto width = static_cast<unsigned>(codes_.itemsize());
  if (codes_.ndim() != 1 || codes_.dtype().kind() != 'i' || (width != 1 && width != 2 && width != 4)) {
    throw py::value_error(name + "'s codes must be a 1-D int8, int16 or int32 array");
  }
  require_vector(codes_, codes_.dtype(), name + "'s codes");
  if (n_levels < 1 || n_levels > std::numeric_limits<std::int32_t>::max()) {
    throw py::value_error(name + " must have at least one level");
  }
}

CategoricalBlock LevelCodes::engine_codes() const {
  const auto width = static_cast<unsigned>(codes_.itemsize());
  const arma::uword rows = n_rows();
  const arma::uword bad =
      first_code_out_of_range(codes_.data(), width, rows, static_cast<arma::uword>(n_levels_));
  if (bad != rows) {
    throw py::value_error(std::string(what_) + "'s code at row " + std::to_string(bad) + " is not in [0, " +
                          std::to_string(n_levels_) + ")");
  }
  return CategoricalBlock{codes_.data(), width, n_cols(), drop_first_ ? 1U : 0U};
}

CategoricalColumns::CategoricalColumns(py::array codes, std::int64_t n_levels, bool drop_first)
    : LevelCodes(std::move(codes), n_levels, drop_first, "a categorical block") {}

VaryingSlopeColumns::VaryingSlopeColumns(py::array codes, std::int64_t n_levels, bool drop_first,
                                         py::array multiplier)
    : LevelCodes(std::move(codes), n_levels, drop_first, "a varying-slope block"),
      multiplier_(std::move(multiplier)) {
  require_vector(multiplier_, py::dtype::of<double>(), "a varying-slope block's multiplier");
  if (static_cast<arma::uword>(multiplier_.shape(0)) != n_rows()) {
    throw py::value_error("a varying-slope block's multiplier has " + std::to_string(multiplier_.shape(0)) +
                          " values for " + std::to_string(n_rows()) + " codes");
  }
}

DesignBlock VaryingSlopeColumns::engine_block() const {
  const CategoricalBlock codes = engine_codes();
  const auto* values = static_cast<const double*>(multiplier_.data());
  const arma::uword bad = first_non_finite(values, n_rows());
  if (bad != n_rows()) {
    throw py::value_error("a varying-slope block's multiplier has " +
                          std::string(std::isnan(values[bad]) ? "a NaN" : "an infinite") + " value at row " +
                          std::to_string(bad));
  }
  return VaryingSlopeBlock{codes.codes, codes.code_bytes, codes.n_cols, codes.first_level, values};
}

SparseColumns::SparseColumns(py::array data, py::array indices, py::array indptr, std::int64_t n_cols)
    : data_(std::move(data)), indices_(std::move(indices)), indptr_(std::move(indptr)), n_cols_(0) {
  require_vector(data_, py::dtype::of<double>(), "a sparse block's data");
  require_vector(indices_, py::dtype::of<std::int32_t>(), "a sparse block's indices");
  // indptr is taken in either of scipy's widths, read in place: a copy to
  // int64 would be 8 bytes a row.
  const bool narrow_starts = indptr_.dtype().equal(py::dtype::of<std::int32_t>());
  require_vector(indptr_, narrow_starts ? py::dtype::of<std::int32_t>() : py::dtype::of<std::int64_t>(),
                 "a sparse block's indptr");
  if (indptr_.shape(0) < 1 || n_cols < 0 || data_.shape(0) != indices_.shape(0)) {
    throw py::value_error("a sparse block needs indptr of n_rows + 1 and as many indices as values");
  }
  n_cols_ = static_cast<arma::uword>(n_cols);
}

DesignBlock SparseColumns::engine_block() const {
  const void* row_starts = indptr_.data();
  const unsigned row_start_bytes = indptr_.itemsize() == 4 ? 4 : 8;
  const auto* column_indices = static_cast<const std::int32_t*>(indices_.data());
  const std::string problem = sparse_layout_problem(row_starts, row_start_bytes, column_indices, n_rows(),
                                                    static_cast<arma::uword>(data_.shape(0)), n_cols_);
  if (!problem.empty()) {
    throw py::value_error("a sparse block is not valid CSR: " + problem);
  }
  return SparseBlock{
      static_cast<const double*>(data_.data()), row_starts, row_start_bytes, column_indices, n_cols_,
  };
}

Design design_of_blocks(const py::list& blocks, bool intercept) {
  if (blocks.empty()) {
    throw py::value_error("a design needs at least one block");
  }
  Design design{0, {}};
  if (intercept) {
    design.blocks.emplace_back(OnesBlock{});
  }
  bool scattered = false;
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    const py::handle item = blocks[i];
    // The classes of the kinds: a new kind is its class and a line here.
    DesignBlock read;
    arma::uword n_rows = 0;
    if (!read_as<DenseColumns>(item, read, n_rows) && !read_as<CategoricalColumns>(item, read, n_rows) &&
        !read_as<SparseColumns>(item, read, n_rows) && !read_as<VaryingSlopeColumns>(item, read, n_rows)) {
      throw py::type_error("block " + std::to_string(i) +
                           " is not a DenseBlock, CategoricalBlock, SparseBlock or VaryingSlopeBlock: " +
                           std::string(py::str(py::type::handle_of(item).attr("__name__"))));
    }
    if (scattered && !is_scattered(read)) {
      throw py::value_error(
          "the dense blocks must come before the categorical, sparse and varying-slope ones");
    }
    scattered = scattered || is_scattered(read);
    design.blocks.push_back(read);
    if (i > 0 && n_rows != design.n_rows) {
      throw py::value_error("block " + std::to_string(i) + " has " + std::to_string(n_rows) +
                            " rows; block 0 has " + std::to_string(design.n_rows));
    }
    design.n_rows = n_rows;
  }
  return design;
}
