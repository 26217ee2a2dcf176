#include "links.hpp"
#include "registrations.hpp"

namespace py = pybind11;

// The links of links.hpp, one value each: quorvi's table of links
// (python/quorvi/_links.py) names them.
void register_links(py::module_& m) {
  py::enum_<LinkKind>(m, "Link", "The link of the binomial model: the mean as a function of eta.")
      .value("logit", LinkKind::logit)
      .value("probit", LinkKind::probit)
      .value("cloglog", LinkKind::cloglog);
}
