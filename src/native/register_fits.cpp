#include <pybind11/stl.h>

#include "fit_entries.hpp"
#include "registrations.hpp"

namespace py = pybind11;

// The entries: the data positional, every option by keyword.
void register_fits(py::module_& m) {
  m.def("fit", &fit_entry, py::arg("X"), py::arg("y"), py::arg("sample_weight"), py::kw_only(),
        py::arg("options"), py::arg_v("covariance", CovarianceRequest(), "Covariance()"),
        py::arg("absorbed") = py::none(), py::arg("offset") = py::none(), py::arg("progress") = py::none(),
        "Fit a logistic regression by IRLS on a float64 X read in place, or a list of column blocks, by "
        "options (FitOptions), with the robust sums of covariance (Covariance); return its FitResult. With "
        "absorbed (Absorbed), its first column's levels are eliminated beside X's columns, on one thread, "
        "and its further columns solved for each update; the result then also has the levels' effects and "
        "weights, and the further columns' effects, stacked.");
  m.def("fit_chunked", &fit_chunked_entry, py::arg("passes"), py::kw_only(), py::arg("n_coefficients"),
        py::arg("tol"), py::arg("max_iter"), py::arg("progress") = py::none(), py::arg("penalty") = 0.0,
        py::arg("fit_intercept") = false, py::arg("meat") = MeatKind::none, py::arg("offset") = false,
        py::arg("margins") = false,
        "Fit a logistic regression by IRLS over rows held elsewhere, by the fit plan of the in-memory fit; "
        "return its FitResult. passes(beta, with_statistics, with_meat) sums the normal equations (and "
        "with_meat the robust sums of meat), passes.robust_pass(beta, inverse_information) the robust sums "
        "alone, and passes.null_model(beta, with_statistics) the intercept-only model's normal equations "
        "(with offset and fit_intercept). With margins, passes.form_margins() asks the passes from the next "
        "one on for their margin sums, and passes.margin_pass(beta) forms them alone.");
  m.def("normal_equations", &normal_equations_entry, py::arg("X"), py::arg("y"), py::arg("sample_weight"),
        py::arg("beta"), py::kw_only(), py::arg("fit_intercept"), py::arg("with_statistics"),
        py::arg("offset") = py::none(), py::arg_v("covariance", CovarianceRequest(), "Covariance()"),
        py::arg("inverse_information") = py::none(), py::arg("link") = LinkKind::logit,
        py::arg("levels") = py::none(), py::arg("margins") = false,
        "The weighted normal equations of X's rows at beta (one chunk of a distributed fit): A, b and, "
        "with statistics, the deviance and the rows fitted at exactly 0 or 1; with margins, the sums of "
        "the average marginal effects; with covariance (Covariance), its robust sums, the clusters coded "
        "by the chunk; with levels (a dict of the chunk's absorbed \"codes\", \"n_levels\", "
        "\"effects\" and, for robust sums, \"level_means\" and \"inverse_level_weights\"), the levels' sums "
        "too (and with margins those by level).");
  m.def("fit_chunked_absorbed", &fit_chunked_absorbed_entry, py::arg("passes"), py::kw_only(),
        py::arg("n_coefficients"), py::arg("n_levels"), py::arg("tol"), py::arg("max_iter"),
        py::arg("progress") = py::none(), py::arg("offset") = false, py::arg("meat") = MeatKind::none,
        py::arg("margins") = false,
        "Fit a logistic regression with one absorbed fixed effect by IRLS, by the fit plan, whose sums "
        "passes(beta, with_statistics, False, effects) forms elsewhere (the robust sums of meat "
        "passes.robust_pass(beta, inverse_information, effects=, level_means=, inverse_level_weights=), and "
        "with offset the null model's passes.null_model(beta, with_statistics)); return its FitResult. "
        "With margins, passes.form_margins() asks the passes from the next one on for their margin sums "
        "and those by level, and passes.margin_pass(beta, effects=) forms them alone.");
  m.def("blas_threads", &blas_threads_entry,
        "The number of threads the OpenBLAS behind the engine is currently set to use.");
}
