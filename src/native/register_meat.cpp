#include "registrations.hpp"
#include "robust_sums.hpp"

namespace py = pybind11;

// The robust sums of robust_sums.hpp, one value each: quorvi's covariance
// types (python/quorvi/_robust.py) ask for them.
void register_meat(py::module_& m) {
  py::enum_<MeatKind>(m, "Meat",
                      "The robust sums a pass forms beside the normal equations, the meat of a sandwich "
                      "covariance: none, the residual meat (HC0, HC1), the meat of hat-adjusted residuals "
                      "(HC2, HC3) or the cluster scores.")
      .value("none", MeatKind::none)
      .value("residual", MeatKind::residual)
      .value("hat_adjusted", MeatKind::hat_adjusted)
      .value("cluster", MeatKind::cluster);
}
