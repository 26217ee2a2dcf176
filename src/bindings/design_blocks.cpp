#include "design_blocks.hpp"

#include <cstdint>
#include <limits>
#include <string>

#include "categorical_block.hpp"
#include "engine_input.hpp"
#include "sparse_block.hpp"

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

DesignBlock categorical_block(const py::tuple& block, arma::uword& n_rows) {
  const py::array codes = array_item(block, 1, "a categorical block's codes");
  const auto levels = block[2].cast<std::int64_t>();
  const bool drop_first = block[3].cast<bool>();
  const auto width = static_cast<unsigned>(codes.itemsize());
  if (codes.ndim() != 1 || codes.dtype().kind() != 'i' || (width != 1 && width != 2 && width != 4)) {
    throw py::value_error("a categorical block's codes must be a 1-D int8, int16 or int32 array");
  }
  require_vector(codes, codes.dtype(), "a categorical block's codes");
  if (levels < 1 || levels > std::numeric_limits<std::int32_t>::max()) {
    throw py::value_error("a categorical block must have at least one level");
  }
  n_rows = static_cast<arma::uword>(codes.shape(0));
  const arma::uword bad =
      first_code_out_of_range(codes.data(), width, n_rows, static_cast<arma::uword>(levels));
  if (bad != n_rows) {
    throw py::value_error("a categorical block's code at row " + std::to_string(bad) + " is not in [0, " +
                          std::to_string(levels) + ")");
  }
  DesignBlock result{
      ColumnKind::categorical,
      nullptr,
      static_cast<arma::uword>(levels) - (drop_first ? 1 : 0),
      false,
  };
  result.codes = codes.data();
  result.code_bytes = width;
  result.first_level = drop_first ? 1 : 0;
  return result;
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
  DesignBlock result{
      ColumnKind::sparse,
      static_cast<const double*>(data.data()),
      static_cast<arma::uword>(n_cols),
      true,
  };
  result.row_starts = row_starts;
  result.row_start_bytes = row_start_bytes;
  result.column_indices = column_indices;
  return result;
}

}  // namespace

Design design_of_blocks(const py::list& blocks, bool intercept) {
  if (blocks.empty()) {
    throw py::value_error("a design needs at least one block");
  }
  Design design{0, {}};
  if (intercept) {
    design.blocks.push_back(DesignBlock{ColumnKind::ones, nullptr, 1, false});
  }
  bool scattered = false;
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    const py::object item = blocks[i];
    if (!py::isinstance<py::tuple>(item) || py::len(item) < 2) {
      throw py::value_error("each block must be a tuple of its kind and its arrays");
    }
    const auto block = py::reinterpret_borrow<py::tuple>(item);
    const auto kind = block[0].cast<std::string>();
    arma::uword n_rows = 0;
    if (kind == "dense" && py::len(block) == 2) {
      if (scattered) {
        throw py::value_error("the dense blocks must come before the categorical and sparse ones");
      }
      const py::array X = array_item(block, 1, "a dense block");
      const Design dense = design_of(X, false);
      n_rows = dense.n_rows;
      design.blocks.push_back(dense.blocks[0]);
    } else if (kind == "categorical" && py::len(block) == 4) {
      scattered = true;
      design.blocks.push_back(categorical_block(block, n_rows));
    } else if (kind == "sparse" && py::len(block) == 5) {
      scattered = true;
      design.blocks.push_back(sparse_block(block, n_rows));
    } else {
      throw py::value_error("unknown block kind or arity: " + kind);
    }
    if (i > 0 && n_rows != design.n_rows) {
      throw py::value_error("block " + std::to_string(i) + " has " + std::to_string(n_rows) +
                            " rows; block 0 has " + std::to_string(design.n_rows));
    }
    design.n_rows = n_rows;
  }
  return design;
}
