// Entry point of quelt._native, the compiled half of the quelt package.
#include <pybind11/pybind11.h>

#include "registration.hpp"
#include "onnx/OnnxRuntime.hpp"

namespace py = pybind11;

PYBIND11_MODULE(_native, m)
{
    // The container and model classes are queltcore's: importing it first registers them with
    // pybind11, whose registry both modules share, so that they convert here too.
    py::module_::import("queltcore");
    // The runtime wrapper keeps its function table per shared object: this one needs its own.
    Quelt::Onnx::initApi();
    Quelt::Python::registerExchange(m);
    Quelt::Python::registerModelMemory(m);
    Quelt::Python::registerSession(m);
    Quelt::Python::registerLockReleasingOperations(m);
}
