// Entry point of queltfloor, the benchmark's reference module: single-overload functions and
// direct calls. It must be imported after queltcore, whose classes its functions take.
#include <complex>
#include <cstdint>
#include <vector>

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "types/Model.hpp"

// The module's own caster of the model class, as everywhere a model reference is bound: one
// definition of it in the whole program.
#include "casters.hpp"
#include "single_overload.hpp"

namespace py = pybind11;

PYBIND11_MODULE(queltfloor, m)
{
    // This module's copy of the wrapper classes' function table, fetched as queltcore fetches
    // its own: the API version the model class is written against.
    Quelt::Onnx::initApi();

    // The cheapest call pybind11 makes: one overload, no arguments, no work.
    m.def("nothing", [] {});
    // The argument lists of model.set and model.get, converted and then left alone: what the
    // binding costs before the runtime is asked for the element.
    m.def("model_set", [](Quelt::Onnx::Model&, size_t, std::vector<int64_t>, float) {});
    m.def("model_get", [](Quelt::Onnx::Model&, size_t, std::vector<int64_t>) -> float { return 0.0f; });

    QueltBench::registerOperationFloors<float>(m);
    QueltBench::registerOperationFloors<double>(m);
    QueltBench::registerOperationFloors<std::complex<float>>(m);
    QueltBench::registerOperationFloors<std::complex<double>>(m);
    QueltBench::registerDirect(m);
    QueltBench::registerDirectConversion(m);
}
