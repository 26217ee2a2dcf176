#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <cstddef>
#include <string>
#include <type_traits>

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
py::dict state_of(const NativeFitResult& result) {
  py::dict state;
  for_each_field([&](const char* name, auto member) { state[name] = as_object(result.*member); });
  return state;
}

// A result of state's fields; TypeError (pybind11's cast error) for a value
// of the wrong type, KeyError for a field missing.
NativeFitResult result_of(const py::dict& state) {
  NativeFitResult result;
  for_each_field([&](const char* name, auto member) {
    using Field = std::decay_t<decltype(result.*member)>;
    result.*member = state[name].template cast<Field>();
  });
  return result;
}

// A copy with the fields named in changes replaced, as dataclasses.replace
// makes one: the result itself stays as the fit made it.
NativeFitResult replaced(const NativeFitResult& result, const py::kwargs& changes) {
  py::dict state = state_of(result);
  for (const auto& [name, value] : changes) {
    if (!state.contains(name)) {
      throw py::type_error("FitResult has no field " + std::string(py::str(name)));
    }
    state[name] = value;
  }
  return result_of(state);
}

}  // namespace

void register_results(py::module_& m) {
  py::class_<NativeFitResult> result(
      m, "FitResult",
      "What fit, fit_chunked and fit_chunked_absorbed return: the coefficients, the loop's record and "
      "what its last pass summed, as read-only attributes (None where a fit forms none). It pickles.");
  for_each_field([&](const char* name, auto member) { result.def_readonly(name, member); });
  result.def("replace", &replaced, "A copy with the given fields replaced.")
      .def(py::pickle([](const NativeFitResult& fit) { return state_of(fit); },
                      [](const py::dict& state) { return result_of(state); }));
}
