// Registration of the twelve container classes.
#pragma once

#include <pybind11/pybind11.h>

namespace Quelt::Python {

void registerContainers(pybind11::module_& m);

} // namespace Quelt::Python
