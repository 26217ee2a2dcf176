#include "design_blocks.hpp"

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "engine_input.hpp"

namespace py = pybind11;

namespace {

constexpr int aligned_flag = py::detail::npy_api::NPY_ARRAY_ALIGNED_;

// Element i of a block's tuple, which must be a NumPy array (not converted).
py::array array_item(const py::tuple& block, std::size_t i, const std::string& what) {
  const py::object item = block[i];
  if (!py::isinstance<py::array>(item)) {
    throw py::value_error(what + " must be a NumPy array");
  }
  return py::reinterpret_borrow<py::array>(item);
}

// A 1-D, contiguous, aligned array of exactly one of the given dtypes.
void require_vector(const py::array& array, const py::dtype& dtype, const std::string& what) {
  if (array.ndim() != 1 || !array.dtype().equal(dtype) ||
      (array.flags() & (py::array::c_style | aligned_flag)) != (py::array::c_style | aligned_flag)) {
    throw py::value_error(what + " must be a 1-D, contiguous, aligned " +
                          std::string(py::str(static_cast<const py::object&>(dtype))) + " array");
  }
}

// Each kind's reader: its tuple (checked to have the kind's arity) to the
// engine's block, and the number of rows it has.

DesignBlock dense_block(const py::tuple& block, arma::uword& n_rows) {
  const py::array X = array_item(block, 1, "a dense block");
  const Design dense = design_of(X, false);
  n_rows = dense.n_rows;
  return dense.blocks[0];
}

// Items 1-3 of a categorical or varying-slope block: its codes (checked to
// be in range), the number of levels and whether the first is dropped, as
// a CategoricalBlock.
CategoricalBlock read_codes(const py::tuple& block, const std::string& what, arma::uword& n_rows) {
  const py::array codes = array_item(block, 1, what + "'s codes");
  const auto levels = block[2].cast<std::int64_t>();
  const bool drop_first = block[3].cast<bool>();
  const auto width = static_cast<unsigned>(codes.itemsize());
  if (codes.ndim() != 1 || codes.dtype().kind() != 'i' || (width != 1 && width != 2 && width != 4)) {
    throw py::value_error(what + "'s codes must be a 1-D int8, int16 or int32 array");
  }
  require_vector(codes, codes.dtype(), what + "'s codes");
  if (levels < 1 || levels > std::numeric_limits<std::int32_t>::max()) {
    throw py::value_error(what + " must have at least one level");
  }
  n_rows = static_cast<arma::uword>(codes.shape(0));
  const arma::uword bad =
      first_code_out_of_range(codes.data(), width, n_rows, static_cast<arma::uword>(levels));
  if (bad != n_rows) {
    throw py::value_error(what + "'s code at row " + std::to_string(bad) + " is not in [0, " +
                          std::to_string(levels) + ")");
  }
  return CategoricalBlock{
      codes.data(),
      width,
      static_cast<arma::uword>(levels) - (drop_first ? 1 : 0),
      drop_first ? 1U : 0U,
  };
}

DesignBlock categorical_block(const py::tuple& block, arma::uword& n_rows) {
  return read_codes(block, "a categorical block", n_rows);
}

// The codes as a categorical block's, and the multiplier: float64, one a
// row, finite (a NaN or an infinity would reach every sum through its
// level's column, so it is refused here, once, never met in the kernel).
DesignBlock varying_slope_block(const py::tuple& block, arma::uword& n_rows) {
  const CategoricalBlock codes = read_codes(block, "a varying-slope block", n_rows);
  const py::array multiplier = array_item(block, 4, "a varying-slope block's multiplier");
  require_vector(multiplier, py::dtype::of<double>(), "a varying-slope block's multiplier");
  if (static_cast<arma::uword>(multiplier.shape(0)) != n_rows) {
    throw py::value_error("a varying-slope block's multiplier has " + std::to_string(multiplier.shape(0)) +
                          " values for " + std::to_string(n_rows) + " codes");
  }
  const auto* values = static_cast<const double*>(multiplier.data());
  const arma::uword bad = first_non_finite(values, n_rows);
  if (bad != n_rows) {
    throw py::value_error("a varying-slope block's multiplier has " +
                          std::string(std::isnan(values[bad]) ? "a NaN" : "an infinite") + " value at row " +
                          std::to_string(bad));
  }
  return VaryingSlopeBlock{codes.codes, codes.code_bytes, codes.n_cols, codes.first_level, values};
}

DesignBlock sparse_block(const py::tuple& block, arma::uword& n_rows) {
  const py::array data = array_item(block, 1, "a sparse block's data");
  const py::array indices = array_item(block, 2, "a sparse block's indices");
  const py::array indptr = array_item(block, 3, "a sparse block's indptr");
  const auto n_cols = block[4].cast<std::int64_t>();
  require_vector(data, py::dtype::of<double>(), "a sparse block's data");
  require_vector(indices, py::dtype::of<std::int32_t>(), "a sparse block's indices");
  // indptr is taken in either of scipy's widths, read in place: a copy to
  // int64 would be 8 bytes a row.
  const bool narrow_starts = indptr.dtype().equal(py::dtype::of<std::int32_t>());
  require_vector(indptr, narrow_starts ? py::dtype::of<std::int32_t>() : py::dtype::of<std::int64_t>(),
                 "a sparse block's indptr");
  if (indptr.shape(0) < 1 || n_cols < 0 || data.shape(0) != indices.shape(0)) {
    throw py::value_error("a sparse block needs indptr of n_rows + 1 and as many indices as values");
  }
  n_rows = static_cast<arma::uword>(indptr.shape(0) - 1);
  const void* row_starts = indptr.data();
  const unsigned row_start_bytes = narrow_starts ? 4 : 8;
  const auto* column_indices = static_cast<const std::int32_t*>(indices.data());
  const std::string problem =
      sparse_layout_problem(row_starts, row_start_bytes, column_indices, n_rows,
                            static_cast<arma::uword>(data.shape(0)), static_cast<arma::uword>(n_cols));
  if (!problem.empty()) {
    throw py::value_error("a sparse block is not valid CSR: " + problem);
  }
  return SparseBlock{
      static_cast<const double*>(data.data()), row_starts, row_start_bytes, column_indices,
      static_cast<arma::uword>(n_cols),
  };
}

// The kinds Python names, each with the length of its tuple and its reader:
// a new kind is a line here.
struct BlockKind {
  const char* name;
  std::size_t arity;
  DesignBlock (*read)(const py::tuple& block, arma::uword& n_rows);
};

constexpr BlockKind block_kinds[] = {
    {"dense", 2, dense_block},
    {"categorical", 4, categorical_block},
    {"sparse", 5, sparse_block},
    {"varying_slope", 5, varying_slope_block},
};

const BlockKind* block_kind(const std::string& name, std::size_t arity) {
  for (const BlockKind& kind : block_kinds) {
    if (name == kind.name && arity == kind.arity) {
      return &kind;
    }
  }
  return nullptr;
}

}  // namespace

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
    const py::object item = blocks[i];
    if (!py::isinstance<py::tuple>(item) || py::len(item) < 2) {
      throw py::value_error("each block must be a tuple of its kind and its arrays");
    }
    const auto block = py::reinterpret_borrow<py::tuple>(item);
    const auto name = block[0].cast<std::string>();
    const BlockKind* kind = block_kind(name, py::len(block));
    if (kind == nullptr) {
      throw py::value_error("unknown block kind or arity: " + name);
    }
    arma::uword n_rows = 0;
    const DesignBlock read = kind->read(block, n_rows);
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
