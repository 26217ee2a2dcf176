#include <pybind11/numpy.h>

#include <cstdint>

#include "design_blocks.hpp"
#include "registrations.hpp"

namespace py = pybind11;

// One class per column kind, each holding the arrays its block reads in
// place (design_blocks.hpp), with its parts as read-only properties.
void register_blocks(py::module_& m) {
  py::class_<DenseColumns>(m, "DenseBlock",
                           "Dense columns: a 2-D float64 array in C or F order, at any alignment.")
      .def(py::init<py::array>(), py::arg("values"))
      .def_property_readonly("values", &DenseColumns::values)
      .def_property_readonly("n_rows", &DenseColumns::n_rows)
      .def_property_readonly("n_cols", &DenseColumns::n_cols);
  py::class_<CategoricalColumns>(m, "CategoricalBlock",
                                 "A categorical column: one int8, int16 or int32 code per row in "
                                 "[0, n_levels), one column per level, the first left out when drop_first.")
      .def(py::init<py::array, std::int64_t, bool>(), py::arg("codes"), py::arg("n_levels"),
           py::arg("drop_first"))
      .def_property_readonly("codes", &CategoricalColumns::codes)
      .def_property_readonly("n_levels", &CategoricalColumns::n_levels)
      .def_property_readonly("drop_first", &CategoricalColumns::drop_first)
      .def_property_readonly("n_rows", &CategoricalColumns::n_rows)
      .def_property_readonly("n_cols", &CategoricalColumns::n_cols);
  py::class_<VaryingSlopeColumns>(m, "VaryingSlopeBlock",
                                  "A slope per level: a categorical's columns, each row's indicator times "
                                  "its finite float64 multiplier.")
      .def(py::init<py::array, std::int64_t, bool, py::array>(), py::arg("codes"), py::arg("n_levels"),
           py::arg("drop_first"), py::arg("multiplier"))
      .def_property_readonly("codes", &VaryingSlopeColumns::codes)
      .def_property_readonly("n_levels", &VaryingSlopeColumns::n_levels)
      .def_property_readonly("drop_first", &VaryingSlopeColumns::drop_first)
      .def_property_readonly("multiplier", &VaryingSlopeColumns::multiplier)
      .def_property_readonly("n_rows", &VaryingSlopeColumns::n_rows)
      .def_property_readonly("n_cols", &VaryingSlopeColumns::n_cols);
  py::class_<SparseColumns>(m, "SparseBlock",
                            "Sparse columns in CSR: float64 data, int32 indices increasing within each row, "
                            "int32 or int64 indptr of n_rows + 1.")
      .def(py::init<py::array, py::array, py::array, std::int64_t>(), py::arg("data"), py::arg("indices"),
           py::arg("indptr"), py::arg("n_cols"))
      .def_property_readonly("data", &SparseColumns::data)
      .def_property_readonly("indices", &SparseColumns::indices)
      .def_property_readonly("indptr", &SparseColumns::indptr)
      .def_property_readonly("n_rows", &SparseColumns::n_rows)
      .def_property_readonly("n_cols", &SparseColumns::n_cols);
}
