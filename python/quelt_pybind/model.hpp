// Registration of the model class, the Python face of the ONNX model runner.
#pragma once

#include <pybind11/pybind11.h>

namespace Quelt::Python {

// Also hands the runtime's function table to the wrapper classes, so it runs before any
// model can exist; throws when the runtime lacks the C API version the runner needs.
void registerModel(pybind11::module_& m);

} // namespace Quelt::Python
