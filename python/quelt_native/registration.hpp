// The parts of quelt._native, each registered by its own translation unit.
#pragma once

#include <pybind11/pybind11.h>

namespace Quelt::Python {

// Zero-copy exchange of container memory, BLAS thread count.
void registerExchange(pybind11::module_& m);

// Memory views over a core model's tensors.
void registerModelMemory(pybind11::module_& m);

// queltcore's operations again, as quelt's own functions that release the interpreter lock
// around large BLAS and LAPACK calls.
void registerLockReleasingOperations(pybind11::module_& m);

// The session runner for real models and its tensors.
void registerSession(pybind11::module_& m);

} // namespace Quelt::Python
