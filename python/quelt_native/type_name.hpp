// A Python object's type as the messages of quelt._native name it.
#pragma once

#include <string>

#include <pybind11/pybind11.h>

namespace Quelt::Python {

inline std::string typeNameOf(pybind11::handle object) { return Py_TYPE(object.ptr())->tp_name; }

} // namespace Quelt::Python
