// Entry point of the queltcore module: registers everything Python can reach, in order.
#include <pybind11/pybind11.h>

#include "containers.hpp"
#include "model.hpp"
#include "operations.hpp"
#include "types.hpp"

namespace py = pybind11;

// PYBIND11_MODULE refuses any interpreter but the 3.7 release the module was built for.
PYBIND11_MODULE(queltcore, m)
{
    using namespace Quelt::Python;
    registerModel(m);
    registerContainers(m);
    hana::for_each(operationsSet, [&](auto type) {
        registerOperations<typename decltype(type)::type>(m);
    });
}
