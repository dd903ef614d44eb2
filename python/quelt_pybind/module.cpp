// Entry point of the queltcore module: registers everything Python can reach, in order.
#include <pybind11/pybind11.h>

#include "containers.hpp"
#include "model.hpp"
#include "operations.hpp"
#include "overloads.hpp"
#include "types.hpp"

namespace py = pybind11;

// PYBIND11_MODULE refuses any interpreter but the 3.7 release the module was built for.
// QUELT_ORDERED_CHAIN_ONLY builds the test copy that resolves every call through pybind11's
// ordered chain alone, the reference the fast dispatch is compared with.
PYBIND11_MODULE(queltcore, m)
{
    using namespace Quelt::Python;
    registerModel(m);
    registerContainers(m);
    hana::for_each(operationsSet, [&](auto type) {
        registerOperations<typename decltype(type)::type>(m);
    });
#ifndef QUELT_ORDERED_CHAIN_ONLY
    installFastDispatch(m);
#endif
}
