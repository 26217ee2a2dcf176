#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <cstddef>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "fit_result.hpp"
#include "registrations.hpp"

namespace py = pybind11;

namespace {

// A field as a Python object (an array is one already).
template <class Field>
py::object as_object(const Field& value) {
  if constexpr (std::is_base_of_v<py::handle, Field>) {
    return py::reinterpret_borrow<py::object>(value);
  } else {
    return py::cast(value);
  }
}

// The fields as a dict by name: the pickled state, and what replace() starts from.
template <class Record>
py::dict state_of(const Record& record) {
  py::dict state;
  Record::for_each_field([&](const char* name, auto member) { state[name] = as_object(record.*member); });
  return state;
}

// A record of state's fields; TypeError (pybind11's cast error) for a value
// of the wrong type, KeyError for a field missing.
template <class Record>
Record record_of(const py::dict& state) {
  Record record;
  Record::for_each_field([&](const char* name, auto member) {
    using Field = std::decay_t<decltype(record.*member)>;
    record.*member = state[name].template cast<Field>();
  });
  return record;
}

// A copy with the fields named in changes replaced, as dataclasses.replace
// makes one: the record itself stays as the fit made it.
template <class Record>
Record replaced(const Record& record, const py::kwargs& changes, const std::string& class_name) {
  py::dict state = state_of(record);
  for (const auto& [name, value] : changes) {
    if (!state.contains(name)) {
      throw py::type_error(class_name + " has no field " + std::string(py::str(name)));
    }
    state[name] = value;
  }
  return record_of<Record>(state);
}

// A result class: its fields as read-only attributes, replace() and pickling,
// all from the record's one list of fields.
template <class Record>
py::class_<Record> register_record(py::module_& m, const char* name, const char* doc) {
  py::class_<Record> record(m, name, doc);
  Record::for_each_field([&](const char* field, auto member) { record.def_readonly(field, member); });
  const std::string class_name = name;
  record
      .def(
          "replace",
          [class_name](const Record& value, const py::kwargs& changes) {
            return replaced(value, changes, class_name);
          },
          "A copy with the given fields replaced.")
      .def(py::pickle([](const Record& value) { return state_of(value); },
                      [](const py::dict& state) { return record_of<Record>(state); }));
  return record;
}

}  // namespace

// The records of the modes some fits have come first, so that FitResult's
// signatures name their classes.
void register_results(py::module_& m) {
  register_record<NativeRobustSums>(
      m, "RobustSums",
      "A fit's robust sums at its last_pass_coefficients (FitResult.robust): meats, the meat or one per "
      "clustering, and hat_one_rows, the rows whose hat value is 1. Read-only; it pickles.")
      // The estimator also makes one: the sandwich of an absorbed fit that
      // Python forms from the features partialled out of every absorbed column.
      .def(py::init([](std::vector<py::array_t<double>> meats, std::vector<arma::uword> hat_one_rows) {
             return NativeRobustSums{std::move(meats), std::move(hat_one_rows)};
           }),
           py::kw_only(), py::arg("meats"), py::arg("hat_one_rows"));
  register_record<NativeAbsorbedEffects>(
      m, "AbsorbedEffects",
      "A fit's absorbed levels (FitResult.absorbed): their effects and weights, and the further columns' "
      "effects (stacked; None without) with the updates whose solve of them missed its tolerance. "
      "Read-only; it pickles.");
  register_record<NativeFitResult>(
      m, "FitResult",
      "What fit, fit_chunked and fit_chunked_absorbed return: the coefficients, the loop's record and "
      "what its last pass summed, as read-only attributes (None where a fit forms none: robust without "
      "robust sums, absorbed without absorbed levels). It pickles.");
}
