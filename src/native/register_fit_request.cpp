#include <pybind11/stl.h>

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "fit_request.hpp"
#include "registrations.hpp"

namespace py = pybind11;

// Each part of a fit request a class with keyword construction and
// read-only fields: made once by the caller, checked by the fit that reads it.
void register_fit_request(py::module_& m) {
  py::class_<FitOptions>(m, "FitOptions", "The loop's options of quorvi._native.fit.")
      .def(py::init([](bool fit_intercept, double tol, std::int32_t max_iter, int n_threads, double penalty,
                       LinkKind link) {
             return FitOptions{fit_intercept, tol, max_iter, n_threads, penalty, link};
           }),
           py::kw_only(), py::arg("fit_intercept"), py::arg("tol"), py::arg("max_iter"), py::arg("n_threads"),
           py::arg("penalty") = 0.0, py::arg("link") = LinkKind::logit)
      .def_readonly("fit_intercept", &FitOptions::fit_intercept)
      .def_readonly("tol", &FitOptions::tol)
      .def_readonly("max_iter", &FitOptions::max_iter)
      .def_readonly("n_threads", &FitOptions::n_threads)
      .def_readonly("penalty", &FitOptions::penalty)
      .def_readonly("link", &FitOptions::link);
  py::class_<CovarianceRequest>(m, "Covariance",
                                "The robust sums quorvi._native.fit forms after its loop: meat, the hat "
                                "values' power and HC4's n (hat_rows), the clusterings as (int64 codes, "
                                "n_groups), and whether the clusters are the absorbed levels.")
      .def(py::init([](MeatKind meat, double hat_power, double hat_rows, py::list clusters,
                       bool clusters_are_levels) {
             return CovarianceRequest{meat, hat_power, hat_rows, std::move(clusters), clusters_are_levels};
           }),
           py::kw_only(), py::arg("meat") = MeatKind::none, py::arg("hat_power") = 1.0,
           py::arg("hat_rows") = 0.0, py::arg("clusters") = py::list(),
           py::arg("clusters_are_levels") = false)
      .def_readonly("meat", &CovarianceRequest::meat)
      .def_readonly("hat_power", &CovarianceRequest::hat_power)
      .def_readonly("hat_rows", &CovarianceRequest::hat_rows)
      .def_readonly("clusters", &CovarianceRequest::clusters)
      .def_readonly("clusters_are_levels", &CovarianceRequest::clusters_are_levels);
  py::class_<AbsorbedRequest>(m, "Absorbed",
                              "The absorbed columns of quorvi._native.fit: the first's int32 or int64 codes "
                              "in [0, n_levels), kept_levels (bool, one per level: the rows of the levels "
                              "marked False left out), and further columns' codes with their level counts.")
      .def(py::init([](py::array codes, std::int64_t n_levels, std::optional<py::array> kept_levels,
                       py::list further_codes, std::vector<std::int64_t> further_levels) {
             return AbsorbedRequest{
                 std::move(codes),          n_levels, std::move(kept_levels), std::move(further_codes),
                 std::move(further_levels),
             };
           }),
           py::kw_only(), py::arg("codes"), py::arg("n_levels"), py::arg("kept_levels") = py::none(),
           py::arg("further_codes") = py::list(), py::arg("further_levels") = std::vector<std::int64_t>())
      .def_readonly("codes", &AbsorbedRequest::codes)
      .def_readonly("n_levels", &AbsorbedRequest::n_levels)
      .def_readonly("kept_levels", &AbsorbedRequest::kept_levels)
      .def_readonly("further_codes", &AbsorbedRequest::further_codes)
      .def_readonly("further_levels", &AbsorbedRequest::further_levels);
}
