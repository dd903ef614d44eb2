// One place through which every module-level operation overload is registered.
#pragma once

#include <utility>

#include <pybind11/pybind11.h>

namespace Quelt::Python {

// Adds one overload to the module function `name`; the first call creates the function,
// later ones chain onto it in registration order.
template <typename F>
void defOverload(pybind11::module_& m, const char* name, const char* doc, F&& f)
{
    m.def(name, std::forward<F>(f), doc);
}

} // namespace Quelt::Python
