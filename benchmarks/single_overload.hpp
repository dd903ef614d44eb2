// The helper module queltfloor: for every overload of queltcore, a module function of its own
// with that one overload, so that pybind11 resolves it at the first try; and timed loops of
// the direct calls behind queltcore's large operations and model runs.
#pragma once

#include <pybind11/pybind11.h>

namespace QueltBench {

// Registers the operation floors of one element type; each type compiles in its own unit.
template <typename T>
void registerOperationFloors(pybind11::module_& m);

// Timed loops of the direct CBLAS calls and model runs, for comparisons within one process.
void registerDirect(pybind11::module_& m);

// Plain C++ loops of the conversions quelt makes, and a fresh allocation plus memcpy.
void registerDirectConversion(pybind11::module_& m);

} // namespace QueltBench
